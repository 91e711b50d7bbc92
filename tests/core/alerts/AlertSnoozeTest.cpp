// Snoozed alerts: held back by the hub while the snooze lasts, logged instead, and sent again
// once it is over; and the snoozes outlive the program in the settings store.
#include "core/alerts/AlertSnooze.h"
#include "core/shell/Hub.h"
#include "core/shell/Messages.h"
#include "core/support/Clock.h"
#include "core/tasks/VigrelDoc.h"
#include "support/EventLoop.h"
#include "support/HttpTestServer.h"
#include "support/TempSettings.h"
#include "support/TestFiles.h"

#include <QDateTime>
#include <QSignalSpy>

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>

namespace {

// A clock the test moves on by hand: snoozes of an hour end without an hour's wait.
std::atomic<qint64> g_Jump {0};

class AlertSnooze : public ::testing::Test
{
protected:
    void SetUp() override
    {
        g_Jump = 0;
        SetClockForTesting([] { return QDateTime::currentSecsSinceEpoch() + g_Jump.load(); });
    }
    void TearDown() override { SetClockForTesting({}); }

    CTempSettings m_Settings;
};

// A hub with failing tasks that alert through the local server on every failure (the
// server hears the task's name, and the alert's state when the task's URL asks for it).
class SnoozedHub : public AlertSnooze
{
protected:
    void SetUp() override
    {
        AlertSnooze::SetUp();
        m_Server.Get("/alert", [this](const httplib::Request& request, httplib::Response& response) {
            std::lock_guard guard(m_AlertLock);
            QString alert = QString::fromStdString(request.get_param_value("task"));
            if (request.has_param("state"))
                alert += u' ' + QString::fromStdString(request.get_param_value("state"));
            m_Alerts.push_back(alert);
            response.status = 204;
        });
        m_Server.Get("/flaky", [this](const httplib::Request&, httplib::Response& response) {
            response.status = m_bSiteUp ? 200 : 503;
            response.set_content("<html></html>", "text/html");
        });
        ASSERT_TRUE(m_Server.Start());
        QObject::connect(&m_Hub, &CHub::MessageShown, [this](const CLogMessage& message) {
            m_Shown << QStringLiteral("%1 %2 %3")
                           .arg(message.m_Severity.GetCode())
                           .arg(message.m_TaskId)
                           .arg(message.m_Text);
        });
        QObject::connect(&m_Hub, &CHub::ExecuteRefused, [this] { ++m_nRefusals; });
        QObject::connect(&m_Hub, &CHub::TaskStateChanged, [this](int state, int taskId) {
            if (state == TASK_STATE_FINISHED)
                m_Finished << taskId;
        });
    }
    void TearDown() override
    {
        m_Hub.Shutdown(10000);
        AlertSnooze::TearDown();
    }

    int AddFailingTask(const QString& name, int maxFailCount = 0)
    {
        CTask task;
        task.m_Name = name;
        task.m_CheckAction = eCheckHttpGet;
        task.m_HttpGetURL = m_Server.Url(QStringLiteral("/missing"));
        task.m_TimeoutSec = 5;
        task.m_MaxFailCount = maxFailCount;
        task.m_AlertSettings.m_AlertMethods = eAlertHttpGet;
        task.m_AlertSettings.m_bUseDefaultAlertMethods = false;
        task.m_AlertSettings.m_AlertHttpUrl = m_Server.Url(QStringLiteral("/alert?task=%N"));
        return m_Document.AddTask(task);
    }

    QString KeyOf(int taskId)
    {
        CTask task;
        EXPECT_TRUE(m_Document.GetTask(taskId, task));
        return task.m_TaskGuid;
    }

    // Runs the task once and waits until its alert, if any, has been delivered.
    void Run(int taskId)
    {
        const qsizetype before = m_Finished.count(taskId);
        // The hub takes the task back from the engine a turn of the event loop after the
        // engine is done with it, however idle it looks; until then a run is refused.
        ASSERT_TRUE(SpinUntil([&] {
            const int refusals = m_nRefusals;
            m_Hub.ExecuteTask(taskId);
            return m_nRefusals == refusals;
        }));
        ASSERT_TRUE(SpinUntil([&] { return m_Finished.count(taskId) > before; }));
        ASSERT_TRUE(SpinUntil([&] { return !m_Hub.HasPendingWork() && !m_Hub.IsTaskRunning(); }));
    }

    QStringList Alerts()
    {
        std::lock_guard guard(m_AlertLock);
        return m_Alerts;
    }

