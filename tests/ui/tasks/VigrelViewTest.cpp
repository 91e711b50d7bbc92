#include "ui/tasks/VigrelView.h"

#include "core/shell/AppSettings.h"
#include "core/shell/Hub.h"
#include "core/shell/Messages.h"
#include "core/tasks/VigrelDoc.h"
#include "support/EventLoop.h"
#include "support/HttpTestServer.h"
#include "support/QtPrinters.h"
#include "support/TempSettings.h"
#include "ui/tasks/TaskListModel.h"

#include <QAbstractButton>
#include <QApplication>
#include <QContextMenuEvent>
#include <QDateTime>
#include <QDir>
#include <QListView>
#include <QMenu>
#include <QMessageBox>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QTreeView>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>

using namespace std::chrono_literals;

namespace {

// What a message box asked before the test answered it.
struct CQuestion
{
    QString m_Text;
    QMessageBox::Icon m_Icon = QMessageBox::NoIcon;
    QMessageBox::StandardButtons m_Buttons;
};

// Answers the next modal message box with `button`, so no test waits for a user.
void AnswerNextMessageBox(QMessageBox::StandardButton button, CQuestion& asked)
{
    auto* timer = new QTimer;
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    QObject::connect(timer, &QTimer::timeout, timer, [timer, button, deadline, &asked] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box && std::chrono::steady_clock::now() < deadline)
            return;
        timer->deleteLater();
        timer->stop();
        if (!box)
            return;
        asked = {box->text(), box->icon(), box->standardButtons()};
        box->button(button)->click();
    });
    timer->start(10);
}

class TaskListView : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_View.resize(760, 260);
        m_View.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&m_View));
        m_View.SetTaskEditor([this](QWidget*, CTask& task, bool newTask) {
            m_Edits << (newTask ? QStringLiteral("new ") : QStringLiteral("edit ")) + task.m_Name;
            if (m_NextName.isEmpty())
                return false;
            task.m_Name = m_NextName;
            return true;
        });
    }

    int Add(const QString& name, bool scheduled = false)
    {
        CTask task;
        task.m_Name = name;
        task.m_bTaskScheduled = scheduled;
        task.m_NextRunTime = QDateTime::currentSecsSinceEpoch() + task.m_PingInterval;
        return m_Document.AddTask(task);
    }

    QModelIndex Index(int row, int column = 0) const { return m_View.GetModel()->index(row, column); }
    QString Cell(int row, int column) const { return Index(row, column).data().toString(); }

    // The classic columns of a row; the health columns are read one by one.
    QStringList Row(int row) const
    {
        QStringList cells;
        for (int column = 0; column <= CTaskListModel::eColumnNextRun; ++column)
            cells << Cell(row, column);
        return cells;
    }

    QStringList Names() const
    {
        QStringList names;
        for (int row = 0; row < m_View.GetModel()->rowCount(); ++row)
            names << Cell(row, 0);
        return names;
    }

    void Click(int row, Qt::KeyboardModifiers modifiers = {})
    {
        QAbstractItemView* items = m_View.GetItemView();
        QTest::mouseClick(items->viewport(), Qt::LeftButton, modifiers, items->visualRect(Index(row)).center());
    }

    void Key(Qt::Key key, Qt::KeyboardModifiers modifiers = {})
    {
        QTest::keyClick(m_View.GetItemView(), key, modifiers);
    }

    // Opens the context menu as a right click would, or reads the one open, and closes it.
    QStringList ContextMenu(bool open = true)
    {
        QWidget* viewport = m_View.GetItemView()->viewport();
        QContextMenuEvent event(QContextMenuEvent::Mouse, {5, 5}, viewport->mapToGlobal(QPoint(5, 5)));
        if (open)
            QApplication::sendEvent(viewport, &event);
        auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        if (!menu)
            return {QStringLiteral("no menu")};
        QStringList entries;
        for (const QAction* action : menu->actions())
            entries << (action->isSeparator() ? QStringLiteral("-")
                                              : action->text() + (action->isEnabled() ? "" : " (off)"));
        menu->close();
        return entries;
    }

    // Whether anything but the background is drawn in rows top .. top + height of the list.
    bool HasInk(int top, int height) const
    {
        QWidget* viewport = m_View.GetItemView()->viewport();
        const QImage image = viewport->grab().toImage();
        const QRgb background = viewport->palette().color(QPalette::Base).rgb();
        for (int y = top; y < std::min(top + height, image.height()); ++y)
            for (int x = 0; x < image.width(); ++x)
                if (image.pixel(x, y) != background)
                    return true;
        return false;
    }

    CTempSettings m_Settings;
    CVigrelDoc m_Document;
    CHub m_Hub {&m_Document};
    CVigrelView m_View {&m_Document, &m_Hub};
    QStringList m_Edits;
    QString m_NextName; // what the editor names the task; empty: it is cancelled
};

} // namespace

