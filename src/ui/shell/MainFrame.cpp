#include "ui/shell/MainFrame.h"

#include "core/shell/StatusBoard.h"

#include "Version.h"
#include "core/shell/AppSettings.h"
#include "core/shell/Hub.h"
#include "core/tasks/VigrelDoc.h"
#include "ui/options/OptionsSheet.h"
#include "ui/output/OutputBar.h"
#include "ui/output/OutputList.h"
#include "ui/shell/AboutBox.h"
#include "ui/shell/CustomizeDialog.h"
#include "ui/shell/Prompts.h"
#include "ui/shell/UserTools.h"
#include "ui/tasks/VigrelView.h"

#include <algorithm>

#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QClipboard>
#include <QCloseEvent>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QSettings>
#include <QStatusBar>
#include <QSystemTrayIcon>
#include <QTabWidget>
#include <QTextEdit>
#include <QTimer>
#include <QToolBar>

namespace {

const QString kStateGroup = QStringLiteral("Settings");

// The toolbar's buttons by command, in order; an empty name separates two groups.
const QStringList kToolBarLayout = {
    QStringLiteral("fileNew"),         QStringLiteral("fileOpen"),
    QStringLiteral("fileSave"),        QString(),
    QStringLiteral("engineOperating"), QString(),
    QStringLiteral("editCut"),         QStringLiteral("editCopy"),
    QStringLiteral("editPaste"),       QString(),
    QStringLiteral("helpAbout"),
};

// Line and text edits answer the Edit commands the same way through these.
struct CEditTarget
{
    QLineEdit* m_pLine = nullptr;
    QTextEdit* m_pText = nullptr;
    QPlainTextEdit* m_pPlain = nullptr;

    explicit CEditTarget(QWidget* focus)
    {
        m_pLine = qobject_cast<QLineEdit*>(focus);
        if (auto* combo = qobject_cast<QComboBox*>(focus))
            m_pLine = combo->lineEdit();
        m_pText = qobject_cast<QTextEdit*>(focus);
        m_pPlain = qobject_cast<QPlainTextEdit*>(focus);
    }
    bool IsValid() const { return m_pLine || m_pText || m_pPlain; }
    bool IsReadOnly() const
    {
        return m_pLine ? m_pLine->isReadOnly() : m_pText ? m_pText->isReadOnly() : m_pPlain->isReadOnly();
    }
    bool HasSelection() const
    {
        if (m_pLine)
            return m_pLine->hasSelectedText() && m_pLine->echoMode() == QLineEdit::Normal;
        return m_pText ? m_pText->textCursor().hasSelection() : m_pPlain->textCursor().hasSelection();
    }
    bool CanUndo() const
    {
        if (IsReadOnly())
            return false;
        if (m_pLine)
            return m_pLine->isUndoAvailable();
        return m_pText ? m_pText->document()->isUndoAvailable() : m_pPlain->document()->isUndoAvailable();
    }
};

bool IsMenuWidget(const QWidget* widget)
{
    return qobject_cast<const QMenuBar*>(widget) || qobject_cast<const QMenu*>(widget);
}

} // namespace

CMainFrame::CMainFrame(CVigrelDoc* document, CHub* hub, QWidget* parent)
    : QMainWindow(parent)
    , m_pDocument(document)
    , m_pHub(hub)
{
    setObjectName(QStringLiteral("MainFrame"));
    setWindowIcon(QIcon(QStringLiteral(":/icons/app.svg")));
    setDockOptions(QMainWindow::AnimatedDocks | QMainWindow::AllowTabbedDocks);
    setAcceptDrops(true);

    // Made before the views that show it, so that they can follow it from the start.
    m_pStatusBoard = hub ? new CStatusBoard(hub, this) : nullptr;
    m_pView = new CVigrelView(document, hub, this);
    m_pView->SetStatusBoard(m_pStatusBoard);
    setCentralWidget(m_pView);
    // A small window still shows the header and a few rows of tasks beside the output dock.
    m_pView->setMinimumHeight(90);
    m_pOutputBar = new COutputBar(this);
    m_pOutputBar->setObjectName(QStringLiteral("OutputBar"));
    m_pOutputBar->setWindowTitle(QStringLiteral("Output"));
    m_pOutputBar->setAllowedAreas(Qt::AllDockWidgetAreas);
    addDockWidget(Qt::BottomDockWidgetArea, m_pOutputBar);

    m_pReadyLabel = new QLabel(QStringLiteral("Ready"));
    m_pReadyLabel->setObjectName(QStringLiteral("messagePane"));
    statusBar()->addWidget(m_pReadyLabel, 1);

    CreateCommands();
    CreateMenus();
    CreateToolBar();
    CreateTray();
    CreateHistoryTab();
    ConnectCommands();

    m_RecentFiles.Load();
    UpdateRecentFileMenu();
    UpdateToolsMenu();
    UpdateTitle();
    resize(900, 600);
    RestoreWindowState();

    // Most states have a signal, the clipboard and the focused field's selection do not: a
    // light periodic refresh keeps the Edit commands right, as an idle update would.
    auto* refresh = new QTimer(this);
    connect(refresh, &QTimer::timeout, this, &CMainFrame::UpdateCommandUI);
    refresh->start(250);
    UpdateCommandUI();
}

