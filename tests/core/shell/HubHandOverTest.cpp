// How the hub hands work on: tasks to the engine, at most one request per task at a time,
// and log messages to whoever listens, who may talk back to the hub.
#include "core/shell/Hub.h"
#include "core/shell/Messages.h"
#include "core/tasks/TaskFile.h"
#include "core/tasks/VigrelDoc.h"
#include "support/EventLoop.h"
#include "support/HttpTestServer.h"
#include "support/QtPrinters.h"
#include "support/TempSettings.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>

using namespace std::chrono_literals;

namespace {

class HubHandOver : public ::testing::Test
{
protected:
    void SetUp() override
    {
        // "/held" answers only once the test lets it.
        m_Server.Get("/held", [this](const httplib::Request&, httplib::Response& response) {
            std::unique_lock lock(m_HoldLock);
            m_Released.wait_for(lock, 30s, [this] { return m_bReleased; });
            response.set_content("<html>late</html>", "text/html");
        });
        m_Server.Get("/ok", [](const httplib::Request&, httplib::Response& response) {
            response.set_content("<html>fine</html>", "text/html");
        });
        ASSERT_TRUE(m_Server.Start());
        QObject::connect(&m_Hub, &CHub::MessageShown,
                         [this](const CLogMessage& message) { m_Shown << message.m_Text; });
        QObject::connect(&m_Hub, &CHub::ExecuteRefused,
                         [this](int, const QString& statusText) { m_StatusTexts << statusText; });
    }

    void TearDown() override
    {
        Release();
        m_Hub.Shutdown(10000);
    }

    void Release()
    {
        std::lock_guard guard(m_HoldLock);
        m_bReleased = true;
        m_Released.notify_all();
    }

    CTask Task(const char* name, const char* path)
    {
        CTask task;
        task.m_Name = QString::fromUtf8(name);
        task.m_CheckAction = eCheckHttpGet;
        task.m_HttpGetURL = m_Server.Url(QString::fromUtf8(path));
        task.m_TimeoutSec = 30;
        task.m_AlertSettings.m_AlertMethods = 0;
        return task;
    }

    qsizetype Count(const QString& text) const { return m_Shown.count(text); }

    // Gives the engine time to run whatever it was wrongly handed.
    static void Settle()
    {
        SpinUntil([] { return false; }, 1500ms);
    }

    CTempSettings m_Settings;
    CHttpTestServer m_Server;
    std::mutex m_HoldLock;
    std::condition_variable m_Released;
    bool m_bReleased = false;
    CVigrelDoc m_Document;
    CHub m_Hub {&m_Document};
    QStringList m_Shown;
    QStringList m_StatusTexts;
};

} // namespace

TEST_F(HubHandOver, ATaskRunningOrWaitingIsNotHandedOverAgainByHand)
{
    const int slow = m_Document.AddTask(Task("Slow", "/held"));
    const int quick = m_Document.AddTask(Task("Quick", "/ok"));
    ASSERT_TRUE(m_Hub.Start());
    m_Hub.ExecuteTask(slow);
    ASSERT_TRUE(SpinUntil([&] { return Count(QStringLiteral("Starting task Slow")) == 1; }));
    m_Hub.ExecuteTask(slow);
    m_Hub.ExecuteTask(quick);
    m_Hub.ExecuteTask(quick);
    EXPECT_EQ(m_StatusTexts,
              (QStringList {QStringLiteral("Task Slow is already running"),
                            QStringLiteral("Task Quick is already waiting to run")}));

    Release();
    ASSERT_TRUE(SpinUntil([&] { return Count(QStringLiteral("Finished task Quick")) == 1; }));
    Settle();
    EXPECT_EQ(Count(QStringLiteral("Starting task Slow")), 1) << m_Shown.join(u'\n').toStdString();
    EXPECT_EQ(Count(QStringLiteral("Starting task Quick")), 1) << m_Shown.join(u'\n').toStdString();

    // Once it has ended, the task can be run again.
    m_Hub.ExecuteTask(slow);
    EXPECT_TRUE(SpinUntil([&] { return Count(QStringLiteral("Finished task Slow")) == 2; }));
    EXPECT_EQ(m_StatusTexts.size(), 2);
}

