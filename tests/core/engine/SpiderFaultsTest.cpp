#include "EngineFixture.h"
#include "core/engine/ConcurrentFetcher.h"
#include "support/QtPrinters.h"

#include <QDateTime>
#include <QLocale>

#include <algorithm>
#include <map>
#include <mutex>
#include <optional>
#include <thread>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using CAnswer = CScriptedHttpServer::CAnswer;

CAnswer PageAnswer(const std::string& body)
{
    CAnswer answer;
    answer.m_Body = body;
    return answer;
}

CAnswer Refusal(int status, const std::string& retryAfter)
{
    CAnswer answer;
    answer.m_nStatus = status;
    answer.m_Body = "<html>not now</html>";
    if (!retryAfter.empty())
        answer.m_Headers.emplace_back("Retry-After", retryAfter);
    return answer;
}

std::string Links(const std::vector<std::string>& targets)
{
    std::string body;
    for (const std::string& target : targets)
        body += "<a href='" + target + "'>" + target + "</a>\n";
    return body;
}

// An HTTP date this many seconds from now, as a server writes it.
std::string HttpDateIn(int seconds)
{
    const QDateTime when = QDateTime::currentDateTimeUtc().addSecs(seconds);
    return QLocale::c().toString(when, QStringLiteral("ddd, dd MMM yyyy hh:mm:ss 'GMT'")).toStdString();
}

// Counts what a scripted server saw: each path's requests, with the time each came.
class CRequestLog
{
public:
    void Note(const std::string& path)
    {
        std::lock_guard lock(m_Lock);
        m_Times[path].push_back(Clock::now());
    }
    int Count(const std::string& path) const
    {
        std::lock_guard lock(m_Lock);
        const auto it = m_Times.find(path);
        return it == m_Times.end() ? 0 : int(it->second.size());
    }
    // From the first request of path to its second.
    std::chrono::milliseconds Gap(const std::string& path) const
    {
        std::lock_guard lock(m_Lock);
        const auto it = m_Times.find(path);
        if (it == m_Times.end() || it->second.size() < 2)
            return std::chrono::milliseconds(-1);
        return std::chrono::duration_cast<std::chrono::milliseconds>(it->second[1] - it->second[0]);
    }
    void Clear()
    {
        std::lock_guard lock(m_Lock);
        m_Times.clear();
    }

private:
    mutable std::mutex m_Lock;
    std::map<std::string, std::vector<Clock::time_point>> m_Times;
};

class SpiderFaults : public Engine
{
protected:
    CTask SpiderTask(const QString& url, int connections)
    {
        CTask task = MakeTask(50, QStringLiteral("Faults"), eCheckSpider);
        task.m_SpiderUrl = url;
        task.m_SpiderConnections = connections;
        return task;
    }

    // Runs the crawl to its end; a crawl that does not end within the bound fails the test.
    QStringList Crawl(const CTask& task, std::chrono::seconds bound = 60s)
    {
        m_Host.Clear();
        m_Host.AddTask(task);
        m_Engine.PostRunTask(task.m_TaskId);
        EXPECT_TRUE(m_Host.WaitForEvent(QStringLiteral("state 2 %1").arg(task.m_TaskId), bound));
        return m_Host.Events();
    }

    // How often the report names url, as fetched or as broken.
    static int Reported(const QString& verdict, const QString& url)
    {
        return int(verdict.count(QStringLiteral("Succesfully retrieved '") + url + QStringLiteral("'."))
                   + verdict.count(QStringLiteral("Error retrieving '") + url + QStringLiteral("' ")));
    }

    static QString BadStatusLine(const QString& url, int status, const QString& referrer)
    {
        return QStringLiteral("Error retrieving '%1' Bad status code for the GET operation received from the server: "
                              "%2. Referenced on '%3'\n")
            .arg(url)
            .arg(status)
            .arg(referrer);
    }
};

} // namespace