CMainFrame::~CMainFrame()
{
    // ~QWidget runs after this and still hides the children and moves the focus away; the
    // dock's visibility change and the application's focus change it causes would call
    // into a frame whose own part is already gone. Nothing may reach it from here on.
    disconnect(qApp, nullptr, this, nullptr);
    for (QObject* child : findChildren<QObject*>())
        disconnect(child, nullptr, this, nullptr);
    if (m_pTrayIcon)
        m_pTrayIcon->hide();
}

bool CMainFrame::Start()
{
    const bool started = m_pHub->Start();
    UpdateCommandUI();
    return started;
}

QAction* CMainFrame::AddCommand(const QString& name, const QString& text, const QString& prompt, const QString& icon,
                                const QList<QKeySequence>& shortcuts)
{
    auto* action = new QAction(text, this);
    action->setObjectName(name);
    // A prompt is the status bar text, a line feed, then the tooltip.
    const qsizetype split = prompt.indexOf(u'\n');
    action->setStatusTip(split < 0 ? prompt : prompt.left(split));
    if (split >= 0)
        action->setToolTip(prompt.mid(split + 1));
    if (!icon.isEmpty())
        action->setIcon(QIcon(QStringLiteral(":/icons/") + icon));
    if (!shortcuts.isEmpty())
        action->setShortcuts(shortcuts);
    addAction(action); // shortcuts work while the menu bar or toolbar is hidden
    return action;
}

