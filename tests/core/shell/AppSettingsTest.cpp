#include "core/shell/AppSettings.h"
#include "core/tasks/Task.h"
#include "support/QtPrinters.h"
#include "support/TempSettings.h"

#include <QSettings>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

TEST(AppSettings, FirstRunDefaults)
{
    CTempSettings temp;
    const CAppSettings& s = GetAppSettings();
    EXPECT_TRUE(s.m_bMinimizeToTray);
    EXPECT_TRUE(s.m_bLimitMessageNumber);
    EXPECT_EQ(s.m_MaxMessageNumber, 1000);
    for (int code = 0; code <= 6; ++code)
        EXPECT_TRUE(s.IsSeverityShown(code)) << code;
    EXPECT_TRUE(s.m_bAlertAboutFailuresOnly);
    EXPECT_EQ(s.m_MaxFailCount, 0);
    EXPECT_EQ(s.m_AlertMethods, 0);
    EXPECT_FALSE(s.m_bAutoStart);
    EXPECT_FALSE(s.m_bAutoOpenTasks);
    EXPECT_FALSE(s.m_bLogToFile);
    EXPECT_TRUE(s.m_bAnimateIcon);
    EXPECT_TRUE(s.m_SmtpServerName.isEmpty());
    EXPECT_EQ(s, CAppSettings()) << "a first run must not pick up anything else";
}

TEST(AppSettings, ChangesReachTheNextRunOnlyThroughSave)
{
    CTempSettings temp;
    CAppSettings changed = GetAppSettings();
    changed.m_SmtpServerName = QStringLiteral("mail.example.com:587");
    changed.m_AlertMethods = 5;
    changed.m_AlertEmailAddresses = QStringLiteral("a@example.com; b@example.com");
    changed.m_AlertHttpUrl = QStringLiteral("http://127.0.0.1/alert?n=%N");
    changed.m_AlertApplicationName = QStringLiteral("\"/opt/my tools/notify\" %N");
    changed.m_MaxFailCount = 3;
    changed.m_bAlertAboutFailuresOnly = false;
    changed.m_SeverityShown[3] = false;
    changed.m_bLimitMessageNumber = false;
    changed.m_MaxMessageNumber = 250;
    changed.m_bLogToFile = true;
    changed.m_LogFileName = QStringLiteral("/var/log/corvane/été.log");
    changed.m_bMinimizeToTray = false;
    changed.m_bAnimateIcon = false;
    changed.m_bAutoStart = true;
    changed.m_bAutoOpenTasks = true;
    changed.m_AutoOpenFileName = QStringLiteral("/home/me/sites.cvn");
    SetAppSettings(changed);

    temp.Reload(); // ended without the normal exit: nothing was written
    EXPECT_EQ(GetAppSettings(), CAppSettings());

    SetAppSettings(changed);
    SaveAppSettings();
    temp.Reload();
    EXPECT_EQ(GetAppSettings(), changed);
    EXPECT_FALSE(GetAppSettings().IsSeverityShown(3));
    EXPECT_TRUE(GetAppSettings().IsSeverityShown(2));
}

TEST(AppSettings, StoreLayoutUsesTheFieldNamesInGroupOptions)
{
    CTempSettings temp;
    CAppSettings changed = GetAppSettings();
    changed.m_MaxMessageNumber = 42;
    changed.m_bMinimizeToTray = false;
    changed.m_SeverityShown[6] = false;
    SetAppSettings(changed);
    SaveAppSettings();

    QSettings store(temp.IniPath(), QSettings::IniFormat);
    store.beginGroup(QStringLiteral("Options"));
    EXPECT_EQ(store.value(QStringLiteral("m_MaxMessageNumber")).toInt(), 42);
    EXPECT_EQ(store.value(QStringLiteral("m_bMinimizeToTray")).toInt(), 0);
    EXPECT_EQ(store.value(QStringLiteral("LogSeverity6")).toInt(), 0);
    EXPECT_EQ(store.value(QStringLiteral("LogSeverity0")).toInt(), 1);
    // The history keys, the notification switch, the mail and alert keys, the crawl's
    // connections and the metrics address and its remote switch follow the first sixteen.
    EXPECT_EQ(store.childKeys().size(), 16 + 3 + 1 + 10 + 7 + 3);
}

