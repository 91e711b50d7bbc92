// The alert queue behind a delivery that hangs: bounded, and nothing leaves it unreported.
#include "AlertFixture.h"
#include "support/HttpTestServer.h"
#include "support/QtPrinters.h"

#include <QElapsedTimer>

#include <condition_variable>

using namespace std::chrono_literals;

TEST_F(AlertThread, TheQueueIsBoundedAndABurstOfDropsIsReportedOnceWithItsCount)
{
    // The first alert hangs at the server until the test lets it go; the others pass at once.
    CHttpTestServer server;
    std::mutex lock;
    std::condition_variable changed;
    bool released = false;
    int received = 0;
    server.Get("/alert", [&](const httplib::Request&, httplib::Response& response) {
        std::unique_lock guard(lock);
        if (++received == 1) {
            changed.notify_all();
            changed.wait_for(guard, 60s, [&] { return released; });
        }
        response.status = 204;
    });
    ASSERT_TRUE(server.Start());
    CTask task = AlertingTask(eAlertHttpGet);
    task.m_AlertSettings.m_AlertHttpUrl = server.Url(QStringLiteral("/alert"));
    const CAlertRequest request = Request(task, eTaskFailure, QStringLiteral("down"));

    m_Host.Clear();
    m_Alerts.AddAlert(request);
    m_Alerts.PostSendAlert();
    {
        std::unique_lock guard(lock);
        ASSERT_TRUE(changed.wait_for(guard, 20s, [&] { return received == 1; }));
    }
    const int burst = CAlertSenderThread::kMaxQueuedAlerts + 3;
    int queued = 0;
    for (int i = 0; i < burst; ++i) {
        if (m_Alerts.AddAlert(request)) {
            m_Alerts.PostSendAlert();
            ++queued;
        }
    }
    EXPECT_EQ(queued, CAlertSenderThread::kMaxQueuedAlerts);
    {
        std::lock_guard guard(lock);
        released = true;
        changed.notify_all();
    }
    ASSERT_TRUE(WaitUntilDelivered(120s));

    const QString sent = QStringLiteral("4 -1 HTTP alert for task Shop front sent successfully");
    const QString dropped = QStringLiteral("3 -1 3 alerts were dropped: 1000 alerts were already waiting for delivery");
    const QStringList events = m_Host.Events();
    EXPECT_EQ(events.count(sent), CAlertSenderThread::kMaxQueuedAlerts + 1);
    EXPECT_EQ(events.count(dropped), 1);
    // Said as soon as the queue had room again.
    EXPECT_EQ(events.indexOf(dropped), 1) << events.mid(0, 3).join(u'\n').toStdString();
}

TEST_F(AlertThread, ShutdownCutsAHungMailDeliveryShortAndCountsTheAlertsLeft)
{
    CSilentListener hungMailServer;
    ASSERT_TRUE(hungMailServer.IsListening());
    ChangeSettings([&](CAppSettings& settings) {
        settings.m_SmtpServerName = QStringLiteral("127.0.0.1:%1").arg(hungMailServer.Port());
    });
    CTask task = AlertingTask(eAlertEmail);
    task.m_AlertSettings.m_AlertEmailAddresses = QStringLiteral("ops@example.com");
    m_Host.Clear();
    for (int i = 0; i < 3; ++i) {
        m_Alerts.AddAlert(Request(task, eTaskFailure, QStringLiteral("down")));
        m_Alerts.PostSendAlert();
    }
    // The first delivery now waits for a greeting that never comes.
    std::this_thread::sleep_for(500ms);
    ASSERT_EQ(m_Alerts.GetPendingCount(), 3);

    QElapsedTimer clock;
    clock.start();
    EXPECT_TRUE(m_Alerts.Shutdown(60000));
    EXPECT_LT(clock.elapsed(), 15000) << "the delivery under way was waited for";
    EXPECT_EQ(m_Host.Events(),
              (QStringList {QStringLiteral("3 -1 Unable to connect to SMTP server."),
                            QStringLiteral("3 -1 2 queued alerts were not delivered before the shutdown")}));
}