void CMainFrame::CreateCommands()
{
    AddCommand(QStringLiteral("fileNew"), QStringLiteral("&New\tCtrl+N"),
               QStringLiteral("Starts an empty task list\nNew"), QStringLiteral("new.svg"),
               {QKeySequence(Qt::CTRL | Qt::Key_N)});
    AddCommand(QStringLiteral("fileOpen"), QStringLiteral("&Open...\tCtrl+O"),
               QStringLiteral("Opens a task file\nOpen"), QStringLiteral("open.svg"),
               {QKeySequence(Qt::CTRL | Qt::Key_O)});
    AddCommand(QStringLiteral("fileSave"), QStringLiteral("&Save\tCtrl+S"),
               QStringLiteral("Saves the task list to its file\nSave"), QStringLiteral("save.svg"),
               {QKeySequence(Qt::CTRL | Qt::Key_S)});
    AddCommand(QStringLiteral("fileSaveAs"), QStringLiteral("Save &As..."),
               QStringLiteral("Saves the task list to a file you name\nSave As"));
    AddCommand(QStringLiteral("fileExport"), QStringLiteral("&Export output window content..."),
               QStringLiteral("Exports log content to an external file\nExport the data"));
    AddCommand(QStringLiteral("fileOptions"), QStringLiteral("&Options..."),
               QStringLiteral("Changes options\nApplication options"));
    AddCommand(QStringLiteral("fileExit"), QStringLiteral("E&xit"),
               QStringLiteral("Ends Corvane, asking to save a changed task list\nExit"));

    AddCommand(QStringLiteral("editUndo"), QStringLiteral("&Undo\tCtrl+Z"),
               QStringLiteral("Undoes the last edit\nUndo"), {},
               {QKeySequence(Qt::CTRL | Qt::Key_Z), QKeySequence(Qt::ALT | Qt::Key_Backspace)});
    AddCommand(QStringLiteral("editCut"), QStringLiteral("Cu&t\tCtrl+X"),
               QStringLiteral("Moves the selection to the clipboard\nCut"), QStringLiteral("cut.svg"),
               {QKeySequence(Qt::CTRL | Qt::Key_X), QKeySequence(Qt::SHIFT | Qt::Key_Delete)});
    AddCommand(QStringLiteral("editCopy"), QStringLiteral("&Copy\tCtrl+C"),
               QStringLiteral("Copies the selection to the clipboard\nCopy"), QStringLiteral("copy.svg"),
               {QKeySequence(Qt::CTRL | Qt::Key_C), QKeySequence(Qt::CTRL | Qt::Key_Insert)});
    AddCommand(QStringLiteral("editPaste"), QStringLiteral("&Paste\tCtrl+V"),
               QStringLiteral("Inserts the clipboard's text\nPaste"), QStringLiteral("paste.svg"),
               {QKeySequence(Qt::CTRL | Qt::Key_V), QKeySequence(Qt::SHIFT | Qt::Key_Insert)});

    AddCommand(QStringLiteral("viewToolbar"), QStringLiteral("Standard Toolbar"),
               QStringLiteral("Shows or hides the Standard toolbar\nToolbar"))
        ->setCheckable(true);
    AddCommand(QStringLiteral("viewCustomize"), QStringLiteral("&Customize..."),
               QStringLiteral("Customize toolbars ane menus.\nCustomize"));
    AddCommand(QStringLiteral("viewStatusBar"), QStringLiteral("&Status Bar"),
               QStringLiteral("Shows or hides the status bar\nStatus Bar"))
        ->setCheckable(true);
    AddCommand(QStringLiteral("viewOutput"), QStringLiteral("&Output window"),
               QStringLiteral("Shows/hides output window\nShow/hide output window"))
        ->setCheckable(true);
    m_pViewStyles = new QActionGroup(this);
    const std::pair<const char*, std::pair<const char*, const char*>> styles[] = {
        {"viewSmallIcons", {"S&mall Icons", "Displays items using small icons\nSmall icons"}},
        {"viewIcons", {"&Icons", "Displays items using large icons\nLarge icons"}},
        {"viewList", {"&List", "Displays items in a list\nList"}},
        {"viewDetails", {"&Details", "Displays detailed information about items\nDetails"}},
    };
    for (const auto& [name, texts] : styles) {
        QAction* action = AddCommand(QString::fromLatin1(name), QString::fromLatin1(texts.first),
                                     QString::fromLatin1(texts.second));
        action->setCheckable(true);
        m_pViewStyles->addAction(action);
    }

    AddCommand(QStringLiteral("engineOperating"), QStringLiteral("&Operating"),
               QStringLiteral("Starts/stops the main polling engine\nStart/stop the engine"),
               QStringLiteral("operating.svg"))
        ->setCheckable(true);
    AddCommand(QStringLiteral("engineStop"), QStringLiteral("&Stop running task"),
               QStringLiteral("Stops task execution\nStop task"));

    AddCommand(QStringLiteral("taskAdd"), QStringLiteral("&Add..."), QStringLiteral("Adds new task\nAdd new task"));
    AddCommand(QStringLiteral("taskModify"), QStringLiteral("&Modify..."),
               QStringLiteral("Modifies existing task\nModify task"));
    AddCommand(QStringLiteral("taskDelete"), QStringLiteral("&Delete..."),
               QStringLiteral("Deletes existing task\nDelete task"));
    AddCommand(QStringLiteral("taskExecute"), QStringLiteral("&Execute"),
               QStringLiteral("Executes the selected task immediately\nExecute immediately"));

    AddCommand(QStringLiteral("toolsCustomize"), QStringLiteral("&Customize..."),
               QStringLiteral("User-defined tools\nUser Tools"));
    AddCommand(QStringLiteral("helpAbout"), QStringLiteral("&About Corvane..."),
               QStringLiteral("Shows the program's version and where to get help\nAbout"), QStringLiteral("about.svg"));

    AddCommand(QStringLiteral("nextPane"), QStringLiteral("Next Pane"),
               QStringLiteral("Moves to the next window pane\nNext Pane"), {}, {QKeySequence(Qt::Key_F6)});
    AddCommand(QStringLiteral("previousPane"), QStringLiteral("Previous Pane"),
               QStringLiteral("Moves back to the previous window pane\nPrevious Pane"), {},
               {QKeySequence(Qt::SHIFT | Qt::Key_F6)});
}

