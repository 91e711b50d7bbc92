#include "ui/tasks/TaskListModel.h"

#include "core/alerts/AlertSnooze.h"
#include "core/shell/Hub.h"
#include "core/shell/Messages.h"
#include "core/shell/StatusBoard.h"
#include "core/support/Clock.h"
#include "core/tasks/VigrelDoc.h"

#include <QApplication>
#include <QDateTime>
#include <QPainter>
#include <QPalette>
#include <QPixmap>
#include <QTimer>

#include <algorithm>
#include <ctime>
#include <cwchar>
#include <iterator>

namespace {

// Red and green that read on the list's background, light or dark.
bool IsDarkPalette()
{
    return QApplication::palette().color(QPalette::Base).lightness() < 128;
}

QColor DownColor()
{
    return IsDarkPalette() ? QColor(0xff, 0x6b, 0x6b) : QColor(0xc6, 0x28, 0x28);
}

QColor UpColor()
{
    return IsDarkPalette() ? QColor(0x66, 0xd9, 0x7a) : QColor(0x2e, 0x7d, 0x32);
}

QIcon Dot(const QColor& color)
{
    QPixmap pixmap(16, 16);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(color);
    painter.drawEllipse(QRectF(3, 3, 10, 10));
    return QIcon(pixmap);
}

// The icon at both list sizes with a badge painted over each: paintBadge(painter, size).
template<typename BadgePainter> QIcon WithBadge(const QIcon& icon, BadgePainter paintBadge)
{
    QIcon marked;
    for (const int size : {16, 32}) {
        QPixmap pixmap = icon.pixmap(size, size);
        if (pixmap.isNull()) {
            pixmap = QPixmap(size, size);
            pixmap.fill(Qt::transparent);
        }
        QPainter painter(&pixmap);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(QPen(Qt::white, size / 16.0));
        paintBadge(painter, size);
        painter.end();
        marked.addPixmap(pixmap);
    }
    return marked;
}

// The task icon with a red badge, so a down task stands out where only icons and names show.
QIcon MarkedDown(const QIcon& icon)
{
    return WithBadge(icon, [](QPainter& painter, int size) {
        painter.setBrush(DownColor());
        const qreal badge = size * 0.55;
        painter.drawEllipse(QRectF(size - badge, size - badge, badge - 1, badge - 1));
    });
}

// The icon with an amber "z" at the top right: the task's alerts are snoozed. The down badge
// keeps the lower right, so a task can show both.
QIcon MarkedSnoozed(const QIcon& icon)
{
    return WithBadge(icon, [](QPainter& painter, int size) {
        const qreal badge = size * 0.55;
        const QRectF rect(size - badge, 0, badge - 1, badge - 1);
        painter.setBrush(QColor(0xe0, 0x9b, 0x1a));
        painter.drawEllipse(rect);
        QFont font = painter.font();
        font.setBold(true);
        font.setPixelSize(int(badge * 0.75));
        painter.setFont(font);
        painter.setPen(Qt::white);
        painter.drawText(rect, Qt::AlignCenter, QStringLiteral("z"));
    });
}

} // namespace

CTaskListModel::CTaskListModel(CVigrelDoc* document, QObject* parent)
    : QAbstractTableModel(parent)
    , m_pDocument(document)
{
    // The document hands its tasks out in list order: ids grow in the order tasks were
    // added or read.
    for (const CTask& task : m_pDocument->GetTasks())
        m_Rows.append(CRow {task.m_TaskId, 0, task});

    connect(m_pDocument, &CVigrelDoc::TaskAdded, this, &CTaskListModel::OnTaskAdded);
    connect(m_pDocument, &CVigrelDoc::TaskChanged, this, &CTaskListModel::OnTaskChanged);
    connect(m_pDocument, &CVigrelDoc::TaskRemoved, this, &CTaskListModel::OnTaskRemoved);
    connect(m_pDocument, &CVigrelDoc::TasksCleared, this, &CTaskListModel::OnTasksCleared);
}

int CTaskListModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : int(m_Rows.size());
}

int CTaskListModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : eColumnCount;
}

