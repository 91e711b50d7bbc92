#include "EngineFixture.h"

#include <algorithm>
#include <mutex>
#include <thread>

namespace {

// A site that tangles every way a crawl can go wrong in order: links in letter-case variants,
// with fragments and query strings, through redirects, under a <base href>, with dot
// segments, in cycles, to broken and to non-HTML targets, and one level after another.
std::map<std::string, Page> TangledSite()
{
    std::map<std::string, Page> site {
        {"/index.html",
         {"text/html",
          "<a href='a.html'>a</a> <a href='A.HTML'>a again</a> <a href='b.html#top'>b</a>"
          "<a href='b.html?q=1'>b with a query</a> <a href='/moved'>moved</a> <a href='c.html'>c</a>"
          "<a href='sub/'>sub</a> <a href='missing.html'>gone</a> <a href='photo.png'>photo</a>"
          "<a href='./x/../index.html'>home</a> <a href='p0.html'>chain</a>"
          "<frameset><frame src='frame.html'></frameset>"}},
        {"/a.html", {"text/html", "<a href='b.html'>b</a> <a href='index.html'>up</a> <a href='sub/d.html'>d</a>"}},
        {"/b.html",
         {"text/html", "<a href='a.html#x'>a</a> <a href='missing.html'>gone</a> <a href='gone2.html'>x</a>"}},
        {"/c.html", {"text/html", "<a href='/moved'>moved again</a> <a href='text.txt'>text</a>"}},
        {"/sub/index.html", {"text/html", "<base href='/other/'><a href='e.html'>e</a> <a href='../a.html'>a</a>"}},
        {"/sub/d.html", {"text/html", "<a href='../c.html'>c</a> <a href='D.html'>d</a>"}},
        {"/other/e.html",
         {"text/html", "<a href='f.html?x=1&amp;y=2'>f</a> <a href='f.html?y=2&amp;x=1'>f</a> <a href='/'>root</a>"}},
        {"/other/f.html", {"text/html", "<a href='e.html'>e</a>"}},
        {"/frame.html", {"text/html", "<a href='index.html'>home</a>"}},
        {"/photo.png", {"image/png", "not a page"}},
        {"/text.txt", {"text/plain", "<a href='never.html'>never</a>"}},
        {"/", {"text/html", "<a href='index.html'>home</a>"}},
        {"/moved", {"text/html", "", 302}},
    };
    for (int i = 0; i < 12; ++i) {
        const std::string next = "p" + std::to_string(i + 1) + ".html";
        site["/p" + std::to_string(i) + ".html"]
            = {"text/html", "<a href='" + next + "'>next</a> <a href='broken" + std::to_string(i % 4) + ".html'>x</a>"};
    }
    return site;
}

class SpiderConnections : public Engine
{
protected:
    void SetUp() override
    {
        Engine::SetUp();
        const std::map<std::string, Page> site = TangledSite();
        m_Server.Get(".*", [this, site](const httplib::Request& request, httplib::Response& response) {
            {
                std::lock_guard lock(m_Lock);
                m_nPeak = std::max(m_nPeak, ++m_nActive);
            }
            // Long enough for transfers fetched ahead to overlap with the one waited for.
            m_Server.Pause(std::chrono::milliseconds(5));
            const auto it = site.find(request.path);
            if (it == site.end()) {
                response.status = 404;
                response.set_content("<html>not here</html>", "text/html");
            } else {
                response.status = it->second.status;
                response.set_content(it->second.body, it->second.type);
                if (request.path == "/moved")
                    response.set_header("Location", "/c.html");
            }
            std::lock_guard lock(m_Lock);
            --m_nActive;
        });
        ASSERT_TRUE(m_Server.Start());
    }

    struct CCrawl
    {
        QStringList m_Events;
        std::vector<std::string> m_Paths; // as the server saw them, sorted
        int m_nPeak = 0;
    };

    CCrawl Crawl(int connections, CTask task)
    {
        {
            std::lock_guard lock(m_Lock);
            m_nPeak = 0;
        }
        const size_t requestsBefore = m_Server.RequestedPaths().size();
        task.m_SpiderConnections = connections;
        CCrawl crawl;
        crawl.m_Events = Run(task);
        const std::vector<std::string> paths = m_Server.RequestedPaths();
        crawl.m_Paths.assign(paths.begin() + qsizetype(requestsBefore), paths.end());
        std::sort(crawl.m_Paths.begin(), crawl.m_Paths.end());
        std::lock_guard lock(m_Lock);
        crawl.m_nPeak = m_nPeak;
        return crawl;
    }

    CTask SpiderTask()
    {
        CTask task = MakeTask(40, QStringLiteral("Tangle"), eCheckSpider);
        task.m_SpiderUrl = m_Server.Url(QStringLiteral("/index.html"));
        return task;
    }

    CHttpTestServer m_Server;
    std::mutex m_Lock;
    int m_nActive = 0;
    int m_nPeak = 0;
};

} // namespace

