#pragma once

#include <QMap>
#include <QString>

#include <memory>

class QSettings;

// The application-wide settings: SMTP server, the alert defaults that new tasks take over,
// output and log-file options, and the shell options. One live record per process, kept in
// the group "Options" of the settings store.
class CAppSettings
{
public:
    // Defaults are the values of a first run.
    int m_AlertMethods = 0;
    QString m_AlertEmailAddresses;
    QString m_AlertHttpUrl;
    QString m_AlertApplicationName;
    int m_MaxFailCount = 0;
    bool m_bAlertAboutFailuresOnly = true;
    QMap<int, bool> m_SeverityShown = AllSeveritiesShown(); // severity code -> shown; a missing code is shown
    bool m_bLimitMessageNumber = true;
    int m_MaxMessageNumber = 1000;
    bool m_bLogToFile = false;
    QString m_LogFileName;
    QString m_SmtpServerName;
    bool m_bMinimizeToTray = true;
    bool m_bAnimateIcon = true;
    bool m_bAutoStart = false;
    bool m_bAutoOpenTasks = false;
    QString m_AutoOpenFileName;
    // The result history: on by default, raw results kept this many days (older ones live on
    // in hourly and daily summaries), and where: empty for the SQLite file in the user's data
    // folder, a path for another SQLite file, or a postgresql:// URI for a shared server.
    bool m_bHistoryEnabled = true;
    int m_HistoryRetentionDays = 90;
    QString m_HistoryDatabase;
    // A desktop notification when a task goes down or comes back.
    bool m_bDesktopNotifications = true;

    // The mail server beyond its name: the port (0: the security's usual one, 25, 587 or
    // 465; a "host:port" server name wins over both), the security (eSmtpSecurity), the login
    // (no user name: none), the sender (empty: the first recipient) and, where no secret store
    // is available, a file that holds the password. The password itself is never kept here.
    int m_SmtpPort = 0;
    int m_SmtpSecurity = 0;
    QString m_SmtpUserName;
    QString m_SmtpFromAddress;
    QString m_SmtpPasswordFile;
    // A PEM file of certificates trusted besides the system's, for mail, HTTP alerts and checks.
    QString m_TlsCaFile;
    // The defaults that new tasks take over: a "back up" alert after a failure alert, and the
    // HTTP alert's method, body template and content type.
    bool m_bAlertOnRecovery = true;
    QString m_AlertHttpMethod = QStringLiteral("GET");
    QString m_AlertHttpBody;
    QString m_AlertHttpContentType;
    // Transfers a crawl keeps in flight to its site, for tasks that leave it to the
    // application (1 to 32; 1 fetches one page at a time).
    int m_SpiderConnections = 8;
    // Where the Prometheus metrics are served, "ADDRESS:PORT"; empty: not served.
    QString m_MetricsListen;
    // Serves the metrics on an address other machines can reach (not only loopback).
    bool m_bMetricsAllowRemote = false;

    bool IsSeverityShown(int code) const { return m_SeverityShown.value(code, true); }
    static QMap<int, bool> AllSeveritiesShown();

    friend bool operator==(const CAppSettings&, const CAppSettings&) = default;
};

// Values of m_SmtpSecurity.
enum eSmtpSecurity
{
    eSmtpSecurityNone = 0,
    eSmtpSecurityStartTls = 1,
    eSmtpSecurityTls = 2,
};

// The live record, loaded from the store on the first call. For the UI thread, the only
// thread that changes settings; other threads take GetAppSettingsSnapshot().
const CAppSettings& GetAppSettings();

// Replaces the live record (the Options sheet's OK). Readers on other threads see either
// the old or the new record whole, never a mix.
void SetAppSettings(const CAppSettings& settings);

// A copy of the live record taken under its lock: what worker threads read.
CAppSettings GetAppSettingsSnapshot();

// Writes the live record to the store; does nothing when it was never loaded.
void SaveAppSettings();

// Points the settings store at a settings file instead of the user's settings (tests, and
// the --settings option), in the format of SettingsFile.h: values read as written. An empty
// path restores the user's store. Call before the first load.
void SetSettingsFile(const QString& iniPath);
QString GetSettingsFile();

// The settings store in use, for other groups ("Settings" for window state, "ListStyle").
std::unique_ptr<QSettings> OpenSettingsStore();

// The task list's display style, kept beside the options.
int LoadListStyle(int defaultStyle);
void SaveListStyle(int style);

// Forgets the live record, so that the next GetAppSettings() loads it again.
void ResetAppSettingsForTesting();
