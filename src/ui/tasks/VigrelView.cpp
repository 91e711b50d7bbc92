#include "ui/tasks/VigrelView.h"

#include "core/alerts/AlertSnooze.h"
#include "core/shell/AppSettings.h"
#include "core/shell/Hub.h"
#include "core/shell/Messages.h"
#include "core/support/Clock.h"
#include "core/tasks/Task.h"
#include "core/tasks/VigrelDoc.h"
#include "ui/dialogs/TaskConfigSheet.h"
#include "ui/tasks/SparklineDelegate.h"
#include "ui/tasks/TaskListModel.h"

#include <QAction>
#include <QApplication>
#include <QContextMenuEvent>
#include <QFile>
#include <QHeaderView>
#include <QKeyEvent>
#include <QListView>
#include <QMenu>
#include <QMessageBox>
#include <QPainter>
#include <QSettings>
#include <QStackedLayout>
#include <QStyle>
#include <QTreeView>

#include <algorithm>

namespace {

// "ListStyle" holds a list-view window style; only its view-type bits (the low two) matter
// here, so a style written by an older version still opens in the right view.
constexpr int kListViewTypeMask = 0x3;
constexpr int kListViewIcon = 0;
constexpr int kListViewReport = 1;
constexpr int kListViewSmallIcon = 2;
constexpr int kListViewList = 3;

int ListViewType(CVigrelView::eViewStyle style)
{
    switch (style) {
    case CVigrelView::eLargeIcons:
        return kListViewIcon;
    case CVigrelView::eSmallIcons:
        return kListViewSmallIcon;
    case CVigrelView::eList:
        return kListViewList;
    case CVigrelView::eDetails:
        break;
    }
    return kListViewReport;
}

CVigrelView::eViewStyle ViewStyleOf(int listStyle)
{
    switch (listStyle & kListViewTypeMask) {
    case kListViewIcon:
        return CVigrelView::eLargeIcons;
    case kListViewSmallIcon:
        return CVigrelView::eSmallIcons;
    case kListViewList:
        return CVigrelView::eList;
    default:
        return CVigrelView::eDetails;
    }
}

const QString& EmptyListHint()
{
    static const QString text
        = QStringLiteral("There are no tasks defined. Select Task\\Add... menu item to add a task.");
    return text;
}

// Drawn over an empty list, from `top` down, so a new user learns where tasks come from.
void PaintEmptyHint(QWidget* viewport, int top)
{
    QPainter painter(viewport);
    const QRect area = viewport->rect().adjusted(0, top, 0, 0);
    painter.fillRect(area, viewport->palette().color(QPalette::Base));
    QFont font(QStringLiteral("Tahoma"));
    font.setPointSize(10);
    painter.setFont(font);
    painter.setPen(viewport->palette().color(QPalette::Text));
    constexpr int kSideMargin = 8;
    painter.drawText(area.adjusted(kSideMargin, 0, -kSideMargin, 0), Qt::AlignHCenter | Qt::AlignTop | Qt::TextWordWrap,
                     EmptyListHint());
}

// Where the details' header state is kept, in the settings group of "ListStyle".
const QString kHeaderStateKey = QStringLiteral("Options/ListColumns");

// The hint starts this far below the column headers (or the top, without headers).
constexpr int kHintOffset = 20;

class CTaskTreeView : public QTreeView
{
public:
    using QTreeView::QTreeView;

protected:
    void paintEvent(QPaintEvent* event) override
    {
        QTreeView::paintEvent(event);
        if (model() && model()->rowCount() == 0)
            PaintEmptyHint(viewport(), kHintOffset);
    }
};

class CTaskIconView : public QListView
{
public:
    using QListView::QListView;

protected:
    void paintEvent(QPaintEvent* event) override
    {
        QListView::paintEvent(event);
        if (model() && model()->rowCount() == 0)
            PaintEmptyHint(viewport(), kHintOffset);
    }
};

QIcon LoadTaskIcon(const QStyle* style)
{
    // An SVG icon needs Qt's SVG plugin, which not every installation has: without it the
    // icon loads but draws nothing, and the icon views would show bare names.
    for (const char* path : {":/icons/task.svg", ":/icons/app.svg"}) {
        const QString name = QString::fromLatin1(path);
        if (!QFile::exists(name))
            continue;
        const QIcon icon(name);
        if (!icon.pixmap(16, 16).isNull())
            return icon;
    }
    return style->standardIcon(QStyle::SP_FileIcon);
}

QAction* MakeAction(QObject* parent, const char* text, const char* prompt, const char* tip)
{
    auto* action = new QAction(QString::fromLatin1(text), parent);
    action->setStatusTip(QString::fromLatin1(prompt));
    action->setToolTip(QString::fromLatin1(tip));
    return action;
}

} // namespace

