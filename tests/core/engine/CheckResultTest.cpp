#include "core/history/CheckResult.h"
#include "core/engine/PingThread.h"
#include "support/HttpTestServer.h"
#include "support/RecordingHost.h"
#include "support/TempSettings.h"

#include <QDateTime>

#include <openssl/asn1.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <thread>

using namespace std::chrono_literals;

namespace {

// Keeps, with each record, the event line the host had seen last when the record came: the
// history must be able to pair a record with the verdict the log shows just before it.
class COrderHost : public CRecordingHost
{
public:
    void QueueCheckResult(const CCheckResult& result) override
    {
        const QStringList events = Events();
        {
            std::lock_guard guard(m_OrderLock);
            m_LinesBefore.append(events.isEmpty() ? QString() : events.last());
        }
        CRecordingHost::QueueCheckResult(result);
    }
    QStringList LinesBefore() const
    {
        std::lock_guard guard(m_OrderLock);
        return m_LinesBefore;
    }
    void ClearAll()
    {
        Clear();
        std::lock_guard guard(m_OrderLock);
        m_LinesBefore.clear();
    }

private:
    mutable std::mutex m_OrderLock;
    QStringList m_LinesBefore;
};

const QString kTlsFolder = QStringLiteral(CORVANE_TEST_DATA_DIR "/tls/");

// The notAfter of the test certificate, worked out apart from the engine's way.
qint64 LoopbackCertificateExpiryMs()
{
    FILE* file = std::fopen((kTlsFolder + QStringLiteral("loopback.crt")).toLocal8Bit().constData(), "r");
    if (!file)
        return -2;
    X509* certificate = PEM_read_X509(file, nullptr, nullptr, nullptr);
    std::fclose(file);
    if (!certificate)
        return -2;
    ASN1_TIME* epoch = ASN1_TIME_set(nullptr, 0);
    int days = 0;
    int seconds = 0;
    const bool ok = ASN1_TIME_diff(&days, &seconds, epoch, X509_get0_notAfter(certificate)) == 1;
    ASN1_TIME_free(epoch);
    X509_free(certificate);
    return ok ? (qint64(days) * 86400 + seconds) * 1000 : -2;
}

class CheckResults : public ::testing::Test
{
protected:
    // The engine trusts the test certificate the way a user trusts a private authority.
    static void SetUpTestSuite()
    {
        qputenv("CURL_CA_BUNDLE", (kTlsFolder + QStringLiteral("loopback.crt")).toLocal8Bit());
    }
    static void TearDownTestSuite() { qunsetenv("CURL_CA_BUNDLE"); }

    void SetUp() override
    {
        m_Engine.SetMainFrame(&m_Host);
        ASSERT_TRUE(m_Engine.Start());
    }
    void TearDown() override { EXPECT_TRUE(m_Engine.Shutdown(10000)); }

    CTask MakeTask(int id, int checkAction)
    {
        CTask task;
        task.m_TaskId = id;
        task.m_Name = QStringLiteral("Watched %1").arg(id);
        task.m_TaskGuid = QStringLiteral("0f8fad5b-d9cb-469f-a165-70867728950e");
        task.m_CheckAction = checkAction;
        task.m_TimeoutSec = 5;
        return task;
    }

    void Post(const CTask& task)
    {
        m_Host.ClearAll();
        m_Host.AddTask(task);
        m_Engine.PostRunTask(task.m_TaskId);
    }

    QStringList Run(const CTask& task)
    {
        Post(task);
        EXPECT_TRUE(m_Host.WaitForEvent(QStringLiteral("state 2 %1").arg(task.m_TaskId)));
        return m_Host.Events();
    }

    // The one record of the run just made, after checking that it came right after the line
    // `before` and carries what every record carries.
    CCheckResult OnlyResult(const CTask& task, const QString& before)
    {
        const QList<CCheckResult> results = m_Host.Results();
        EXPECT_EQ(results.size(), 1);
        if (results.size() != 1)
            return {};
        EXPECT_EQ(m_Host.LinesBefore(), QStringList {before});
        const CCheckResult& result = results.first();
        EXPECT_EQ(result.m_TaskKey, task.m_TaskGuid);
        EXPECT_EQ(result.m_TaskName, task.m_Name);
        EXPECT_EQ(result.m_TaskId, task.m_TaskId);
        EXPECT_EQ(result.m_CheckKind, task.m_CheckAction);
        const qint64 now = QDateTime::currentMSecsSinceEpoch();
        EXPECT_GT(result.m_StartMs, now - 60 * 1000);
        EXPECT_LE(result.m_StartMs, now);
        // A ping of no host fails without a single system call: under a microsecond is a true 0.
        EXPECT_GE(result.m_DurationUs, 0);
        EXPECT_LT(result.m_DurationUs, 60 * 1000 * 1000);
        return result;
    }