// A time as "%c" shows it in the C locale the tests run in, read independently of it.
static bool ShowsTime(const QString& cell, qint64 time)
{
    const QDateTime local = QDateTime::fromSecsSinceEpoch(time);
    return cell.contains(local.toString(QStringLiteral("HH:mm:ss")))
        && cell.endsWith(local.toString(QStringLiteral("yyyy")));
}

TEST_F(TaskListView, ColumnsAndStatusFollowTheEngineReports)
{
    QStringList titles;
    for (int column = 0; column < CTaskListModel::eColumnCount; ++column)
        titles << m_View.GetModel()->headerData(column, Qt::Horizontal).toString();
    // The classic columns first and as they were; the health columns follow.
    EXPECT_EQ(titles,
              (QStringList {"Name", "Status", "Scheduled", "Last run time", "Next run time", "Result", "Since",
                            "Response", "Uptime 24h", "Uptime 30d", "Recent responses"}));

    const int scheduled = Add(QStringLiteral("Home page"), true);
    const int manual = Add(QStringLiteral("By hand"));
    CTask task;
    ASSERT_TRUE(m_Document.GetTask(scheduled, task));
    EXPECT_EQ(Row(0).mid(0, 4), (QStringList {"Home page", "Waiting", "Yes", "Never"}));
    EXPECT_TRUE(ShowsTime(Cell(0, CTaskListModel::eColumnNextRun), task.m_NextRunTime));
    // Not scheduled: no next run, whatever time the task keeps for it.
    EXPECT_EQ(Row(1), (QStringList {"By hand", "Idle", "No", "Never", "Never"}));

    // As the hub reports a start: the last run is stamped, a change that keeps "Running".
    m_Hub.PostTaskState(TASK_STATE_RUNNING, scheduled);
    QCoreApplication::processEvents();
    EXPECT_EQ(Cell(0, CTaskListModel::eColumnStatus), u"Running");
    ASSERT_TRUE(m_Document.GetTask(scheduled, task));
    EXPECT_TRUE(ShowsTime(Cell(0, CTaskListModel::eColumnLastRun), task.m_LastRunTime));
    m_View.UpdateTaskItem(TASK_STATE_FINISHED, scheduled);
    EXPECT_EQ(Cell(0, CTaskListModel::eColumnStatus), u"Waiting");

    // The engine reports a stopped run as finished at once; "Stopped" must stay readable, also
    // through a change of the task itself, until the next run or an edit.
    m_View.UpdateTaskItem(TASK_STATE_STOPPED, manual);
    m_View.UpdateTaskItem(TASK_STATE_FINISHED, manual);
    task.m_TaskId = manual;
    task.m_Name = QStringLiteral("Renamed");
    task.m_bTaskScheduled = false;
    m_Document.ModifyTask(manual, task);
    EXPECT_EQ(Row(1).mid(0, 2), (QStringList {"Renamed", "Stopped"}));
    m_View.UpdateTaskItem(TASK_STATE_RUNNING, manual);
    EXPECT_EQ(Cell(1, CTaskListModel::eColumnStatus), u"Running");

    // Reports about tasks without a row change nothing.
    m_View.UpdateTaskItem(TASK_STATE_STOPPED, 99);
    EXPECT_EQ(Names(), (QStringList {"Home page", "Renamed"}));
}

