#include "core/tasks/VigrelDoc.h"

#include "core/support/Clock.h"
#include "core/tasks/Schedule.h"
#include "core/tasks/TaskFile.h"
#include "core/tasks/TaskKey.h"

#include <algorithm>

CVigrelDoc::CVigrelDoc(QObject* parent)
    : QObject(parent)
{ }

bool CVigrelDoc::OnNewDocument()
{
    m_LastTaskId = 0;
    DeleteContents();
    SetModifiedFlag(false);
    SetPathName(QString());
    return true;
}

void CVigrelDoc::DeleteContents()
{
    {
        std::lock_guard guard(m_Lock);
        m_TaskMap.clear();
        m_AlertStates.clear();
    }
    m_LastTaskId = 0;
    Q_EMIT TasksCleared();
}

bool CVigrelDoc::OnOpenDocument(const QString& path, QString* error)
{
    QList<CTask> tasks;
    if (!ReadTaskFile(path, tasks, error))
        return false;
    // Keys given here exist only in memory until the next save, hence the modified flag
    // below; a program that never saves derives the same keys again at the next open.
    const bool keysGiven = AssignTaskKeys(path, tasks) > 0;

    DeleteContents();
    {
        std::lock_guard guard(m_Lock);
        for (const CTask& task : tasks)
            m_TaskMap.emplace(task.m_TaskId, task);
    }
    for (const CTask& task : tasks)
        Q_EMIT TaskAdded(task.m_TaskId);
    m_LastTaskId = tasks.isEmpty() ? 1 : int(tasks.size()) + 1;
    SetModifiedFlag(keysGiven);
    SetPathName(path);
    return true;
}

bool CVigrelDoc::OnSaveDocument(const QString& path, QString* error)
{
    if (!WriteTaskFile(path, GetTasks(), error))
        return false;
    SetModifiedFlag(false);
    SetPathName(path);
    return true;
}

bool CVigrelDoc::IsKeyUsed(const QString& key, int exceptTaskId) const
{
    for (const auto& [id, task] : m_TaskMap) {
        if (id != exceptTaskId && task.m_TaskGuid == key)
            return true;
    }
    return false;
}

int CVigrelDoc::AddTask(const CTask& task)
{
    const int taskId = ++m_LastTaskId;
    {
        std::lock_guard guard(m_Lock);
        CTask stored = task;
        stored.m_TaskId = taskId;
        // A copy of a task that is in the document (a duplicate) is a task of its own.
        stored.m_TaskGuid = NormalizeTaskKey(stored.m_TaskGuid);
        while (stored.m_TaskGuid.isEmpty() || IsKeyUsed(stored.m_TaskGuid, taskId))
            stored.m_TaskGuid = NewTaskKey();
        m_TaskMap.insert_or_assign(taskId, std::move(stored));
    }
    SetModifiedFlag();
    Q_EMIT TaskAdded(taskId);
    return taskId;
}

bool CVigrelDoc::ModifyTask(int taskId, const CTask& task)
{
    {
        std::lock_guard guard(m_Lock);
        const auto it = m_TaskMap.find(taskId);
        if (it == m_TaskMap.end())
            return false;
        CTask& stored = it->second;
        QString key = NormalizeTaskKey(task.m_TaskGuid);
        if (key.isEmpty() || IsKeyUsed(key, taskId))
            key = stored.m_TaskGuid;
        stored = task;
        stored.m_TaskId = taskId;
        stored.m_TaskGuid = key;
    }
    SetModifiedFlag();
    Q_EMIT TaskChanged(taskId);
    return true;
}

void CVigrelDoc::DeleteTask(int taskId)
{
    bool removed = false;
    {
        std::lock_guard guard(m_Lock);
        removed = m_TaskMap.erase(taskId) > 0;
        m_AlertStates.erase(taskId);
    }
    SetModifiedFlag();
    if (removed)
        Q_EMIT TaskRemoved(taskId);
}