QAction* CMainFrame::FindCommand(const QString& objectName) const
{
    return findChild<QAction*>(objectName, Qt::FindDirectChildrenOnly);
}

void CMainFrame::CreateMenus()
{
    const auto add = [this](QMenu* menu, const char* name) {
        menu->addAction(FindCommand(QString::fromLatin1(name)));
    };

    m_pFileMenu = menuBar()->addMenu(QStringLiteral("&File"));
    for (const char* name : {"fileNew", "fileOpen", "fileSave", "fileSaveAs", "fileExport"})
        add(m_pFileMenu, name);
    m_pFileMenu->addSeparator();
    add(m_pFileMenu, "fileOptions");
    m_pRecentSeparator = m_pFileMenu->addSeparator();
    m_pExitSeparator = m_pFileMenu->addSeparator();
    add(m_pFileMenu, "fileExit");

    QMenu* edit = menuBar()->addMenu(QStringLiteral("&Edit"));
    for (const char* name : {"editUndo", "editCut", "editCopy", "editPaste"})
        add(edit, name);

    QMenu* view = menuBar()->addMenu(QStringLiteral("&View"));
    m_pToolbarsMenu = view->addMenu(QStringLiteral("&Toolbars"));
    add(m_pToolbarsMenu, "viewToolbar");
    m_pToolbarsMenu->addSeparator();
    add(m_pToolbarsMenu, "viewCustomize");
    add(view, "viewStatusBar");
    add(view, "viewOutput");
    view->addSeparator();
    for (const char* name : {"viewSmallIcons", "viewIcons", "viewList", "viewDetails"})
        add(view, name);

    // "&Edit" has the E already.
    QMenu* engine = menuBar()->addMenu(QStringLiteral("E&ngine"));
    add(engine, "engineOperating");
    add(engine, "engineStop");

    QMenu* task = menuBar()->addMenu(QStringLiteral("&Task"));
    for (const char* name : {"taskAdd", "taskModify", "taskDelete"})
        add(task, name);
    task->addSeparator();
    add(task, "taskExecute");

    m_pToolsMenu = menuBar()->addMenu(QStringLiteral("T&ools"));
    QMenu* help = menuBar()->addMenu(QStringLiteral("&Help"));
    add(help, "helpAbout");

    // Enabling rules are applied as a menu opens, as well as when the state changes.
    for (QMenu* menu : menuBar()->findChildren<QMenu*>())
        connect(menu, &QMenu::aboutToShow, this, &CMainFrame::UpdateCommandUI);
}

void CMainFrame::CreateToolBar()
{
    m_pToolBar = addToolBar(QStringLiteral("Standard"));
    m_pToolBar->setObjectName(QStringLiteral("Standard"));
    m_pToolBar->setIconSize(QSize(16, 16));
    for (const QString& name : kToolBarLayout) {
        if (!name.isEmpty())
            m_ToolBarButtons << FindCommand(name);
    }
    const auto store = OpenSettingsStore();
    const QStringList hidden = store->value(kStateGroup + QStringLiteral("/HiddenToolbarButtons")).toStringList();
    m_HiddenButtons = QSet<QString>(hidden.begin(), hidden.end());
    ApplyToolBarButtons();
}

void CMainFrame::ApplyToolBarButtons()
{
    m_pToolBar->clear();
    bool groupShown = false;
    for (const QString& name : kToolBarLayout) {
        if (name.isEmpty()) {
            if (groupShown)
                m_pToolBar->addSeparator();
            groupShown = false;
        } else if (!m_HiddenButtons.contains(name)) {
            m_pToolBar->addAction(FindCommand(name));
            groupShown = true;
        }
    }
    // No trailing separator when the last groups are all hidden.
    const QList<QAction*> shown = m_pToolBar->actions();
    if (!shown.isEmpty() && shown.constLast()->isSeparator())
        m_pToolBar->removeAction(shown.constLast());
}

