#include "core/engine/ConcurrentFetcher.h"

#include "core/engine/PageFetcher.h"
#include "support/HttpTestServer.h"

#include <QElapsedTimer>
#include <QRegularExpression>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

using ::testing::HasSubstr;

namespace {

void ServeText(httplib::Response& response, const std::string& body, const std::string& type, int status = 200)
{
    response.status = status;
    response.set_content(body, type);
}

// Holds every request until `group` of them are waiting at once, then lets that group go
// together: a client that fetches one page at a time never gets past the first request
// (it is answered after the bound instead, and the peak shows it).
class CGroupGate
{
public:
    explicit CGroupGate(int group)
        : m_nGroup(group)
    { }

    void Pass()
    {
        std::unique_lock lock(m_Lock);
        const int released = (m_nArrived / m_nGroup + 1) * m_nGroup;
        ++m_nArrived;
        ++m_nWaiting;
        m_nPeak = std::max(m_nPeak, m_nWaiting);
        m_Changed.notify_all();
        m_Changed.wait_for(lock, std::chrono::seconds(5), [&] { return m_nArrived >= released; });
        --m_nWaiting;
    }

    int Peak() const
    {
        std::lock_guard lock(m_Lock);
        return m_nPeak;
    }

private:
    const int m_nGroup;
    mutable std::mutex m_Lock;
    std::condition_variable m_Changed;
    int m_nArrived = 0;
    int m_nWaiting = 0;
    int m_nPeak = 0;
};

// Counts the handlers that are streaming a body, and those that have stopped because the
// client went away.
class CStreamCount
{
public:
    void Started()
    {
        std::lock_guard lock(m_Lock);
        ++m_nStarted;
        m_Changed.notify_all();
    }
    void Ended()
    {
        std::lock_guard lock(m_Lock);
        ++m_nEnded;
        m_Changed.notify_all();
    }
    bool WaitStarted(int count)
    {
        std::unique_lock lock(m_Lock);
        return m_Changed.wait_for(lock, std::chrono::seconds(10), [&] { return m_nStarted >= count; });
    }
    bool HaveStarted(int count)
    {
        std::lock_guard lock(m_Lock);
        return m_nStarted >= count;
    }
    bool WaitEnded(int count)
    {
        std::unique_lock lock(m_Lock);
        return m_Changed.wait_for(lock, std::chrono::seconds(10), [&] { return m_nEnded >= count; });
    }

private:
    std::mutex m_Lock;
    std::condition_variable m_Changed;
    int m_nStarted = 0;
    int m_nEnded = 0;
};

// Points libcurl's CA bundle at the test server's certificate while it lives.
class CTrustedBundle
{
public:
    explicit CTrustedBundle(const char* file)
        : m_Before(qgetenv("CURL_CA_BUNDLE"))
    {
        qputenv("CURL_CA_BUNDLE", file);
    }
    ~CTrustedBundle()
    {
        if (m_Before.isEmpty()) {
            qunsetenv("CURL_CA_BUNDLE");
        } else {
            qputenv("CURL_CA_BUNDLE", m_Before);
        }
    }

private:
    QByteArray m_Before;
};

// Everything a fetch shows of itself that does not depend on timing.
std::string Describe(eFileRetrieveStatus status, bool stopped, const QString& error, const QByteArray& content,
                     const QString& effectiveUrl, const QByteArray& contentType, const CFetchFigures& figures)
{
    return QStringLiteral("status %1 stopped %2\nerror %3\ncontent %4\nurl %5\ntype %6\nfigures %7 %8 %9")
        .arg(int(status))
        .arg(stopped)
        .arg(QString(error).replace(QRegularExpression(QStringLiteral(" after \\d+ ms")), QString()),
             QString::fromLatin1(content), effectiveUrl, QString::fromLatin1(contentType))
        .arg(figures.m_StatusCode)
        .arg(figures.m_Bytes)
        .arg(figures.m_FinalUrl)
        .toStdString();
}

std::map<quint64, CCompletedFetch> WaitForAll(CConcurrentFetcher& fetcher)
{
    std::map<quint64, CCompletedFetch> pages;
    while (fetcher.InFlightCount() > 0) {
        for (CCompletedFetch& page : fetcher.WaitForAny()) {
            const quint64 key = page.m_Key;
            pages.emplace(key, std::move(page));
        }
    }
    return pages;
}

class ConcurrentFetcherTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        // Room for every transfer of a test at once, each on a connection of its own.
        m_Server.Server().new_task_queue = [] {
            return new httplib::ThreadPool(24);
        };
        m_Server.Server().set_keep_alive_max_count(1000);
    }
    QString Url(const std::string& path) const { return m_Server.Url(QString::fromStdString(path)); }

    CHttpTestServer m_Server;
};

} // namespace