TEST_F(SpiderFaults, ServersThatDropRequestsOrConnectionsLoseNoPage)
{
    // Some pages are never answered, the connection closed instead; and every connection is
    // closed without notice after its third answer, so a kept connection may be dead when
    // the crawl comes back to it.
    constexpr int chain = 30;
    CScriptedHttpServer server(
        [](const std::string& path) {
            if (path.rfind("/drop", 0) == 0) {
                CAnswer dropped;
                dropped.m_bDrop = true;
                return dropped;
            }
            if (path == "/index.html") {
                std::vector<std::string> links;
                for (int i = 0; i < chain; ++i)
                    links.push_back("p" + std::to_string(i) + ".html");
                links.push_back("drop-early.html");
                return PageAnswer(Links(links));
            }
            const int number = std::stoi(path.substr(2));
            return PageAnswer(Links(
                {"p" + std::to_string((number + 1) % chain) + ".html", "drop" + std::to_string(number % 3) + ".html"}));
        },
        3);
    ASSERT_TRUE(server.IsListening());
    const QString start = server.Url(QStringLiteral("/index.html"));

    const QStringList one = Crawl(SpiderTask(start, 1));
    const QString verdict = Verdict(one, 50);
    ASSERT_TRUE(verdict.startsWith(QStringLiteral("2 50 Spider operation failed.")));
    for (int i = 0; i < chain; ++i)
        EXPECT_EQ(Reported(verdict, server.Url(QStringLiteral("/p%1.html").arg(i))), 1) << i;
    for (const QString& dropped : {QStringLiteral("/drop-early.html"), QStringLiteral("/drop0.html"),
                                   QStringLiteral("/drop1.html"), QStringLiteral("/drop2.html")}) {
        EXPECT_EQ(Reported(verdict, server.Url(dropped)), 1) << dropped.toStdString();
        EXPECT_TRUE(verdict.contains(QStringLiteral("Error retrieving '") + server.Url(dropped)
                                     + QStringLiteral("' Unable to establish the internet connection")));
    }

    for (const int connections : {3, 8}) {
        SCOPED_TRACE(connections);
        const size_t before = server.RequestedPaths().size();
        EXPECT_EQ(Crawl(SpiderTask(start, connections)), one);
        // Each answered page was asked for once: a connection found closed cost a reconnect only.
        std::vector<std::string> paths = server.RequestedPaths();
        paths.erase(paths.begin(), paths.begin() + qsizetype(before));
        for (int i = 0; i < chain; ++i)
            EXPECT_EQ(std::count(paths.begin(), paths.end(), "/p" + std::to_string(i) + ".html"), 1) << i;
    }
    // The crawls did meet closed connections: one per three answers, and one per drop.
    EXPECT_GE(server.ConnectionCount(), 3 * (chain + 4) / 3);
}

TEST_F(SpiderFaults, RetryAfterIsWaitedForAndThePageAskedForOnceMore)
{
    // Every page is refused once, with "come back in a second"; then served.
    CRequestLog log;
    std::atomic<bool> refuse {false};
    const std::vector<std::string> pages {"/index.html", "/a.html", "/b.html", "/c.html", "/d.html", "/e.html"};
    CScriptedHttpServer server([&](const std::string& path) {
        log.Note(path);
        if (refuse && log.Count(path) == 1)
            return Refusal(429, "1");
        if (path == "/index.html")
            return PageAnswer(Links({"a.html", "b.html", "c.html"}));
        if (path == "/a.html")
            return PageAnswer(Links({"d.html", "e.html", "index.html"}));
        return PageAnswer("<html>leaf</html>");
    });
    ASSERT_TRUE(server.IsListening());
    const QString start = server.Url(QStringLiteral("/index.html"));
    CTask limited = SpiderTask(start, 1);
    limited.m_bSpiderLimitPageNumber = true;
    limited.m_SpiderMaxPageNumber = 3;

    // What the crawl shows of a site that never refuses.
    const QStringList plain = Crawl(SpiderTask(start, 1));
    ASSERT_TRUE(Verdict(plain, 50).startsWith(QStringLiteral("1 50 Spider operation succeeded.")));
    const QStringList plainLimited = Crawl(limited);

    refuse = true;
    for (const int connections : {1, 8}) {
        SCOPED_TRACE(connections);
        log.Clear();
        EXPECT_EQ(Crawl(SpiderTask(start, connections)), plain);
        for (const std::string& page : pages) {
            SCOPED_TRACE(page);
            EXPECT_EQ(log.Count(page), 2);
            // Not asked again before the second the site asked for (less the clock's grain).
            EXPECT_GE(log.Gap(page), 900ms);
        }
        // A page asked for twice is still one page against the limit.
        log.Clear();
        limited.m_SpiderConnections = connections;
        EXPECT_EQ(Crawl(limited), plainLimited);
        EXPECT_EQ(log.Count("/b.html"), 2);
        EXPECT_EQ(log.Count("/c.html"), 0);
    }
}

