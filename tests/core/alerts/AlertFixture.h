#pragma once

#include "core/alerts/AlertSenderThread.h"
#include "core/shell/AppSettings.h"
#include "support/RecordingHost.h"
#include "support/TempSettings.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

// An alert thread reporting to a recording host, with fresh settings.
class AlertThread : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_Alerts.SetMainFrame(&m_Host);
        ASSERT_TRUE(m_Alerts.Start());
    }
    void TearDown() override { EXPECT_TRUE(m_Alerts.Shutdown(20000)); }

    // A task that alerts with `methods` through its own destinations.
    static CTask AlertingTask(int methods, const QString& name = QStringLiteral("Shop front"))
    {
        CTask task;
        task.m_TaskId = 7;
        task.m_Name = name;
        task.m_AlertSettings.m_AlertMethods = methods;
        task.m_AlertSettings.m_bUseDefaultAlertMethods = false;
        return task;
    }

    static CAlertRequest Request(CTask task, int severity, const QString& text)
    {
        task.m_AlertSettings.m_AlertDetails = text;
        CLogMessage message(severity, text);
        message.m_TaskId = task.m_TaskId;
        return CAlertRequest(task, message);
    }

    // Queues the request, wakes the thread and waits until everything queued is delivered.
    QStringList Deliver(const CAlertRequest& request)
    {
        m_Host.Clear();
        m_Alerts.AddAlert(request);
        m_Alerts.PostSendAlert();
        EXPECT_TRUE(WaitUntilDelivered());
        return m_Host.Events();
    }

    bool WaitUntilDelivered(std::chrono::milliseconds timeout = std::chrono::seconds(30))
    {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (m_Alerts.GetPendingCount() > 0) {
            if (std::chrono::steady_clock::now() > deadline)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return true;
    }

    static void ChangeSettings(const std::function<void(CAppSettings&)>& change)
    {
        CAppSettings settings = GetAppSettings();
        change(settings);
        SetAppSettings(settings);
    }

    CTempSettings m_Settings;
    CRecordingHost m_Host;
    CAlertSenderThread m_Alerts;
};
