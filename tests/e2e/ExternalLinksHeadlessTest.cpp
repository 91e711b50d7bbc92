// A crawl's links to other sites, as the console program checks them when the task asks it
// to: fetched once each, never crawled, gently, and reported after the site's own pages.
#include "ProgramRun.h"
#include "core/engine/PingThread.h"
#include "core/tasks/TaskFile.h"
#include "support/HttpTestServer.h"
#include "support/QtPrinters.h"
#include "support/RecordingHost.h"
#include "support/TempSettings.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

class ExternalLinksHeadless : public ::testing::Test
{
protected:
    void SetUp() override
    {
        // The other site is a second server reached by another name: the crawl tells sites
        // apart by host name, not by port.
        QFile hosts(QStringLiteral("/etc/hosts"));
        if (!hosts.open(QIODevice::ReadOnly) || !hosts.readAll().contains("localhost"))
            GTEST_SKIP() << "/etc/hosts does not name localhost";
        m_OtherSite.Get(".*", [this](const httplib::Request& request, httplib::Response& response) {
            {
                std::lock_guard lock(m_Lock);
                m_OtherRequests.push_back(request.method + " " + request.path);
                m_nPeak = std::max(m_nPeak, ++m_nActive);
            }
            AnswerOtherSite(request, response);
            std::lock_guard lock(m_Lock);
            --m_nActive;
        });
        ASSERT_TRUE(m_OtherSite.Start());
    }

    void AnswerOtherSite(const httplib::Request& request, httplib::Response& response)
    {
        const std::string& path = request.path;
        if (path.rfind("/slow/", 0) == 0) {
            // Long enough for checks that may overlap to be seen doing so.
            m_OtherSite.Pause(std::chrono::milliseconds(300));
            response.set_content("<p>slow</p>", "text/html");
        } else if (path == "/busy" && !m_bAskedBusy) {
            m_bAskedBusy = true;
            response.status = 429;
            response.set_header("Retry-After", "1");
        } else if (path == "/busy") {
            response.set_content("not a page", "application/octet-stream");
        } else if (path == "/hang") {
            m_OtherSite.Pause(std::chrono::seconds(60));
        } else if (path == "/ok") {
            // Found first, answered last: the report still lists it first.
            m_OtherSite.Pause(std::chrono::milliseconds(200));
            response.set_content("<a href='/never-crawled'>x</a>", "text/html");
        } else if (path == "/photo.png") {
            response.set_content("not a page", "image/png");
        } else if (path == "/no-head" && request.method == "HEAD") {
            response.status = 405;
        } else if (path == "/no-head") {
            response.set_content("<p>only for GET</p>", "text/html");
        } else if (path == "/moved") {
            response.status = 301;
            response.set_header("Location", "/moved-here");
        } else if (path == "/moved-here") {
            response.set_content("<p>here</p>", "text/html");
        } else {
            response.status = 404;
            response.set_content("<p>not here</p>", "text/html");
        }
    }

    void Serve(std::map<std::string, std::string> pages)
    {
        m_Site.Get(".*", [pages = std::move(pages)](const httplib::Request& request, httplib::Response& response) {
            const auto it = pages.find(request.path);
            if (it == pages.end()) {
                response.status = 404;
                response.set_content("<p>not here</p>", "text/html");
                return;
            }
            response.set_content(it->second, "text/html");
        });
        ASSERT_TRUE(m_Site.Start());
    }

    std::string Other(const char* path) const
    {
        return "http://localhost:" + std::to_string(m_OtherSite.Port()) + path;
    }
    QString OtherUrl(const char* path) const { return QString::fromStdString(Other(path)); }
    QString SiteUrl(const char* path) const { return m_Site.Url(QString::fromUtf8(path)); }

    CTask Crawl(const QString& name, bool checkOtherSites, int connections = 0)
    {
        CTask task;
        task.m_Name = name;
        task.m_CheckAction = eCheckSpider;
        task.m_SpiderUrl = SiteUrl("/index.html");
        task.m_TimeoutSec = 5;
        task.m_SpiderConnections = connections;
        task.m_bSpiderCheckExternal = checkOtherSites;
        task.m_AlertSettings.m_AlertMethods = 0;
        return task;
    }

    // Runs every task once, in order, with the JSON report on standard output; the log lines,
    // without their time stamps, come from standard error.
    void RunOnce(const QList<CTask>& tasks)
    {
        const QString taskFile = WriteTasks(m_Dir, tasks);
        QProcess process;
        process.setProcessEnvironment(ProgramEnvironment());
        process.start(QStringLiteral(CORVANE_PROGRAM),
                      {QStringLiteral("--settings"), m_Settings.IniPath(), QStringLiteral("--headless"),
                       QStringLiteral("--once"), QStringLiteral("--format"), QStringLiteral("json"), taskFile});
        ASSERT_TRUE(process.waitForStarted());
        ASSERT_TRUE(process.waitForFinished(120000));
        m_Report = QJsonDocument::fromJson(process.readAllStandardOutput()).object();
        m_Lines = WithoutTime(OutputLines(process.readAllStandardError()));
    }

