// The health columns of the task list: what real runs through a started hub make of a task,
// what the result history gives a board that saw none of them, and the columns the user
// arranged.
#include "core/shell/AppSettings.h"
#include "core/shell/Hub.h"
#include "core/shell/StatusBoard.h"
#include "core/tasks/VigrelDoc.h"
#include "support/EventLoop.h"
#include "support/HttpTestServer.h"
#include "support/QtPrinters.h"
#include "support/TempSettings.h"
#include "ui/tasks/TaskListModel.h"
#include "ui/tasks/VigrelView.h"

#include <QApplication>
#include <QDateTime>
#include <QHeaderView>
#include <QMenu>
#include <QSignalSpy>
#include <QTimer>
#include <QTreeView>

#include <gtest/gtest.h>

#include <atomic>

namespace {

QString Cell(const QAbstractItemModel* model, int row, int column, int role = Qt::DisplayRole)
{
    return model->index(row, column).data(role).toString();
}

} // namespace

TEST(TaskHealth, AFailingSiteShowsDownThenUpAndAFreshBoardReadsItFromTheHistory)
{
    CTempSettings settings;
    CHttpTestServer server;
    std::atomic<bool> healthy {false};
    server.Get("/status", [&healthy](const httplib::Request&, httplib::Response& response) {
        response.status = healthy ? 200 : 404;
        response.set_content("status", "text/plain");
    });
    ASSERT_TRUE(server.Start());

    CVigrelDoc document;
    CTask task;
    task.m_Name = QStringLiteral("Shop front");
    task.m_CheckAction = eCheckHttpGet;
    task.m_HttpGetURL = server.Url(QStringLiteral("/status"));
    task.m_TimeoutSec = 20;
    const int taskId = document.AddTask(task);
    CHub hub(&document);
    CStatusBoard board(&hub);
    CVigrelView view(&document, &hub);
    view.SetStatusBoard(&board);
    const CTaskListModel* model = view.GetModel();
    ASSERT_TRUE(hub.Start());
    EXPECT_EQ(Cell(model, 0, CTaskListModel::eColumnResult), QString());

    hub.ExecuteTask(taskId);
    ASSERT_TRUE(SpinUntil([&] { return Cell(model, 0, CTaskListModel::eColumnResult) == u"Down"; }));
    EXPECT_TRUE(Cell(model, 0, CTaskListModel::eColumnSince).endsWith(u" s"))
        << Cell(model, 0, CTaskListModel::eColumnSince).toStdString();
    EXPECT_TRUE(Cell(model, 0, CTaskListModel::eColumnResponse).endsWith(u" ms"));
    ASSERT_TRUE(SpinUntil([&] { return Cell(model, 0, CTaskListModel::eColumnUptime24h) == u"0.0 %"; }));
    EXPECT_EQ(Cell(model, 0, CTaskListModel::eColumnUptime30d), u"0.0 %");
    // It stands out in the icon views too: a marked icon and coloured text.
    const QModelIndex name = model->index(0, CTaskListModel::eColumnName);
    EXPECT_TRUE(name.data(CTaskListModel::DownRole).toBool());
    EXPECT_TRUE(name.data(Qt::ForegroundRole).isValid());
    const qint64 downIcon = name.data(Qt::DecorationRole).value<QIcon>().cacheKey();

    healthy = true;
    ASSERT_TRUE(SpinUntil([&] { return !hub.IsTaskRunning(); }));
    hub.ExecuteTask(taskId);
    ASSERT_TRUE(SpinUntil([&] { return Cell(model, 0, CTaskListModel::eColumnResult) == u"Up"; }));
    ASSERT_TRUE(SpinUntil([&] { return Cell(model, 0, CTaskListModel::eColumnUptime24h) == u"50.0 %"; }));
    EXPECT_FALSE(name.data(CTaskListModel::DownRole).toBool());
    EXPECT_FALSE(name.data(Qt::ForegroundRole).isValid());
    EXPECT_NE(name.data(Qt::DecorationRole).value<QIcon>().cacheKey(), downIcon);
    const QModelIndex recent = model->index(0, CTaskListModel::eColumnRecent);
    EXPECT_EQ(recent.data(CTaskListModel::RecentFailedRole).value<QList<bool>>(), (QList<bool> {true, false}));

    // A board made now (as at the next start) saw no run: the history tells it.
    CStatusBoard fresh(&hub);
    CTaskListModel freshModel(&document);
    freshModel.SetStatusBoard(&fresh);
    QSignalSpy refreshed(&fresh, &CStatusBoard::Refreshed);
    fresh.Refresh();
    ASSERT_TRUE(SpinUntil([&] { return refreshed.count() > 0; }));
    EXPECT_EQ(Cell(&freshModel, 0, CTaskListModel::eColumnResult), u"Up");
    EXPECT_FALSE(Cell(&freshModel, 0, CTaskListModel::eColumnSince).isEmpty());
    EXPECT_TRUE(Cell(&freshModel, 0, CTaskListModel::eColumnResponse).endsWith(u" ms"));
    EXPECT_EQ(Cell(&freshModel, 0, CTaskListModel::eColumnUptime24h), u"50.0 %");
    EXPECT_EQ(Cell(&freshModel, 0, CTaskListModel::eColumnUptime30d), u"50.0 %");
    const QModelIndex freshRecent = freshModel.index(0, CTaskListModel::eColumnRecent);
    EXPECT_EQ(freshRecent.data(CTaskListModel::RecentRole).value<QList<qint64>>().size(), 2);
    EXPECT_EQ(freshRecent.data(CTaskListModel::RecentFailedRole).value<QList<bool>>(), (QList<bool> {true, false}));
    hub.Shutdown(10000);
}