CVigrelView::CVigrelView(CVigrelDoc* document, CHub* hub, QWidget* parent)
    : QWidget(parent)
    , m_pDocument(document)
    , m_pHub(hub)
    , m_pModel(new CTaskListModel(document, this))
    , m_pSelection(new QItemSelectionModel(m_pModel, m_pModel))
    , m_pStack(new QStackedLayout(this))
    , m_pDetailsView(new CTaskTreeView(this))
    , m_pIconView(new CTaskIconView(this))
    , m_EditTask(EditTask)
{
    m_pModel->SetTaskIcon(LoadTaskIcon(style()));

    // Both views show the same rows and share one selection, so switching the display
    // style keeps what the user selected.
    for (QAbstractItemView* view :
         {static_cast<QAbstractItemView*>(m_pDetailsView), static_cast<QAbstractItemView*>(m_pIconView)}) {
        view->setModel(m_pModel);
        QItemSelectionModel* own = view->selectionModel();
        view->setSelectionModel(m_pSelection);
        delete own;
        view->setSelectionMode(QAbstractItemView::ExtendedSelection);
        view->setSelectionBehavior(QAbstractItemView::SelectRows);
        view->setEditTriggers(QAbstractItemView::NoEditTriggers);
        view->setAccessibleName(QStringLiteral("Tasks"));
        WatchItemView(view);
        m_pStack->addWidget(view);
    }

    m_pDetailsView->setRootIsDecorated(false);
    m_pDetailsView->setItemsExpandable(false);
    m_pDetailsView->setUniformRowHeights(true);
    m_pDetailsView->setAllColumnsShowFocus(true);
    m_pDetailsView->setIconSize(QSize(16, 16));
    QHeaderView* header = m_pDetailsView->header();
    header->setSectionsMovable(true);
    // The name stays first: the icon views show it alone, and the row reads from it.
    header->setFirstSectionMovable(false);
    header->setSortIndicatorClearable(true);
    // No sort at first: the rows keep the document's order until a header is clicked.
    header->setSortIndicator(-1, Qt::AscendingOrder);
    m_pDetailsView->setSortingEnabled(true);
    header->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(header, &QWidget::customContextMenuRequested, this, &CVigrelView::ShowHeaderMenu);
    m_pDetailsView->setItemDelegateForColumn(CTaskListModel::eColumnRecent, new CSparklineDelegate(m_pDetailsView));
    m_pModel->SetHub(hub);
    // The time columns are as wide as a time stamp of this locale needs; "%c" is longer on
    // most systems than the fixed widths allow.
    const int stampWidth = m_pDetailsView->fontMetrics().horizontalAdvance(CTaskListModel::FormatRunTime(1767225599))
        + 2 * style()->pixelMetric(QStyle::PM_HeaderMargin) + 8;
    for (int column = 0; column < CTaskListModel::eColumnCount; ++column) {
        int width = CTaskListModel::DefaultColumnWidth(column);
        if (column == CTaskListModel::eColumnLastRun || column == CTaskListModel::eColumnNextRun)
            width = std::max(width, stampWidth);
        m_pDetailsView->setColumnWidth(column, width);
    }

    RestoreHeaderState();
    connect(header, &QHeaderView::sectionMoved, this, &CVigrelView::SaveHeaderState);
    connect(header, &QHeaderView::sectionResized, this, [this](int, int, int newSize) {
        // Hiding a column resizes it to 0; that is saved by the menu.
        if (newSize > 0)
            SaveHeaderState();
    });
    connect(header, &QHeaderView::sortIndicatorChanged, this, &CVigrelView::SaveHeaderState);

    m_pIconView->setUniformItemSizes(true);
    m_pIconView->setTextElideMode(Qt::ElideRight);

    m_pAddAction = MakeAction(this, "&Add...", "Adds new task", "Add new task");
    m_pModifyAction = MakeAction(this, "&Modify...", "Modifies existing task", "Modify task");
    m_pDeleteAction = MakeAction(this, "&Delete...", "Deletes existing task", "Delete task");
    m_pExecuteAction = MakeAction(this, "&Execute", "Executes the selected task immediately", "Execute immediately");
    m_pStopAction = MakeAction(this, "&Stop running task", "Stops task execution", "Stop task");
    connect(m_pAddAction, &QAction::triggered, this, &CVigrelView::OnTaskAdd);
    connect(m_pModifyAction, &QAction::triggered, this, &CVigrelView::OnTaskModify);
    connect(m_pDeleteAction, &QAction::triggered, this, &CVigrelView::OnTaskDelete);
    connect(m_pExecuteAction, &QAction::triggered, this, &CVigrelView::OnTaskExecute);
    connect(m_pStopAction, &QAction::triggered, this, &CVigrelView::OnTaskStop);

    m_pContextMenu = new QMenu(this);
    m_pContextMenu->addAction(m_pAddAction);
    m_pContextMenu->addAction(m_pModifyAction);
    m_pContextMenu->addAction(m_pDeleteAction);
    m_pContextMenu->addSeparator();
    m_pContextMenu->addAction(m_pExecuteAction);
    m_pContextMenu->addSeparator();
    m_pContextMenu->addAction(m_pStopAction);

    // The mnemonics stay clear of the menu's others (A, M, D, E, S).
    m_pSnoozeMenu = new QMenu(QStringLiteral("Snoo&ze alerts"), this);
    m_pSnoozeMenu->menuAction()->setStatusTip(
        QStringLiteral("Holds back the alerts of the selected tasks for a while"));
    const auto addSnooze = [this](const char* name, const char* text, std::function<qint64(qint64)> until) {
        QAction* action = m_pSnoozeMenu->addAction(QString::fromLatin1(text));
        action->setObjectName(QString::fromLatin1(name));
        connect(action, &QAction::triggered, this, [this, until] {
            if (m_pHub)
                m_pHub->GetAlertSnooze()->Snooze(SelectedTaskKeys(), until(CurrentTime()));
        });
    };
    addSnooze("taskSnoozeHour", "For &1 hour", &CAlertSnooze::InAnHour);
    addSnooze("taskSnoozeMorning", "Until &tomorrow 8:00", &CAlertSnooze::TomorrowMorning);
    addSnooze("taskSnoozeForever", "Until turned &back on", [](qint64) { return CAlertSnooze::kForever; });
    m_pResumeAlertsAction
        = MakeAction(this, "Res&ume alerts", "Sends the alerts of the selected tasks again", "Resume alerts");
    m_pResumeAlertsAction->setObjectName(QStringLiteral("taskResumeAlerts"));
    connect(m_pResumeAlertsAction, &QAction::triggered, this, [this] {
        if (m_pHub)
            m_pHub->GetAlertSnooze()->Resume(SelectedTaskKeys(), AllTaskKeys());
    });
    m_pContextMenu->addSeparator();
    m_pContextMenu->addMenu(m_pSnoozeMenu);
    m_pContextMenu->addAction(m_pResumeAlertsAction);

    connect(m_pSelection, &QItemSelectionModel::selectionChanged, this, &CVigrelView::OnSelectionChanged);
    // Removing selected rows does not always report a selection change.
    connect(m_pModel, &QAbstractItemModel::rowsRemoved, this, &CVigrelView::OnSelectionChanged);
    connect(m_pModel, &QAbstractItemModel::modelReset, this, &CVigrelView::OnSelectionChanged);
    if (m_pHub) {
        connect(m_pHub, &CHub::TaskStateChanged, this, [this](int state, int taskId) {
            UpdateTaskItem(state, taskId);
            UpdateActions();
        });
        connect(m_pHub->GetAlertSnooze(), &CAlertSnooze::Changed, this, &CVigrelView::UpdateActions);
    }

    ApplyViewStyle(ViewStyleOf(LoadListStyle(kListViewReport)));
    UpdateActions();
}

