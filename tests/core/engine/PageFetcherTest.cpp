#include "core/engine/PageFetcher.h"

#include "Version.h"
#include "support/HttpTestServer.h"

#include <QElapsedTimer>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

using ::testing::HasSubstr;
using ::testing::StartsWith;

namespace {
constexpr size_t kMiB = 1024 * 1024;

const QString kEstablishFailed
    = QStringLiteral("' Unable to establish the internet connection because of this error: ");
const QString kReadFailed = QStringLiteral("' Unable to get the file from the server because of this error: ");

struct CFetch
{
    eFileRetrieveStatus status = eFileRetrieved;
    QString error;
    QByteArray content;
    double seconds = 0;
};

CFetch Fetch(CPageFetcher& fetcher, const QString& url, quint32 timeoutMs = 5000)
{
    CFetch fetch;
    QElapsedTimer timer;
    timer.start();
    fetch.status = fetcher.RetrieveFile(url, timeoutMs, fetch.error, fetch.content);
    fetch.seconds = double(timer.elapsed()) / 1000.0;
    return fetch;
}

void ServeText(httplib::Response& response, const std::string& body, const std::string& type, int status = 200)
{
    response.status = status;
    response.set_content(body, type);
}

// Waits, bounded, until a server-side handler reports that it ran to its end.
class CSignal
{
public:
    void Set()
    {
        std::lock_guard lock(m_Lock);
        m_bSet = true;
        m_Changed.notify_all();
    }
    bool Wait()
    {
        std::unique_lock lock(m_Lock);
        return m_Changed.wait_for(lock, std::chrono::seconds(10), [this] { return m_bSet; });
    }

private:
    std::mutex m_Lock;
    std::condition_variable m_Changed;
    bool m_bSet = false;
};

// Streams size bytes in 1 MiB writes without holding them: the body of a big download.
httplib::ContentProviderWithoutLength StreamOf(size_t size, std::atomic<size_t>* sent = nullptr)
{
    return [size, sent, offset = size_t(0)](size_t, httplib::DataSink& sink) mutable {
        static const std::string block(kMiB, 'x');
        while (offset < size) {
            const size_t length = std::min(block.size(), size - offset);
            if (!sink.write(block.data(), length)) {
                return false;
            }
            offset += length;
            if (sent) {
                *sent = offset;
            }
        }
        sink.done();
        return true;
    };
}

class PageFetcherTest : public ::testing::Test
{
protected:
    void StartServer() { ASSERT_TRUE(m_Server.Start()); }
    QString Url(const char* path) const { return m_Server.Url(QString::fromLatin1(path)); }

    CHttpTestServer m_Server;
};
} // namespace

TEST_F(PageFetcherTest, ReadsHtmlWhateverTheSpellingOfItsType)
{
    const std::vector<std::string> types {"text/html", "text/html; charset=utf-8", "TEXT/HTML",
                                          "application/xml, text/html"};
    // Bytes as sent: no decoding, NUL and non-UTF-8 bytes kept.
    const std::string page("<html>Caf\xe9\0 ok</html>", 19);
    for (size_t i = 0; i < types.size(); ++i) {
        m_Server.Get("/page" + std::to_string(i),
                     [&page, type = types[i]](const httplib::Request&, httplib::Response& response) {
                         ServeText(response, page, type);
                     });
    }
    StartServer();
    CPageFetcher fetcher;
    for (size_t i = 0; i < types.size(); ++i) {
        SCOPED_TRACE(types[i]);
        QString error;
        QByteArray content("kept:");
        EXPECT_EQ(fetcher.RetrieveFile(m_Server.Url(QStringLiteral("/page%1").arg(i)), 5000, error, content),
                  eFileRetrieved);
        EXPECT_EQ(content, QByteArray("kept:") + QByteArray(page.data(), qsizetype(page.size())));
        EXPECT_TRUE(error.isEmpty());
        EXPECT_FALSE(fetcher.WasStopped());
    }
}

