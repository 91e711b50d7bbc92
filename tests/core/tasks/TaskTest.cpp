#include "core/tasks/Task.h"
#include "core/shell/AppSettings.h"
#include "support/TempSettings.h"

#include <gtest/gtest.h>

TEST(Task, NewTaskTakesItsAlertDefaultsFromTheSettings)
{
    CTempSettings temp;
    {
        const CTask task;
        EXPECT_EQ(task.m_Name, u"Unnamed");
        EXPECT_EQ(task.m_CheckAction, eCheckNone);
        EXPECT_EQ(task.m_TimeoutSec, 5);
        EXPECT_EQ(task.m_PingInterval, 60);
        EXPECT_FALSE(task.m_bTaskScheduled);
        EXPECT_EQ(task.m_SpiderMaxPageNumber, 5);
        EXPECT_EQ(task.m_SpiderMaxDepth, 2);
        EXPECT_FALSE(task.m_bSpiderLimitPageNumber);
        EXPECT_FALSE(task.m_bSpiderLimitDepth);
        EXPECT_EQ(task.m_TaskId, -1);
        EXPECT_EQ(task.m_NextRunTime, 0);
        EXPECT_EQ(task.m_LastRunTime, 0);
        EXPECT_EQ(task.m_FailCount, 0);
        EXPECT_TRUE(task.m_AlertSettings.m_bUseDefaultAlertMethods);
        EXPECT_EQ(task.m_AlertSettings.m_AlertMethods, 0);
        EXPECT_EQ(task.m_MaxFailCount, 0);
        EXPECT_TRUE(task.m_bAlertAboutFailuresOnly);
    }

    CAppSettings settings = GetAppSettings();
    settings.m_AlertMethods = eAlertEmail | eAlertHttpGet;
    settings.m_AlertEmailAddresses = QStringLiteral("ops@example.com");
    settings.m_AlertHttpUrl = QStringLiteral("http://127.0.0.1/hook?task=%N");
    settings.m_AlertApplicationName = QStringLiteral("/usr/bin/notify-send %N");
    settings.m_MaxFailCount = 4;
    settings.m_bAlertAboutFailuresOnly = false;
    SetAppSettings(settings);

    const CTask task;
    EXPECT_EQ(task.m_AlertSettings.m_AlertMethods, eAlertEmail | eAlertHttpGet);
    EXPECT_EQ(task.m_AlertSettings.m_AlertEmailAddresses, u"ops@example.com");
    EXPECT_EQ(task.m_AlertSettings.m_AlertHttpUrl, u"http://127.0.0.1/hook?task=%N");
    EXPECT_EQ(task.m_AlertSettings.m_AlertApplicationName, u"/usr/bin/notify-send %N");
    EXPECT_TRUE(task.m_AlertSettings.m_bUseDefaultAlertMethods);
    EXPECT_TRUE(task.m_AlertSettings.m_AlertDetails.isEmpty());
    EXPECT_EQ(task.m_MaxFailCount, 4);
    EXPECT_FALSE(task.m_bAlertAboutFailuresOnly);
}

TEST(Task, CopiesCarryTheRunTimeFieldsToo)
{
    CTempSettings temp;
    CTask task;
    task.m_TaskId = 12;
    task.m_NextRunTime = 1700000060;
    task.m_LastRunTime = 1700000000;
    task.m_FailCount = 3;
    task.m_AlertSettings.m_AlertDetails = QStringLiteral("Ping operation failed");
    task.m_Name = QStringLiteral("Copied");

    const CTask copy(task);
    CTask assigned;
    assigned = task;
    for (const CTask* other : {&copy, static_cast<const CTask*>(&assigned)}) {
        EXPECT_EQ(other->m_TaskId, 12);
        EXPECT_EQ(other->m_NextRunTime, 1700000060);
        EXPECT_EQ(other->m_LastRunTime, 1700000000);
        EXPECT_EQ(other->m_FailCount, 3);
        EXPECT_EQ(other->m_AlertSettings.m_AlertDetails, u"Ping operation failed");
        EXPECT_EQ(other->m_Name, u"Copied");
    }
}

TEST(Task, ValidUrlsNeedAWebSchemeAndAHost)
{
    for (const char* good :
         {"http://example.com", "https://example.com/a/b?c=d#e", "ftp://files.example.com/pub/", "HTTP://EXAMPLE.COM",
          "http://127.0.0.1:8080/", "http://[::1]:8080/x", "http://example.com/a b"})
        EXPECT_TRUE(IsValidUrl(QString::fromUtf8(good))) << good;
    for (const char* bad :
         {"", "example.com", "www.example.com/index.html", "http://", "http:///path", "mailto:someone@example.com",
          "file:///etc/passwd", "javascript:alert(1)", "http//example.com"})
        EXPECT_FALSE(IsValidUrl(QString::fromUtf8(bad))) << bad;
    EXPECT_TRUE(InvalidUrlMessage().startsWith(u"The URL you entered is not valid."));
    EXPECT_TRUE(InvalidUrlMessage().endsWith(u"the IP address")) << "the message has no final full stop";
}