TEST_F(SpiderFaults, ASiteThatAsksForPatienceGetsHalfTheConnections)
{
    // One page is refused once; the crawl goes on with half the transfers in flight.
    constexpr int pages = 40;
    std::mutex lock;
    int active = 0;
    int peakBefore = 0;
    int peakAfter = 0;
    std::optional<Clock::time_point> refusedAt;
    CScriptedHttpServer server([&](const std::string& path) {
        {
            std::lock_guard guard(lock);
            ++active;
            const bool after = refusedAt && Clock::now() - *refusedAt > 500ms;
            int& peak = after ? peakAfter : peakBefore;
            peak = std::max(peak, active);
            if (path == "/p3.html" && !refusedAt) {
                refusedAt = Clock::now();
                --active;
                return Refusal(503, "1");
            }
        }
        // Long enough for the transfers in flight to overlap at the server.
        std::this_thread::sleep_for(40ms);
        std::lock_guard guard(lock);
        --active;
        if (path != "/index.html")
            return PageAnswer("<html>leaf</html>");
        std::vector<std::string> links;
        for (int i = 0; i < pages; ++i)
            links.push_back("p" + std::to_string(i) + ".html");
        return PageAnswer(Links(links));
    });
    ASSERT_TRUE(server.IsListening());
    const QString verdict = Verdict(Crawl(SpiderTask(server.Url(QStringLiteral("/index.html")), 8)), 50);
    EXPECT_TRUE(verdict.startsWith(QStringLiteral("1 50 Spider operation succeeded.")));
    EXPECT_EQ(Reported(verdict, server.Url(QStringLiteral("/p3.html"))), 1);
    std::lock_guard guard(lock);
    EXPECT_GT(peakBefore, 4); // the site did see the eight at first
    EXPECT_LE(peakAfter, 4);
    EXPECT_GE(peakAfter, 2); // halved, not down to one at a time
}