QMenu* CMainFrame::createPopupMenu()
{
    // A right click on the menu bar or toolbar: "Standard Toolbar" and "Customize...".
    auto* menu = new QMenu(this);
    menu->addAction(FindCommand(QStringLiteral("viewToolbar")));
    menu->addSeparator();
    menu->addAction(FindCommand(QStringLiteral("viewCustomize")));
    return menu;
}

void CMainFrame::ConnectCommands()
{
    const auto on = [this](const char* name, auto slot) {
        connect(FindCommand(QString::fromLatin1(name)), &QAction::triggered, this, slot);
    };
    on("fileNew", [this] { OnFileNew(); });
    on("fileOpen", [this] { OnFileOpen(); });
    on("fileSave", [this] { OnFileSave(); });
    on("fileSaveAs", [this] { OnFileSaveAs(); });
    on("fileExport", [this] { m_pOutputBar->Export(); });
    on("fileOptions", [this] { OnOptions(); });
    on("fileExit", [this] { close(); });
    on("editUndo", [this] { OnEditCommand(QStringLiteral("undo")); });
    on("editCut", [this] { OnEditCommand(QStringLiteral("cut")); });
    on("editCopy", [this] { OnEditCommand(QStringLiteral("copy")); });
    on("editPaste", [this] { OnEditCommand(QStringLiteral("paste")); });
    on("viewToolbar", [this](bool checked) { m_pToolBar->setVisible(checked); });
    on("viewCustomize", [this] { OnCustomize(CCustomizeDialog::eToolbarPage); });
    on("viewStatusBar", [this](bool checked) { statusBar()->setVisible(checked); });
    on("viewOutput", [this](bool checked) { m_pOutputBar->setVisible(checked); });
    on("viewSmallIcons", [this] { m_pView->SetViewStyle(CVigrelView::eSmallIcons); });
    on("viewIcons", [this] { m_pView->SetViewStyle(CVigrelView::eLargeIcons); });
    on("viewList", [this] { m_pView->SetViewStyle(CVigrelView::eList); });
    on("viewDetails", [this] { m_pView->SetViewStyle(CVigrelView::eDetails); });
    on("engineOperating", [this] { m_pHub->ToggleEngine(); });
    on("engineStop", [this] { m_pHub->StopRunningTask(); });
    on("taskAdd", [this] { m_pView->OnTaskAdd(); });
    on("taskModify", [this] { m_pView->OnTaskModify(); });
    on("taskDelete", [this] { m_pView->OnTaskDelete(); });
    on("taskExecute", [this] { m_pView->OnTaskExecute(); });
    on("toolsCustomize", [this] { OnCustomize(CCustomizeDialog::eToolsPage); });
    on("helpAbout", [this] { OnAbout(); });
    on("nextPane", [this] { OnNextPane(true); });
    on("previousPane", [this] { OnNextPane(false); });

    connect(m_pHub, &CHub::MessageShown, m_pOutputBar, &COutputBar::AddMessage);
    connect(m_pHub, &CHub::TaskStateChanged, m_pView, &CVigrelView::UpdateTaskItem);
    connect(m_pHub, &CHub::TaskStateChanged, this, &CMainFrame::UpdateCommandUI);
    connect(m_pHub, &CHub::EngineSwitched, this, [this](bool, const QString& text) {
        // The pane's own text too: the button's prompt ends as the pointer leaves it, and
        // that clears the passing message.
        m_pReadyLabel->setText(text);
        statusBar()->showMessage(text);
        UpdateCommandUI();
    });
    connect(m_pHub, &CHub::ExecuteRefused, this, [this](int, const QString& text) { statusBar()->showMessage(text); });
    connect(m_pView, &CVigrelView::SelectionChanged, this, &CMainFrame::UpdateCommandUI);
    connect(m_pDocument, &CVigrelDoc::ModifiedChanged, this, &CMainFrame::UpdateTitle);
    connect(m_pDocument, &CVigrelDoc::PathNameChanged, this, &CMainFrame::UpdateTitle);
    connect(m_pOutputBar, &QDockWidget::visibilityChanged, this, &CMainFrame::UpdateCommandUI);
    connect(qApp, &QApplication::focusChanged, this, [this](QWidget*, QWidget* now) {
        if (now && !IsMenuWidget(now))
            m_pEditFocus = now;
        UpdateCommandUI();
    });
}