TEST(ConcurrentFetcher, KeepsItsTransfersInFlightTogetherOverKeptConnections)
{
    constexpr int transfers = 4;
    // Over https libcurl first learns from the handshake whether a connection could carry
    // several transfers; none of them may wait for the first answer meanwhile.
    for (const auto scheme : {CHttpTestServer::eHttp, CHttpTestServer::eHttpsSelfSigned}) {
        SCOPED_TRACE(scheme == CHttpTestServer::eHttp ? "http" : "https");
        CHttpTestServer server(scheme);
        server.Server().new_task_queue = [] {
            return new httplib::ThreadPool(24);
        };
        server.Server().set_keep_alive_max_count(1000);
        CGroupGate gate(transfers);
        server.Get(R"(/page/(\d+))", [&gate](const httplib::Request& request, httplib::Response& response) {
            gate.Pass();
            ServeText(response, "<html>" + request.matches[1].str() + "</html>", "text/html");
        });
        ASSERT_TRUE(server.Start());
        CTrustedBundle trust(CORVANE_TEST_DATA_DIR "/tls/loopback.crt");
        CConcurrentFetcher fetcher(transfers);
        const auto url = [&server](quint64 key) {
            return server.Url(QStringLiteral("/page/%1").arg(key));
        };

        constexpr quint64 pages = 3 * transfers;
        std::map<quint64, CCompletedFetch> fetched;
        quint64 next = 0;
        while (next < pages || fetcher.InFlightCount() > 0) {
            while (next < pages && fetcher.Submit(next, url(next), 5000)) {
                ++next;
            }
            EXPECT_EQ(fetcher.InFlightCount(), std::min<int>(transfers, int(pages - fetched.size())));
            for (CCompletedFetch& page : fetcher.WaitForAny()) {
                const quint64 key = page.m_Key;
                fetched.emplace(key, std::move(page));
            }
        }

        ASSERT_EQ(fetched.size(), size_t(pages));
        for (const auto& [key, page] : fetched) {
            SCOPED_TRACE(page.m_Error.toStdString());
            EXPECT_EQ(page.m_Status, eFileRetrieved);
            EXPECT_EQ(page.m_Content, QByteArray("<html>") + QByteArray::number(key) + "</html>");
            EXPECT_EQ(page.m_Url, url(key));
        }
        // The server saw the whole group waiting at once, never more than the fetcher may
        // run, and the later groups came over the connections the first one opened.
        EXPECT_EQ(gate.Peak(), transfers);
        EXPECT_EQ(server.ConnectionCount(), transfers);
    }
}