TEST_F(PageFetcherTest, SendsItsNameAndAsksPastCaches)
{
    m_Server.Get(
        "/", [](const httplib::Request&, httplib::Response& response) { ServeText(response, "<html/>", "text/html"); });
    StartServer();
    CPageFetcher fetcher;
    ASSERT_EQ(Fetch(fetcher, Url("/")).status, eFileRetrieved);
    const httplib::Headers headers = m_Server.LastRequestHeaders();
    const auto header = [&headers](const char* name) {
        const auto found = headers.find(name);
        return found == headers.end() ? std::string("(none)") : found->second;
    };
    EXPECT_EQ(header("User-Agent"), "Corvane/" CORVANE_VERSION);
    EXPECT_EQ(header("Cache-Control"), "no-cache");
}

TEST_F(PageFetcherTest, LeavesAnswersThatAreNotHtmlUndownloaded)
{
    constexpr size_t bigSize = 32 * kMiB;
    std::atomic<size_t> sent {0};
    CSignal finished;
    m_Server.Get("/big.txt", [&](const httplib::Request&, httplib::Response& response) {
        response.set_content_provider("text/plain", StreamOf(bigSize, &sent), [&finished](bool) { finished.Set(); });
    });
    m_Server.Get("/empty.json", [](const httplib::Request&, httplib::Response& response) {
        ServeText(response, "", "application/json");
    });
    m_Server.Get("/page", [](const httplib::Request&, httplib::Response& response) {
        ServeText(response, "<html/>", "text/html");
    });
    StartServer();
    CPageFetcher fetcher;

    QString error = QStringLiteral("untouched");
    QByteArray content("untouched");
    EXPECT_EQ(fetcher.RetrieveFile(Url("/big.txt"), 5000, error, content), eFileNotText);
    EXPECT_EQ(error, QStringLiteral("untouched"));
    EXPECT_EQ(content, QByteArray("untouched"));
    ASSERT_TRUE(finished.Wait());
    // Socket buffers on loopback take a few MiB before the abort is seen; the rest never moves.
    EXPECT_LT(sent.load(), bigSize / 2);

    EXPECT_EQ(fetcher.RetrieveFile(Url("/empty.json"), 5000, error, content), eFileNotText);
    EXPECT_EQ(content, QByteArray("untouched"));

    // An abandoned transfer leaves the fetcher fit for the next page.
    const CFetch next = Fetch(fetcher, Url("/page"));
    EXPECT_EQ(next.status, eFileRetrieved);
    EXPECT_EQ(next.content, QByteArray("<html/>"));
}

TEST_F(PageFetcherTest, AnswerWithoutContentTypeFails)
{
    m_Server.Get("/untyped", [](const httplib::Request&, httplib::Response& response) { response.status = 200; });
    // The type of the redirect is not the type of the page it leads to.
    m_Server.Get("/typed-redirect", [](const httplib::Request&, httplib::Response& response) {
        ServeText(response, "<html>moved</html>", "text/html", 302);
        response.set_header("Location", "/untyped");
    });
    StartServer();
    CPageFetcher fetcher;
    for (const char* path : {"/untyped", "/typed-redirect"}) {
        SCOPED_TRACE(path);
        const CFetch fetch = Fetch(fetcher, Url(path));
        EXPECT_EQ(fetch.status, eFileRetrieveError);
        EXPECT_EQ(fetch.error,
                  QLatin1Char('\'') + Url(path)
                      + QStringLiteral("' Unable to get the content type from http file retrieval."));
    }
}