QVariant CTaskListModel::data(const QModelIndex& index, int role) const
{
    if (!checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid))
        return {};
    const CRow& row = m_Rows.at(index.row());
    const CTask& task = row.m_Task;
    if (role == TaskIdRole)
        return row.m_TaskId;
    if (index.column() >= eColumnResult || role == SortRole || role == DownRole || role == Qt::ForegroundRole)
        return HealthData(row, index.column(), role);
    switch (role) {
    case Qt::DisplayRole:
        switch (index.column()) {
        case eColumnName:
            return task.m_Name;
        case eColumnStatus:
            return StatusText(row.m_nState, task.m_bTaskScheduled);
        case eColumnScheduled:
            return task.m_bTaskScheduled ? QStringLiteral("Yes") : QStringLiteral("No");
        case eColumnLastRun:
            return FormatRunTime(task.m_LastRunTime);
        case eColumnNextRun:
            if (ShowsEngineOff(task))
                return QStringLiteral("Engine off");
            return FormatRunTime(task.m_bTaskScheduled ? task.m_NextRunTime : 0);
        default:
            return {};
        }
    case Qt::DecorationRole:
        if (index.column() == eColumnName && !m_TaskIcon.isNull()) {
            const bool down = IsDown(index.row());
            if (SnoozedUntil(task))
                return down ? m_DownSnoozedTaskIcon : m_SnoozedTaskIcon;
            return down ? m_DownTaskIcon : m_TaskIcon;
        }
        return {};
    case Qt::ToolTipRole: {
        // The icon views cut long names short.
        if (index.column() != eColumnName)
            return {};
        QString tip = task.m_Name;
        if (const std::optional<qint64> until = SnoozedUntil(task))
            tip += QLatin1Char('\n') + CAlertSnooze::SnoozedToolTip(*until);
        // The board keeps the latest certificate seen; a task turned into a ping or a TCP
        // check since then has none of its own to tell of.
        const CTaskGlance* glance = GlanceAt(index.row());
        const bool http = task.m_CheckAction == eCheckHttpGet || task.m_CheckAction == eCheckHttpGetPattern
            || task.m_CheckAction == eCheckSpider;
        if (http && glance && glance->m_CertExpiryMs >= 0)
            tip += QLatin1Char('\n') + FormatCertExpiry(glance->m_CertExpiryMs, QDateTime::currentMSecsSinceEpoch());
        return tip;
    }
    case TaskIdRole:
        return row.m_TaskId;
    default:
        return {};
    }
}

QVariant CTaskListModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal)
        return {};
    if (role == Qt::TextAlignmentRole)
        return QVariant::fromValue(Qt::AlignLeft | Qt::AlignVCenter);
    if (role != Qt::DisplayRole)
        return {};
    switch (section) {
    case eColumnName:
        return QStringLiteral("Name");
    case eColumnStatus:
        return QStringLiteral("Status");
    case eColumnScheduled:
        return QStringLiteral("Scheduled");
    case eColumnLastRun:
        return QStringLiteral("Last run time");
    case eColumnNextRun:
        return QStringLiteral("Next run time");
    case eColumnResult:
        return QStringLiteral("Result");
    case eColumnSince:
        return QStringLiteral("Since");
    case eColumnResponse:
        return QStringLiteral("Response");
    case eColumnUptime24h:
        return QStringLiteral("Uptime 24h");
    case eColumnUptime30d:
        return QStringLiteral("Uptime 30d");
    case eColumnRecent:
        return QStringLiteral("Recent responses");
    default:
        return {};
    }
}

void CTaskListModel::UpdateTaskItem(int state, int taskId)
{
    const int row = RowOfTask(taskId);
    if (row < 0)
        return;
    CRow& entry = m_Rows[row];
    m_pDocument->GetTask(taskId, entry.m_Task);
    // A stopped run is still reported as finished right after the stop; taking that report
    // would wipe "Stopped" before anyone could read it.
    if (!(state == TASK_STATE_FINISHED && entry.m_nState == TASK_STATE_STOPPED))
        entry.m_nState = state;
    EmitRowChanged(row);
}

int CTaskListModel::RowOfTask(int taskId) const
{
    const auto it
        = std::find_if(m_Rows.cbegin(), m_Rows.cend(), [taskId](const CRow& row) { return row.m_TaskId == taskId; });
    return it == m_Rows.cend() ? -1 : int(std::distance(m_Rows.cbegin(), it));
}

int CTaskListModel::TaskIdAt(int row) const
{
    return row >= 0 && row < m_Rows.size() ? m_Rows.at(row).m_TaskId : -1;
}

int CTaskListModel::StateAt(int row) const
{
    return row >= 0 && row < m_Rows.size() ? m_Rows.at(row).m_nState : 0;
}