    // The verdict line of the events, and the record that must follow it.
    CCheckResult VerdictResult(const CTask& task, const QStringList& events, int severity, const QString& text)
    {
        const QString line = QStringLiteral("%1 %2 %3").arg(severity).arg(task.m_TaskId).arg(text);
        EXPECT_TRUE(events.contains(line)) << events.join(u'\n').toStdString();
        return OnlyResult(task, line);
    }

    static void ExpectTimesInOrder(const CCheckResult& result)
    {
        EXPECT_GE(result.m_LookupUs, 0);
        EXPECT_LE(result.m_LookupUs, result.m_ConnectUs);
        EXPECT_LE(result.m_ConnectUs, result.m_FirstByteUs);
        EXPECT_LE(result.m_FirstByteUs, result.m_TotalUs);
        EXPECT_GT(result.m_TotalUs, 0);
        EXPECT_EQ(result.ResponseUs(), result.m_TotalUs);
    }

    CTempSettings m_Settings;
    COrderHost m_Host;
    CPingThread m_Engine;
};

} // namespace

TEST_F(CheckResults, GetOverHttpRecordsTheAnswerWhereTheRedirectLed)
{
    const std::string body = "<html><body>Moved in</body></html>";
    CHttpTestServer server;
    server.Get("/old", [](const httplib::Request&, httplib::Response& response) { response.set_redirect("/new"); });
    server.Get("/new", [&body](const httplib::Request&, httplib::Response& response) {
        response.set_content(body, "text/html");
    });
    ASSERT_TRUE(server.Start());
    CTask task = MakeTask(1, eCheckHttpGet);
    task.m_HttpGetURL = server.Url(QStringLiteral("/old"));

    const CCheckResult result
        = VerdictResult(task, Run(task), eTaskSuccess, QStringLiteral("HTTP GET operation succeeded"));
    EXPECT_EQ(result.m_Verdict, eVerdict::eSuccess);
    EXPECT_EQ(result.m_Text, u"HTTP GET operation succeeded");
    EXPECT_EQ(result.m_StatusCode, 200);
    EXPECT_EQ(result.m_Bytes, qint64(body.size()));
    EXPECT_EQ(result.m_FinalUrl, server.Url(QStringLiteral("/new")));
    ExpectTimesInOrder(result);
    EXPECT_EQ(result.m_TlsUs, -1);
    EXPECT_EQ(result.m_CertExpiryMs, -1);
    EXPECT_EQ(result.m_RoundTripUs, -1);
    EXPECT_EQ(result.m_PagesFetched, -1);
}

TEST_F(CheckResults, HttpsGetRecordsTheCertificateExpiryAlsoOnAKeptAliveConnection)
{
    const qint64 expiry = LoopbackCertificateExpiryMs();
    ASSERT_GT(expiry, 0);
    CHttpTestServer server(CHttpTestServer::eHttpsSelfSigned);
    server.Get("/", [](const httplib::Request&, httplib::Response& response) {
        response.set_content("<html>secure</html>", "text/html");
    });
    ASSERT_TRUE(server.Start());
    CTask task = MakeTask(2, eCheckHttpGet);
    task.m_HttpGetURL = server.Url(QStringLiteral("/"));

    for (int run = 1; run <= 2; ++run) {
        SCOPED_TRACE(run);
        const CCheckResult result
            = VerdictResult(task, Run(task), eTaskSuccess, QStringLiteral("HTTP GET operation succeeded"));
        EXPECT_EQ(result.m_StatusCode, 200);
        EXPECT_EQ(result.m_CertExpiryMs, expiry);
        EXPECT_GE(result.m_TlsUs, 0);
        EXPECT_EQ(result.m_FinalUrl, task.m_HttpGetURL);
        // On a kept-alive connection libcurl reports the connect and handshake times as 0.
        if (run == 1)
            ExpectTimesInOrder(result);
        EXPECT_GT(result.m_TotalUs, 0);
    }
    // Otherwise the second run proved nothing about a connection that made no handshake.
    EXPECT_EQ(server.RequestCount(), 2);
    EXPECT_EQ(server.ConnectionCount(), 1);
}

