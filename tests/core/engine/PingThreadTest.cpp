#include "EngineFixture.h"

#include <QElapsedTimer>

using namespace std::chrono_literals;

TEST_F(Engine, ANormalRunIsAnnouncedCheckedAndFinished)
{
    CHttpTestServer server;
    Serve(server, {{"/", {"text/html", "<html><body>Welcome home</body></html>"}}});
    ASSERT_TRUE(server.Start());
    CTask task = MakeTask(7, QStringLiteral("Home"), eCheckHttpGet);
    task.m_HttpGetURL = server.Url(QStringLiteral("/"));
    EXPECT_EQ(Run(task),
              (QStringList {
                  QStringLiteral("0 -1 Starting task Home"),
                  QStringLiteral("state 1 7"),
                  QStringLiteral("1 7 HTTP GET operation succeeded"),
                  QStringLiteral("0 -1 Finished task Home"),
                  QStringLiteral("state 2 7"),
              }));
}

TEST_F(Engine, AnUnknownCheckActionIsAnApplicationFailureWithoutVerdict)
{
    EXPECT_EQ(Run(MakeTask(3, QStringLiteral("New task"), eCheckNone)),
              (QStringList {
                  QStringLiteral("0 -1 Starting task New task"),
                  QStringLiteral("state 1 3"),
                  QStringLiteral("3 -1 Attempt to start task New task failed. Incorrect task action parameter"),
                  QStringLiteral("0 -1 Finished task New task"),
                  QStringLiteral("state 2 3"),
              }));
    EXPECT_EQ(Verdict(Run(MakeTask(4, QStringLiteral("Odd"), 9)), 4), QString());
}

TEST_F(Engine, ATaskThatIsGoneIsReportedAndNothingElse)
{
    m_Engine.PostRunTask(42);
    const QString line = QStringLiteral("3 -1 Ping thread: unable to get the next scheduled task.");
    ASSERT_TRUE(m_Host.WaitForEvent(line));
    // A later run proves the engine went on, and that nothing else was said about task 42.
    Run(MakeTask(5, QStringLiteral("After"), eCheckNone));
    EXPECT_EQ(m_Host.Events().filter(u" 42").size(), 0);
}

TEST_F(Engine, RequestsRunOneAfterAnotherInTheOrderPosted)
{
    m_Host.AddTask(MakeTask(1, QStringLiteral("first"), eCheckNone));
    m_Host.AddTask(MakeTask(2, QStringLiteral("second"), eCheckNone));
    m_Engine.PostRunTask(1);
    m_Engine.PostRunTask(2);
    ASSERT_TRUE(m_Host.WaitForEvent(QStringLiteral("state 2 2")));
    const QStringList states = m_Host.Events().filter(QStringLiteral("state"));
    EXPECT_EQ(states,
              (QStringList {QStringLiteral("state 1 1"), QStringLiteral("state 2 1"), QStringLiteral("state 1 2"),
                            QStringLiteral("state 2 2")}));
}

TEST_F(Engine, HttpGetVerdicts)
{
    CHttpTestServer server;
    Serve(server,
          {
              {"/page", {"text/html; charset=utf-8", "<p>Order Now before Friday</p>"}},
              {"/plain", {"text/plain", "Order Now"}},
          });
    ASSERT_TRUE(server.Start());
    struct Case
    {
        const char* path;
        int action;
        const char* pattern;
        QString verdict;
    };
    const Case cases[] = {
        {"/page", eCheckHttpGetPattern, "Order Now", QStringLiteral("1 9 Expected pattern found.")},
        {"/page", eCheckHttpGetPattern, "order now", QStringLiteral("2 9 Expected pattern not found.")},
        {"/page", eCheckHttpGetPattern, "", QStringLiteral("1 9 Expected pattern found.")},
        {"/plain", eCheckHttpGet, "", QStringLiteral("1 9 HTTP GET operation succeeded")},
        {"/plain", eCheckHttpGetPattern, "Order Now",
         QStringLiteral("2 9 File is not textual. Unable to perform substring search.")},
        {"/gone", eCheckHttpGet, "",
         QStringLiteral("2 9 '%1' Bad status code for the GET operation received from the server: 404")
             .arg(server.Url(QStringLiteral("/gone")))},
    };
    for (const Case& c : cases) {
        CTask task = MakeTask(9, QStringLiteral("Shop"), c.action);
        task.m_HttpGetURL = server.Url(QString::fromUtf8(c.path));
        task.m_ExpectedPattern = QString::fromUtf8(c.pattern);
        EXPECT_EQ(Verdict(Run(task), 9), c.verdict) << c.path << " / " << c.pattern;
    }
}