TEST(TaskHealth, AnHttpsTasksToolTipTellsWhenItsCertificateExpires)
{
    CTempSettings settings;
    CAppSettings trusting = GetAppSettings();
    trusting.m_TlsCaFile = QStringLiteral(CORVANE_TEST_DATA_DIR "/tls/loopback.crt");
    SetAppSettings(trusting);
    CHttpTestServer server(CHttpTestServer::eHttpsSelfSigned);
    server.Get("/", [](const httplib::Request&, httplib::Response& response) {
        response.set_content("<html>secure</html>", "text/html");
    });
    ASSERT_TRUE(server.Start());

    CVigrelDoc document;
    CTask task;
    task.m_Name = QStringLiteral("Checkout");
    task.m_CheckAction = eCheckHttpGet;
    task.m_HttpGetURL = server.Url(QStringLiteral("/"));
    task.m_TimeoutSec = 20;
    const int taskId = document.AddTask(task);
    CHub hub(&document);
    CStatusBoard board(&hub);
    CTaskListModel model(&document);
    model.SetStatusBoard(&board);
    ASSERT_TRUE(hub.Start());
    EXPECT_EQ(Cell(&model, 0, CTaskListModel::eColumnName, Qt::ToolTipRole), u"Checkout");

    hub.ExecuteTask(taskId);
    ASSERT_TRUE(SpinUntil([&] { return Cell(&model, 0, CTaskListModel::eColumnResult) == u"Up"; }))
        << Cell(&model, 0, CTaskListModel::eColumnResult, Qt::ToolTipRole).toStdString();
    // The test certificate runs out on 2126-11-14 at 01:50:32 UTC.
    const qint64 daysLeft = (QDateTime(QDate(2126, 11, 14), QTime(1, 50, 32), Qt::UTC).toMSecsSinceEpoch()
                             - QDateTime::currentMSecsSinceEpoch())
        / (24LL * 60 * 60 * 1000);
    const QString tip = Cell(&model, 0, CTaskListModel::eColumnName, Qt::ToolTipRole);
    EXPECT_TRUE(tip == QStringLiteral("Checkout\nCertificate expires on 2126-11-14 (%1 days)").arg(daysLeft)
                || tip == QStringLiteral("Checkout\nCertificate expires on 2126-11-14 (%1 days)").arg(daysLeft + 1))
        << tip.toStdString();

    // Turned into a TCP check, the task has no certificate of its own to tell of.
    task = document.GetTasks().value(0);
    task.m_CheckAction = eCheckTcp;
    ASSERT_TRUE(document.ModifyTask(taskId, task));
    EXPECT_EQ(Cell(&model, 0, CTaskListModel::eColumnName, Qt::ToolTipRole), u"Checkout");
    hub.Shutdown(10000);
}

