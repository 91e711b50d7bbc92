#pragma once

#include "core/tasks/Task.h"

#include <QList>
#include <QObject>
#include <QString>

#include <map>
#include <mutex>

// Where a task stands in its current run of failures, for the alert rule: when the run began
// and with what text, and whether a failure alert of it has been handed to the alert thread
// (a snoozed one has not). Empty while the task succeeds. In memory only, like m_FailCount.
struct CTaskAlertState
{
    qint64 m_FirstFailureTime = 0; // seconds since 1970 UTC; 0: no run of failures
    QString m_FirstFailureText;
    bool m_bFailureAlerted = false;
};

// The open task list: owns the task table, hands out task ids, reads and writes task files
// and picks the next due task. Everyone else works on copies of its tasks.
//
// Threads: the engine thread calls GetTask() while the UI thread may change the table, so
// the table is guarded by a lock; every other operation belongs to the UI thread. Signals
// are emitted after the lock is released.
class CVigrelDoc : public QObject
{
    Q_OBJECT

public:
    explicit CVigrelDoc(QObject* parent = nullptr);

    // Empties the document; the first task added afterwards gets id 1.
    bool OnNewDocument();
    void DeleteContents();
    // Replaces the content with the file's tasks (ids 0 .. count-1). When the file cannot be
    // read at all, returns false with the reason and leaves the document as it was. Tasks
    // without a key of their own get one (AssignTaskKeys), and the document is then modified.
    bool OnOpenDocument(const QString& path, QString* error = nullptr);
    // Writes every task in list order. On failure the document stays modified and the old
    // file is left as it was.
    bool OnSaveDocument(const QString& path, QString* error = nullptr);

    // Stores an edited new task under a new id and returns the id. A task without a key, or
    // with one another task holds, gets a new random key.
    int AddTask(const CTask& task);
    // Replaces the task stored under `taskId` with the edited one; false when it is gone.
    // The stored key stays unless the edited task brings one that no other task holds.
    bool ModifyTask(int taskId, const CTask& task);
    void DeleteTask(int taskId);
    // Any thread. Copies the task into `task`; false (and `task` untouched) when it is gone.
    bool GetTask(int taskId, CTask& task) const;

    // Of the scheduled tasks whose next run time has come, the one due longest (the first
    // in list order among equals); moves its next run one interval on from now. -1 when
    // none is due. One task per call.
    int GetNextDueTask();
    // Run-time updates from the engine's reports; they do not make the document modified.
    void SetTaskLastRunTime(int taskId);
    void UpdateTaskFailCount(int taskId, bool failed, bool succeeded);
    // The alert rule's record of the task's run of failures (UI thread). A failure opens a
    // run unless one is open; an alert marks it; a success ends it and returns how it stood.
    void NoteTaskFailure(int taskId, qint64 time, const QString& text);
    void SetTaskFailureAlerted(int taskId);
    CTaskAlertState TakeTaskAlertState(int taskId);

    // Copies of every task, in list order (the order of a save).
    QList<CTask> GetTasks() const;
    int GetTaskCount() const;
    int GetLastTaskId() const { return m_LastTaskId; }

    bool IsModified() const { return m_bModified; }
    void SetModifiedFlag(bool modified = true);
    QString GetPathName() const { return m_PathName; }
    void SetPathName(const QString& path);

Q_SIGNALS:
    void TaskAdded(int taskId);
    void TaskChanged(int taskId);
    void TaskRemoved(int taskId);
    void TasksCleared();
    void ModifiedChanged(bool modified);
    void PathNameChanged(const QString& path);

private:
    // Under m_Lock.
    bool IsKeyUsed(const QString& key, int exceptTaskId) const;

    // Ids are handed out in increasing order (a file's tasks 0 .. n-1, each added task the
    // counter plus one), so ascending ids are the order in which tasks were read or added:
    // the order of the list the user sees, of a save and of the schedule's choice among
    // tasks due together. Saving and reopening therefore keeps the list as it was.
    mutable std::mutex m_Lock;
    std::map<int, CTask> m_TaskMap;
    // Only tasks inside a run of failures; dropped with their task.
    std::map<int, CTaskAlertState> m_AlertStates;

    int m_LastTaskId = 0;
    bool m_bModified = false;
    QString m_PathName;
};