    QString Verdict(const QString& name) const { return VerdictOf(m_Lines, name); }

    QJsonObject ReportOf(const QString& name) const
    {
        for (const QJsonValue& task : m_Report.value(u"tasks").toArray()) {
            if (task.toObject().value(u"name").toString() == name)
                return task.toObject();
        }
        return {};
    }

    static QString Retrieved(const QString& url, const QString& referrer)
    {
        return QStringLiteral("Succesfully retrieved '%1'. Referenced on '%2'\n").arg(url, referrer);
    }

    static QString Heading(bool succeeded)
    {
        return succeeded
            ? QStringLiteral("Task Success\tSpider operation succeeded.\n\nThe following links were checked:\n\n")
            : QStringLiteral("Task Failure\tSpider operation failed.\n\nThe following links were checked:\n\n");
    }

    std::vector<std::string> OtherRequests()
    {
        std::lock_guard lock(m_Lock);
        std::vector<std::string> requests = m_OtherRequests;
        std::sort(requests.begin(), requests.end());
        return requests;
    }

    CTempSettings m_Settings;
    QTemporaryDir m_Dir;
    CHttpTestServer m_Site;
    CHttpTestServer m_OtherSite;
    std::mutex m_Lock;
    std::vector<std::string> m_OtherRequests; // "METHOD /path", in arrival order
    int m_nActive = 0;
    int m_nPeak = 0;
    std::atomic<bool> m_bAskedBusy {false};
    QJsonObject m_Report;
    QStringList m_Lines;
};

} // namespace

TEST_F(ExternalLinksHeadless, WithoutTheOptionLinksToOtherSitesAreNeitherFetchedNorReported)
{
    Serve({
        {"/index.html", "<a href='" + Other("/ok") + "'>away</a> <a href='a.html'>a</a>"},
        {"/a.html", "<a href='" + Other("/gone") + "'>gone</a>"},
    });

    RunOnce({Crawl(QStringLiteral("Site"), false)});
    EXPECT_EQ(Verdict(QStringLiteral("Site")),
              Heading(true) + Retrieved(SiteUrl("/index.html"), QStringLiteral("Task URL"))
                  + Retrieved(SiteUrl("/a.html"), SiteUrl("/index.html")));
    EXPECT_EQ(OtherRequests(), std::vector<std::string> {});
}

TEST_F(ExternalLinksHeadless, EachLinkToAnotherSiteIsCheckedOnceAndReportedAfterTheSiteInTheOrderFound)
{
    Serve({
        {"/index.html",
         "<a href='" + Other("/ok") + "'>ok</a> <a href='a.html'>a</a> <a href='" + Other("/gone")
             + "'>gone</a>"
             // The same link again, written another way: checked once, referred to by this page.
             + "<a href='" + Other("/ok#top") + "'>ok again</a> <a href='b.html'>b</a>"},
        {"/a.html", "<a href='" + Other("/photo.png") + "'>photo</a> <a href='" + Other("/gone") + "'>gone</a>"},
        {"/b.html",
         "<a href='" + Other("/no-head") + "'>no head</a> <a href='" + Other("/moved") + "'>moved</a>"
             + "<a href='index.html'>home</a>"},
    });

    // One connection and eight: the site's pages come in another order, the report does not.
    RunOnce({Crawl(QStringLiteral("One"), true, 1), Crawl(QStringLiteral("Eight"), true, 8)});
    const QString index = SiteUrl("/index.html");
    const QString brokenError
        = QStringLiteral("'%1' Bad status code for the HEAD operation received from the server: 404")
              .arg(OtherUrl("/gone"));
    const QString expected = Heading(false) + Retrieved(index, QStringLiteral("Task URL"))
        + Retrieved(SiteUrl("/a.html"), index)
        + Retrieved(SiteUrl("/b.html"), index)
        // Then the other sites' links, in the order they were first found, with the first page
        // that linked them; a non-HTML answer is a working link, and a redirect is followed.
        + Retrieved(OtherUrl("/ok"), index)
        + QStringLiteral("Error retrieving %1. Referenced on '%2'\n").arg(brokenError, index)
        + Retrieved(OtherUrl("/photo.png"), SiteUrl("/a.html")) + Retrieved(OtherUrl("/no-head"), SiteUrl("/b.html"))
        + Retrieved(OtherUrl("/moved"), SiteUrl("/b.html"));
    EXPECT_EQ(Verdict(QStringLiteral("One")), expected);
    EXPECT_EQ(Verdict(QStringLiteral("Eight")), expected);

    // Once each per run, by HEAD, with GET only where HEAD was refused; nothing on the other
    // site is crawled.
    std::vector<std::string> once {"GET /no-head",  "HEAD /gone", "HEAD /moved",    "HEAD /moved-here",
                                   "HEAD /no-head", "HEAD /ok",   "HEAD /photo.png"};
    std::vector<std::string> twice;
    for (const std::string& request : once)
        twice.insert(twice.end(), 2, request);
    EXPECT_EQ(OtherRequests(), twice);

    // The broken link is among the run's broken links, as a broken page of the site would be.
    const QJsonArray broken = ReportOf(QStringLiteral("Eight")).value(u"brokenLinks").toArray();
    ASSERT_EQ(broken.size(), 1) << QJsonDocument(m_Report).toJson().toStdString();
    EXPECT_EQ(broken.at(0).toObject().value(u"url").toString(), OtherUrl("/gone"));
    EXPECT_EQ(broken.at(0).toObject().value(u"referrer").toString(), index);
    EXPECT_EQ(broken.at(0).toObject().value(u"error").toString(), brokenError);
}