void CTaskListModel::SetTaskIcon(const QIcon& icon)
{
    m_TaskIcon = icon;
    m_DownTaskIcon = MarkedDown(icon);
    m_SnoozedTaskIcon = MarkedSnoozed(icon);
    m_DownSnoozedTaskIcon = MarkedSnoozed(m_DownTaskIcon);
    if (!m_Rows.isEmpty())
        Q_EMIT dataChanged(index(0, eColumnName), index(int(m_Rows.size()) - 1, eColumnName), {Qt::DecorationRole});
}

int CTaskListModel::DefaultColumnWidth(int column)
{
    switch (column) {
    case eColumnName:
        return 150;
    case eColumnStatus:
        return 100;
    case eColumnScheduled:
        return 80;
    case eColumnResult:
    case eColumnSince:
    case eColumnResponse:
    case eColumnUptime24h:
    case eColumnUptime30d:
        return 80;
    case eColumnRecent:
        return 120;
    default:
        return 130;
    }
}

void CTaskListModel::OnTaskAdded(int taskId)
{
    CRow row {taskId, 0, CTask()};
    if (RowOfTask(taskId) >= 0 || !m_pDocument->GetTask(taskId, row.m_Task))
        return;
    const int position = int(m_Rows.size());
    beginInsertRows(QModelIndex(), position, position);
    m_Rows.append(row);
    endInsertRows();
    QueueResort();
}

void CTaskListModel::OnTaskChanged(int taskId)
{
    // The document changes a task when it is edited, picked as due or stamped as started;
    // none of these is a run state report, so the status shown stays.
    const int row = RowOfTask(taskId);
    if (row < 0)
        return;
    m_pDocument->GetTask(taskId, m_Rows[row].m_Task);
    EmitRowChanged(row);
}

void CTaskListModel::OnTaskRemoved(int taskId)
{
    const int row = RowOfTask(taskId);
    if (row < 0)
        return;
    beginRemoveRows(QModelIndex(), row, row);
    m_Rows.removeAt(row);
    endRemoveRows();
}

void CTaskListModel::OnTasksCleared()
{
    beginResetModel();
    m_Rows.clear();
    endResetModel();
}

void CTaskListModel::EmitRowChanged(int row)
{
    Q_EMIT dataChanged(index(row, 0), index(row, eColumnCount - 1));
    QueueResort();
}

void CTaskListModel::QueueResort()
{
    if (m_nSortColumn < 0 || m_bResortQueued)
        return;
    m_bResortQueued = true;
    QTimer::singleShot(0, this, [this] {
        m_bResortQueued = false;
        if (m_nSortColumn >= 0)
            sort(m_nSortColumn, m_SortOrder);
    });
}

QString CTaskListModel::StatusText(int state, bool scheduled)
{
    switch (state) {
    case TASK_STATE_RUNNING:
        return QStringLiteral("Running");
    case TASK_STATE_STOPPED:
        return QStringLiteral("Stopped");
    default:
        return scheduled ? QStringLiteral("Waiting") : QStringLiteral("Idle");
    }
}

QString CTaskListModel::FormatRunTime(qint64 time)
{
    return time == 0 ? QStringLiteral("Never") : FormatLocalTime(time);
}

QString CTaskListModel::FormatAge(qint64 ms)
{
    const qint64 seconds = std::max<qint64>(0, ms / 1000);
    if (seconds < 60)
        return QStringLiteral("%1 s").arg(seconds);
    if (seconds < 60 * 60)
        return QStringLiteral("%1 min").arg(seconds / 60);
    if (seconds < 48 * 60 * 60)
        return QStringLiteral("%1 h").arg(seconds / 3600);
    return QStringLiteral("%1 days").arg(seconds / 86400);
}

QString CTaskListModel::FormatResponse(qint64 us)
{
    if (us < 0)
        return {};
    if (us < 1000)
        return QStringLiteral("< 1 ms");
    if (us < 10'000'000)
        return QStringLiteral("%1 ms").arg((us + 500) / 1000);
    return QStringLiteral("%1 s").arg(double(us) / 1e6, 0, 'f', 1);
}