void CVigrelView::UpdateTaskItem(int state, int taskId)
{
    m_pModel->UpdateTaskItem(state, taskId);
}

void CVigrelView::SetStatusBoard(CStatusBoard* board)
{
    m_pModel->SetStatusBoard(board);
}

void CVigrelView::ShowHeaderMenu(const QPoint& pos)
{
    QHeaderView* header = m_pDetailsView->header();
    QMenu menu(this);
    for (int column = 0; column < CTaskListModel::eColumnCount; ++column) {
        QAction* action = menu.addAction(m_pModel->headerData(column, Qt::Horizontal).toString());
        action->setCheckable(true);
        action->setChecked(!header->isSectionHidden(column));
        // Without the name a row says nothing.
        action->setEnabled(column != CTaskListModel::eColumnName);
        connect(action, &QAction::toggled, this, [this, header, column](bool shown) {
            header->setSectionHidden(column, !shown);
            if (shown && header->sectionSize(column) <= 0)
                header->resizeSection(column, CTaskListModel::DefaultColumnWidth(column));
            SaveHeaderState();
        });
    }
    menu.exec(header->mapToGlobal(pos));
}

void CVigrelView::RestoreHeaderState()
{
    const auto store = OpenSettingsStore();
    const QByteArray state = QByteArray::fromBase64(store->value(kHeaderStateKey).toString().toLatin1());
    QHeaderView* header = m_pDetailsView->header();
    // A state saved with other columns (an older or newer version) would put them in the
    // wrong places; the defaults are better then.
    if (state.isEmpty() || !header->restoreState(state) || header->count() != CTaskListModel::eColumnCount)
        return;
    header->setSectionHidden(CTaskListModel::eColumnName, false);
    m_pModel->sort(header->sortIndicatorSection(), header->sortIndicatorOrder());
}