    CHttpTestServer m_Server;
    std::atomic<bool> m_bSiteUp {false}; // what /flaky answers
    std::mutex m_AlertLock;
    QStringList m_Alerts; // the task name of each alert the server received
    CVigrelDoc m_Document;
    CHub m_Hub {&m_Document};
    QStringList m_Shown;
    QList<int> m_Finished;
    int m_nRefusals = 0;
};

} // namespace

TEST_F(SnoozedHub, ASnoozedTasksAlertIsLoggedNotSentUntilTheSnoozeEnds)
{
    // Shop alerts on every second failure in a row, Blog on every failure.
    const int shop = AddFailingTask(QStringLiteral("Shop"), 1);
    const int blog = AddFailingTask(QStringLiteral("Blog"));
    ASSERT_TRUE(m_Hub.Start());
    const qint64 until = CAlertSnooze::InAnHour(CurrentTime());
    m_Hub.GetAlertSnooze()->Snooze(KeyOf(shop), until);

    Run(shop);
    Run(shop);
    Run(blog);
    EXPECT_EQ(Alerts(), QStringList {QStringLiteral("Blog")});
    const QString snoozedLine
        = QStringLiteral("0 %1 Alert for task Shop snoozed until %2").arg(shop).arg(FormatLocalTime(until));
    EXPECT_EQ(m_Shown.count(snoozedLine), 1) << m_Shown.join(u'\n').toStdString();
    // Said right after the verdict that would have alerted.
    const qsizetype line = m_Shown.indexOf(snoozedLine);
    ASSERT_GT(line, 0);
    EXPECT_TRUE(m_Shown.at(line - 1).startsWith(QStringLiteral("2 %1 ").arg(shop)))
        << m_Shown.at(line - 1).toStdString();

    // The rule counted on while the alert was held back: after the snooze the first
    // failure starts a new count, the second alerts.
    g_Jump = 3601;
    Run(shop);
    EXPECT_EQ(Alerts(), QStringList {QStringLiteral("Blog")});
    Run(shop);
    EXPECT_EQ(Alerts(), (QStringList {QStringLiteral("Blog"), QStringLiteral("Shop")}));
    EXPECT_EQ(m_Shown.filter(QStringLiteral("snoozed")).size(), 1);
}

TEST_F(SnoozedHub, OnlyAFailureAlertThatWentOutIsFollowedByARecoveryAlertAndASnoozeHoldsThatBackToo)
{
    CTask task;
    task.m_Name = QStringLiteral("Shop");
    task.m_CheckAction = eCheckHttpGet;
    task.m_HttpGetURL = m_Server.Url(QStringLiteral("/flaky"));
    task.m_TimeoutSec = 5;
    task.m_bAlertOnRecovery = true;
    task.m_AlertSettings.m_AlertMethods = eAlertHttpGet;
    task.m_AlertSettings.m_bUseDefaultAlertMethods = false;
    task.m_AlertSettings.m_AlertHttpUrl = m_Server.Url(QStringLiteral("/alert?task=%N&state=%S"));
    const int shop = m_Document.AddTask(task);
    ASSERT_TRUE(m_Hub.Start());
    CAlertSnooze* snooze = m_Hub.GetAlertSnooze();

    // Down while snoozed: nobody heard of it, so nobody hears that it is over.
    snooze->Snooze(KeyOf(shop), CAlertSnooze::InAnHour(CurrentTime()));
    Run(shop);
    g_Jump = 3601;
    m_bSiteUp = true;
    Run(shop);
    EXPECT_TRUE(Alerts().isEmpty()) << Alerts().join(u'\n').toStdString();

    // Down with the alert sent, back up in a snooze: the recovery is logged, not sent.
    m_bSiteUp = false;
    Run(shop);
    ASSERT_EQ(Alerts(), QStringList {QStringLiteral("Shop failed")});
    const qint64 until = CAlertSnooze::InAnHour(CurrentTime());
    snooze->Snooze(KeyOf(shop), until);
    m_bSiteUp = true;
    Run(shop);
    EXPECT_EQ(Alerts(), QStringList {QStringLiteral("Shop failed")});
    EXPECT_EQ(m_Shown.count(
                  QStringLiteral("0 %1 Alert for task Shop snoozed until %2").arg(shop).arg(FormatLocalTime(until))),
              1)
        << m_Shown.join(u'\n').toStdString();
}

