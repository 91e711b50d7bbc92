#include "core/shell/Hub.h"
#include "core/output/LogFile.h"
#include "core/shell/AppSettings.h"
#include "core/shell/Messages.h"
#include "core/support/Clock.h"
#include "core/tasks/VigrelDoc.h"
#include "support/EventLoop.h"
#include "support/HttpTestServer.h"
#include "support/TempSettings.h"
#include "support/TestFiles.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>

using namespace std::chrono_literals;

namespace {

class Hub : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_Server.Get("/ok", [](const httplib::Request&, httplib::Response& response) {
            response.set_content("<html>fine</html>", "text/html");
        });
        m_Server.Get("/alert", [this](const httplib::Request& request, httplib::Response& response) {
            std::lock_guard guard(m_AlertLock);
            m_Alerts.push_back(request.get_param_value("text"));
            response.status = 204;
        });
        ASSERT_TRUE(m_Server.Start());
        QObject::connect(&m_Hub, &CHub::MessageShown, [this](const CLogMessage& message) {
            m_Shown << QStringLiteral("%1 %2 %3")
                           .arg(message.m_Severity.GetCode())
                           .arg(message.m_TaskId)
                           .arg(message.m_Text);
        });
        QObject::connect(&m_Hub, &CHub::TaskStateChanged,
                         [this](int state, int taskId) { m_States << QStringLiteral("%1 %2").arg(state).arg(taskId); });
    }

    void TearDown() override { m_Hub.Shutdown(10000); }

    // A GET of a page of the test server that alerts through the server on every failure.
    CTask GetTask(const char* name, const char* path)
    {
        CTask task;
        task.m_Name = QString::fromUtf8(name);
        task.m_CheckAction = eCheckHttpGet;
        task.m_HttpGetURL = m_Server.Url(QString::fromUtf8(path));
        task.m_TimeoutSec = 5;
        task.m_AlertSettings.m_AlertMethods = eAlertHttpGet;
        task.m_AlertSettings.m_bUseDefaultAlertMethods = false;
        task.m_AlertSettings.m_AlertHttpUrl = m_Server.Url(QStringLiteral("/alert?text=%E"));
        return task;
    }

    int AlertCount()
    {
        std::lock_guard guard(m_AlertLock);
        return int(m_Alerts.size());
    }

    CTempSettings m_Settings;
    CHttpTestServer m_Server;
    std::mutex m_AlertLock;
    std::vector<std::string> m_Alerts;
    CVigrelDoc m_Document;
    CHub m_Hub {&m_Document};
    QStringList m_Shown;
    QStringList m_States;
};

} // namespace

TEST_F(Hub, AVerdictTravelsFromTheEngineToTheLogFileAndTheAlert)
{
    QTemporaryDir dir;
    const QString logPath = dir.filePath(QStringLiteral("corvane.log"));
    CAppSettings settings = GetAppSettings();
    settings.m_bLogToFile = true;
    settings.m_LogFileName = logPath;
    SetAppSettings(settings);

    const int failing = m_Document.AddTask(GetTask("Missing page", "/missing"));
    ASSERT_TRUE(m_Hub.Start());
    m_Hub.ExecuteTask(failing);
    ASSERT_TRUE(SpinUntil([&] { return m_States.contains(QStringLiteral("2 %1").arg(failing)); }));
    ASSERT_TRUE(SpinUntil([&] { return !m_Hub.HasPendingWork(); }));
    m_Hub.Shutdown();

    const QString verdict = QStringLiteral("'%1' Bad status code for the GET operation received from the server: 404")
                                .arg(m_Server.Url(QStringLiteral("/missing")));
    // The alert thread reports on its own time, so its line may come before or after the engine's
    // "Finished task"; it must come after the verdict that caused it.
    const QString alertLine = QStringLiteral("4 -1 HTTP alert for task Missing page sent successfully");
    const QString verdictLine = QStringLiteral("2 %1 ").arg(failing) + verdict;
    ASSERT_EQ(m_Shown.count(alertLine), 1) << m_Shown.join(u'\n').toStdString();
    EXPECT_GT(m_Shown.indexOf(alertLine), m_Shown.indexOf(verdictLine));
    QStringList engineLines = m_Shown;
    engineLines.removeAll(alertLine);
    EXPECT_EQ(engineLines,
              (QStringList {
                  QStringLiteral("4 -1 Logging output to file '%1'").arg(logPath),
                  QStringLiteral("4 -1 Corvane Started"),
                  QStringLiteral("0 -1 Starting task Missing page"),
                  verdictLine,
                  QStringLiteral("0 -1 Finished task Missing page"),
                  QStringLiteral("4 -1 Corvane Terminating"),
              }));
    EXPECT_EQ(m_States, (QStringList {QStringLiteral("1 %1").arg(failing), QStringLiteral("2 %1").arg(failing)}));
    ASSERT_EQ(AlertCount(), 1);
    EXPECT_EQ(QString::fromStdString(m_Alerts.front()), verdict);

    // The log file holds every line shown, in order.
    const QList<QByteArray> lines = ReadBytes(logPath).split('\n');
    ASSERT_EQ(lines.size(), m_Shown.size() + 1);
    for (qsizetype i = 0; i < m_Shown.size(); ++i)
        EXPECT_TRUE(lines.at(i).endsWith(m_Shown.at(i).section(u' ', 2).toUtf8())) << lines.at(i).toStdString();

    // The task was stamped when it started running.
    CTask ran;
    ASSERT_TRUE(m_Document.GetTask(failing, ran));
    EXPECT_GT(ran.m_LastRunTime, 0);
}