TEST_F(PageFetcherTest, AcceptsOnly2xxAnswers)
{
    m_Server.Get("/missing", [](const httplib::Request&, httplib::Response& response) {
        ServeText(response, "<html>Not here</html>", "text/html", 404);
    });
    m_Server.Get("/odd", [](const httplib::Request&, httplib::Response& response) {
        ServeText(response, "<html>odd</html>", "text/html", 299);
    });
    // 300 without Location: nothing to follow, so it is the final answer.
    m_Server.Get("/choices", [](const httplib::Request&, httplib::Response& response) {
        ServeText(response, "<html>choose</html>", "text/html", 300);
    });
    m_Server.Get("/choices-empty", [](const httplib::Request&, httplib::Response& response) { response.status = 300; });
    StartServer();
    CPageFetcher fetcher;

    // The URL comes back exactly as passed, percent signs and all.
    const CFetch missing = Fetch(fetcher, Url("/missing?q=%1F"));
    EXPECT_EQ(missing.status, eFileRetrieveError);
    EXPECT_EQ(missing.error,
              QLatin1Char('\'') + Url("/missing?q=%1F")
                  + QStringLiteral("' Bad status code for the GET operation received from the server: 404"));
    EXPECT_TRUE(missing.content.isEmpty());

    const CFetch odd = Fetch(fetcher, Url("/odd"));
    EXPECT_EQ(odd.status, eFileRetrieved);
    EXPECT_EQ(odd.content, QByteArray("<html>odd</html>"));

    for (const char* path : {"/choices", "/choices-empty"}) {
        SCOPED_TRACE(path);
        const CFetch choices = Fetch(fetcher, Url(path));
        EXPECT_EQ(choices.status, eFileRetrieveError);
        EXPECT_EQ(choices.error,
                  QLatin1Char('\'') + Url(path)
                      + QStringLiteral("' Bad status code for the GET operation received from the server: 300"));
        EXPECT_TRUE(choices.content.isEmpty());
    }
}

TEST_F(PageFetcherTest, FollowsRedirectsAndJudgesTheFinalAnswer)
{
    // The redirects carry bodies and types of their own; neither may leak into the result.
    m_Server.Get("/old", [](const httplib::Request&, httplib::Response& response) {
        ServeText(response, "moved for good", "text/plain", 301);
        response.set_header("Location", "/older");
    });
    m_Server.Get("/older", [](const httplib::Request&, httplib::Response& response) {
        ServeText(response, "<html>moved for now</html>", "text/html", 302);
        response.set_header("Location", "/new");
    });
    m_Server.Get("/new", [](const httplib::Request&, httplib::Response& response) {
        ServeText(response, "<html>new</html>", "text/html");
    });
    m_Server.Get("/to-missing",
                 [](const httplib::Request&, httplib::Response& response) { response.set_redirect("/gone", 302); });
    m_Server.Get("/to-text", [](const httplib::Request&, httplib::Response& response) {
        ServeText(response, "<html>moved</html>", "text/html", 301);
        response.set_header("Location", "/text");
    });
    m_Server.Get("/text", [](const httplib::Request&, httplib::Response& response) {
        ServeText(response, "plain", "text/plain");
    });
    m_Server.Get("/loop",
                 [](const httplib::Request&, httplib::Response& response) { response.set_redirect("/loop", 302); });
    StartServer();
    CPageFetcher fetcher;

    const CFetch chain = Fetch(fetcher, Url("/old"));
    EXPECT_EQ(chain.status, eFileRetrieved);
    EXPECT_EQ(chain.content, QByteArray("<html>new</html>"));
    EXPECT_EQ(m_Server.RequestedPaths(), (std::vector<std::string> {"/old", "/older", "/new"}));
    EXPECT_EQ(fetcher.GetEffectiveUrl(), Url("/new")); // what the page's links are relative to

    const CFetch missing = Fetch(fetcher, Url("/to-missing"));
    EXPECT_EQ(missing.status, eFileRetrieveError);
    EXPECT_EQ(missing.error,
              QLatin1Char('\'') + Url("/to-missing")
                  + QStringLiteral("' Bad status code for the GET operation received from the server: 404"));

    EXPECT_EQ(Fetch(fetcher, Url("/to-text")).status, eFileNotText);

    const int requestsBefore = m_Server.RequestCount();
    const CFetch loop = Fetch(fetcher, Url("/loop"));
    EXPECT_EQ(loop.status, eFileRetrieveError);
    EXPECT_THAT(loop.error.toStdString(),
                StartsWith((QLatin1Char('\'') + Url("/loop") + kEstablishFailed).toStdString()));
    EXPECT_THAT(loop.error.toStdString(), HasSubstr("Maximum (10) redirects followed"));
    EXPECT_EQ(m_Server.RequestCount() - requestsBefore, 11);
}

