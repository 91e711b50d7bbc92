// The tray half of the main frame: hiding into the notification area and coming back, the
// icon that shows how the tasks are doing, and the desktop notifications.
#include "ui/shell/MainFrame.h"

#include "Version.h"
#include "core/alerts/AlertSnooze.h"
#include "core/shell/AppSettings.h"
#include "core/shell/Hub.h"
#include "core/support/Clock.h"
#include "ui/shell/Notifier.h"
#include "ui/shell/TrayStatus.h"
#include "ui/tasks/TaskListModel.h"
#include "ui/tasks/VigrelView.h"

#include <QAbstractItemView>
#include <QAction>
#include <QEvent>
#include <QItemSelectionModel>
#include <QMenu>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QWindowStateChangeEvent>

namespace {
bool g_bTrayForTesting = false;
}

void CMainFrame::SetTrayAvailableForTesting(bool available)
{
    g_bTrayForTesting = available;
}

void CMainFrame::CreateTray()
{
    m_pTrayMenu = new QMenu(this);
    QAction* minimize = AddCommand(QStringLiteral("trayMinimize"), QStringLiteral("&Minimize"), QString());
    QAction* restore = AddCommand(QStringLiteral("trayRestore"), QStringLiteral("&Restore"), QString());
    QAction* about = AddCommand(QStringLiteral("trayAbout"), QStringLiteral("&About Vigrel..."), QString());
    QAction* exit = AddCommand(QStringLiteral("trayExit"), QStringLiteral("&Exit"), QString());
    m_pTrayMenu->addAction(minimize);
    m_pTrayMenu->addAction(restore);
    m_pTrayMenu->addSeparator();
    // For every task at once; the task list's menu snoozes single tasks. The mnemonics stay
    // clear of the menu's others (M, R, A, E).
    QMenu* snooze = m_pTrayMenu->addMenu(QStringLiteral("Snoo&ze alerts"));
    snooze->setObjectName(QStringLiteral("traySnoozeMenu"));
    const auto addSnooze = [this, snooze](const char* name, const char* text, std::function<qint64(qint64)> until) {
        QAction* action = snooze->addAction(QString::fromLatin1(text));
        action->setObjectName(QString::fromLatin1(name));
        connect(action, &QAction::triggered, this,
                [this, until] { m_pHub->GetAlertSnooze()->Snooze(CAlertSnooze::kAllTasksKey, until(CurrentTime())); });
    };
    addSnooze("traySnoozeHour", "For &1 hour", &CAlertSnooze::InAnHour);
    addSnooze("traySnoozeMorning", "Until &tomorrow 8:00", &CAlertSnooze::TomorrowMorning);
    addSnooze("traySnoozeForever", "Until turned &back on", [](qint64) { return CAlertSnooze::kForever; });
    QAction* resume = m_pTrayMenu->addAction(QStringLiteral("Res&ume alerts"));
    resume->setObjectName(QStringLiteral("trayResumeAlerts"));
    connect(resume, &QAction::triggered, this, [this] { m_pHub->GetAlertSnooze()->ResumeAll(); });
    // Enabled while anything is snoozed, looked at as the menu opens.
    connect(m_pTrayMenu, &QMenu::aboutToShow, this,
            [this, resume] { resume->setEnabled(m_pHub->GetAlertSnooze()->AnySnoozed(CurrentTime())); });
    m_pTrayMenu->addSeparator();
    m_pTrayMenu->addAction(about);
    m_pTrayMenu->addSeparator();
    m_pTrayMenu->addAction(exit);
    m_pTrayMenu->setDefaultAction(restore);
    connect(m_pTrayMenu, &QMenu::aboutToShow, this, &CMainFrame::UpdateCommandUI);
    connect(minimize, &QAction::triggered, this, [this] { OnTrayMinimize(); });
    connect(restore, &QAction::triggered, this, [this] { OnTrayRestore(); });
    connect(about, &QAction::triggered, this, [this] { FindCommand(QStringLiteral("helpAbout"))->trigger(); });
    // Exit from the tray ends the program normally, with the usual question about changes;
    // the window comes back first so that the question has somewhere to stand.
    connect(exit, &QAction::triggered, this, [this] {
        OnTrayRestore();
        close();
    });

    // The icon shows whenever a tray exists, window shown or not: it carries the tasks' state
    // and a click on it is the quickest way to the window and back.
    m_pTrayIcon = new QSystemTrayIcon(QIcon(QStringLiteral(":/icons/app.svg")), this);
    m_pTrayIcon->setToolTip(QStringLiteral(CORVANE_PRODUCT_NAME));
    m_pTrayIcon->setContextMenu(m_pTrayMenu);
    connect(m_pTrayIcon, &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) { OnTrayActivated(reason); });
    m_pTrayStatus = new CTrayStatus(m_pHub, m_pStatusBoard, m_pTrayIcon, this);

    m_pNotifier = new CNotifier(m_pStatusBoard, this);
    m_pNotifier->SetSink([this](const CNotification& notification) {
        m_pTrayIcon->showMessage(notification.m_Title, notification.m_Text,
                                 notification.m_bDown ? QSystemTrayIcon::Warning : QSystemTrayIcon::Information);
    });
    connect(m_pTrayIcon, &QSystemTrayIcon::messageClicked, this, &CMainFrame::OnNotificationClicked);
    UpdateTrayIconVisibility();
}