TEST_F(ExternalLinksHeadless, AnotherSiteIsNeverAskedMoreThanTwoThingsAtOnce)
{
    std::string links;
    for (int i = 0; i < 6; ++i)
        links += "<a href='" + Other(("/slow/" + std::to_string(i)).c_str()) + "'>" + std::to_string(i) + "</a>";
    Serve({{"/index.html", links}});

    RunOnce({Crawl(QStringLiteral("Site"), true, 8)});
    QString expected = Heading(true) + Retrieved(SiteUrl("/index.html"), QStringLiteral("Task URL"));
    for (int i = 0; i < 6; ++i)
        expected += Retrieved(OtherUrl(("/slow/" + std::to_string(i)).c_str()), SiteUrl("/index.html"));
    EXPECT_EQ(Verdict(QStringLiteral("Site")), expected);
    std::lock_guard lock(m_Lock);
    EXPECT_EQ(m_OtherRequests.size(), 6u);
    EXPECT_LE(m_nPeak, 2);
    EXPECT_LE(m_OtherSite.ConnectionCount(), 2);
}

TEST_F(ExternalLinksHeadless, ASiteThatAsksForPatienceIsAskedAgainTheSameWay)
{
    Serve({{"/index.html", "<a href='" + Other("/busy") + "'>busy</a>"}});

    RunOnce({Crawl(QStringLiteral("Site"), true)});
    EXPECT_EQ(Verdict(QStringLiteral("Site")),
              Heading(true) + Retrieved(SiteUrl("/index.html"), QStringLiteral("Task URL"))
                  + Retrieved(OtherUrl("/busy"), SiteUrl("/index.html")));
    // After the wait it asked for, still only whether the link answers: never its body.
    EXPECT_EQ(OtherRequests(), (std::vector<std::string> {"HEAD /busy", "HEAD /busy"}));
}

TEST_F(ExternalLinksHeadless, AStopEndsTheChecksOfOtherSitesAtOnce)
{
    // The console program has no stop of its own: the engine is asked, as the window asks it.
    Serve({{"/index.html", "<a href='" + Other("/hang") + "'>hangs</a>"}});
    CRecordingHost host;
    CPingThread engine(&host);
    ASSERT_TRUE(engine.Start());
    CTask task = Crawl(QStringLiteral("Site"), true);
    task.m_TaskId = 7;
    task.m_TimeoutSec = 60;
    host.AddTask(task);
    engine.PostRunTask(7);
    const auto asked = [this] {
        std::lock_guard lock(m_Lock);
        return !m_OtherRequests.empty();
    };
    for (int i = 0; i < 2000 && !asked(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_TRUE(asked());
    engine.StopTask();
    // Far less than the time-out the check would otherwise wait for.
    EXPECT_TRUE(host.WaitForEvent(QStringLiteral("state 2 7"), std::chrono::seconds(10)));

    // The site's pages are reported; the link whose check was cut off is not.
    const QStringList events = host.Events();
    const qsizetype stopped = events.indexOf(QStringLiteral("state 3 7"));
    ASSERT_GE(stopped, 0) << events.join(u'\n').toStdString();
    EXPECT_EQ(events.mid(stopped),
              (QStringList {QStringLiteral("state 3 7"), QStringLiteral("6 -1 Task execution stopped"),
                            QStringLiteral("1 7 ") + Heading(true).section(u'\t', 1)
                                + Retrieved(SiteUrl("/index.html"), QStringLiteral("Task URL")),
                            QStringLiteral("0 -1 Finished task Site"), QStringLiteral("state 2 7")}));
    EXPECT_TRUE(engine.Shutdown(10000));
}