QString CTaskListModel::FormatCertExpiry(qint64 expiryMs, qint64 nowMs)
{
    constexpr qint64 dayMs = 24LL * 60 * 60 * 1000;
    const QString day = QDateTime::fromMSecsSinceEpoch(expiryMs, Qt::UTC).toString(QStringLiteral("yyyy-MM-dd"));
    if (expiryMs <= nowMs)
        return QStringLiteral("Certificate expired on %1").arg(day);
    const qint64 daysLeft = (expiryMs - nowMs) / dayMs;
    return QStringLiteral("Certificate expires on %1 (%2 %3)")
        .arg(day)
        .arg(daysLeft)
        .arg(daysLeft == 1 ? QStringLiteral("day") : QStringLiteral("days"));
}

QString CTaskListModel::FormatUptime(double percent)
{
    if (percent < 0)
        return {};
    // 99.96 must not read as a clean 100.
    if (percent >= 100)
        return QStringLiteral("100 %");
    return QStringLiteral("%1 %").arg(std::min(99.9, percent), 0, 'f', 1);
}

void CTaskListModel::SetStatusBoard(CStatusBoard* board)
{
    if (m_pBoard)
        disconnect(m_pBoard, nullptr, this, nullptr);
    m_pBoard = board;
    if (board) {
        connect(board, &CStatusBoard::GlanceChanged, this, [this](int taskId) {
            const int row = RowOfTask(taskId);
            if (row >= 0)
                EmitRowChanged(row);
        });
        // The since-times age between results.
        connect(board, &CStatusBoard::Refreshed, this, [this] { EmitColumnChanged(eColumnSince); });
    }
    if (!m_Rows.isEmpty())
        Q_EMIT dataChanged(index(0, 0), index(int(m_Rows.size()) - 1, eColumnCount - 1));
}

void CTaskListModel::SetHub(CHub* hub)
{
    if (m_pHub) {
        disconnect(m_pHub, nullptr, this, nullptr);
        disconnect(m_pHub->GetAlertSnooze(), nullptr, this, nullptr);
    }
    m_pHub = hub;
    if (hub) {
        connect(hub, &CHub::EngineSwitched, this, [this] { EmitColumnChanged(eColumnNextRun); });
        connect(hub->GetAlertSnooze(), &CAlertSnooze::Changed, this, [this] {
            if (!m_Rows.isEmpty())
                Q_EMIT dataChanged(index(0, eColumnName), index(int(m_Rows.size()) - 1, eColumnName),
                                   {Qt::DecorationRole, Qt::ToolTipRole});
        });
    }
}

std::optional<qint64> CTaskListModel::SnoozedUntil(const CTask& task) const
{
    if (!m_pHub)
        return std::nullopt;
    return m_pHub->GetAlertSnooze()->SnoozedUntil(task.m_TaskGuid, CurrentTime());
}

bool CTaskListModel::ShowsEngineOff(const CTask& task) const
{
    // A stopped engine runs nothing: a time in the past would claim a run that never comes.
    return m_pHub && !m_pHub->IsEngineOn() && task.m_bTaskScheduled
        && task.m_NextRunTime <= QDateTime::currentSecsSinceEpoch();
}

void CTaskListModel::EmitColumnChanged(int column)
{
    if (!m_Rows.isEmpty())
        Q_EMIT dataChanged(index(0, column), index(int(m_Rows.size()) - 1, column));
}

const CTaskGlance* CTaskListModel::GlanceAt(int row) const
{
    return m_pBoard && row >= 0 && row < m_Rows.size() ? m_pBoard->Find(m_Rows.at(row).m_TaskId) : nullptr;
}

bool CTaskListModel::IsDown(int row) const
{
    const CTaskGlance* glance = GlanceAt(row);
    return glance && glance->m_Health == eTaskHealth::eDown;
}