TEST_F(TaskListView, RowsFollowAddDeleteClearAndReopen)
{
    const int a = Add(QStringLiteral("A"));
    const int b = Add(QStringLiteral("B"));
    Add(QStringLiteral("C"), true);
    // Added order.
    EXPECT_EQ(Names(), (QStringList {"A", "B", "C"}));
    m_Document.DeleteTask(b);
    EXPECT_EQ(Names(), (QStringList {"A", "C"}));

    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("tasks.cvn"));
    ASSERT_TRUE(m_Document.OnSaveDocument(path));
    m_View.UpdateTaskItem(TASK_STATE_RUNNING, a);
    m_Document.OnNewDocument();
    EXPECT_TRUE(Names().isEmpty());

    // Reopening shows the file's order, renumbered, with fresh states.
    ASSERT_TRUE(m_Document.OnOpenDocument(path));
    EXPECT_EQ(Names(), (QStringList {"A", "C"}));
    EXPECT_EQ(m_View.GetModel()->TaskIdAt(1), 1);
    EXPECT_EQ(Cell(0, CTaskListModel::eColumnStatus), u"Idle");

    // A view made for a document that already holds tasks shows them in the same order.
    const CVigrelView late(&m_Document, nullptr);
    EXPECT_EQ(late.GetModel()->index(0, 0).data().toString(), u"A");
}

TEST_F(TaskListView, AddThroughTheEditorReplacesTheEmptyListHint)
{
    EXPECT_EQ(m_View.GetViewStyle(), CVigrelView::eDetails);
    EXPECT_TRUE(HasInk(20, 30)) << "no hint under the header";

    m_View.GetAddAction()->trigger();
    EXPECT_EQ(m_Document.GetTaskCount(), 0) << "a cancelled sheet added a task";

    m_NextName = QStringLiteral("Shop");
    m_View.GetAddAction()->trigger();
    EXPECT_EQ(m_Edits, (QStringList {"new Unnamed", "new Unnamed"}));
    EXPECT_EQ(Names(), QStringList {"Shop"});
    QCoreApplication::processEvents();
    const int rowBottom = m_View.GetItemView()->visualRect(Index(0)).bottom();
    EXPECT_FALSE(HasInk(rowBottom + 2, 40)) << "the hint stayed";
}

TEST_F(TaskListView, ContextMenuCommandsFollowTheSelection)
{
    Add(QStringLiteral("A"));
    Add(QStringLiteral("B"));

    // The snooze commands follow the list's own.
    const QStringList none {"&Add...",
                            "&Modify... (off)",
                            "&Delete... (off)",
                            "-",
                            "&Execute (off)",
                            "-",
                            "&Stop running task (off)",
                            "-",
                            "Snoo&ze alerts (off)",
                            "Res&ume alerts (off)"};
    EXPECT_EQ(ContextMenu(), none);

    Click(0);
    EXPECT_EQ(ContextMenu(),
              (QStringList {"&Add...", "&Modify...", "&Delete...", "-", "&Execute", "-", "&Stop running task (off)", "-",
                            "Snoo&ze alerts", "Res&ume alerts (off)"}));

    // Full rows are selected, from any column.
    const QRect status = m_View.GetItemView()->visualRect(Index(1, CTaskListModel::eColumnStatus));
    QTest::mouseClick(m_View.GetItemView()->viewport(), Qt::LeftButton, Qt::ControlModifier, status.center());
    EXPECT_EQ(m_View.GetSelectedCount(), 2);
    EXPECT_EQ(m_View.GetFirstSelectedTaskId(), m_View.GetModel()->TaskIdAt(0));
    Key(Qt::Key_F10, Qt::ShiftModifier);
    EXPECT_EQ(ContextMenu(false),
              (QStringList {"&Add...", "&Modify... (off)", "&Delete...", "-", "&Execute (off)", "-",
                            "&Stop running task (off)", "-", "Snoo&ze alerts", "Res&ume alerts (off)"}));

    // Modify and Execute with two rows selected do nothing even when called directly.
    m_View.OnTaskModify();
    Key(Qt::Key_Return);
    EXPECT_TRUE(m_Edits.isEmpty());
}