void CMainFrame::UpdateTrayIconVisibility()
{
    if (m_pTrayIcon)
        m_pTrayIcon->setVisible(IsTrayActive());
}

void CMainFrame::OnTrayActivated(int reason)
{
    if (reason == QSystemTrayIcon::DoubleClick) {
        m_pTrayMenu->defaultAction()->trigger();
    } else if (reason == QSystemTrayIcon::Trigger) {
        // A single click toggles; to the tray only as Minimize goes, so with tray minimising
        // off it leaves a shown window alone.
        if (m_bInTray)
            OnTrayRestore();
        else if (!OnTrayMinimize())
            BringToFront();
    }
}

void CMainFrame::OnNotificationClicked()
{
    BringToFront();
    const int taskId = m_pNotifier->GetLastTaskId();
    const int row = taskId == -1 ? -1 : m_pView->GetModel()->RowOfTask(taskId);
    if (row == -1)
        return; // deleted since
    QAbstractItemView* itemView = m_pView->GetItemView();
    const QModelIndex index = itemView->model()->index(row, 0);
    itemView->selectionModel()->setCurrentIndex(index, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    itemView->scrollTo(index);
    itemView->setFocus(Qt::OtherFocusReason);
}

bool CMainFrame::IsTrayActive() const
{
    return m_pTrayIcon && (g_bTrayForTesting || QSystemTrayIcon::isSystemTrayAvailable());
}

bool CMainFrame::OnTrayMinimize()
{
    // Without a tray the window must never be hidden: nothing would bring it back.
    if (m_bInTray || !IsTrayActive() || !GetAppSettings().m_bMinimizeToTray)
        return false;
    UpdateTrayIconVisibility();
    hide();
    m_bInTray = true;
    UpdateCommandUI();
    return true;
}

bool CMainFrame::OnTrayRestore()
{
    // Only the window's being in the tray counts: had the option been switched off
    // meanwhile, the window could otherwise never come back.
    if (!m_bInTray)
        return false;
    m_bInTray = false;
    UpdateTrayIconVisibility();
    setWindowState(windowState() & ~Qt::WindowMinimized);
    show();
    raise();
    activateWindow();
    UpdateCommandUI();
    return true;
}

void CMainFrame::BringToFront()
{
    if (!OnTrayRestore()) {
        setWindowState(windowState() & ~Qt::WindowMinimized);
        show();
    }
    raise();
    activateWindow();
}

void CMainFrame::MinimizeAtStart()
{
    if (!OnTrayMinimize())
        showMinimized();
}

void CMainFrame::changeEvent(QEvent* event)
{
    QMainWindow::changeEvent(event);
    if (event->type() != QEvent::WindowStateChange || m_bInTray || !(windowState() & Qt::WindowMinimized))
        return;
    // Hiding from inside the state change confuses some window managers: do it right after.
    QTimer::singleShot(0, this, [this] {
        if (windowState() & Qt::WindowMinimized)
            OnTrayMinimize();
    });
}
