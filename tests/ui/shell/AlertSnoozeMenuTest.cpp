// Snoozing alerts from the window: the task list's context menu for the selected tasks, the
// tray menu for all, and what the list and the tray show meanwhile.
#include "MainFrameFixture.h"
#include "core/alerts/AlertSnooze.h"
#include "core/support/Clock.h"
#include "ui/shell/TrayStatus.h"
#include "ui/tasks/TaskListModel.h"
#include "ui/tasks/VigrelView.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QItemSelectionModel>
#include <QMenu>
#include <QSystemTrayIcon>
#include <QTest>

namespace {

class AlertSnoozeMenu : public MainFrameTest
{
protected:
    void SetUp() override
    {
        MainFrameTest::SetUp();
        CMainFrame::SetTrayAvailableForTesting(true);
        m_Shop = m_Document.AddTask(Task(QStringLiteral("shop")));
        m_Blog = m_Document.AddTask(Task(QStringLiteral("blog")));
        NewFrame();
        m_pFrame->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(m_pFrame.get()));
    }

    QString ToolTipOf(int taskId) const
    {
        const CTaskListModel* model = m_pFrame->GetView()->GetModel();
        return model->data(model->index(model->RowOfTask(taskId), CTaskListModel::eColumnName), Qt::ToolTipRole)
            .toString();
    }

    QAction* TrayCommand(const char* name) const { return m_pFrame->findChild<QAction*>(QString::fromLatin1(name)); }

    int m_Shop = -1;
    int m_Blog = -1;
};

} // namespace

TEST_F(AlertSnoozeMenu, TheTaskListSnoozesTheSelectedTaskFromTheKeyboardAndTheTraySnoozesAll)
{
    CVigrelView* view = m_pFrame->GetView();
    QAbstractItemView* list = view->GetItemView();
    const QModelIndex shopRow = list->model()->index(view->GetModel()->RowOfTask(m_Shop), 0);
    list->selectionModel()->setCurrentIndex(shopRow, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    list->setFocus();

    // Shift+F10, then the mnemonics: Snoo&ze alerts > For &1 hour.
    const qint64 before = CurrentTime();
    QTest::keyClick(list, Qt::Key_F10, Qt::ShiftModifier);
    QTRY_VERIFY(qobject_cast<QMenu*>(QApplication::activePopupWidget()));
    QTest::keyClick(QApplication::activePopupWidget(), Qt::Key_Z);
    QTRY_VERIFY(QApplication::activePopupWidget() == view->GetSnoozeMenu());
    QTest::keyClick(QApplication::activePopupWidget(), Qt::Key_1);
    QTRY_VERIFY(!QApplication::activePopupWidget());

    const std::optional<qint64> until
        = m_Hub.GetAlertSnooze()->SnoozedUntil(m_Document.GetTasks().first().m_TaskGuid, CurrentTime());
    ASSERT_TRUE(until);
    EXPECT_GE(*until, before + 3600);
    EXPECT_EQ(ToolTipOf(m_Shop), QStringLiteral("shop\n") + CAlertSnooze::SnoozedToolTip(*until));
    EXPECT_EQ(ToolTipOf(m_Blog), QStringLiteral("blog"));
    EXPECT_TRUE(view->GetResumeAlertsAction()->isEnabled());
    // One task snoozed is not all: the tray's icon stays, its tooltip names the task.
    EXPECT_EQ(m_pFrame->GetTrayStatus()->GetState(), CTrayStatus::eAllUp);
    EXPECT_TRUE(m_pFrame->GetTrayStatus()->GetToolTip().contains(QStringLiteral("shop: Alerts snoozed until ")))
        << m_pFrame->GetTrayStatus()->GetToolTip().toStdString();

    // The tray snoozes every task until turned back on.
    TrayCommand("traySnoozeForever")->trigger();
    EXPECT_EQ(m_pFrame->GetTrayStatus()->GetState(), CTrayStatus::eSnoozed);
    EXPECT_TRUE(
        m_pFrame->GetTrayStatus()->GetToolTip().contains(QStringLiteral("Alerts snoozed until turned back on")));
    EXPECT_EQ(ToolTipOf(m_Blog), QStringLiteral("blog\nAlerts snoozed until turned back on"));

    // Resume alerts from the tray clears both.
    emit m_pFrame->findChild<QSystemTrayIcon*>()->contextMenu()->aboutToShow();
    ASSERT_TRUE(TrayCommand("trayResumeAlerts")->isEnabled());
    TrayCommand("trayResumeAlerts")->trigger();
    EXPECT_EQ(m_pFrame->GetTrayStatus()->GetState(), CTrayStatus::eAllUp);
    EXPECT_EQ(ToolTipOf(m_Shop), QStringLiteral("shop"));
    EXPECT_EQ(ToolTipOf(m_Blog), QStringLiteral("blog"));
    EXPECT_FALSE(view->GetResumeAlertsAction()->isEnabled());
    emit m_pFrame->findChild<QSystemTrayIcon*>()->contextMenu()->aboutToShow();
    EXPECT_FALSE(TrayCommand("trayResumeAlerts")->isEnabled());

    // What was snoozed is there for the next window too.
    TrayCommand("traySnoozeHour")->trigger();
    NewFrame();
    EXPECT_EQ(m_pFrame->GetTrayStatus()->GetState(), CTrayStatus::eSnoozed);
}
