// Crawls and page checks as the console program runs them against sites that do what real
// sites do: answer with redirects, write URLs with dot segments, and serve text in encodings
// other than UTF-8.
#include "ProgramRun.h"
#include "core/tasks/TaskFile.h"
#include "support/HttpTestServer.h"
#include "support/QtPrinters.h"
#include "support/TempSettings.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <map>
#include <string>

namespace {

struct CRoute
{
    int m_Status = 200;
    std::string m_Type = "text/html";
    std::string m_Body;
    std::string m_Location; // for a redirect: the Location header
};

CRoute Page(std::string body, std::string type = "text/html")
{
    return {200, std::move(type), std::move(body), {}};
}

CRoute Redirect(int status, std::string location)
{
    return {status, "text/html", "<a href='wrong.html'>moved</a>", std::move(location)};
}

class CrawlHeadless : public ::testing::Test
{
protected:
    // Serves routes, looked up by path, from the test server; anything else is a 404.
    void Serve(std::map<std::string, CRoute> routes)
    {
        m_Server.Get(".*", [routes = std::move(routes)](const httplib::Request& request, httplib::Response& response) {
            const auto it = routes.find(request.path);
            if (it == routes.end()) {
                response.status = 404;
                response.set_content("<html>not here</html>", "text/html");
                return;
            }
            response.status = it->second.m_Status;
            response.set_content(it->second.m_Body, it->second.m_Type);
            if (!it->second.m_Location.empty())
                response.set_header("Location", it->second.m_Location);
        });
        ASSERT_TRUE(m_Server.Start());
    }

    QString Url(const char* path) const { return m_Server.Url(QString::fromUtf8(path)); }

    CTask Task(const QString& name, int checkAction)
    {
        CTask task;
        task.m_Name = name;
        task.m_CheckAction = checkAction;
        task.m_TimeoutSec = 5;
        task.m_AlertSettings.m_AlertMethods = 0;
        return task;
    }

    CTask SpiderTask(const QString& startUrl)
    {
        CTask task = Task(QStringLiteral("Site"), eCheckSpider);
        task.m_SpiderUrl = startUrl;
        return task;
    }

    // Runs every task once, in order, and keeps standard output without the time stamps.
    void RunOnce(const QList<CTask>& tasks)
    {
        const QString taskFile = WriteTasks(m_Dir, tasks);
        QProcess process;
        process.setProcessEnvironment(ProgramEnvironment());
        process.start(QStringLiteral(CORVANE_PROGRAM),
                      {QStringLiteral("--settings"), m_Settings.IniPath(), QStringLiteral("--headless"),
                       QStringLiteral("--once"), taskFile});
        ASSERT_TRUE(process.waitForStarted());
        ASSERT_TRUE(process.waitForFinished(120000));
        m_Lines = WithoutTime(OutputLines(process.readAllStandardOutput()));
    }

    QString Verdict(const QString& name) const { return VerdictOf(m_Lines, name); }

    // The pages the crawl fetched, in order, as paths of the test server.
    QStringList Crawled() const
    {
        QStringList pages;
        const QString prefix = QStringLiteral("Spider Message\tTask Site. Spidering page ");
        for (const QString& line : m_Lines) {
            if (line.startsWith(prefix))
                pages << line.mid(prefix.size()).remove(m_Server.BaseUrl());
        }
        return pages;
    }

    QString Retrieved(const char* page, const char* referrer) const
    {
        return QStringLiteral("Succesfully retrieved '%1'. Referenced on '%2'\n")
            .arg(Url(page), referrer[0] == '/' ? Url(referrer) : QString::fromUtf8(referrer));
    }

    static QString Succeeded(const QString& report)
    {
        return QStringLiteral("Task Success\tSpider operation succeeded.\n\nThe following links were checked:\n\n")
            + report;
    }

    CTempSettings m_Settings;
    QTemporaryDir m_Dir;
    CHttpTestServer m_Server;
    QStringList m_Lines;
};

} // namespace