TEST(TaskHealth, AMissedRunSaysEngineOffWhileTheEngineIsOff)
{
    CTempSettings settings;
    CVigrelDoc document;
    CTask task;
    task.m_Name = QStringLiteral("Nightly");
    task.m_bTaskScheduled = true;
    const int taskId = document.AddTask(task);
    task.m_NextRunTime = QDateTime::currentSecsSinceEpoch() - 600;
    ASSERT_TRUE(document.ModifyTask(taskId, task));
    ASSERT_TRUE(document.GetTask(taskId, task));
    CHub hub(&document);
    CVigrelView view(&document, &hub);
    const CTaskListModel* model = view.GetModel();
    ASSERT_TRUE(hub.IsEngineOn());
    const QString time = Cell(model, 0, CTaskListModel::eColumnNextRun);
    EXPECT_NE(time, u"Engine off");

    hub.ToggleEngine();
    EXPECT_EQ(Cell(model, 0, CTaskListModel::eColumnNextRun), u"Engine off");
    hub.ToggleEngine();
    EXPECT_EQ(Cell(model, 0, CTaskListModel::eColumnNextRun), time);
}

TEST(TaskHealth, SortedMovedAndHiddenColumnsSurviveANewViewAndRowsStillMapToTasks)
{
    CTempSettings settings;
    CVigrelDoc document;
    QList<int> ids;
    for (const char* name : {"Beta", "Alpha", "Gamma"}) {
        CTask task;
        task.m_Name = QString::fromLatin1(name);
        ids << document.AddTask(task);
    }
    {
        CVigrelView view(&document, nullptr);
        view.resize(900, 300);
        view.show();
        auto* details = qobject_cast<QTreeView*>(view.GetItemView());
        ASSERT_TRUE(details);
        QHeaderView* header = details->header();
        header->setSortIndicator(CTaskListModel::eColumnName, Qt::DescendingOrder);
        header->moveSection(header->visualIndex(CTaskListModel::eColumnUptime24h), 1);
        // Hidden through the header's menu, as a user does it.
        QTimer::singleShot(0, [] {
            auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
            if (!menu)
                return;
            for (QAction* action : menu->actions())
                if (action->text() == u"Since")
                    action->trigger();
            menu->close();
        });
        emit header->customContextMenuRequested(QPoint(5, 5));
        EXPECT_TRUE(header->isSectionHidden(CTaskListModel::eColumnSince));
    }

    CVigrelView view(&document, nullptr);
    view.resize(900, 300);
    view.show();
    auto* details = qobject_cast<QTreeView*>(view.GetItemView());
    ASSERT_TRUE(details);
    QHeaderView* header = details->header();
    EXPECT_TRUE(header->isSectionHidden(CTaskListModel::eColumnSince));
    EXPECT_FALSE(header->isSectionHidden(CTaskListModel::eColumnResult));
    EXPECT_EQ(header->visualIndex(CTaskListModel::eColumnUptime24h), 1);
    EXPECT_EQ(header->sortIndicatorSection(), int(CTaskListModel::eColumnName));
    const CTaskListModel* model = view.GetModel();
    QStringList names;
    for (int row = 0; row < model->rowCount(); ++row)
        names << Cell(model, row, CTaskListModel::eColumnName);
    EXPECT_EQ(names, (QStringList {"Gamma", "Beta", "Alpha"}));
    // The sorted rows still name their tasks: a selection acts on the task it shows.
    EXPECT_EQ(model->TaskIdAt(0), ids.at(2));
    EXPECT_EQ(model->RowOfTask(ids.at(1)), 2);
    details->selectionModel()->select(model->index(2, 0),
                                      QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    EXPECT_EQ(view.GetFirstSelectedTaskId(), ids.at(1));

    // The order holds as tasks change and arrive, and the selection goes with its task.
    CTask renamed;
    ASSERT_TRUE(document.GetTask(ids.at(1), renamed));
    renamed.m_Name = QStringLiteral("Zeta");
    ASSERT_TRUE(document.ModifyTask(ids.at(1), renamed));
    CTask delta;
    delta.m_Name = QStringLiteral("Delta");
    document.AddTask(delta);
    QCoreApplication::processEvents();
    names.clear();
    for (int row = 0; row < model->rowCount(); ++row)
        names << Cell(model, row, CTaskListModel::eColumnName);
    EXPECT_EQ(names, (QStringList {"Zeta", "Gamma", "Delta", "Beta"}));
    EXPECT_EQ(view.GetFirstSelectedTaskId(), ids.at(1));
}