TEST_F(TaskListView, DeleteAsksFirstAndRemovesExactlyTheSelectedTasks)
{
    Add(QStringLiteral("A"));
    const int b = Add(QStringLiteral("B"));
    Add(QStringLiteral("C"));
    Click(2);
    Click(0, Qt::ControlModifier);

    CQuestion asked;
    AnswerNextMessageBox(QMessageBox::Cancel, asked);
    Key(Qt::Key_Delete);
    EXPECT_EQ(asked.m_Text, u"Selected item(s) will be deleted. Press OK to continue.");
    EXPECT_EQ(asked.m_Icon, QMessageBox::Warning);
    EXPECT_EQ(asked.m_Buttons, QMessageBox::Ok | QMessageBox::Cancel);
    EXPECT_EQ(m_Document.GetTaskCount(), 3);

    AnswerNextMessageBox(QMessageBox::Ok, asked);
    m_View.GetDeleteAction()->trigger();
    EXPECT_EQ(Names(), QStringList {"B"});
    const QList<CTask> left = m_Document.GetTasks();
    ASSERT_EQ(left.size(), 1);
    EXPECT_EQ(left.front().m_TaskId, b);
}

TEST_F(TaskListView, DoubleClickEditsTheTaskAndClearsAStoppedState)
{
    Add(QStringLiteral("First"));
    const int second = Add(QStringLiteral("Second"), true);
    m_View.UpdateTaskItem(TASK_STATE_STOPPED, second);
    EXPECT_EQ(Cell(1, CTaskListModel::eColumnStatus), u"Stopped");

    m_NextName = QStringLiteral("Second, renamed");
    // A double click as the window system delivers it: press, release, double click, release.
    QWidget* viewport = m_View.GetItemView()->viewport();
    const QPoint centre = m_View.GetItemView()->visualRect(Index(1)).center();
    QTest::mouseClick(viewport, Qt::LeftButton, {}, centre);
    QTest::mouseDClick(viewport, Qt::LeftButton, {}, centre);
    QTest::mouseRelease(viewport, Qt::LeftButton, {}, centre);
    EXPECT_EQ(m_Edits, QStringList {"edit Second"});
    CTask stored;
    ASSERT_TRUE(m_Document.GetTask(second, stored));
    EXPECT_EQ(stored.m_Name, u"Second, renamed");
    EXPECT_EQ(Cell(1, 0), u"Second, renamed");
    EXPECT_EQ(Cell(1, CTaskListModel::eColumnStatus), u"Waiting");

    // An edit during a run leaves the row running; the run goes on.
    m_View.UpdateTaskItem(TASK_STATE_RUNNING, second);
    m_NextName = QStringLiteral("Second, again");
    Key(Qt::Key_Return);
    EXPECT_EQ(Cell(1, 0), u"Second, again");
    EXPECT_EQ(Cell(1, CTaskListModel::eColumnStatus), u"Running");
}