void CVigrelView::SaveHeaderState()
{
    const auto store = OpenSettingsStore();
    store->setValue(kHeaderStateKey, QString::fromLatin1(m_pDetailsView->header()->saveState().toBase64()));
    store->sync();
}

void CVigrelView::SetViewStyle(eViewStyle style)
{
    ApplyViewStyle(style);
    SaveListStyle(ListViewType(style));
}

CVigrelView::eViewStyle CVigrelView::GetViewStyle() const
{
    return m_ViewStyle;
}

void CVigrelView::ApplyViewStyle(eViewStyle style)
{
    m_ViewStyle = style;
    if (style != eDetails) {
        const QFontMetrics metrics = m_pIconView->fontMetrics();
        if (style == eLargeIcons) {
            m_pIconView->setViewMode(QListView::IconMode);
            m_pIconView->setIconSize(QSize(32, 32));
            m_pIconView->setFlow(QListView::LeftToRight);
            m_pIconView->setWordWrap(true);
            // Room for two lines of the name under the icon.
            m_pIconView->setGridSize(
                QSize(std::max(96, metrics.averageCharWidth() * 14), 32 + 2 * metrics.lineSpacing() + 12));
        } else {
            m_pIconView->setViewMode(QListView::ListMode);
            m_pIconView->setIconSize(QSize(16, 16));
            m_pIconView->setWordWrap(false);
            // Small icons fill rows, the list fills columns; both line names up on a grid.
            m_pIconView->setFlow(style == eSmallIcons ? QListView::LeftToRight : QListView::TopToBottom);
            m_pIconView->setGridSize(
                QSize(std::max(160, metrics.averageCharWidth() * 24), std::max(20, metrics.lineSpacing() + 6)));
        }
        // Set after the mode, which resets them.
        m_pIconView->setMovement(QListView::Static);
        m_pIconView->setWrapping(true);
        m_pIconView->setResizeMode(QListView::Adjust);
    }

    QWidget* next = style == eDetails ? static_cast<QWidget*>(m_pDetailsView) : m_pIconView;
    const bool hadFocus = m_pStack->currentWidget() && m_pStack->currentWidget()->hasFocus();
    m_pStack->setCurrentWidget(next);
    setFocusProxy(next);
    if (hadFocus)
        next->setFocus();
    if (m_pSelection->currentIndex().isValid())
        GetItemView()->scrollTo(m_pSelection->currentIndex());
}