TEST(AppSettings, StoredValuesAreReadAsTheRegistryWouldGiveThem)
{
    CTempSettings temp;
    {
        QSettings store(temp.IniPath(), QSettings::IniFormat);
        store.beginGroup(QStringLiteral("Options"));
        store.setValue(QStringLiteral("LogSeverity3"), 0);
        store.setValue(QStringLiteral("m_MaxMessageNumber"), QStringLiteral("lots")); // wrong type: default
        store.setValue(QStringLiteral("m_bLogToFile"), 7); // any nonzero number is on
    }
    temp.Reload();
    const CAppSettings& s = GetAppSettings();
    EXPECT_FALSE(s.IsSeverityShown(3));
    EXPECT_EQ(s.m_MaxMessageNumber, 1000);
    EXPECT_TRUE(s.m_bLogToFile);
}

TEST(AppSettings, AStoreFromBeforeMailSecurityAndRecoveryAlertsLoadsWithTheirDefaults)
{
    CTempSettings temp;
    {
        // What an older version kept of mail and HTTP alerts: the server (port included)
        // and the GET URL.
        QSettings store(temp.IniPath(), QSettings::IniFormat);
        store.beginGroup(QStringLiteral("Options"));
        store.setValue(QStringLiteral("m_SmtpServerName"), QStringLiteral("mail.example.com:2525"));
        store.setValue(QStringLiteral("m_AlertMethods"), eAlertEmail | eAlertHttpGet);
        store.setValue(QStringLiteral("m_AlertHttpUrl"), QStringLiteral("http://127.0.0.1/alert?n=%N"));
        store.setValue(QStringLiteral("m_bAlertAboutFailuresOnly"), 1);
    }
    temp.Reload();
    const CAppSettings& s = GetAppSettings();
    EXPECT_EQ(s.m_SmtpServerName, u"mail.example.com:2525");
    EXPECT_EQ(s.m_AlertHttpUrl, u"http://127.0.0.1/alert?n=%N");
    // Plain mail without login to the server's own port, as before; new tasks take the
    // recovery alert, and the HTTP alert stays a GET.
    EXPECT_EQ(s.m_SmtpPort, 0);
    EXPECT_EQ(s.m_SmtpSecurity, eSmtpSecurityNone);
    EXPECT_TRUE(s.m_SmtpUserName.isEmpty());
    EXPECT_TRUE(s.m_SmtpFromAddress.isEmpty());
    EXPECT_TRUE(s.m_SmtpPasswordFile.isEmpty());
    EXPECT_TRUE(s.m_TlsCaFile.isEmpty());
    EXPECT_TRUE(s.m_bAlertOnRecovery);
    EXPECT_EQ(s.m_AlertHttpMethod, u"GET");
    EXPECT_TRUE(s.m_AlertHttpBody.isEmpty());
    EXPECT_TRUE(s.m_AlertHttpContentType.isEmpty());
}

TEST(AppSettings, SaveBeforeAnyLoadWritesNothing)
{
    CTempSettings temp;
    SaveAppSettings();
    QSettings store(temp.IniPath(), QSettings::IniFormat);
    EXPECT_TRUE(store.allKeys().isEmpty());
}

TEST(AppSettings, ListStyleIsKeptBesideTheOptions)
{
    CTempSettings temp;
    EXPECT_EQ(LoadListStyle(0x1234), 0x1234);
    SaveListStyle(0x5001);
    EXPECT_EQ(LoadListStyle(0), 0x5001);
    QSettings store(temp.IniPath(), QSettings::IniFormat);
    EXPECT_EQ(store.value(QStringLiteral("Options/ListStyle")).toInt(), 0x5001);
}

TEST(AppSettings, SnapshotsTakenOnAnotherThreadAreNeverHalfChanged)
{
    CTempSettings temp;
    CAppSettings a = GetAppSettings();
    a.m_SmtpServerName = QStringLiteral("a.example.com");
    a.m_AlertEmailAddresses = QStringLiteral("a@example.com");
    CAppSettings b = a;
    b.m_SmtpServerName = QStringLiteral("b.example.com");
    b.m_AlertEmailAddresses = QStringLiteral("b@example.com");
    SetAppSettings(a);

    std::atomic<bool> done {false};
    std::atomic<int> mixed {0};
    std::thread reader([&] {
        while (!done) {
            const CAppSettings s = GetAppSettingsSnapshot();
            if (!(s == a) && !(s == b))
                ++mixed;
        }
    });
    for (int i = 0; i < 20000; ++i)
        SetAppSettings(i % 2 ? a : b);
    done = true;
    reader.join();
    EXPECT_EQ(mixed, 0);
}