void CMainFrame::UpdateCommandUI()
{
    const auto set = [this](const char* name, bool enabled) {
        FindCommand(QString::fromLatin1(name))->setEnabled(enabled);
    };
    const auto check = [this](const char* name, bool checked) {
        FindCommand(QString::fromLatin1(name))->setChecked(checked);
    };

    check("engineOperating", m_pHub->IsEngineOn());
    set("engineStop", m_pHub->IsTaskRunning());
    const int selected = m_pView->GetSelectedCount();
    set("taskModify", selected == 1);
    set("taskDelete", selected >= 1);
    set("taskExecute", selected == 1);

    // isHidden, not isVisible: the check must not flicker off while the window is minimised.
    check("viewOutput", !m_pOutputBar->isHidden());
    check("viewStatusBar", !statusBar()->isHidden());
    check("viewToolbar", !m_pToolBar->isHidden());
    switch (m_pView->GetViewStyle()) {
    case CVigrelView::eSmallIcons:
        check("viewSmallIcons", true);
        break;
    case CVigrelView::eLargeIcons:
        check("viewIcons", true);
        break;
    case CVigrelView::eList:
        check("viewList", true);
        break;
    case CVigrelView::eDetails:
        check("viewDetails", true);
        break;
    }

    QWidget* focus = EditFocus();
    const CEditTarget target(focus);
    const bool outputFocused = focus && (focus == m_pOutputBar || m_pOutputBar->isAncestorOf(focus));
    const QMimeData* clipboard = QGuiApplication::clipboard()->mimeData();
    const bool canPaste = clipboard && clipboard->hasText();
    set("editUndo", target.IsValid() && target.CanUndo());
    set("editCut", target.IsValid() && !target.IsReadOnly() && target.HasSelection());
    set("editCopy", (target.IsValid() && target.HasSelection()) || (outputFocused && m_pOutputBar->HasSelection()));
    set("editPaste", target.IsValid() && !target.IsReadOnly() && canPaste);

    if (m_pTrayMenu) {
        const bool toTray = IsTrayActive() && GetAppSettings().m_bMinimizeToTray;
        set("trayMinimize", toTray && !m_bInTray);
        set("trayRestore", m_bInTray);
    }
}

QWidget* CMainFrame::EditFocus() const
{
    // A menu opened with Alt and a letter takes the keyboard focus into the menu bar; the
    // Edit commands are still about the field the user was in.
    QWidget* focus = QApplication::focusWidget();
    if (focus && IsMenuWidget(focus) && m_pEditFocus && m_pEditFocus->window() == window())
        return m_pEditFocus;
    return focus;
}

void CMainFrame::OnEditCommand(const QString& command)
{
    QWidget* focus = EditFocus();
    const CEditTarget target(focus);
    if (target.m_pLine)
        QMetaObject::invokeMethod(target.m_pLine, qPrintable(command));
    else if (target.m_pText)
        QMetaObject::invokeMethod(target.m_pText, qPrintable(command));
    else if (target.m_pPlain)
        QMetaObject::invokeMethod(target.m_pPlain, qPrintable(command));
    else if (command == QLatin1String("copy") && focus && (focus == m_pOutputBar || m_pOutputBar->isAncestorOf(focus)))
        m_pOutputBar->Copy();
    UpdateCommandUI();
}

void CMainFrame::OnNextPane(bool)
{
    // Two panes: the task list and the output window; either key moves to the other. The
    // focus goes into the list itself, where the arrow keys work, not onto its container.
    QWidget* focus = QApplication::focusWidget();
    const bool inOutput = focus && m_pOutputBar->isAncestorOf(focus);
    if (inOutput || m_pOutputBar->isHidden()) {
        m_pView->GetItemView()->setFocus(Qt::OtherFocusReason);
        return;
    }
    QWidget* list = m_pOutputBar->GetList();
    QWidget* tab = m_pOutputBar->GetTabs() ? m_pOutputBar->GetTabs()->currentWidget() : nullptr;
    QWidget* target = list->isVisible() || !tab ? list : tab;
    // The History tab may be in front: its first control that takes the focus.
    if (target->focusPolicy() == Qt::NoFocus && !target->focusProxy()) {
        for (QWidget* child : target->findChildren<QWidget*>()) {
            if (child->isVisible() && child->focusPolicy() != Qt::NoFocus) {
                target = child;
                break;
            }
        }
    }
    target->setFocus(Qt::OtherFocusReason);
}

