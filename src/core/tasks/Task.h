#pragma once

#include <QString>

class CAppSettings;
class CIniReader;
class CIniWriter;

// Alert method bits of m_AlertMethods; any combination, 0 for none.
enum eAlertMethod
{
    eAlertEmail = 1,
    eAlertApplication = 2,
    eAlertHttpGet = 4,
};

// Check codes of m_CheckAction. 0 is a new task that has not chosen a check yet; only a
// task file can still hold it, and the engine reports it as an incorrect action.
enum eCheckAction
{
    eCheckNone = 0,
    eCheckPing = 1,
    eCheckHttpGet = 2,
    eCheckHttpGetPattern = 3,
    eCheckSpider = 4,
    eCheckTcp = 5,
};

// The check's name in machine-readable output (the history's CSV, the JSON and JUnit reports):
// "ping", "http_get", "http_get_pattern", "crawl" or "tcp"; empty for an action that is none of them.
QString CheckActionKey(int checkAction);

// How a task is alerted. Its first fields share names and meaning with the application's
// default alert settings, from which a new task takes them.
class CAlertSettings
{
public:
    CAlertSettings(); // initial values from the application settings
    explicit CAlertSettings(const CAppSettings& defaults);

    // The five stored fields, in the task file's key order.
    void SaveToIni(CIniWriter& ini, const QString& section) const;
    void LoadFromIni(const CIniReader& ini, const QString& section);

    int m_AlertMethods = 0;
    QString m_AlertEmailAddresses;
    QString m_AlertHttpUrl;
    QString m_AlertApplicationName;
    bool m_bUseDefaultAlertMethods = true;
    // The HTTP alert beyond its URL: "GET" (no body) or "POST" with the body template and its
    // content type (empty: "application/json" when the body starts with '{' or '[', otherwise
    // form-encoded). Stored by CTask after the older keys, only when they differ from these.
    QString m_AlertHttpMethod = QStringLiteral("GET");
    QString m_AlertHttpBody;
    QString m_AlertHttpContentType;
    // The result text that raised an alert; set only on the copy inside an alert request.
    QString m_AlertDetails;
};

// One monitoring task: which check to make against what, how often, and how to alert.
// A value type: the document holds one copy per task, everyone else works on copies.
class CTask
{
public:
    CTask(); // initial values, alert defaults from the application settings
    explicit CTask(const CAppSettings& defaults);

    // The alert keys first, then the task's own, in the task file's key order.
    void SaveToIni(CIniWriter& ini, const QString& section) const;
    // A missing key keeps the field's current value. Sets m_NextRunTime one interval from
    // now; leaves m_TaskId, m_LastRunTime and m_FailCount alone.
    void LoadFromIni(const CIniReader& ini, const QString& section);

    CAlertSettings m_AlertSettings;
    int m_TaskId = -1;
    QString m_Name = QStringLiteral("Unnamed");
    QString m_Description; // line breaks are CR LF
    QString m_PingHost;
    int m_TimeoutSec = 5;
    int m_PingInterval = 60; // seconds
    qint64 m_NextRunTime = 0; // seconds since 1970 UTC; in memory only
    qint64 m_LastRunTime = 0; // 0: never run; in memory only
    bool m_bTaskScheduled = false;
    QString m_HttpGetURL;
    QString m_ExpectedPattern;
    QString m_SpiderUrl;
    bool m_bSpiderLimitPageNumber = false;
    bool m_bSpiderLimitDepth = false;
    int m_SpiderMaxPageNumber = 5;
    int m_SpiderMaxDepth = 2;
    int m_CheckAction = eCheckNone;
    int m_FailCount = 0; // in memory only
    int m_MaxFailCount = 0;
    bool m_bAlertAboutFailuresOnly = true;
    // A "back up" alert when the task succeeds again after a failure alert. New tasks take the
    // application default; a task file without the key means off, as before the option.
    bool m_bAlertOnRecovery = false;
    // Transfers a crawl keeps in flight to its site, 1 to 32; 0 leaves it to the application.
    int m_SpiderConnections = 0;
    // A crawl also fetches, once each and without crawling them, the links to other sites.
    bool m_bSpiderCheckExternal = false;
    // The task's stable key (a UUID without braces): ids change at every open, the key does
    // not, so the result history can tell a task's earlier results. Unique in a document.
    QString m_TaskGuid;

    // Checks beyond the first four, each off (or as before) at the value a task file without
    // its key means; only m_CertWarnDays starts otherwise for a new task.
    // An https answer fails when the server's certificate expires in fewer days than this.
    int m_CertWarnDays = 14;
    // A check fails when its answer (a ping's round trip) takes longer; 0: no limit.
    int m_MaxResponseMs = 0;
    // The TCP port check connects to m_PingHost on this port, sends m_TcpSend (a line, when not
    // empty) and expects m_TcpExpect (when not empty) in what comes back.
    int m_TcpPort = 0;
    QString m_TcpSend;
    QString m_TcpExpect;
    // A GET fails when its page contains this text (when not empty).
    QString m_UnwantedPattern;
    // The status codes a GET or a crawl accepts: codes and ranges such as "200-299, 301".
    QString m_AcceptedStatus = QStringLiteral("200-299");
    // Request headers of GET checks, one "Name: value" per line (line breaks CR LF).
    QString m_HttpHeaders;
};

// True for an http, https or ftp URL that names a host. The configuration dialog shows
// InvalidUrlMessage() when it is false.
bool IsValidUrl(const QString& url);
QString InvalidUrlMessage();