TEST_F(SpiderConnections, SeveralConnectionsCrawlAsOneDoesToTheByte)
{
    CTask unlimited = SpiderTask();
    CTask fivePages = SpiderTask();
    fivePages.m_bSpiderLimitPageNumber = true;
    fivePages.m_SpiderMaxPageNumber = 5;
    CTask twoLevels = SpiderTask();
    twoLevels.m_bSpiderLimitDepth = true;
    twoLevels.m_SpiderMaxDepth = 1;
    CTask both = twoLevels;
    both.m_bSpiderLimitPageNumber = true;
    both.m_SpiderMaxPageNumber = 9;

    for (const CTask& task : {unlimited, fivePages, twoLevels, both}) {
        SCOPED_TRACE(QStringLiteral("page limit %1 %2, depth limit %3 %4")
                         .arg(task.m_bSpiderLimitPageNumber)
                         .arg(task.m_SpiderMaxPageNumber)
                         .arg(task.m_bSpiderLimitDepth)
                         .arg(task.m_SpiderMaxDepth)
                         .toStdString());
        const CCrawl one = Crawl(1, task);
        EXPECT_EQ(one.m_nPeak, 1);
        ASSERT_FALSE(Verdict(one.m_Events, task.m_TaskId).isEmpty());
        for (const int connections : {3, 16}) {
            SCOPED_TRACE(connections);
            const CCrawl several = Crawl(connections, task);
            // Every message in its place, the report and verdict among them.
            EXPECT_EQ(several.m_Events, one.m_Events);
            // Not one page more fetched, not even ahead of the page limit.
            EXPECT_EQ(several.m_Paths, one.m_Paths);
            if (!task.m_bSpiderLimitPageNumber) {
                EXPECT_GT(several.m_nPeak, 1); // the pages were indeed fetched side by side
            }
        }
    }
    const QString verdict = Verdict(Crawl(3, unlimited).m_Events, 40);
    EXPECT_TRUE(verdict.startsWith(QStringLiteral("2 40 Spider operation failed.")));
    EXPECT_TRUE(verdict.contains(QStringLiteral("/broken3.html' Bad status code")));
}

TEST_F(SpiderConnections, StopEndsEveryTransferInFlightAndReportsThePagesTaken)
{
    using namespace std::chrono_literals;
    CHttpTestServer slow;
    slow.Get("/index.html", [](const httplib::Request&, httplib::Response& response) {
        response.set_content("<a href='a.html'>a</a> <a href='slow1.html'>1</a> <a href='slow2.html'>2</a>"
                             "<a href='b.html'>b</a>",
                             "text/html");
    });
    for (const char* page : {"/a.html", "/b.html"}) {
        slow.Get(page, [](const httplib::Request&, httplib::Response& response) {
            response.set_content("<html/>", "text/html");
        });
    }
    slow.Get(R"(/slow\d\.html)", [&slow](const httplib::Request&, httplib::Response& response) {
        slow.Pause(20s);
        response.set_content("late", "text/html");
    });
    ASSERT_TRUE(slow.Start());
    CTask task = SpiderTask();
    task.m_SpiderUrl = slow.Url(QStringLiteral("/index.html"));
    task.m_TimeoutSec = 30;
    task.m_SpiderConnections = 8;
    m_Host.Clear();
    m_Host.AddTask(task);
    m_Engine.PostRunTask(task.m_TaskId);
    // Every page of the site is asked for at once, the crawl waiting for the first slow one.
    ASSERT_TRUE(m_Host.WaitForEvent(QStringLiteral("5 -1 Task Tangle. Spidering page ")
                                    + slow.Url(QStringLiteral("/slow1.html"))));
    while (slow.RequestCount() < 5)
        std::this_thread::sleep_for(10ms);
    m_Engine.StopTask();
    ASSERT_TRUE(m_Host.WaitForEvent(QStringLiteral("state 2 40"), 5s)); // no wait for either slow page

    const QStringList events = m_Host.Events();
    const qsizetype stopped = events.indexOf(QStringLiteral("state 3 40"));
    ASSERT_GE(stopped, 0);
    EXPECT_EQ(events.mid(stopped),
              (QStringList {
                  QStringLiteral("state 3 40"),
                  QStringLiteral("6 -1 Task execution stopped"),
                  QStringLiteral("1 40 Spider operation succeeded.\n\nThe following links were checked:\n\n"
                                 "Succesfully retrieved '%1'. Referenced on 'Task URL'\n"
                                 "Succesfully retrieved '%2'. Referenced on '%1'\n")
                      .arg(task.m_SpiderUrl, slow.Url(QStringLiteral("/a.html"))),
                  QStringLiteral("0 -1 Finished task Tangle"),
                  QStringLiteral("state 2 40"),
              }));
    // The page fetched ahead of the stop was never taken, so it is not told of.
    EXPECT_FALSE(events.join(u'\n').contains(QStringLiteral("Spidering page ") + slow.Url(QStringLiteral("/b.html"))));
}