QAbstractItemView* CVigrelView::GetItemView() const
{
    if (m_ViewStyle == eDetails)
        return m_pDetailsView;
    return m_pIconView;
}

QList<int> CVigrelView::SelectedRows() const
{
    QList<int> rows;
    for (const QModelIndex& index : m_pSelection->selectedIndexes())
        rows.append(index.row());
    std::sort(rows.begin(), rows.end());
    rows.erase(std::unique(rows.begin(), rows.end()), rows.end());
    return rows;
}

int CVigrelView::GetSelectedCount() const
{
    return int(SelectedRows().size());
}

int CVigrelView::GetFirstSelectedTaskId() const
{
    const QList<int> rows = SelectedRows();
    return rows.isEmpty() ? -1 : m_pModel->TaskIdAt(rows.first());
}

void CVigrelView::UpdateActions()
{
    const int selected = GetSelectedCount();
    m_pAddAction->setEnabled(true);
    m_pModifyAction->setEnabled(selected == 1);
    m_pDeleteAction->setEnabled(selected >= 1);
    m_pExecuteAction->setEnabled(selected == 1 && m_pHub);
    m_pStopAction->setEnabled(m_pHub && m_pHub->IsTaskRunning());
    m_pSnoozeMenu->setEnabled(selected >= 1 && m_pHub);
    bool snoozed = false;
    if (m_pHub) {
        const qint64 now = CurrentTime();
        for (const QString& key : SelectedTaskKeys())
            snoozed = snoozed || m_pHub->GetAlertSnooze()->SnoozedUntil(key, now).has_value();
    }
    m_pResumeAlertsAction->setEnabled(snoozed);
}

QStringList CVigrelView::SelectedTaskKeys() const
{
    QStringList keys;
    for (const int row : SelectedRows()) {
        CTask task;
        if (m_pDocument->GetTask(m_pModel->TaskIdAt(row), task) && !task.m_TaskGuid.isEmpty())
            keys << task.m_TaskGuid;
    }
    return keys;
}

QStringList CVigrelView::AllTaskKeys() const
{
    QStringList keys;
    for (const CTask& task : m_pDocument->GetTasks())
        keys << task.m_TaskGuid;
    return keys;
}

void CVigrelView::SetTaskEditor(TaskEditor editor)
{
    m_EditTask = editor ? std::move(editor) : TaskEditor(EditTask);
}

void CVigrelView::OnTaskAdd()
{
    CTask task;
    if (!m_EditTask(this, task, true))
        return;
    m_pDocument->AddTask(task);
}

void CVigrelView::OnTaskModify()
{
    const QList<int> rows = SelectedRows();
    if (rows.size() != 1)
        return;
    const int taskId = m_pModel->TaskIdAt(rows.first());
    CTask task;
    if (!m_pDocument->GetTask(taskId, task) || !m_EditTask(this, task, false))
        return;
    if (!m_pDocument->ModifyTask(taskId, task))
        return;
    // An edit clears "Stopped", but a run under way goes on after it: the row must not call
    // a running task idle.
    const int row = m_pModel->RowOfTask(taskId);
    const int state = m_pModel->StateAt(row) == TASK_STATE_RUNNING ? TASK_STATE_RUNNING : 0;
    m_pModel->UpdateTaskItem(state, taskId);
}