TEST_F(TaskListView, TheViewStyleSurvivesARestartAndKeepsTheSelection)
{
    Add(QStringLiteral("A"));
    const int b = Add(QStringLiteral("B"));
    Click(1);
    m_View.SetViewStyle(CVigrelView::eLargeIcons);
    auto* icons = qobject_cast<QListView*>(m_View.GetItemView());
    ASSERT_TRUE(icons && icons->isVisible());
    EXPECT_EQ(icons->viewMode(), QListView::IconMode);
    EXPECT_EQ(m_View.GetFirstSelectedTaskId(), b);

    m_View.SetViewStyle(CVigrelView::eList);
    m_Settings.Reload();
    {
        const CVigrelView restarted(&m_Document, &m_Hub);
        EXPECT_EQ(restarted.GetViewStyle(), CVigrelView::eList);
        auto* list = qobject_cast<QListView*>(restarted.GetItemView());
        ASSERT_TRUE(list);
        EXPECT_EQ(list->viewMode(), QListView::ListMode);
        EXPECT_EQ(list->flow(), QListView::TopToBottom);
    }

    // The key holds a whole list window style; its view-type bits decide.
    SaveListStyle(0x50000002);
    EXPECT_EQ(CVigrelView(&m_Document, &m_Hub).GetViewStyle(), CVigrelView::eSmallIcons);
    SaveListStyle(0x50000001);
    const CVigrelView details(&m_Document, &m_Hub);
    EXPECT_EQ(details.GetViewStyle(), CVigrelView::eDetails);
    EXPECT_TRUE(qobject_cast<QTreeView*>(details.GetItemView()));
}

TEST_F(TaskListView, ExecuteAndStopReachTheEngineAndTheRowShowsIt)
{
    // A server that accepts and never answers keeps the check running until it is stopped.
    CSilentListener silent;
    ASSERT_TRUE(silent.IsListening());
    CTask task;
    task.m_Name = QStringLiteral("Hanging");
    task.m_CheckAction = eCheckHttpGet;
    task.m_HttpGetURL = silent.Url(QStringLiteral("/"));
    task.m_TimeoutSec = 60;
    const int taskId = m_Document.AddTask(task);
    ASSERT_TRUE(m_Hub.Start());
    QStringList shown;
    QObject::connect(&m_Hub, &CHub::MessageShown, &m_View,
                     [&shown](const CLogMessage& message) { shown << message.m_Text; });

    Click(0);
    m_View.GetExecuteAction()->trigger();
    ASSERT_TRUE(SpinUntil([&] { return Cell(0, CTaskListModel::eColumnStatus) == u"Running"; }));
    EXPECT_NE(Cell(0, CTaskListModel::eColumnLastRun), u"Never");
    EXPECT_TRUE(shown.contains(QStringLiteral("Starting task Hanging")));
    EXPECT_TRUE(ContextMenu().contains(QStringLiteral("&Stop running task")));

    m_View.GetStopAction()->trigger();
    // The stopped run is reported as finished too; the row keeps saying how it ended.
    ASSERT_TRUE(SpinUntil([&] { return shown.contains(QStringLiteral("Finished task Hanging")); }));
    QCoreApplication::processEvents();
    EXPECT_EQ(Cell(0, CTaskListModel::eColumnStatus), u"Stopped");
    m_Hub.Shutdown(10000);
    EXPECT_EQ(m_View.GetFirstSelectedTaskId(), taskId);
}

// With CORVANE_SCREENSHOT_DIR set, saves the details style with a few tasks there as tasks.png.
TEST_F(TaskListView, Screenshot)
{
    const QString dir = qEnvironmentVariable("CORVANE_SCREENSHOT_DIR");
    if (dir.isEmpty())
        GTEST_SKIP() << "CORVANE_SCREENSHOT_DIR is not set";
    const int home = Add(QStringLiteral("Home page"), true);
    Add(QStringLiteral("Ping gateway"), false);
    const int shop = Add(QStringLiteral("Shop, every link"), true);
    m_Document.SetTaskLastRunTime(home);
    m_View.UpdateTaskItem(TASK_STATE_RUNNING, home);
    m_Document.SetTaskLastRunTime(shop);
    m_View.UpdateTaskItem(TASK_STATE_STOPPED, shop);
    Click(2);
    QCoreApplication::processEvents();
    ASSERT_TRUE(m_View.grab().save(QDir(dir).filePath(QStringLiteral("tasks.png"))));
}