TEST_F(ConcurrentFetcherTest, JudgesEveryPageAsTheOneAtATimeFetcher)
{
    m_Server.Get("/page", [](const httplib::Request&, httplib::Response& response) {
        ServeText(response, "<html>page</html>", "text/html; charset=utf-8");
    });
    m_Server.Get("/moved", [](const httplib::Request&, httplib::Response& response) {
        ServeText(response, "moved", "text/plain", 301);
        response.set_header("Location", "/page");
    });
    m_Server.Get("/missing", [](const httplib::Request&, httplib::Response& response) {
        ServeText(response, "<html>not here</html>", "text/html", 404);
    });
    m_Server.Get("/missing-big", [](const httplib::Request&, httplib::Response& response) {
        ServeText(response, std::string(1024 * 1024, 'x'), "text/html", 404);
    });
    m_Server.Get("/text", [](const httplib::Request&, httplib::Response& response) {
        ServeText(response, "plain", "text/plain");
    });
    m_Server.Get("/untyped", [](const httplib::Request&, httplib::Response& response) { response.status = 200; });
    m_Server.Get("/large", [](const httplib::Request&, httplib::Response& response) {
        ServeText(response, "<html>" + std::string(5000, 'x') + "</html>", "text/html");
    });
    ASSERT_TRUE(m_Server.Start());
    CRefusingPort refusing;
    ASSERT_GT(refusing.Port(), 0);

    const std::vector<QString> urls {Url("/page"),
                                     Url("/moved"),
                                     Url("/missing?q=%1F"),
                                     Url("/missing-big"),
                                     Url("/text"),
                                     Url("/untyped"),
                                     Url("/large"),
                                     refusing.Url(QStringLiteral("/page")),
                                     QStringLiteral("127.0.0.1/no-scheme"),
                                     QStringLiteral("file:///etc/hostname")};
    CFetchLimits limits;
    limits.m_MaxBytes = 1000;

    std::vector<std::string> oneAtATime;
    CPageFetcher single(nullptr, limits);
    for (const QString& url : urls) {
        QString error;
        QByteArray content;
        const eFileRetrieveStatus status = single.RetrieveFile(url, 5000, error, content);
        oneAtATime.push_back(Describe(status, single.WasStopped(), error, content, single.GetEffectiveUrl(),
                                      single.GetContentType(), single.GetFigures()));
    }

    CConcurrentFetcher concurrent(int(urls.size()), nullptr, limits);
    for (size_t i = 0; i < urls.size(); ++i) {
        ASSERT_TRUE(concurrent.Submit(i, urls[i], 5000));
    }
    EXPECT_FALSE(concurrent.Submit(urls.size(), Url("/page"), 5000)); // full
    const std::map<quint64, CCompletedFetch> pages = WaitForAll(concurrent);
    ASSERT_EQ(pages.size(), urls.size());
    for (size_t i = 0; i < urls.size(); ++i) {
        SCOPED_TRACE(urls[i].toStdString());
        const CCompletedFetch& page = pages.at(i);
        EXPECT_EQ(page.m_Url, urls[i]);
        EXPECT_EQ(Describe(page.m_Status, page.m_bStopped, page.m_Error, page.m_Content, page.m_EffectiveUrl,
                           page.m_ContentType, page.m_Figures),
                  oneAtATime[i]);
    }
    // The same verdicts in a few words, so that a shared fault cannot hide in both.
    EXPECT_EQ(pages.at(0).m_Status, eFileRetrieved);
    EXPECT_EQ(pages.at(1).m_EffectiveUrl, Url("/page"));
    EXPECT_THAT(pages.at(2).m_Error.toStdString(), HasSubstr("server: 404"));
    EXPECT_EQ(pages.at(4).m_Status, eFileNotText);
    EXPECT_THAT(pages.at(6).m_Error.toStdString(), HasSubstr("larger than 1000 bytes"));
    EXPECT_THAT(pages.at(7).m_Error.toStdString(), HasSubstr("Couldn't connect to server"));
    EXPECT_THAT(pages.at(8).m_Error.toStdString(), HasSubstr("URL parsing failed"));
    EXPECT_EQ(concurrent.InFlightCount(), 0);
    EXPECT_TRUE(concurrent.WaitForAny().empty());
}