void CVigrelView::OnTaskDelete()
{
    const QList<int> rows = SelectedRows();
    if (rows.isEmpty())
        return;
    QMessageBox question(QMessageBox::Warning, QApplication::applicationDisplayName(),
                         QStringLiteral("Selected item(s) will be deleted. Press OK to continue."),
                         QMessageBox::Ok | QMessageBox::Cancel, this);
    question.setDefaultButton(QMessageBox::Ok);
    if (question.exec() != QMessageBox::Ok)
        return;
    // Ids first: every deletion removes a row and moves the ones after it.
    QList<int> taskIds;
    for (const int row : rows)
        taskIds.append(m_pModel->TaskIdAt(row));
    for (auto it = taskIds.crbegin(); it != taskIds.crend(); ++it)
        m_pDocument->DeleteTask(*it);
}

void CVigrelView::OnTaskExecute()
{
    if (!m_pHub || GetSelectedCount() != 1)
        return;
    m_pHub->ExecuteTask(GetFirstSelectedTaskId());
}

void CVigrelView::OnTaskStop()
{
    if (m_pHub)
        m_pHub->StopRunningTask();
}

void CVigrelView::OnSelectionChanged()
{
    UpdateActions();
    Q_EMIT SelectionChanged();
}

void CVigrelView::WatchItemView(QAbstractItemView* view)
{
    view->installEventFilter(this);
    view->viewport()->installEventFilter(this);
    connect(view, &QAbstractItemView::doubleClicked, this, [this](const QModelIndex&) {
        // A double click with more rows selected (Ctrl held) is not a request to edit.
        if (GetSelectedCount() == 1)
            OnTaskModify();
    });
}

bool CVigrelView::eventFilter(QObject* watched, QEvent* event)
{
    QAbstractItemView* view = GetItemView();
    if (watched != view && watched != view->viewport())
        return QWidget::eventFilter(watched, event);

    if (event->type() == QEvent::KeyPress) {
        const auto* key = static_cast<QKeyEvent*>(event);
        const Qt::KeyboardModifiers modifiers = key->modifiers() & ~Qt::KeypadModifier;
        if (key->key() == Qt::Key_Delete && modifiers == Qt::NoModifier) {
            OnTaskDelete();
            return true;
        }
        if ((key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) && modifiers == Qt::NoModifier) {
            OnTaskModify();
            return true;
        }
        // Qt opens context menus with the Menu key only; Shift+F10 is the other usual key.
        if (key->key() == Qt::Key_F10 && modifiers == Qt::ShiftModifier) {
            ShowContextMenu(view, KeyboardMenuPosition(view));
            return true;
        }
    } else if (event->type() == QEvent::ContextMenu) {
        const auto* menuEvent = static_cast<QContextMenuEvent*>(event);
        ShowContextMenu(view,
                        menuEvent->reason() == QContextMenuEvent::Keyboard
                            ? KeyboardMenuPosition(view)
                            : view->viewport()->mapFromGlobal(menuEvent->globalPos()));
        return true;
    }
    return QWidget::eventFilter(watched, event);
}

QPoint CVigrelView::KeyboardMenuPosition(QAbstractItemView* view) const
{
    // Under the current row when it is in sight, else at the top of the list.
    const QRect current = view->visualRect(m_pSelection->currentIndex());
    return view->viewport()->rect().intersects(current) ? current.bottomLeft() : QPoint(0, 0);
}

void CVigrelView::ShowContextMenu(QAbstractItemView* view, const QPoint& viewportPos)
{
    UpdateActions();
    m_pContextMenu->popup(view->viewport()->mapToGlobal(viewportPos));
}