TEST_F(Engine, StopAbortsASingleGetAtOnceWithoutAVerdict)
{
    CHttpTestServer server;
    server.Get("/slow", [&server](const httplib::Request&, httplib::Response& response) {
        server.Pause(20s);
        response.set_content("late", "text/html");
    });
    ASSERT_TRUE(server.Start());
    CTask task = MakeTask(11, QStringLiteral("Slow"), eCheckHttpGet);
    task.m_TimeoutSec = 30;
    task.m_HttpGetURL = server.Url(QStringLiteral("/slow"));
    m_Host.AddTask(task);
    m_Engine.PostRunTask(11);
    ASSERT_TRUE(m_Host.WaitForEvent(QStringLiteral("state 1 11")));
    while (server.RequestCount() == 0)
        std::this_thread::sleep_for(10ms);
    EXPECT_TRUE(m_Engine.IsBusy());
    QElapsedTimer timer;
    timer.start();
    m_Engine.StopTask();
    ASSERT_TRUE(m_Host.WaitForEvent(QStringLiteral("state 2 11")));
    EXPECT_LT(timer.elapsed(), 3000);
    EXPECT_EQ(m_Host.Events(),
              (QStringList {
                  QStringLiteral("0 -1 Starting task Slow"),
                  QStringLiteral("state 1 11"),
                  QStringLiteral("state 3 11"),
                  QStringLiteral("6 -1 Task execution stopped"),
                  QStringLiteral("0 -1 Finished task Slow"),
                  QStringLiteral("state 2 11"),
              }));

    // The stop was used up: it does not cancel the next run.
    CTask next = MakeTask(12, QStringLiteral("Next"), eCheckNone);
    EXPECT_EQ(Run(next).filter(QStringLiteral("stop")).size(), 0);
}

TEST_F(Engine, AStopAskedForWhileIdleDoesNotCancelTheNextRun)
{
    m_Engine.StopTask();
    const QStringList events = Run(MakeTask(13, QStringLiteral("Later"), eCheckNone));
    EXPECT_EQ(events.first(), u"0 -1 Starting task Later");
    EXPECT_FALSE(events.contains(QStringLiteral("6 -1 Task execution stopped")));
}

TEST_F(Engine, PingOfLoopbackAnswers)
{
    CTask task = MakeTask(21, QStringLiteral("Loopback"), eCheckPing);
    task.m_PingHost = QStringLiteral("127.0.0.1");
    const QStringList events = Run(task);
    EXPECT_EQ(Verdict(events, 21), u"1 21 Ping operation succeeded") << events.join(u'\n').toStdString();

    task.m_PingHost.clear();
    EXPECT_EQ(Verdict(Run(task), 21), u"2 21 Ping operation failed");
}

TEST_F(Engine, TimeOutsFromAHandEditedFileStayUsable)
{
    // A task file may hold any number. One too big for milliseconds must not wrap round to a
    // short time-out; one below a second counts as a second, not as no time at all.
    CHttpTestServer server;
    server.Get("/slow", [&server](const httplib::Request&, httplib::Response& response) {
        server.Pause(1500ms);
        response.set_content("<p>late, but here</p>", "text/html");
    });
    // A short pause between two parts of the body: a stall of a moment, not of a second.
    server.Get("/pauses", [&server](const httplib::Request&, httplib::Response& response) {
        response.set_chunked_content_provider("text/html", [&server](size_t, httplib::DataSink& sink) {
            sink.write("<p>one", 6);
            server.Pause(300ms);
            sink.write(" two</p>", 8);
            sink.done();
            return true;
        });
    });
    ASSERT_TRUE(server.Start());
    CSilentListener silent;
    ASSERT_TRUE(silent.IsListening());

    for (const int timeout : {2147483647, 4294968}) {
        CTask get = MakeTask(31, QStringLiteral("Patient"), eCheckHttpGet);
        get.m_TimeoutSec = timeout;
        get.m_HttpGetURL = server.Url(QStringLiteral("/slow"));
        EXPECT_EQ(Verdict(Run(get), 31), QStringLiteral("1 31 HTTP GET operation succeeded")) << timeout;
        CTask spider = MakeTask(32, QStringLiteral("Patient site"), eCheckSpider);
        spider.m_TimeoutSec = timeout;
        spider.m_SpiderUrl = server.Url(QStringLiteral("/slow"));
        EXPECT_TRUE(Verdict(Run(spider), 32).startsWith(u"1 32 Spider operation succeeded.")) << timeout;
    }
    for (const int timeout : {0, -1, INT_MIN}) {
        CTask ping = MakeTask(33, QStringLiteral("Hasty ping"), eCheckPing);
        ping.m_TimeoutSec = timeout;
        ping.m_PingHost = QStringLiteral("127.0.0.1");
        EXPECT_EQ(Verdict(Run(ping), 33), QStringLiteral("1 33 Ping operation succeeded")) << timeout;
        CTask get = MakeTask(34, QStringLiteral("Hasty"), eCheckHttpGet);
        get.m_TimeoutSec = timeout;
        get.m_HttpGetURL = server.Url(QStringLiteral("/pauses"));
        EXPECT_EQ(Verdict(Run(get), 34), QStringLiteral("1 34 HTTP GET operation succeeded")) << timeout;
        // A server that never answers still fails, after that second (the run is bounded by
        // the wait for its end).
        get.m_HttpGetURL = silent.Url(QStringLiteral("/"));
        EXPECT_TRUE(Verdict(Run(get), 34).contains(u"Timeout was reached")) << timeout;
    }
}