TEST_F(CheckResults, AFailedGetKeepsTheFiguresOfTheAnswer)
{
    CHttpTestServer server;
    server.Get("/gone", [](const httplib::Request&, httplib::Response& response) {
        response.status = 404;
        response.set_content("<html>not here</html>", "text/html");
    });
    ASSERT_TRUE(server.Start());
    CTask task = MakeTask(3, eCheckHttpGetPattern);
    task.m_ExpectedPattern = QStringLiteral("here");
    task.m_HttpGetURL = server.Url(QStringLiteral("/gone"));

    const QString verdict = QStringLiteral("'%1' Bad status code for the GET operation received from the server: 404")
                                .arg(task.m_HttpGetURL);
    const CCheckResult result = VerdictResult(task, Run(task), eTaskFailure, verdict);
    EXPECT_EQ(result.m_Verdict, eVerdict::eFailure);
    EXPECT_EQ(result.m_Text, verdict);
    EXPECT_EQ(result.m_StatusCode, 404);
    EXPECT_EQ(result.m_FinalUrl, task.m_HttpGetURL);
    ExpectTimesInOrder(result);

    // No answer at all: no status and no response time, but still a record.
    CRefusingPort refusing;
    task.m_HttpGetURL = refusing.Url(QStringLiteral("/"));
    const QStringList events = Run(task);
    const QList<CCheckResult> results = m_Host.Results();
    ASSERT_EQ(results.size(), 1);
    EXPECT_EQ(results.first().m_Verdict, eVerdict::eFailure);
    EXPECT_TRUE(events.contains(QStringLiteral("2 3 ") + results.first().m_Text));
    EXPECT_EQ(results.first().m_StatusCode, -1);
    EXPECT_EQ(results.first().ResponseUs(), -1);
}

TEST_F(CheckResults, StoppedRunsAreRecordedAsStopped)
{
    CHttpTestServer server;
    server.Get("/", [](const httplib::Request&, httplib::Response& response) {
        response.set_content("<a href='slow'>slow</a>", "text/html");
    });
    server.Get("/slow", [&server](const httplib::Request&, httplib::Response& response) {
        server.Pause(20s);
        response.set_content("late", "text/html");
    });
    ASSERT_TRUE(server.Start());
    const auto runAndStop = [&](const CTask& task, int requests) {
        const int before = server.RequestCount();
        Post(task);
        while (server.RequestCount() < before + requests)
            std::this_thread::sleep_for(10ms);
        m_Engine.StopTask();
        EXPECT_TRUE(m_Host.WaitForEvent(QStringLiteral("state 2 %1").arg(task.m_TaskId)));
        return m_Host.Events();
    };

    CTask get = MakeTask(4, eCheckHttpGet);
    get.m_TimeoutSec = 30;
    get.m_HttpGetURL = server.Url(QStringLiteral("/slow"));
    runAndStop(get, 1);
    const CCheckResult stoppedGet = OnlyResult(get, QStringLiteral("6 -1 Task execution stopped"));
    EXPECT_EQ(stoppedGet.m_Verdict, eVerdict::eStopped);
    EXPECT_EQ(stoppedGet.m_Text, u"Task execution stopped");
    EXPECT_EQ(stoppedGet.ResponseUs(), -1);

    // A stopped crawl still reports what it fetched, after the stop: its record is that report.
    CTask crawl = MakeTask(5, eCheckSpider);
    crawl.m_TimeoutSec = 30;
    crawl.m_SpiderUrl = server.Url(QStringLiteral("/"));
    const QStringList events = runAndStop(crawl, 2);
    const QString report = QStringLiteral("Spider operation succeeded.\n\nThe following links were checked:\n\n"
                                          "Succesfully retrieved '%1'. Referenced on 'Task URL'\n")
                               .arg(crawl.m_SpiderUrl);
    const CCheckResult stoppedCrawl = VerdictResult(crawl, events, eTaskSuccess, report);
    EXPECT_EQ(stoppedCrawl.m_Verdict, eVerdict::eStopped);
    EXPECT_EQ(stoppedCrawl.m_Text, report);
    // The page the stop cut off was not fetched.
    EXPECT_EQ(stoppedCrawl.m_PagesFetched, 1);
    EXPECT_EQ(stoppedCrawl.m_StatusCode, 200);
    EXPECT_EQ(stoppedCrawl.ResponseUs(), -1);
}