TEST_F(Hub, TheScheduleRunsDueTasksOnePerTickOnlyWhileTheEngineOperates)
{
    CTask first = GetTask("First", "/ok");
    first.m_bTaskScheduled = true;
    first.m_PingInterval = 3600;
    CTask second = first;
    second.m_Name = QStringLiteral("Second");
    // Both fall due an hour on: a clock that can jump stands in for the waiting.
    static std::atomic<qint64> jump {0};
    SetClockForTesting([] { return QDateTime::currentSecsSinceEpoch() + jump.load(); });
    const int firstId = m_Document.AddTask(first);
    const int secondId = m_Document.AddTask(second);
    ASSERT_TRUE(m_Hub.Start());
    EXPECT_TRUE(m_Hub.IsEngineOn());

    m_Hub.ToggleEngine();
    EXPECT_FALSE(m_Hub.IsEngineOn());
    jump = 3600;
    QCoreApplication::processEvents();
    SpinUntil([] { return false; }, 1500ms);
    EXPECT_FALSE(m_States.contains(QStringLiteral("1 %1").arg(firstId))) << "ran while the engine was off";

    m_Hub.ToggleEngine();
    ASSERT_TRUE(SpinUntil([&] { return m_States.size() >= 4; }, 10s));
    // Two due tasks are handed over on two ticks, the first in list order first.
    const QStringList started = m_Shown.filter(QStringLiteral("Starting task"));
    ASSERT_EQ(started.size(), 2);
    EXPECT_EQ(m_States,
              (QStringList {QStringLiteral("1 %1").arg(firstId), QStringLiteral("2 %1").arg(firstId),
                            QStringLiteral("1 %1").arg(secondId), QStringLiteral("2 %1").arg(secondId)}));
    m_Hub.Shutdown();
    SetClockForTesting({});
    jump = 0;
}

TEST_F(Hub, TasksThatAreNotThereAndStatesAboutNoTask)
{
    ASSERT_TRUE(m_Hub.Start());
    m_Hub.ExecuteTask(99);
    EXPECT_EQ(m_Shown.last(), u"3 -1 Failed to locate task 99 in the document");
    // A state about no task stamps and refreshes nothing.
    m_Hub.PostTaskState(TASK_STATE_FINISHED, -1);
    QCoreApplication::processEvents();
    EXPECT_TRUE(m_States.isEmpty());
    // Busy only until the engine's thread runs, then while a run request is handled.
    EXPECT_TRUE(SpinUntil([&] { return !m_Hub.IsTaskRunning(); }));
}

TEST_F(Hub, ShutdownAbortsTheRunningCheckAndLogsItsLastWords)
{
    CSilentListener silent;
    ASSERT_TRUE(silent.IsListening());
    CTask task = GetTask("Hanging", "/");
    task.m_HttpGetURL = silent.Url(QStringLiteral("/"));
    task.m_TimeoutSec = 60;
    const int taskId = m_Document.AddTask(task);
    ASSERT_TRUE(m_Hub.Start());
    m_Hub.ExecuteTask(taskId);
    ASSERT_TRUE(SpinUntil([&] { return m_Shown.contains(QStringLiteral("0 -1 Starting task Hanging")); }));
    EXPECT_TRUE(m_Hub.IsTaskRunning());
    const auto started = std::chrono::steady_clock::now();
    m_Hub.Shutdown(10000);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
    const qsizetype terminating = m_Shown.indexOf(QStringLiteral("4 -1 Corvane Terminating"));
    ASSERT_GE(terminating, 0);
    EXPECT_TRUE(m_Shown.mid(terminating).contains(QStringLiteral("6 -1 Task execution stopped")));
    EXPECT_EQ(AlertCount(), 0);
}