TEST_F(ConcurrentFetcherTest, StopAndAbortEndEveryTransferAtOnce)
{
    constexpr int transfers = 4;
    CStreamCount streams;
    m_Server.Get("/slow", [this, &streams](const httplib::Request&, httplib::Response& response) {
        response.set_chunked_content_provider(
            "text/html", [this, &streams, started = false](size_t, httplib::DataSink& sink) mutable {
                while (m_Server.Pause(std::chrono::milliseconds(20))) {
                    if (!sink.write("<p>more</p>", 11)) {
                        break;
                    }
                    if (!started) {
                        started = true;
                        streams.Started();
                    }
                }
                streams.Ended();
                return false;
            });
    });
    m_Server.Get("/page", [](const httplib::Request&, httplib::Response& response) {
        ServeText(response, "<html/>", "text/html");
    });
    ASSERT_TRUE(m_Server.Start());
    CSilentListener silent;
    ASSERT_TRUE(silent.IsListening());

    std::atomic<bool> stop {false};
    CConcurrentFetcher fetcher(transfers + 1, &stop);
    for (int i = 0; i < transfers; ++i) {
        ASSERT_TRUE(fetcher.Submit(quint64(i), Url("/slow"), 10000));
    }
    // A server that says nothing at all gives libcurl no callback to abort from.
    ASSERT_TRUE(fetcher.Submit(transfers, silent.Url(QStringLiteral("/")), 10000));
    std::vector<CCompletedFetch> stopped;
    QElapsedTimer sinceStop;
    std::thread stopper([&] {
        streams.WaitStarted(transfers);
        sinceStop.start();
        stop = true;
    });
    stopped = fetcher.WaitForAny(); // all of them in one go
    const qint64 stopLatencyMs = sinceStop.elapsed();
    stopper.join();
    ASSERT_EQ(stopped.size(), size_t(transfers + 1));
    EXPECT_LT(stopLatencyMs, 1000);
    for (const CCompletedFetch& page : stopped) {
        SCOPED_TRACE(page.m_Key);
        EXPECT_EQ(page.m_Status, eFileRetrieveError);
        EXPECT_TRUE(page.m_bStopped);
        EXPECT_THAT(page.m_Error.toStdString(), HasSubstr("The transfer was stopped"));
    }
    EXPECT_EQ(fetcher.InFlightCount(), 0);
    EXPECT_TRUE(streams.WaitEnded(transfers)); // the server saw every connection go

    // AbortAll drops what is in flight without a stop, and closes its connections.
    stop = false;
    for (int i = 0; i < transfers; ++i) {
        ASSERT_TRUE(fetcher.Submit(quint64(10 + i), Url("/slow"), 10000));
    }
    for (int turn = 0; turn < 100 && !streams.HaveStarted(2 * transfers); ++turn) {
        ASSERT_TRUE(fetcher.WaitForAny(100).empty());
    }
    ASSERT_TRUE(streams.HaveStarted(2 * transfers));
    fetcher.AbortAll();
    EXPECT_EQ(fetcher.InFlightCount(), 0);
    EXPECT_TRUE(fetcher.WaitForAny().empty());
    EXPECT_TRUE(streams.WaitEnded(2 * transfers));

    // A stop or an abort belongs to the transfers it ended: fetching goes on afterwards.
    ASSERT_TRUE(fetcher.Submit(99, Url("/page"), 5000));
    const std::map<quint64, CCompletedFetch> after = WaitForAll(fetcher);
    ASSERT_EQ(after.count(99), size_t(1));
    EXPECT_EQ(after.at(99).m_Status, eFileRetrieved);
    EXPECT_FALSE(after.at(99).m_bStopped);
    EXPECT_EQ(after.at(99).m_Content, QByteArray("<html/>"));
}

TEST_F(ConcurrentFetcherTest, ServerThatClosesEveryThirdRequestLosesNoPage)
{
    // A kept-alive connection the server has just closed must cost a reconnect, not a page;
    // broken links among the pages are drained over the same connections.
    m_Server.Server().set_keep_alive_max_count(3);
    m_Server.Get(R"(/page/(\d+))", [](const httplib::Request& request, httplib::Response& response) {
        const int number = std::stoi(request.matches[1].str());
        ServeText(response, "<html>" + std::to_string(number) + "</html>", "text/html", number % 5 == 4 ? 404 : 200);
    });
    ASSERT_TRUE(m_Server.Start());

    constexpr quint64 pages = 60;
    CConcurrentFetcher fetcher(4);
    std::map<quint64, CCompletedFetch> fetched;
    quint64 next = 0;
    while (next < pages || fetcher.InFlightCount() > 0) {
        while (next < pages && fetcher.Submit(next, Url("/page/" + std::to_string(next)), 5000)) {
            ++next;
        }
        for (CCompletedFetch& page : fetcher.WaitForAny()) {
            const quint64 key = page.m_Key;
            EXPECT_TRUE(fetched.emplace(key, std::move(page)).second) << "handed back twice: " << key;
        }
    }
    ASSERT_EQ(fetched.size(), size_t(pages));
    for (const auto& [key, page] : fetched) {
        SCOPED_TRACE(page.m_Error.toStdString());
        if (key % 5 == 4) {
            EXPECT_EQ(page.m_Status, eFileRetrieveError);
            EXPECT_EQ(page.m_Error,
                      QLatin1Char('\'') + Url("/page/" + std::to_string(key))
                          + QStringLiteral("' Bad status code for the GET operation received from the "
                                           "server: 404"));
        } else {
            EXPECT_EQ(page.m_Status, eFileRetrieved);
            EXPECT_EQ(page.m_Content, QByteArray("<html>") + QByteArray::number(key) + "</html>");
        }
    }
    EXPECT_EQ(m_Server.RequestCount(), int(pages));
    EXPECT_GE(m_Server.ConnectionCount(), int(pages / 3));
}
