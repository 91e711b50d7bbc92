// A crawl, as the console program runs it, of a site that asks to be left alone for a moment.
#include "ProgramRun.h"
#include "core/tasks/TaskFile.h"
#include "support/HttpTestServer.h"
#include "support/QtPrinters.h"
#include "support/TempSettings.h"

#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <map>
#include <mutex>
#include <string>

TEST(PoliteCrawlHeadless, PagesRefusedForAMomentAreFetchedAfterItAndTheRestAreBrokenLinks)
{
    // Each page is first refused with "come back in a second"; one page never lets up.
    std::mutex lock;
    std::map<std::string, int> asked;
    CScriptedHttpServer server([&](const std::string& path) {
        int count = 0;
        {
            std::lock_guard guard(lock);
            count = ++asked[path];
        }
        CScriptedHttpServer::CAnswer answer;
        if (count == 1 || path == "/busy.html") {
            answer.m_nStatus = 429;
            answer.m_Headers.emplace_back("Retry-After", "1");
            answer.m_Body = "<html>not now</html>";
        } else if (path == "/index.html") {
            answer.m_Body = "<a href='a.html'>a</a> <a href='busy.html'>busy</a> <a href='b.html'>b</a>";
        } else {
            answer.m_Body = "<a href='index.html'>home</a>";
        }
        return answer;
    });
    ASSERT_TRUE(server.IsListening());

    CTempSettings settings;
    QTemporaryDir dir;
    CTask task;
    task.m_Name = QStringLiteral("Site");
    task.m_CheckAction = eCheckSpider;
    task.m_TimeoutSec = 5;
    task.m_AlertSettings.m_AlertMethods = 0;
    task.m_SpiderUrl = server.Url(QStringLiteral("/index.html"));
    task.m_SpiderConnections = 4;
    QProcess process;
    process.setProcessEnvironment(ProgramEnvironment());
    process.start(QStringLiteral(CORVANE_PROGRAM),
                  {QStringLiteral("--settings"), settings.IniPath(), QStringLiteral("--headless"),
                   QStringLiteral("--once"), WriteTasks(dir, {task})});
    ASSERT_TRUE(process.waitForStarted());
    ASSERT_TRUE(process.waitForFinished(120000));
    const QString output = WithoutTime(OutputLines(process.readAllStandardOutput())).join(u'\n');

    const QString start = task.m_SpiderUrl;
    EXPECT_TRUE(output.contains(
        QStringLiteral("Task Failure\tSpider operation failed.\n\nThe following links were checked:\n\n"
                       "Succesfully retrieved '%1'. Referenced on 'Task URL'\n"
                       "Succesfully retrieved '%2'. Referenced on '%1'\n"
                       "Error retrieving '%3' Bad status code for the GET operation received from the server: 429. "
                       "Referenced on '%1'\n"
                       "Succesfully retrieved '%4'. Referenced on '%1'\n")
            .arg(start, server.Url(QStringLiteral("/a.html")), server.Url(QStringLiteral("/busy.html")),
                 server.Url(QStringLiteral("/b.html")))))
        << output.toStdString();
    std::lock_guard guard(lock);
    for (const char* page : {"/index.html", "/a.html", "/busy.html", "/b.html"})
        EXPECT_EQ(asked[page], 2) << page;
}
