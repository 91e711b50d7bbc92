#include "core/alerts/AlertRule.h"
#include "core/tasks/VigrelDoc.h"
#include "support/TempSettings.h"

#include <gtest/gtest.h>

namespace {

class AlertRule : public ::testing::Test
{
protected:
    int AddTask(int maxFailCount, bool failuresOnly = true)
    {
        CTask task;
        task.m_Name = QStringLiteral("Shop");
        task.m_MaxFailCount = maxFailCount;
        task.m_bAlertAboutFailuresOnly = failuresOnly;
        // As a task file from before the recovery alert reads.
        task.m_bAlertOnRecovery = false;
        return m_Document.AddTask(task);
    }

    static CLogMessage Verdict(int taskId, int severity, const char* text = "Ping operation failed")
    {
        CLogMessage message(severity, QString::fromUtf8(text));
        message.m_TaskId = taskId;
        return message;
    }

    // Feeds `verdicts` (1 success, 2 failure) and returns, for each, whether it alerted.
    std::string Alerts(int taskId, const std::string& verdicts)
    {
        std::string alerted;
        for (const char verdict : verdicts)
            alerted += ApplyAlertRule(m_Document, Verdict(taskId, verdict - '0')) ? 'A' : '.';
        return alerted;
    }

    int FailCount(int taskId)
    {
        CTask task;
        EXPECT_TRUE(m_Document.GetTask(taskId, task));
        return task.m_FailCount;
    }

    CTempSettings m_Settings;
    CVigrelDoc m_Document;
};

} // namespace

TEST_F(AlertRule, CountsConsecutiveFailuresUpToTheTasksLimit)
{
    EXPECT_EQ(Alerts(AddTask(0), "2222"), "AAAA");
    const int twice = AddTask(2);
    EXPECT_EQ(Alerts(twice, "222222"), "..A..A");
    EXPECT_EQ(FailCount(twice), 0);
    // A success in between starts the count again.
    EXPECT_EQ(Alerts(twice, "22122"), ".....");
    EXPECT_EQ(FailCount(twice), 2);
    EXPECT_EQ(Alerts(twice, "2"), "A");
}

TEST_F(AlertRule, SuccessesAlertOnlyWhenTheTaskAsksForThem)
{
    EXPECT_EQ(Alerts(AddTask(0, true), "1111"), "....");
    const int everyResult = AddTask(1, false);
    EXPECT_EQ(Alerts(everyResult, "1212212"), "A.A.AA.");
}

TEST_F(AlertRule, TheRequestCarriesTheTaskAndTheResultText)
{
    const int taskId = AddTask(0);
    const std::optional<CAlertRequest> request
        = ApplyAlertRule(m_Document, Verdict(taskId, eTaskFailure, "Expected pattern not found."));
    ASSERT_TRUE(request);
    EXPECT_EQ(request->m_Task.m_TaskId, taskId);
    EXPECT_EQ(request->m_Task.m_Name, u"Shop");
    EXPECT_EQ(request->m_Task.m_AlertSettings.m_AlertDetails, u"Expected pattern not found.");
    EXPECT_EQ(request->m_Message.m_Severity.GetCode(), eTaskFailure);
    EXPECT_EQ(request->m_Message.m_Text, u"Expected pattern not found.");
    // The document's own task keeps no result text.
    CTask stored;
    ASSERT_TRUE(m_Document.GetTask(taskId, stored));
    EXPECT_TRUE(stored.m_AlertSettings.m_AlertDetails.isEmpty());
}

TEST_F(AlertRule, OnlyVerdictsAboutExistingTasksCount)
{
    const int taskId = AddTask(0, false);
    // About no task, whatever the severity.
    EXPECT_FALSE(ApplyAlertRule(m_Document, Verdict(-1, eTaskFailure)));
    EXPECT_FALSE(ApplyAlertRule(m_Document, Verdict(-1, eTaskSuccess)));
    // Not a verdict.
    for (const int severity : {eInformational, eApplicationFailure, eActionSucceeded, eSpiderMessage, eTaskStopped})
        EXPECT_FALSE(ApplyAlertRule(m_Document, Verdict(taskId, severity))) << severity;
    EXPECT_EQ(FailCount(taskId), 0);
    // Deleted while it ran.
    m_Document.DeleteTask(taskId);
    EXPECT_FALSE(ApplyAlertRule(m_Document, Verdict(taskId, eTaskFailure)));
}