TEST_F(CheckResults, ACrawlRecordsItsPagesBrokenLinksAndStartPage)
{
    const std::string start = "<a href='a.html'>a</a> <a href='gone.html'>gone</a>";
    CHttpTestServer server;
    server.Get("/", [&start](const httplib::Request&, httplib::Response& response) {
        response.set_content(start, "text/html");
    });
    server.Get("/a.html", [](const httplib::Request&, httplib::Response& response) {
        response.set_content("<a href='deep/lost.html'>lost</a> <a href='/'>home</a>", "text/html");
    });
    server.Get("/deep/lost.html", [](const httplib::Request&, httplib::Response& response) {
        response.status = 500;
        response.set_content("<html>broken</html>", "text/html");
    });
    ASSERT_TRUE(server.Start());
    CTask task = MakeTask(6, eCheckSpider);
    task.m_SpiderUrl = server.Url(QStringLiteral("/"));
    const QStringList events = Run(task);

    const QString verdict = events.filter(QStringLiteral("2 6 Spider operation failed.")).value(0).mid(4);
    const CCheckResult result = VerdictResult(task, events, eTaskFailure, verdict);
    EXPECT_EQ(result.m_Verdict, eVerdict::eFailure);
    EXPECT_EQ(result.m_PagesFetched, 4);
    const auto badStatus = [&](const char* path, int status) {
        return QStringLiteral("'%1' Bad status code for the GET operation received from the server: %2")
            .arg(server.Url(QString::fromUtf8(path)))
            .arg(status);
    };
    const QList<CBrokenLink> broken {
        {server.Url(QStringLiteral("/gone.html")), task.m_SpiderUrl, badStatus("/gone.html", 404)},
        {server.Url(QStringLiteral("/deep/lost.html")), server.Url(QStringLiteral("/a.html")),
         badStatus("/deep/lost.html", 500)},
    };
    EXPECT_EQ(result.m_BrokenLinks, broken);
    // Each is what the report says of it.
    for (const CBrokenLink& link : broken) {
        EXPECT_TRUE(verdict.contains(QStringLiteral("Error retrieving ") + link.m_Error
                                     + QStringLiteral(". Referenced on '") + link.m_Referrer + QStringLiteral("'\n")))
            << link.m_Url.toStdString();
    }
    EXPECT_EQ(result.m_StatusCode, 200);
    EXPECT_EQ(result.m_Bytes, qint64(start.size()));
    EXPECT_EQ(result.m_FinalUrl, task.m_SpiderUrl);
    EXPECT_GT(result.m_TotalUs, 0);
    EXPECT_EQ(result.ResponseUs(), result.m_DurationUs);
}

TEST_F(CheckResults, PingRecordsTheRoundTripWhenAnswered)
{
    CTask task = MakeTask(7, eCheckPing);
    task.m_PingHost = QStringLiteral("127.0.0.1");
    const CCheckResult answered
        = VerdictResult(task, Run(task), eTaskSuccess, QStringLiteral("Ping operation succeeded"));
    EXPECT_EQ(answered.m_Verdict, eVerdict::eSuccess);
    EXPECT_GE(answered.m_RoundTripUs, 0);
    EXPECT_EQ(answered.m_RoundTripUs % 1000, 0); // the reply counts whole milliseconds
    EXPECT_EQ(answered.ResponseUs(), answered.m_RoundTripUs);
    EXPECT_EQ(answered.m_StatusCode, -1);

    task.m_PingHost.clear();
    const CCheckResult failed = VerdictResult(task, Run(task), eTaskFailure, QStringLiteral("Ping operation failed"));
    EXPECT_EQ(failed.m_Verdict, eVerdict::eFailure);
    EXPECT_EQ(failed.m_RoundTripUs, -1);
}

TEST_F(CheckResults, RunsWithoutAVerdictLeaveNoRecord)
{
    for (const int action : {int(eCheckNone), 9}) {
        Run(MakeTask(8, action));
        EXPECT_TRUE(m_Host.Results().isEmpty()) << action;
    }
    // A task that is gone; the run posted after it proves the engine is done with it.
    m_Host.ClearAll();
    m_Engine.PostRunTask(42);
    m_Host.AddTask(MakeTask(8, eCheckNone));
    m_Engine.PostRunTask(8);
    ASSERT_TRUE(m_Host.WaitForEvent(QStringLiteral("state 2 8")));
    EXPECT_TRUE(m_Host.Events().contains(QStringLiteral("3 -1 Ping thread: unable to get the next scheduled task.")));
    EXPECT_TRUE(m_Host.Results().isEmpty());
}