bool CVigrelDoc::GetTask(int taskId, CTask& task) const
{
    std::lock_guard guard(m_Lock);
    const auto it = m_TaskMap.find(taskId);
    if (it == m_TaskMap.end())
        return false;
    task = it->second;
    return true;
}

int CVigrelDoc::GetNextDueTask()
{
    const qint64 now = CurrentTime();
    int dueId = -1;
    {
        std::lock_guard guard(m_Lock);
        // The task that has waited longest goes first, so that a task due at every tick
        // (an interval of 0 or 1 s read from a file) cannot keep the ones after it from
        // ever running. Among tasks due at the same moment the first in order wins.
        CTask* due = nullptr;
        for (auto& [id, task] : m_TaskMap) {
            if (task.m_bTaskScheduled && task.m_NextRunTime <= now && (!due || task.m_NextRunTime < due->m_NextRunTime))
                due = &task;
        }
        if (due) {
            due->m_NextRunTime = NextRunTimeFrom(now, due->m_PingInterval);
            dueId = due->m_TaskId;
        }
    }
    if (dueId != -1)
        Q_EMIT TaskChanged(dueId);
    return dueId;
}

void CVigrelDoc::SetTaskLastRunTime(int taskId)
{
    {
        std::lock_guard guard(m_Lock);
        const auto it = m_TaskMap.find(taskId);
        if (it == m_TaskMap.end())
            return;
        it->second.m_LastRunTime = CurrentTime();
    }
    Q_EMIT TaskChanged(taskId);
}

void CVigrelDoc::UpdateTaskFailCount(int taskId, bool failed, bool succeeded)
{
    std::lock_guard guard(m_Lock);
    const auto it = m_TaskMap.find(taskId);
    if (it == m_TaskMap.end())
        return;
    CTask& task = it->second;
    if (failed)
        ++task.m_FailCount;
    else if (succeeded)
        task.m_FailCount = 0;
}

void CVigrelDoc::NoteTaskFailure(int taskId, qint64 time, const QString& text)
{
    std::lock_guard guard(m_Lock);
    if (m_TaskMap.find(taskId) == m_TaskMap.end())
        return;
    CTaskAlertState& state = m_AlertStates[taskId];
    if (state.m_FirstFailureTime != 0)
        return;
    // A clock at the epoch would read as "no run": one second later changes no downtime shown.
    state.m_FirstFailureTime = std::max<qint64>(time, 1);
    state.m_FirstFailureText = text;
}

void CVigrelDoc::SetTaskFailureAlerted(int taskId)
{
    std::lock_guard guard(m_Lock);
    if (const auto it = m_AlertStates.find(taskId); it != m_AlertStates.end())
        it->second.m_bFailureAlerted = true;
}

CTaskAlertState CVigrelDoc::TakeTaskAlertState(int taskId)
{
    std::lock_guard guard(m_Lock);
    const auto it = m_AlertStates.find(taskId);
    if (it == m_AlertStates.end())
        return {};
    CTaskAlertState state = std::move(it->second);
    m_AlertStates.erase(it);
    return state;
}

QList<CTask> CVigrelDoc::GetTasks() const
{
    std::lock_guard guard(m_Lock);
    QList<CTask> tasks;
    tasks.reserve(qsizetype(m_TaskMap.size()));
    for (const auto& [id, task] : m_TaskMap)
        tasks.append(task);
    return tasks;
}

int CVigrelDoc::GetTaskCount() const
{
    std::lock_guard guard(m_Lock);
    return int(m_TaskMap.size());
}

void CVigrelDoc::SetModifiedFlag(bool modified)
{
    if (m_bModified == modified)
        return;
    m_bModified = modified;
    Q_EMIT ModifiedChanged(modified);
}

void CVigrelDoc::SetPathName(const QString& path)
{
    if (m_PathName == path)
        return;
    m_PathName = path;
    Q_EMIT PathNameChanged(path);
}
