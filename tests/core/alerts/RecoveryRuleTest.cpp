#include "core/alerts/AlertRule.h"
#include "core/tasks/VigrelDoc.h"
#include "support/QtPrinters.h"
#include "support/TempSettings.h"

#include <gtest/gtest.h>

namespace {

class RecoveryRule : public ::testing::Test
{
protected:
    int AddTask(int maxFailCount, bool failuresOnly, bool onRecovery)
    {
        CTask task;
        task.m_Name = QStringLiteral("Shop");
        task.m_MaxFailCount = maxFailCount;
        task.m_bAlertAboutFailuresOnly = failuresOnly;
        task.m_bAlertOnRecovery = onRecovery;
        return m_Document.AddTask(task);
    }

    // Every alert raised is handed over, as by a hub with nothing snoozed.
    std::optional<CAlertRequest> Verdict(int taskId, int severity, qint64 time, const char* text)
    {
        CLogMessage message(severity, QString::fromUtf8(text));
        message.m_TaskId = taskId;
        message.m_Time = time;
        std::optional<CAlertRequest> request = ApplyAlertRule(m_Document, message);
        if (request)
            NoteAlertHandedOver(m_Document, *request);
        return request;
    }

    CTempSettings m_Settings;
    CVigrelDoc m_Document;
};

} // namespace

TEST_F(RecoveryRule, TheSuccessAfterAFailureAlertTellsOnceHowLongTheTaskWasDown)
{
    const int taskId = AddTask(1, true, true);
    EXPECT_FALSE(Verdict(taskId, eTaskFailure, 1000, "Connection refused"));
    const auto failed = Verdict(taskId, eTaskFailure, 1060, "Timed out");
    ASSERT_TRUE(failed);
    EXPECT_EQ(failed->m_State, eAlertState::eFailed);
    EXPECT_FALSE(Verdict(taskId, eTaskFailure, 1120, "Timed out"));

    const auto recovered = Verdict(taskId, eTaskSuccess, 1720, "Page retrieved");
    ASSERT_TRUE(recovered);
    EXPECT_EQ(recovered->m_State, eAlertState::eRecovered);
    EXPECT_EQ(recovered->m_DowntimeSec, 720);
    EXPECT_EQ(recovered->m_FirstFailureText, u"Connection refused");
    EXPECT_EQ(recovered->m_ResultTime, 1720);
    EXPECT_EQ(recovered->m_Task.m_AlertSettings.m_AlertDetails, u"Page retrieved");
    // The next success is ordinary again.
    EXPECT_FALSE(Verdict(taskId, eTaskSuccess, 1780, "Page retrieved"));

    // Failures that never reached the alert are no outage to report.
    EXPECT_FALSE(Verdict(taskId, eTaskFailure, 2000, "Timed out"));
    EXPECT_FALSE(Verdict(taskId, eTaskSuccess, 2060, "Page retrieved"));
}

TEST_F(RecoveryRule, ATaskThatAlertsAboutEverySuccessHearsOfTheRecoveryOnceAndOffMeansTheOldSuccessAlert)
{
    const int everyResult = AddTask(0, false, true);
    ASSERT_TRUE(Verdict(everyResult, eTaskFailure, 100, "Down"));
    const auto recovered = Verdict(everyResult, eTaskSuccess, 160, "Up");
    ASSERT_TRUE(recovered);
    EXPECT_EQ(recovered->m_State, eAlertState::eRecovered);
    const auto next = Verdict(everyResult, eTaskSuccess, 220, "Up");
    ASSERT_TRUE(next);
    EXPECT_EQ(next->m_State, eAlertState::eSucceeded);

    const int off = AddTask(0, true, false);
    ASSERT_TRUE(Verdict(off, eTaskFailure, 100, "Down"));
    EXPECT_FALSE(Verdict(off, eTaskSuccess, 160, "Up"));
}
