#include "MainFrameFixture.h"
#include "support/HttpTestServer.h"
#include "ui/output/OutputBar.h"
#include "ui/output/OutputList.h"

#include <QAbstractItemModel>
#include <QTest>

#include <map>

namespace {

// "Message" -> "Task" of every row the output window shows.
std::multimap<QString, QString> TaskOfEachRow(const QAbstractItemModel* model)
{
    int taskColumn = -1;
    for (int c = 0; c < model->columnCount(); ++c) {
        if (model->headerData(c, Qt::Horizontal).toString() == u"Task")
            taskColumn = c;
    }
    std::multimap<QString, QString> rows;
    for (int r = 0; r < model->rowCount(); ++r) {
        const QString task
            = taskColumn < 0 ? QStringLiteral("(no Task column)") : model->data(model->index(r, taskColumn)).toString();
        rows.emplace(model->data(model->index(r, 2)).toString(), task);
    }
    return rows;
}

bool HasRow(const QAbstractItemModel* model, const QString& start)
{
    for (int r = 0; r < model->rowCount(); ++r) {
        if (model->data(model->index(r, 2)).toString().startsWith(start))
            return true;
    }
    return false;
}

} // namespace

// A crawl that finds a broken link, and the alert it raises: every row of the run and of its
// alert names the task, so the window can be read when several tasks run; the rest name none.
TEST_F(MainFrameTest, EveryMessageOfARunAndItsAlertNamesTheTaskInTheTaskColumn)
{
    CHttpTestServer server;
    server.Get("/", [&](const httplib::Request&, httplib::Response& response) {
        response.set_content("<a href=\"/gone\">gone</a>", "text/html");
    });
    server.Get("/gone", [](const httplib::Request&, httplib::Response& response) { response.status = 404; });
    server.Get("/alert",
               [](const httplib::Request&, httplib::Response& response) { response.set_content("ok", "text/plain"); });
    ASSERT_TRUE(server.Start());

    CTask task = Task(QStringLiteral("Shop front"));
    task.m_CheckAction = eCheckSpider;
    task.m_SpiderUrl = server.Url(QStringLiteral("/"));
    task.m_AlertSettings.m_bUseDefaultAlertMethods = false;
    task.m_AlertSettings.m_AlertMethods = eAlertHttpGet;
    task.m_AlertSettings.m_AlertHttpUrl = server.Url(QStringLiteral("/alert"));
    const int id = m_Document.AddTask(task);
    ASSERT_TRUE(m_pFrame->Start());
    m_bHubStarted = true;
    m_Hub.ExecuteTask(id);

    const QAbstractItemModel* model = m_pFrame->GetOutputBar()->GetList()->model();
    QTRY_VERIFY_WITH_TIMEOUT(HasRow(model, QStringLiteral("HTTP alert for task Shop front")), 30000);
    const std::multimap<QString, QString> rows = TaskOfEachRow(model);
    int ofTheRun = 0;
    for (const auto& [text, taskName] : rows) {
        const bool aboutTheTask = text.contains(u"Shop front") || text.startsWith(u"Spider operation failed")
            || text == u"Double click here to see details.";
        if (aboutTheTask) {
            EXPECT_EQ(taskName, u"Shop front") << text.toStdString();
            ++ofTheRun;
        } else {
            EXPECT_EQ(taskName, QString()) << text.toStdString();
        }
    }
    // Starting, two pages, the verdict, finished, the alert.
    EXPECT_GE(ofTheRun, 6);
}