TEST_F(PageFetcherTest, NeverReadsLocalFilesOrOtherProtocols)
{
    m_Server.Get("/to-file", [](const httplib::Request&, httplib::Response& response) {
        response.set_redirect("file:///etc/hostname", 302);
    });
    StartServer();
    CPageFetcher fetcher;

    for (const QString& url : {QStringLiteral("file:///etc/hostname"), Url("/to-file")}) {
        SCOPED_TRACE(url.toStdString());
        const CFetch fetch = Fetch(fetcher, url);
        EXPECT_EQ(fetch.status, eFileRetrieveError);
        EXPECT_THAT(fetch.error.toStdString(), StartsWith((QLatin1Char('\'') + url + kEstablishFailed).toStdString()));
        EXPECT_THAT(fetch.error.toStdString(), HasSubstr("Unsupported protocol"));
        EXPECT_TRUE(fetch.content.isEmpty());
    }
}

TEST_F(PageFetcherTest, RefusesCertificatesItCannotVerify)
{
    CHttpTestServer tlsServer(CHttpTestServer::eHttpsSelfSigned);
    tlsServer.Get(
        "/", [](const httplib::Request&, httplib::Response& response) { ServeText(response, "<html/>", "text/html"); });
    ASSERT_TRUE(tlsServer.Start());
    // The server itself works for a client that does not check the certificate.
    httplib::SSLClient lenient("127.0.0.1", tlsServer.Port());
    lenient.enable_server_certificate_verification(false);
    const httplib::Result answer = lenient.Get("/");
    ASSERT_TRUE(answer);
    ASSERT_EQ(answer->status, 200);

    CPageFetcher fetcher;
    const QString url = tlsServer.Url(QStringLiteral("/"));
    const CFetch fetch = Fetch(fetcher, url);
    EXPECT_EQ(fetch.status, eFileRetrieveError);
    EXPECT_THAT(
        fetch.error.toStdString(),
        StartsWith((QLatin1Char('\'') + url + kEstablishFailed + "SSL peer certificate or SSH remote key was not OK")
                       .toStdString()));
    EXPECT_EQ(tlsServer.RequestCount(), 1);
}

TEST_F(PageFetcherTest, UrlsThatDoNotParseFailBeforeAnyConnection)
{
    StartServer();
    CPageFetcher fetcher;
    // A bare host would otherwise be guessed to mean http:// and looked up.
    for (const QString& url : {QStringLiteral("127.0.0.1/page"), QStringLiteral("http://127.0.0.1:99999/"),
                               QStringLiteral("http://127.0.0.1:%1/a b").arg(m_Server.Port()), QString()}) {
        SCOPED_TRACE(url.toStdString());
        const CFetch fetch = Fetch(fetcher, url);
        EXPECT_EQ(fetch.status, eFileRetrieveError);
        EXPECT_EQ(fetch.error,
                  QLatin1Char('\'') + url
                      + QStringLiteral("' Unable to establish the internet connection. URL parsing failed"));
    }
    EXPECT_EQ(m_Server.RequestCount(), 0);
}

TEST_F(PageFetcherTest, RefusedConnectionFailsToEstablish)
{
    CRefusingPort refusing;
    ASSERT_GT(refusing.Port(), 0);
    CPageFetcher fetcher;
    const QString url = refusing.Url(QStringLiteral("/a%1Fb"));
    const CFetch fetch = Fetch(fetcher, url);
    EXPECT_EQ(fetch.status, eFileRetrieveError);
    EXPECT_THAT(fetch.error.toStdString(),
                StartsWith((QLatin1Char('\'') + url + kEstablishFailed + "Couldn't connect to server").toStdString()));
    EXPECT_EQ(fetch.error, fetch.error.trimmed());
}