TEST_F(CrawlHeadless, LinksResolveAgainstThePageARedirectLandedOn)
{
    // The same server under another host name: where the redirect of "/docs/away" goes.
    QFile hosts(QStringLiteral("/etc/hosts"));
    if (!hosts.open(QIODevice::ReadOnly) || !hosts.readAll().contains("localhost"))
        GTEST_SKIP() << "/etc/hosts does not name localhost";
    const std::string otherHost = "http://localhost:" + std::to_string(m_Server.Port());
    const std::string startHost = m_Server.BaseUrl().toStdString();
    Serve({
        {"/docs", Redirect(301, "/docs/")},
        {"/docs/", Page("<a href='guide.html'>guide</a> <a href='moved'>m</a> <a href='away'>a</a>")},
        {"/docs/guide.html", Page("<p>the guide</p>")},
        // Not only the start page: any page may be answered by a redirect.
        {"/docs/moved", Redirect(302, "/docs/new/")},
        {"/docs/new/", Page("<a href='page.html'>page</a>")},
        {"/docs/new/page.html", Page("<p>the page</p>")},
        // A redirect that leaves the site: the page counts, but the crawl does not go on
        // from it, even to links back on the start host.
        {"/docs/away", Redirect(302, otherHost + "/docs/elsewhere.html")},
        {"/docs/elsewhere.html",
         Page("<a href='more.html'>more</a> <a href='" + startHost + "/docs/secret.html'>back</a>")},
        {"/docs/more.html", Page("<p>only linked from elsewhere</p>")},
        {"/docs/secret.html", Page("<p>only linked from elsewhere</p>")},
    });

    RunOnce({SpiderTask(Url("/docs"))});
    EXPECT_EQ(Crawled(),
              (QStringList {"/docs", "/docs/guide.html", "/docs/moved", "/docs/away", "/docs/new/page.html"}));
    // The report names each page as it was queued, not where its redirect went.
    EXPECT_EQ(Verdict(QStringLiteral("Site")),
              Succeeded(Retrieved("/docs", "Task URL") + Retrieved("/docs/guide.html", "/docs")
                        + Retrieved("/docs/moved", "/docs") + Retrieved("/docs/away", "/docs")
                        + Retrieved("/docs/new/page.html", "/docs/moved")));
}

TEST_F(CrawlHeadless, AStartUrlWithDotSegmentsIsFetchedOnce)
{
    Serve({
        {"/a/b.html", Page("<a href='#top'>top</a> <a href='b.html'>me</a> <a href='c.html'>c</a>")},
        {"/a/c.html", Page("<a href='./b.html#intro'>back</a> <a href='../a/c.html#end'>me</a>")},
    });

    RunOnce({SpiderTask(Url("/a/./b.html#intro"))});
    EXPECT_EQ(Crawled(), (QStringList {"/a/b.html", "/a/c.html"}));
    EXPECT_EQ(m_Server.RequestedPaths(), (std::vector<std::string> {"/a/b.html", "/a/c.html"}));
    EXPECT_EQ(Verdict(QStringLiteral("Site")),
              Succeeded(Retrieved("/a/b.html", "Task URL") + Retrieved("/a/c.html", "/a/b.html")));
}

TEST_F(CrawlHeadless, AnExpectedTextIsFoundInThePageAsItReads)
{
    // "café" and "CAFÉ" in Latin-1, in the bytes a server of such pages sends.
    const std::string latin1 = "<p>Caf\xe9 au lait, caf\xe9 cr\xe8me</p>";
    Serve({
        {"/header", Page(latin1, "text/html; charset=ISO-8859-1")},
        {"/meta-http-equiv",
         Page("<html><head><meta http-equiv=\"Content-Type\" content=\"text/html; charset=iso-8859-1\"></head>"
              + latin1)},
        {"/meta-charset", Page("<meta charset='windows-1252'>" + latin1)},
        {"/undeclared", Page(latin1)},
        {"/utf-8", Page("<p>caf\xc3\xa9 cr\xc3\xa8me</p>")},
        // The server's word outranks the page's.
        {"/header-over-meta",
         Page("<meta charset='iso-8859-1'><p>caf\xc3\xa9 cr\xc3\xa8me</p>", "text/html; charset=utf-8")},
        {"/capitals", Page("<p>CAF\xc9</p>", "text/html; charset=iso-8859-1")},
    });
    QList<CTask> tasks;
    for (const char* path :
         {"/header", "/meta-http-equiv", "/meta-charset", "/undeclared", "/utf-8", "/header-over-meta", "/capitals"}) {
        CTask task = Task(QString::fromUtf8(path), eCheckHttpGetPattern);
        task.m_HttpGetURL = Url(path);
        task.m_ExpectedPattern = QStringLiteral("caf\u00e9 cr\u00e8me");
        tasks << task;
    }
    tasks.last().m_ExpectedPattern = QStringLiteral("caf\u00e9");

    RunOnce(tasks);
    for (const char* path :
         {"/header", "/meta-http-equiv", "/meta-charset", "/undeclared", "/utf-8", "/header-over-meta"})
        EXPECT_EQ(Verdict(QString::fromUtf8(path)), QStringLiteral("Task Success\tExpected pattern found.")) << path;
    // Decoding changes no letter's case: the search still tells "é" from "É".
    EXPECT_EQ(Verdict(QStringLiteral("/capitals")), QStringLiteral("Task Failure\tExpected pattern not found."));
}
