#include "EngineFixture.h"
#include "core/engine/LinkExtractor.h"

using namespace std::chrono_literals;

namespace {

// index -> a, b, c.txt, missing (404), and the frame f; a -> b again and A.html (a in other
// letters); b -> deep/d.
const std::map<std::string, Page> kSite {
    {"/index.html",
     {"text/html",
      "<html><body><a href='a.html'>A</a> <A HREF=\"b.html\">B</A> <a href=\"/c.txt\">C</a>"
      "<a href=missing.html>gone</a> <a href='mailto:me@example.com'>mail</a>"
      "<a href='http://elsewhere.invalid/'>away</a>"
      "<frameset><frame src='f.html'></frameset></body></html>"}},
    {"/a.html", {"text/html", "<a href='b.html'>B again</a> <a href='A.html'>me</a>"}},
    {"/b.html", {"text/html", "<a href='deep/d.html'>deeper</a>"}},
    {"/c.txt", {"text/plain", "<a href='never-read.html'>x</a>"}},
    {"/f.html", {"text/html", "frame"}},
    {"/deep/d.html", {"text/html", "bottom"}},
};

class Spider : public Engine
{
protected:
    void SetUp() override
    {
        Engine::SetUp();
        Serve(m_Server, kSite);
        ASSERT_TRUE(m_Server.Start());
    }

    CTask SpiderTask()
    {
        CTask task = MakeTask(30, QStringLiteral("Site"), eCheckSpider);
        task.m_SpiderUrl = Url("/index.html");
        return task;
    }

    QString Url(const char* path) { return m_Server.Url(QString::fromUtf8(path)); }

    QStringList Crawled(const QStringList& events)
    {
        QStringList pages;
        const QString prefix = QStringLiteral("5 -1 Task Site. Spidering page ");
        for (const QString& line : events) {
            if (line.startsWith(prefix))
                pages << line.mid(prefix.size()).remove(m_Server.BaseUrl());
        }
        return pages;
    }

    QString Ok(const char* page, const char* referrer)
    {
        return QStringLiteral("Succesfully retrieved '%1'. Referenced on '%2'\n")
            .arg(Url(page), referrer[0] == '/' ? Url(referrer) : QString::fromUtf8(referrer));
    }

    CHttpTestServer m_Server;
};

} // namespace

TEST_F(Spider, CrawlsBreadthFirstAndReportsEveryPageWithItsLatestReferrer)
{
    const QStringList events = Run(SpiderTask());
    EXPECT_EQ(Crawled(events),
              (QStringList {QStringLiteral("/index.html"), QStringLiteral("/a.html"), QStringLiteral("/b.html"),
                            QStringLiteral("/c.txt"), QStringLiteral("/missing.html"), QStringLiteral("/f.html"),
                            QStringLiteral("/deep/d.html")}));
    const QString report = Ok("/index.html", "Task URL") + Ok("/a.html", "/index.html") + Ok("/b.html", "/a.html")
        + QStringLiteral("Error retrieving '%1' Bad status code for the GET operation received from the server: 404. "
                         "Referenced on '%2'\n")
              .arg(Url("/missing.html"), Url("/index.html"))
        + Ok("/f.html", "/index.html") + Ok("/deep/d.html", "/b.html");
    EXPECT_EQ(Verdict(events, 30),
              QStringLiteral("2 30 Spider operation failed.\n\nThe following links were checked:\n\n") + report);
    EXPECT_EQ(events.last(), u"state 2 30");
}

TEST_F(Spider, PageLimitCountsPagesFetched)
{
    CTask task = SpiderTask();
    task.m_bSpiderLimitPageNumber = true;
    task.m_SpiderMaxPageNumber = 3;
    EXPECT_EQ(Crawled(Run(task)),
              (QStringList {QStringLiteral("/index.html"), QStringLiteral("/a.html"), QStringLiteral("/b.html")}));
    task.m_SpiderMaxPageNumber = 0; // the start page is always fetched
    const QStringList events = Run(task);
    EXPECT_EQ(Crawled(events), QStringList {QStringLiteral("/index.html")});
    EXPECT_EQ(Verdict(events, 30),
              QStringLiteral("1 30 Spider operation succeeded.\n\nThe following links were checked:\n\n")
                  + Ok("/index.html", "Task URL"));
}

TEST_F(Spider, DepthLimitKeepsToTheLevelsAsked)
{
    CTask task = SpiderTask();
    task.m_bSpiderLimitDepth = true;
    task.m_SpiderMaxDepth = 0;
    EXPECT_EQ(Crawled(Run(task)), QStringList {QStringLiteral("/index.html")});
    task.m_SpiderMaxDepth = 1;
    EXPECT_EQ(Crawled(Run(task)),
              (QStringList {QStringLiteral("/index.html"), QStringLiteral("/a.html"), QStringLiteral("/b.html"),
                            QStringLiteral("/c.txt"), QStringLiteral("/missing.html"), QStringLiteral("/f.html")}));
}