TEST_F(PageFetcherTest, SilentServerTimesOutAfterTheTimeOut)
{
    CSilentListener silent;
    ASSERT_TRUE(silent.IsListening());
    CPageFetcher fetcher;
    const QString url = silent.Url(QStringLiteral("/"));
    const CFetch fetch = Fetch(fetcher, url, 1000);
    EXPECT_EQ(fetch.status, eFileRetrieveError);
    EXPECT_THAT(fetch.error.toStdString(),
                StartsWith((QLatin1Char('\'') + url + kEstablishFailed + "Timeout was reached").toStdString()));
    EXPECT_GE(fetch.seconds, 0.8);
    EXPECT_LE(fetch.seconds, 4.0);
}

TEST_F(PageFetcherTest, StallInTheBodyFailsWhileReading)
{
    m_Server.Get("/stall", [this](const httplib::Request&, httplib::Response& response) {
        response.set_chunked_content_provider("text/html", [this](size_t, httplib::DataSink& sink) {
            sink.write("<html>", 6);
            m_Server.Pause(std::chrono::seconds(20));
            return false;
        });
    });
    StartServer();
    CPageFetcher fetcher;
    const CFetch fetch = Fetch(fetcher, Url("/stall"), 1000);
    EXPECT_EQ(fetch.status, eFileRetrieveError);
    EXPECT_THAT(fetch.error.toStdString(),
                StartsWith((QLatin1Char('\'') + Url("/stall") + kReadFailed + "Timeout was reached").toStdString()));
    EXPECT_EQ(fetch.content, QByteArray("<html>"));
    EXPECT_GE(fetch.seconds, 0.8);
    EXPECT_LE(fetch.seconds, 4.0);
}

TEST_F(PageFetcherTest, BodyIsReadUpTo64MiB)
{
    const size_t cap = 64 * kMiB;
    m_Server.Get("/cap", [cap](const httplib::Request&, httplib::Response& response) {
        response.set_chunked_content_provider("text/html", StreamOf(cap));
    });
    m_Server.Get("/over", [cap](const httplib::Request&, httplib::Response& response) {
        response.set_chunked_content_provider("text/html", StreamOf(cap + 1));
    });
    // A declared length over the cap fails before any of the body is taken.
    std::atomic<size_t> declaredSent {0};
    CSignal declaredFinished;
    m_Server.Get("/declared", [&, cap](const httplib::Request&, httplib::Response& response) {
        response.set_content_provider(
            cap + kMiB, "text/html",
            [&declaredSent](size_t offset, size_t length, httplib::DataSink& sink) {
                static const std::string block(kMiB, 'x');
                if (!sink.write(block.data(), std::min(length, block.size()))) {
                    return false;
                }
                declaredSent = offset + std::min(length, block.size());
                return true;
            },
            [&declaredFinished](bool) { declaredFinished.Set(); });
    });
    StartServer();
    CPageFetcher fetcher;
    const QString tooLarge = QStringLiteral("The file is larger than 64 MiB, the most that is read for one page");

    CFetch fetch = Fetch(fetcher, Url("/cap"));
    EXPECT_EQ(fetch.status, eFileRetrieved);
    EXPECT_EQ(size_t(fetch.content.size()), cap);

    fetch = Fetch(fetcher, Url("/over"));
    EXPECT_EQ(fetch.status, eFileRetrieveError);
    EXPECT_EQ(fetch.error, QLatin1Char('\'') + Url("/over") + kReadFailed + tooLarge);
    EXPECT_LE(size_t(fetch.content.size()), cap);

    fetch = Fetch(fetcher, Url("/declared"));
    EXPECT_EQ(fetch.status, eFileRetrieveError);
    EXPECT_EQ(fetch.error, QLatin1Char('\'') + Url("/declared") + kReadFailed + tooLarge);
    EXPECT_TRUE(fetch.content.isEmpty());
    ASSERT_TRUE(declaredFinished.Wait());
    EXPECT_LT(declaredSent.load(), cap / 2);
}