QVariant CTaskListModel::HealthData(const CRow& row, int column, int role) const
{
    const CTaskGlance* glance = m_pBoard ? m_pBoard->Find(row.m_TaskId) : nullptr;
    const bool down = glance && glance->m_Health == eTaskHealth::eDown;
    if (role == DownRole)
        return down;
    if (role == Qt::ForegroundRole)
        return down ? QVariant(DownColor()) : QVariant();
    const bool known = glance && (glance->m_Health != eTaskHealth::eUnknown || glance->m_bLastStopped);
    const qint64 nowMs = QDateTime::currentMSecsSinceEpoch();
    const bool hasSince = glance && glance->m_Health != eTaskHealth::eUnknown && glance->m_SinceMs > 0;
    if (role == SortRole) {
        switch (column) {
        case eColumnName:
            return row.m_Task.m_Name.toLower();
        case eColumnStatus:
            return StatusText(row.m_nState, row.m_Task.m_bTaskScheduled);
        case eColumnScheduled:
            return row.m_Task.m_bTaskScheduled;
        case eColumnLastRun:
            return row.m_Task.m_LastRunTime;
        case eColumnNextRun:
            return row.m_Task.m_bTaskScheduled ? row.m_Task.m_NextRunTime : 0;
        case eColumnResult:
            return known ? (glance->m_bLastStopped ? 1 : glance->m_Health == eTaskHealth::eDown ? 3 : 2) : 0;
        case eColumnSince:
            return hasSince ? nowMs - glance->m_SinceMs : -1;
        case eColumnResponse:
            return glance ? glance->m_LastResponseUs : -1;
        case eColumnUptime24h:
            return glance ? glance->m_Uptime24h : -1.0;
        case eColumnUptime30d:
            return glance ? glance->m_Uptime30d : -1.0;
        case eColumnRecent:
            return glance && !glance->m_Recent.isEmpty() ? glance->m_Recent.last() : -1;
        default:
            return {};
        }
    }
    if (!glance)
        return {};
    if (role == RecentRole)
        return column == eColumnRecent ? QVariant::fromValue(glance->m_Recent) : QVariant();
    if (role == RecentFailedRole)
        return column == eColumnRecent ? QVariant::fromValue(glance->m_RecentFailed) : QVariant();
    if (role == Qt::DecorationRole && column == eColumnResult && known && !glance->m_bLastStopped) {
        // Drawn once per colour and palette brightness: data() runs for every paint.
        static QIcon dots[4];
        QIcon& dot = dots[(IsDarkPalette() ? 2 : 0) + (down ? 1 : 0)];
        if (dot.isNull())
            dot = Dot(down ? DownColor() : UpColor());
        return dot;
    }
    if (role == Qt::ToolTipRole && column == eColumnResult)
        return glance->m_LastText;
    if (role != Qt::DisplayRole)
        return {};
    switch (column) {
    case eColumnResult:
        if (!known)
            return QString();
        if (glance->m_bLastStopped)
            return QStringLiteral("Stopped");
        return down ? QStringLiteral("Down") : QStringLiteral("Up");
    case eColumnSince:
        return hasSince ? FormatAge(nowMs - glance->m_SinceMs) : QString();
    case eColumnResponse:
        return FormatResponse(glance->m_LastResponseUs);
    case eColumnUptime24h:
        return FormatUptime(glance->m_Uptime24h);
    case eColumnUptime30d:
        return FormatUptime(glance->m_Uptime30d);
    default:
        return QString();
    }
}

void CTaskListModel::sort(int column, Qt::SortOrder order)
{
    m_nSortColumn = column >= 0 && column < eColumnCount ? column : -1;
    m_SortOrder = order;
    Q_EMIT layoutAboutToBeChanged({}, QAbstractItemModel::VerticalSortHint);
    const QModelIndexList before = persistentIndexList();
    QList<int> idsBefore;
    for (const QModelIndex& index : before)
        idsBefore.append(TaskIdAt(index.row()));
    if (column < 0 || column >= eColumnCount) {
        std::stable_sort(m_Rows.begin(), m_Rows.end(),
                         [](const CRow& a, const CRow& b) { return a.m_TaskId < b.m_TaskId; });
    } else {
        QList<std::pair<QVariant, CRow>> keyed;
        keyed.reserve(m_Rows.size());
        for (int i = 0; i < m_Rows.size(); ++i)
            keyed.append({data(index(i, column), SortRole), m_Rows.at(i)});
        std::stable_sort(keyed.begin(), keyed.end(), [order](const auto& a, const auto& b) {
            const QPartialOrdering ordering = QVariant::compare(a.first, b.first);
            return order == Qt::AscendingOrder ? ordering == QPartialOrdering::Less
                                               : ordering == QPartialOrdering::Greater;
        });
        for (int i = 0; i < keyed.size(); ++i)
            m_Rows[i] = keyed.at(i).second;
    }
    QModelIndexList after;
    for (int i = 0; i < before.size(); ++i)
        after.append(index(RowOfTask(idsBefore.at(i)), before.at(i).column()));
    changePersistentIndexList(before, after);
    Q_EMIT layoutChanged({}, QAbstractItemModel::VerticalSortHint);
}