void CMainFrame::OnOptions()
{
    if (RunOptionsSheet(this, m_pHub))
        m_pOutputBar->ApplySettings();
    UpdateCommandUI();
}

void CMainFrame::OnCustomize(int page)
{
    CCustomizeDialog dialog(m_ToolBarButtons, m_HiddenButtons, LoadUserTools(), this);
    dialog.ShowPage(CCustomizeDialog::ePage(page));
    if (dialog.exec() != QDialog::Accepted)
        return;
    m_HiddenButtons = dialog.GetHiddenButtons();
    const QStringList hidden(m_HiddenButtons.begin(), m_HiddenButtons.end());
    OpenSettingsStore()->setValue(kStateGroup + QStringLiteral("/HiddenToolbarButtons"), hidden);
    ApplyToolBarButtons();
    SaveUserTools(dialog.GetTools());
    UpdateToolsMenu();
}

void CMainFrame::UpdateToolsMenu()
{
    m_pToolsMenu->clear();
    const QList<CUserTool> tools = LoadUserTools();
    for (int i = 0; i < tools.size(); ++i) {
        const CUserTool tool = tools.at(i);
        QAction* action = m_pToolsMenu->addAction(tool.m_Name.isEmpty() ? tool.m_Program : tool.m_Name);
        action->setObjectName(QStringLiteral("userTool%1").arg(i + 1));
        action->setStatusTip(QStringLiteral("Activates user-defined tool"));
        action->setToolTip(QStringLiteral("User Tool"));
        connect(action, &QAction::triggered, this, [this, tool] {
            QString error;
            if (!RunUserTool(tool, &error))
                ShowMessageBox(this, QMessageBox::Warning, error);
        });
    }
    if (!tools.isEmpty())
        m_pToolsMenu->addSeparator();
    m_pToolsMenu->addAction(FindCommand(QStringLiteral("toolsCustomize")));
}

void CMainFrame::OnAbout()
{
    CAboutBox about(this);
    about.exec();
}

void CMainFrame::SaveWindowState()
{
    const auto store = OpenSettingsStore();
    store->beginGroup(kStateGroup);
    store->setValue(QStringLiteral("Geometry"), saveGeometry());
    store->setValue(QStringLiteral("WindowState"), saveState());
    store->setValue(QStringLiteral("StatusBar"), !statusBar()->isHidden());
}

void CMainFrame::RestoreWindowState()
{
    const auto store = OpenSettingsStore();
    store->beginGroup(kStateGroup);
    restoreGeometry(store->value(QStringLiteral("Geometry")).toByteArray());
    // Without a layout of the user's own, the output dock takes a third of the height at the
    // first show; left to itself it grows to its contents and leaves the list a few rows.
    m_bDefaultDockHeight = !restoreState(store->value(QStringLiteral("WindowState")).toByteArray());
    statusBar()->setVisible(store->value(QStringLiteral("StatusBar"), true).toBool());
}

void CMainFrame::showEvent(QShowEvent* event)
{
    QMainWindow::showEvent(event);
    if (!m_bDefaultDockHeight)
        return;
    m_bDefaultDockHeight = false;
    resizeDocks({m_pOutputBar}, {std::max(height() / 3, 120)}, Qt::Vertical);
}

void CMainFrame::CloseWithoutPrompt()
{
    m_bSkipSavePrompt = true;
    close();
}

void CMainFrame::closeEvent(QCloseEvent* event)
{
    if (!m_bSkipSavePrompt && !SaveModified()) {
        event->ignore();
        return;
    }
    SaveWindowState();
    m_RecentFiles.Save();
    if (m_pTrayIcon)
        m_pTrayIcon->hide();
    m_bInTray = false;
    event->accept();
    emit Closed();
}