TEST_F(PageFetcherTest, TrickleIsCutOffAtTheBoundOnOneTransfer)
{
    // A byte every 100 ms never stalls, so only the bound on the whole transfer ends it:
    // ten times the time-out of 200 ms here, as the floor of 60 s is lowered for the test.
    m_Server.Get("/trickle", [this](const httplib::Request&, httplib::Response& response) {
        response.set_chunked_content_provider("text/html", [this](size_t, httplib::DataSink& sink) {
            while (m_Server.Pause(std::chrono::milliseconds(100))) {
                if (!sink.write("x", 1)) {
                    return false;
                }
            }
            return false;
        });
    });
    StartServer();
    CFetchLimits limits;
    limits.m_MinTransferMs = 0;
    CPageFetcher fetcher(nullptr, limits);
    const CFetch fetch = Fetch(fetcher, Url("/trickle"), 200);
    EXPECT_EQ(fetch.status, eFileRetrieveError);
    EXPECT_EQ(fetch.error,
              QLatin1Char('\'') + Url("/trickle") + kReadFailed
                  + QStringLiteral("The transfer took longer than 2 seconds, the most allowed for one page"));
    EXPECT_FALSE(fetch.content.isEmpty());
    EXPECT_GE(fetch.seconds, 1.9);
    EXPECT_LE(fetch.seconds, 5.0);
}

TEST_F(PageFetcherTest, StopAbortsTheTransferAtOnce)
{
    m_Server.Get("/slow", [this](const httplib::Request&, httplib::Response& response) {
        response.set_chunked_content_provider("text/html", [this](size_t, httplib::DataSink& sink) {
            while (m_Server.Pause(std::chrono::milliseconds(50))) {
                if (!sink.write("<p>more</p>", 11)) {
                    return false;
                }
            }
            return false;
        });
    });
    m_Server.Get("/page", [](const httplib::Request&, httplib::Response& response) {
        ServeText(response, "<html/>", "text/html");
    });
    StartServer();
    CSilentListener silent;
    ASSERT_TRUE(silent.IsListening());

    std::atomic<bool> stop {false};
    CPageFetcher fetcher(&stop);
    // A slow body, and a server that says nothing at all: libcurl gives no callback then.
    for (const QString& url : {Url("/slow"), silent.Url(QStringLiteral("/"))}) {
        SCOPED_TRACE(url.toStdString());
        stop = false;
        QElapsedTimer sinceStop;
        std::thread stopper([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            sinceStop.start();
            stop = true;
        });
        const CFetch fetch = Fetch(fetcher, url, 10000);
        const qint64 stopLatencyMs = sinceStop.elapsed();
        stopper.join();
        EXPECT_EQ(fetch.status, eFileRetrieveError);
        EXPECT_TRUE(fetcher.WasStopped());
        EXPECT_LT(stopLatencyMs, 1000);
        EXPECT_THAT(fetch.error.toStdString(), HasSubstr("The transfer was stopped"));
    }

    // A stop already requested keeps the fetcher from starting at all.
    const int requestsBefore = m_Server.RequestCount();
    EXPECT_EQ(Fetch(fetcher, Url("/page")).status, eFileRetrieveError);
    EXPECT_TRUE(fetcher.WasStopped());
    EXPECT_EQ(m_Server.RequestCount(), requestsBefore);

    // The stop belongs to the run it ended: once cleared, fetching works and is no stop.
    stop = false;
    const CFetch after = Fetch(fetcher, Url("/page"));
    EXPECT_EQ(after.status, eFileRetrieved);
    EXPECT_FALSE(fetcher.WasStopped());
}

