#include "ui/tasks/TaskListModel.h"

#include "core/shell/Messages.h"
#include "core/support/Clock.h"
#include "core/tasks/VigrelDoc.h"

#include <algorithm>
#include <ctime>
#include <cwchar>
#include <iterator>

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
            return FormatRunTime(task.m_bTaskScheduled ? task.m_NextRunTime : 0);
        default:
            return {};
        }
    case Qt::DecorationRole:
        if (index.column() == eColumnName && !m_TaskIcon.isNull())
            return m_TaskIcon;
        return {};
    case Qt::ToolTipRole:
        // The icon views cut long names short.
        return index.column() == eColumnName ? QVariant(task.m_Name) : QVariant();
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