TEST_F(Spider, StartPagesThatAreNotHtmlOrNotThere)
{
    CTask task = SpiderTask();
    task.m_SpiderUrl = Url("/c.txt");
    EXPECT_EQ(Verdict(Run(task), 30),
              QStringLiteral("1 30 Spider operation succeeded.\n\nThe following links were checked:\n\n"));

    CRefusingPort refusing;
    task.m_SpiderUrl = refusing.Url(QStringLiteral("/"));
    const QString verdict = Verdict(Run(task), 30);
    EXPECT_TRUE(
        verdict.startsWith(QStringLiteral("2 30 Spider operation failed.\n\nThe following links were checked:\n\n"
                                          "Error retrieving '%1' Unable to establish the internet connection "
                                          "because of this error: ")
                               .arg(task.m_SpiderUrl)))
        << verdict.toStdString();
    EXPECT_TRUE(verdict.endsWith(u". Referenced on 'Task URL'\n")) << verdict.toStdString();
}

TEST_F(Spider, StopEndsTheCrawlButStillReportsWhatWasFetched)
{
    CHttpTestServer slow;
    slow.Get("/index.html", [](const httplib::Request&, httplib::Response& response) {
        response.set_content("<a href='slow.html'>s</a> <a href='other.html'>o</a>", "text/html");
    });
    slow.Get("/slow.html", [&slow](const httplib::Request&, httplib::Response& response) {
        slow.Pause(20s);
        response.set_content("late", "text/html");
    });
    ASSERT_TRUE(slow.Start());
    CTask task = SpiderTask();
    task.m_SpiderUrl = slow.Url(QStringLiteral("/index.html"));
    task.m_TimeoutSec = 30;
    m_Host.Clear();
    m_Host.AddTask(task);
    m_Engine.PostRunTask(30);
    ASSERT_TRUE(m_Host.WaitForEvent(QStringLiteral("5 -1 Task Site. Spidering page ")
                                    + slow.Url(QStringLiteral("/slow.html"))));
    while (slow.RequestCount() < 2)
        std::this_thread::sleep_for(10ms);
    m_Engine.StopTask();
    ASSERT_TRUE(m_Host.WaitForEvent(QStringLiteral("state 2 30"), 5s));

    const QStringList events = m_Host.Events();
    const qsizetype stopped = events.indexOf(QStringLiteral("state 3 30"));
    ASSERT_GE(stopped, 0);
    EXPECT_EQ(events.mid(stopped),
              (QStringList {
                  QStringLiteral("state 3 30"),
                  QStringLiteral("6 -1 Task execution stopped"),
                  QStringLiteral("1 30 Spider operation succeeded.\n\nThe following links were checked:\n\n"
                                 "Succesfully retrieved '%1'. Referenced on 'Task URL'\n")
                      .arg(task.m_SpiderUrl),
                  QStringLiteral("0 -1 Finished task Site"),
                  QStringLiteral("state 2 30"),
              }));
}

// The crawl reads pages on another thread while it fetches ahead. On a tangled site, with
// pages that reference pages already queued, broken links and a non-HTML page, it must take
// the same steps and write the same report as a crawl that reads each page before the next.
TEST_F(Spider, FetchingAheadTakesTheStepsOfOnePageAtATime)
{
    constexpr int kPages = 120;
    std::map<std::string, Page> site;
    const auto path = [](int page) {
        return "/p" + std::to_string(page) + ".html";
    };
    for (int page = 0; page < kPages; ++page) {
        std::string body = "<html><body>";
        for (const int target : {(page * 7 + 3) % kPages, (page * 13 + 5) % kPages, (page + 1) % kPages, page / 2})
            body += "<a href='" + path(target) + "'>t</a> lorem ipsum ";
        if (page % 17 == 0)
            body += "<a href='/gone" + std::to_string(page % 3) + ".html'>gone</a>";
        if (page % 29 == 0)
            body += "<a href='/data.txt'>data</a>";
        site[path(page)] = {"text/html", body + "</body></html>"};
    }
    site["/data.txt"] = {"text/plain", "<a href='/never.html'>x</a>"};
    CHttpTestServer server;
    Serve(server, site);
    ASSERT_TRUE(server.Start());

    CTask task = SpiderTask();
    task.m_SpiderUrl = server.Url(QStringLiteral("/p0.html"));
    const QStringList events = Run(task);

    // The same crawl, one page at a time, from the pages' own bytes.
    CSpiderQueue queue;
    CReferrerMap referrers;
    AddSpiderLink(CSpiderLink(task.m_SpiderUrl, 0), QStringLiteral("Task URL"), queue, referrers);
    QStringList crawled;
    QString report;
    while (!queue.empty()) {
        const CSpiderLink link = queue.front();
        queue.pop_front();
        const QString pagePath = QString(link.m_Url).remove(server.BaseUrl());
        crawled << QStringLiteral("5 -1 Task Site. Spidering page ") + link.m_Url;
        const QString referrer = referrers.GetReferrer(link.m_Url);
        const auto it = site.find(pagePath.toStdString());
        if (it == site.end()) {
            report += QStringLiteral("Error retrieving '%1' Bad status code for the GET operation received from the "
                                     "server: 404. Referenced on '%2'\n")
                          .arg(link.m_Url, referrer);
        } else if (it->second.type == "text/html") {
            report += QStringLiteral("Succesfully retrieved '%1'. Referenced on '%2'\n").arg(link.m_Url, referrer);
            ExtractLinks(link, QByteArray::fromStdString(it->second.body), queue, referrers);
        }
    }
    ASSERT_GT(crawled.size(), kPages);
    EXPECT_EQ(events.filter(QStringLiteral("Spidering page")), crawled);
    EXPECT_EQ(Verdict(events, 30),
              QStringLiteral("2 30 Spider operation failed.\n\nThe following links were checked:\n\n") + report);
}