TEST_F(SnoozedHub, ASnoozeOfEveryTaskHoldsUntilAlertsAreTurnedBackOn)
{
    const int shop = AddFailingTask(QStringLiteral("Shop"));
    const int blog = AddFailingTask(QStringLiteral("Blog"));
    ASSERT_TRUE(m_Hub.Start());
    CAlertSnooze* snooze = m_Hub.GetAlertSnooze();
    snooze->Snooze(CAlertSnooze::kAllTasksKey, CAlertSnooze::kForever);
    g_Jump = 400 * 24 * 3600;
    Run(shop);
    Run(blog);
    EXPECT_TRUE(Alerts().isEmpty());
    EXPECT_TRUE(
        m_Shown.contains(QStringLiteral("0 %1 Alert for task Blog snoozed until alerts are turned back on").arg(blog)));

    // Turned back on for Blog alone: Shop stays snoozed.
    snooze->Resume({KeyOf(blog)}, {KeyOf(shop), KeyOf(blog)});
    Run(shop);
    Run(blog);
    EXPECT_EQ(Alerts(), QStringList {QStringLiteral("Blog")});
    snooze->ResumeAll();
    Run(shop);
    EXPECT_EQ(Alerts(), (QStringList {QStringLiteral("Blog"), QStringLiteral("Shop")}));
}

TEST_F(AlertSnooze, SnoozesOutliveTheProgramAndThoseThatRanOutAreGone)
{
    const qint64 now = CurrentTime();
    {
        CAlertSnooze snooze;
        snooze.Load();
        snooze.Snooze(QStringLiteral("3f0c8a52-2d7e-4c61-9a47-5b1e0d6f2a19"), now + 60);
        snooze.Snooze(QStringLiteral("b7e4a1c0-8f53-4d2a-a6e9-0c1d2e3f4a5b"), now + 7200);
    }
    {
        CAlertSnooze later;
        later.Load();
        EXPECT_EQ(later.SnoozedUntil(QStringLiteral("3f0c8a52-2d7e-4c61-9a47-5b1e0d6f2a19"), now), now + 60);
        EXPECT_EQ(later.SnoozedUntil(QStringLiteral("b7e4a1c0-8f53-4d2a-a6e9-0c1d2e3f4a5b"), now), now + 7200);
        EXPECT_FALSE(later.SnoozedUntil(QStringLiteral("0a1b2c3d-0000-4000-8000-000000000000"), now));
        EXPECT_FALSE(later.AllSnoozed(now));
        // The snooze for every task wins where it lasts longer.
        later.Snooze(CAlertSnooze::kAllTasksKey, now + 3600);
        EXPECT_EQ(later.SnoozedUntil(QStringLiteral("3f0c8a52-2d7e-4c61-9a47-5b1e0d6f2a19"), now), now + 3600);
        EXPECT_EQ(later.SnoozedUntil(QStringLiteral("b7e4a1c0-8f53-4d2a-a6e9-0c1d2e3f4a5b"), now), now + 7200);
    }

    // Two minutes on, the one-minute snooze has run out: gone from the store as well.
    g_Jump = 120;
    CAlertSnooze restarted;
    QSignalSpy changed(&restarted, &CAlertSnooze::Changed);
    restarted.Load();
    EXPECT_EQ(changed.count(), 1);
    EXPECT_EQ(restarted.Entries(CurrentTime()).keys(),
              (QStringList {CAlertSnooze::kAllTasksKey, QStringLiteral("b7e4a1c0-8f53-4d2a-a6e9-0c1d2e3f4a5b")}));
    EXPECT_TRUE(restarted.AllSnoozed(CurrentTime()));
    const QString stored = QString::fromUtf8(ReadBytes(m_Settings.IniPath()));
    EXPECT_FALSE(stored.contains(QStringLiteral("3f0c8a52"))) << stored.toStdString();
    EXPECT_TRUE(stored.contains(QStringLiteral("b7e4a1c0"))) << stored.toStdString();

    // Resuming everything leaves nothing to load.
    restarted.ResumeAll();
    CAlertSnooze after;
    after.Load();
    EXPECT_FALSE(after.AnySnoozed(CurrentTime()));
}

TEST_F(AlertSnooze, TomorrowMorningIsEightLocalTimeOfTheNextDay)
{
    const qint64 evening = QDateTime(QDate(2026, 3, 14), QTime(21, 30), Qt::LocalTime).toSecsSinceEpoch();
    EXPECT_EQ(CAlertSnooze::InAnHour(evening), evening + 3600);
    EXPECT_EQ(CAlertSnooze::TomorrowMorning(evening),
              QDateTime(QDate(2026, 3, 15), QTime(8, 0), Qt::LocalTime).toSecsSinceEpoch());
}
