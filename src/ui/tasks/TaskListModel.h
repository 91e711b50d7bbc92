#pragma once

#include "core/tasks/Task.h"

#include <QAbstractTableModel>
#include <QIcon>
#include <QList>

#include <optional>

class CHub;
class CStatusBoard;
class CVigrelDoc;
struct CTaskGlance;

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
        // From the status board, after the classic columns.
        eColumnResult,
        eColumnSince,
        eColumnResponse,
        eColumnUptime24h,
        eColumnUptime30d,
        eColumnRecent,
        eColumnCount
    };

    // Each row's task id, for finding tasks from indexes.
    static constexpr int TaskIdRole = Qt::UserRole;
    // The value a column sorts by: numbers for the figures, so "9 ms" comes before "10 ms".
    static constexpr int SortRole = Qt::UserRole + 1;
    // eColumnRecent: the latest response times as QList<qint64>, -1 for a run that measured none.
    static constexpr int RecentRole = Qt::UserRole + 2;
    // eColumnRecent: beside RecentRole, QList<bool> of which of those runs failed.
    static constexpr int RecentFailedRole = Qt::UserRole + 4;
    // Whether the task is down (bool), for every column.
    static constexpr int DownRole = Qt::UserRole + 3;

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
    // Where the health columns come from; null leaves them blank.
    void SetStatusBoard(CStatusBoard* board);
    // Lets "Next run time" say "Engine off" for a scheduled run the stopped engine missed.
    void SetHub(CHub* hub);

    // Orders the rows by the column's SortRole; column -1 is the document's order. The order
    // holds: rows that are added or change are put in their place again, once per turn of
    // the event loop however many changed.
    void sort(int column, Qt::SortOrder order = Qt::AscendingOrder) override;

    // The pixel widths the columns start with.
    static int DefaultColumnWidth(int column);

    // How the list words a run state of a task that is scheduled or not.
    static QString StatusText(int state, bool scheduled);
    // A run time as the list shows it: the platform's "%c" date and time in local time, or
    // "Never" for 0.
    static QString FormatRunTime(qint64 time);
    // How long ago, short: "40 s", "3 min", "5 h", "2 days".
    static QString FormatAge(qint64 ms);
    static QString FormatResponse(qint64 us); // "120 ms"
    static QString FormatUptime(double percent); // "99.5 %", blank below 0
    // "Certificate expires on 2027-01-05 (27 days)": the day in UTC, as the check's own
    // verdict words it, and the whole days left.
    static QString FormatCertExpiry(qint64 expiryMs, qint64 nowMs);

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
    void QueueResort();
    void EmitColumnChanged(int column);
    const CTaskGlance* GlanceAt(int row) const;
    bool IsDown(int row) const;
    QVariant HealthData(const CRow& row, int column, int role) const;
    bool ShowsEngineOff(const CTask& task) const;
    // When the task's alerts come back, while they are snoozed.
    std::optional<qint64> SnoozedUntil(const CTask& task) const;

    CVigrelDoc* m_pDocument;
    CStatusBoard* m_pBoard = nullptr;
    CHub* m_pHub = nullptr;
    QList<CRow> m_Rows;
    QIcon m_TaskIcon;
    QIcon m_DownTaskIcon; // the task icon marked red
    QIcon m_SnoozedTaskIcon; // marked "z": alerts snoozed
    QIcon m_DownSnoozedTaskIcon;
    int m_nSortColumn = -1;
    Qt::SortOrder m_SortOrder = Qt::AscendingOrder;
    bool m_bResortQueued = false;
};