TEST_F(SpiderFaults, RefusalsThatStayAreBrokenLinksWithinTheBound)
{
    CRequestLog log;
    CScriptedHttpServer server([&](const std::string& path) {
        log.Note(path);
        if (path == "/index.html")
            return PageAnswer(
                Links({"busy1.html", "fine1.html", "busy2.html", "fine2.html", "busy3.html", "hour.html",
                       "date-hour.html", "date-soon.html", "bare429.html", "bare503.html", "error500.html"}));
        if (path.rfind("/busy", 0) == 0)
            return Refusal(429, "1");
        // Far beyond what a check may wait: the wait is cut to twice the time-out.
        if (path == "/hour.html")
            return Refusal(429, "3600");
        if (path == "/date-hour.html")
            return Refusal(503, HttpDateIn(3600));
        // Refused in the date form first, then served.
        if (path == "/date-soon.html")
            return log.Count(path) == 1 ? Refusal(503, HttpDateIn(2)) : PageAnswer("<html>back</html>");
        // No word on when to come back, or a refusal that is not about load: a broken link at once.
        if (path == "/bare429.html")
            return Refusal(429, "");
        if (path == "/bare503.html")
            return Refusal(503, "");
        if (path == "/error500.html")
            return Refusal(500, "1");
        return PageAnswer("<html>fine</html>");
    });
    ASSERT_TRUE(server.IsListening());
    const QString start = server.Url(QStringLiteral("/index.html"));

    QStringList one;
    for (const int connections : {1, 8}) {
        SCOPED_TRACE(connections);
        log.Clear();
        CTask task = SpiderTask(start, connections);
        task.m_TimeoutSec = 1;
        const QStringList events = Crawl(task);
        const QString verdict = Verdict(events, 50);
        EXPECT_TRUE(verdict.startsWith(QStringLiteral("2 50 Spider operation failed.")));
        for (const char* busy : {"/busy1.html", "/busy2.html", "/busy3.html", "/hour.html"}) {
            SCOPED_TRACE(busy);
            EXPECT_TRUE(verdict.contains(BadStatusLine(server.Url(QString::fromLatin1(busy)), 429, start)));
            EXPECT_EQ(Reported(verdict, server.Url(QString::fromLatin1(busy))), 1);
            EXPECT_EQ(log.Count(busy), 2);
        }
        EXPECT_TRUE(verdict.contains(BadStatusLine(server.Url(QStringLiteral("/date-hour.html")), 503, start)));
        for (const char* capped : {"/hour.html", "/date-hour.html"}) {
            SCOPED_TRACE(capped);
            EXPECT_EQ(log.Count(capped), 2);
            EXPECT_GE(log.Gap(capped), 1900ms);
            EXPECT_LT(log.Gap(capped), 30s);
        }
        EXPECT_EQ(log.Count("/date-soon.html"), 2);
        EXPECT_GE(log.Gap("/date-soon.html"), 900ms);
        EXPECT_TRUE(verdict.contains(QStringLiteral("Succesfully retrieved '%1'. Referenced on '%2'\n")
                                         .arg(server.Url(QStringLiteral("/date-soon.html")), start)));
        EXPECT_TRUE(verdict.contains(BadStatusLine(server.Url(QStringLiteral("/bare429.html")), 429, start)));
        EXPECT_TRUE(verdict.contains(BadStatusLine(server.Url(QStringLiteral("/bare503.html")), 503, start)));
        EXPECT_TRUE(verdict.contains(BadStatusLine(server.Url(QStringLiteral("/error500.html")), 500, start)));
        for (const char* once : {"/bare429.html", "/bare503.html", "/error500.html", "/fine1.html"})
            EXPECT_EQ(log.Count(once), 1) << once;
        if (connections == 1)
            one = events;
        else
            EXPECT_EQ(events, one);
    }
}

TEST_F(SpiderFaults, StopEndsAWaitForTheSiteAtOnce)
{
    CRequestLog log;
    CScriptedHttpServer server([&](const std::string& path) {
        log.Note(path);
        if (path == "/index.html")
            return PageAnswer(Links({"a.html", "busy.html", "b.html"}));
        if (path == "/busy.html")
            return Refusal(503, "3600");
        return PageAnswer("<html>fine</html>");
    });
    ASSERT_TRUE(server.IsListening());
    const QString start = server.Url(QStringLiteral("/index.html"));
    for (const int connections : {1, 8}) {
        SCOPED_TRACE(connections);
        log.Clear();
        CTask task = SpiderTask(start, connections);
        task.m_TimeoutSec = 30; // a wait of up to a minute
        m_Host.Clear();
        m_Host.AddTask(task);
        m_Engine.PostRunTask(task.m_TaskId);
        ASSERT_TRUE(m_Host.WaitForEvent(QStringLiteral("5 -1 Task Faults. Spidering page ")
                                        + server.Url(QStringLiteral("/busy.html"))));
        while (log.Count("/busy.html") == 0)
            std::this_thread::sleep_for(10ms);
        std::this_thread::sleep_for(200ms);
        m_Engine.StopTask();
        ASSERT_TRUE(m_Host.WaitForEvent(QStringLiteral("state 2 50"), 5s));

        const QStringList events = m_Host.Events();
        const qsizetype stopped = events.indexOf(QStringLiteral("state 3 50"));
        ASSERT_GE(stopped, 0);
        EXPECT_EQ(events.mid(stopped),
                  (QStringList {
                      QStringLiteral("state 3 50"),
                      QStringLiteral("6 -1 Task execution stopped"),
                      QStringLiteral("1 50 Spider operation succeeded.\n\nThe following links were checked:\n\n"
                                     "Succesfully retrieved '%1'. Referenced on 'Task URL'\n"
                                     "Succesfully retrieved '%2'. Referenced on '%1'\n")
                          .arg(start, server.Url(QStringLiteral("/a.html"))),
                      QStringLiteral("0 -1 Finished task Faults"),
                      QStringLiteral("state 2 50"),
                  }));
        EXPECT_EQ(log.Count("/busy.html"), 1);
    }
}

