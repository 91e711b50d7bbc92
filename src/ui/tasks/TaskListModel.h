#pragma once

#include "core/tasks/Task.h"

#include <QAbstractTableModel>
#include <QIcon>
#include <QList>

class CVigrelDoc;

// The rows of the task list: one per task of the document, in the order the tasks were added
// or read from the file, each with the run state the engine last reported for it. It follows
// the document's signals by itself; run states arrive through UpdateTaskItem.
class CTaskListModel : public QAbstractTableModel
{
    Q_OBJECT

public:
    enum eColumn
    {
        eColumnName,
        eColumnStatus,
        eColumnScheduled,
        eColumnLastRun,
        eColumnNextRun,
        eColumnCount
    };

    // Each row's task id, for finding tasks from indexes.
    static constexpr int TaskIdRole = Qt::UserRole;

    explicit CTaskListModel(CVigrelDoc* document, QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

    // The row of taskId takes the document's current copy of the task and shows state
    // (TASK_STATE_*; any other value is the neutral "Waiting"/"Idle"). "Stopped" outlasts the
    // finish report of the same run. Unknown ids are ignored.
    void UpdateTaskItem(int state, int taskId);

    int RowOfTask(int taskId) const; // -1 when no row shows it
    int TaskIdAt(int row) const; // -1 outside the rows
    int StateAt(int row) const;

    void SetTaskIcon(const QIcon& icon);

    // The pixel widths the columns start with.
    static int DefaultColumnWidth(int column);

    // How the list words a run state of a task that is scheduled or not.
    static QString StatusText(int state, bool scheduled);
    // A run time as the list shows it: the platform's "%c" date and time in local time, or
    // "Never" for 0.
    static QString FormatRunTime(qint64 time);

private:
    struct CRow
    {
        int m_TaskId = -1;
        int m_nState = 0;
        CTask m_Task;
    };

    void OnTaskAdded(int taskId);
    void OnTaskChanged(int taskId);
    void OnTaskRemoved(int taskId);
    void OnTasksCleared();
    void EmitRowChanged(int row);

    CVigrelDoc* m_pDocument;
    QList<CRow> m_Rows;
    QIcon m_TaskIcon;
};