TEST_F(PageFetcherTest, ConsecutivePagesShareOneConnection)
{
    m_Server.Get("/one", [](const httplib::Request&, httplib::Response& response) {
        ServeText(response, "<html>1</html>", "text/html");
    });
    m_Server.Get("/two", [](const httplib::Request&, httplib::Response& response) {
        ServeText(response, "<html>2</html>", "text/html");
    });
    StartServer();
    CPageFetcher fetcher;
    EXPECT_EQ(Fetch(fetcher, Url("/one")).content, QByteArray("<html>1</html>"));
    EXPECT_EQ(Fetch(fetcher, Url("/two")).content, QByteArray("<html>2</html>"));
    EXPECT_EQ(m_Server.RequestCount(), 2);
    EXPECT_EQ(m_Server.ConnectionCount(), 1);
}

TEST_F(PageFetcherTest, RefusedAnswersWithSmallBodiesKeepTheConnection)
{
    // Broken links and images of a crawl: each would otherwise cost a new connection.
    const std::string smallBody(4 * 1024, 'x');
    m_Server.Get("/missing", [&smallBody](const httplib::Request&, httplib::Response& response) {
        ServeText(response, smallBody, "text/html", 404);
    });
    m_Server.Get("/gone", [](const httplib::Request&, httplib::Response& response) {
        response.status = 410;
        response.set_chunked_content_provider("text/html", StreamOf(100 * 1024));
    });
    m_Server.Get("/photo.png", [&smallBody](const httplib::Request&, httplib::Response& response) {
        ServeText(response, smallBody, "image/png");
    });
    m_Server.Get("/page", [](const httplib::Request&, httplib::Response& response) {
        ServeText(response, "<html/>", "text/html");
    });
    // Larger bodies are not worth their download: the connection goes instead.
    m_Server.Get("/missing-big", [](const httplib::Request&, httplib::Response& response) {
        ServeText(response, std::string(kMiB, 'x'), "text/html", 404);
    });
    m_Server.Get("/gone-big", [](const httplib::Request&, httplib::Response& response) {
        response.status = 410;
        response.set_chunked_content_provider("text/html", StreamOf(2 * kMiB));
    });
    m_Server.Server().set_keep_alive_max_count(1000);
    StartServer();
    CPageFetcher fetcher;
    const auto badStatus = [this](const char* path, int status) {
        return QLatin1Char('\'') + Url(path)
            + QStringLiteral("' Bad status code for the GET operation received from the server: %1").arg(status);
    };
    const auto expectRefused = [&](const char* path, int status) {
        SCOPED_TRACE(path);
        const CFetch fetch = Fetch(fetcher, Url(path));
        EXPECT_EQ(fetch.status, eFileRetrieveError);
        EXPECT_EQ(fetch.error, badStatus(path, status));
        EXPECT_TRUE(fetch.content.isEmpty());
        EXPECT_EQ(fetcher.GetFigures().m_StatusCode, status);
        EXPECT_EQ(fetcher.GetFigures().m_Bytes, 0); // dropped, not read for the caller
    };

    for (int round = 0; round < 3; ++round) {
        expectRefused("/missing", 404);
        expectRefused("/gone", 410);
        QByteArray content("untouched");
        QString error;
        EXPECT_EQ(fetcher.RetrieveFile(Url("/photo.png"), 5000, error, content), eFileNotText);
        EXPECT_EQ(content, QByteArray("untouched"));
        EXPECT_EQ(Fetch(fetcher, Url("/page")).content, QByteArray("<html/>"));
    }
    EXPECT_EQ(m_Server.RequestCount(), 12);
    EXPECT_EQ(m_Server.ConnectionCount(), 1);

    expectRefused("/missing-big", 404);
    EXPECT_EQ(Fetch(fetcher, Url("/page")).status, eFileRetrieved);
    EXPECT_EQ(m_Server.ConnectionCount(), 2);
    expectRefused("/gone-big", 410);
    EXPECT_EQ(Fetch(fetcher, Url("/page")).status, eFileRetrieved);
    EXPECT_EQ(m_Server.ConnectionCount(), 3);
}