TEST_F(SpiderFaults, APageWithTenThousandLinksHasEachPageFetchedOnce)
{
    constexpr int links = 10000;
    std::string index;
    for (int i = 0; i < links; ++i)
        index += "<a href='p" + std::to_string(i) + ".html'>" + std::to_string(i) + "</a>\n";
    CScriptedHttpServer server([&index](const std::string& path) {
        return PageAnswer(path == "/index.html" ? index : "<html><a href='index.html'>home</a></html>");
    });
    ASSERT_TRUE(server.IsListening());
    const QString start = server.Url(QStringLiteral("/index.html"));

    QStringList one;
    for (const int connections : {1, 8}) {
        SCOPED_TRACE(connections);
        const size_t before = server.RequestedPaths().size();
        const QStringList events = Crawl(SpiderTask(start, connections), 300s);
        std::vector<std::string> paths = server.RequestedPaths();
        paths.erase(paths.begin(), paths.begin() + qsizetype(before));
        std::sort(paths.begin(), paths.end());
        EXPECT_EQ(paths.size(), size_t(links + 1));
        EXPECT_EQ(std::adjacent_find(paths.begin(), paths.end()), paths.end()) << "a page fetched twice";
        const QString verdict = Verdict(events, 50);
        EXPECT_TRUE(verdict.startsWith(QStringLiteral("1 50 Spider operation succeeded.")));
        EXPECT_EQ(verdict.count(QStringLiteral("Succesfully retrieved '")), links + 1);
        if (connections == 1)
            one = events;
        else
            EXPECT_TRUE(events == one) << "the crawl with 8 connections differs from the one with 1";
    }
}

TEST(ConcurrentFetcherRefusals, OneBurstOfRefusalsHalvesTheTransfersOnce)
{
    // Every page is refused once with "at once"; the refusals of requests that went out
    // together are one signal from the site, not one each.
    CRequestLog log;
    CScriptedHttpServer server([&](const std::string& path) {
        log.Note(path);
        std::this_thread::sleep_for(20ms);
        return log.Count(path) == 1 ? Refusal(503, "0") : PageAnswer("<html>" + path + "</html>");
    });
    ASSERT_TRUE(server.IsListening());
    CConcurrentFetcher fetcher(8);
    const auto fetchAll = [&](int first, int count) {
        for (int i = first; i < first + count; ++i)
            ASSERT_TRUE(fetcher.Submit(quint64(i), server.Url(QStringLiteral("/p%1").arg(i)), 5000));
        std::map<quint64, CCompletedFetch> done;
        while (fetcher.InFlightCount() > 0) {
            for (CCompletedFetch& page : fetcher.WaitForAny())
                EXPECT_TRUE(done.emplace(page.m_Key, std::move(page)).second);
        }
        ASSERT_EQ(done.size(), size_t(count));
        for (const auto& [key, page] : done) {
            EXPECT_EQ(page.m_Status, eFileRetrieved) << page.m_Error.toStdString();
            EXPECT_EQ(page.m_Content, QByteArray("<html>/p") + QByteArray::number(key) + "</html>");
        }
    };
    fetchAll(0, 8);
    EXPECT_EQ(fetcher.GetMaxTransfers(), 4);
    // The next requests went out at the lower rate; refused again, it is halved again.
    fetchAll(8, 4);
    EXPECT_EQ(fetcher.GetMaxTransfers(), 2);
    for (int i = 0; i < 12; ++i)
        EXPECT_EQ(log.Count("/p" + std::to_string(i)), 2) << i;
}