TEST_F(HubHandOver, TheScheduleDoesNotQueueASlowTaskBehindItself)
{
    CTask slow = Task("Slow", "/held");
    slow.m_bTaskScheduled = true;
    slow.m_PingInterval = 1;
    m_Document.AddTask(slow);
    ASSERT_TRUE(m_Hub.Start());
    // Due again on each of these ticks while the first run waits for the server.
    ASSERT_TRUE(SpinUntil([&] { return Count(QStringLiteral("Starting task Slow")) == 1; }));
    SpinUntil([] { return false; }, 3500ms);
    m_Hub.ToggleEngine();

    Release();
    ASSERT_TRUE(SpinUntil([&] { return Count(QStringLiteral("Finished task Slow")) >= 1; }));
    Settle();
    EXPECT_EQ(Count(QStringLiteral("Starting task Slow")), 1) << m_Shown.join(u'\n').toStdString();
    // A tick never says anything in the status bar.
    EXPECT_TRUE(m_StatusTexts.isEmpty());
}

TEST_F(HubHandOver, ARequestTheEngineCouldNotRunDoesNotBlockTheTaskThatLaterHasItsId)
{
    QTemporaryDir dir;
    const QString first = dir.filePath(QStringLiteral("first.cvn"));
    const QString second = dir.filePath(QStringLiteral("second.cvn"));
    QString error;
    ASSERT_TRUE(WriteTaskFile(first, {Task("Slow", "/held"), Task("Deleted", "/ok")}, &error));
    ASSERT_TRUE(WriteTaskFile(second, {Task("Other", "/ok"), Task("Later", "/ok")}, &error));
    ASSERT_TRUE(m_Document.OnOpenDocument(first, &error)) << error.toStdString();
    const QList<CTask> tasks = m_Document.GetTasks();
    int slow = -1;
    int deleted = -1;
    for (const CTask& task : tasks)
        (task.m_Name == u"Slow" ? slow : deleted) = task.m_TaskId;
    ASSERT_TRUE(m_Hub.Start());
    m_Hub.ExecuteTask(slow);
    ASSERT_TRUE(SpinUntil([&] { return Count(QStringLiteral("Starting task Slow")) == 1; }));
    // Deleted while it waits: the engine finds nothing to run for it.
    m_Hub.ExecuteTask(deleted);
    m_Document.DeleteTask(deleted);
    Release();
    ASSERT_TRUE(
        SpinUntil([&] { return Count(QStringLiteral("Ping thread: unable to get the next scheduled task.")); }));

    // Another file reuses the ids; its task with that id runs at once.
    ASSERT_TRUE(m_Document.OnOpenDocument(second, &error)) << error.toStdString();
    CTask later;
    ASSERT_TRUE(m_Document.GetTask(deleted, later));
    m_Hub.ExecuteTask(deleted);
    EXPECT_TRUE(SpinUntil([&] { return Count(QStringLiteral("Finished task ") + later.m_Name) == 1; }));
    EXPECT_TRUE(m_StatusTexts.isEmpty()) << m_StatusTexts.join(u'\n').toStdString();
}

TEST_F(HubHandOver, AListenerMayLogAndAskForPendingWorkWhileAMessageIsShown)
{
    QObject::connect(&m_Hub, &CHub::MessageShown, [&](const CLogMessage& message) {
        (void)m_Hub.HasPendingWork();
        if (message.m_Text.startsWith(u"Starting task"))
            m_Hub.QueueOutputMessage(CLogMessage(eInformational, QStringLiteral("Noted: ") + message.m_Text));
    });
    const int quick = m_Document.AddTask(Task("Quick", "/ok"));
    ASSERT_TRUE(m_Hub.Start());
    m_Hub.ExecuteTask(quick);
    ASSERT_TRUE(SpinUntil([&] { return Count(QStringLiteral("Noted: Starting task Quick")) == 1; }));
    ASSERT_TRUE(SpinUntil([&] { return !m_Hub.HasPendingWork() && Count(QStringLiteral("Finished task Quick")); }));
    // The note comes after the message that caused it, and after what the engine had
    // already reported by then; nothing is shown twice or lost.
    const qsizetype noted = m_Shown.indexOf(QStringLiteral("Noted: Starting task Quick"));
    EXPECT_GT(noted, m_Shown.indexOf(QStringLiteral("Starting task Quick")));
    EXPECT_EQ(Count(QStringLiteral("Starting task Quick")), 1);
    EXPECT_EQ(Count(QStringLiteral("HTTP GET operation succeeded")), 1);
    EXPECT_EQ(Count(QStringLiteral("Finished task Quick")), 1);
}
