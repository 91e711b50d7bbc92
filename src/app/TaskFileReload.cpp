#include "TaskFileReload.h"

#include "core/tasks/TaskFile.h"
#include "core/tasks/VigrelDoc.h"

#include <map>
#include <set>

namespace {

// The task as its file stores it: what the user can change, and nothing of its run-time state.
QByteArray StoredForm(const CTask& task)
{
    return FormatTaskFile({task});
}

} // namespace

CTaskFileReload MergeTaskFile(CVigrelDoc& document, const QList<CTask>& tasks)
{
    CTaskFileReload reload;
    std::map<QString, CTask> current;
    for (const CTask& task : document.GetTasks())
        current.emplace(task.m_TaskGuid, task);
    std::set<QString> wanted;
    for (const CTask& task : tasks)
        wanted.insert(task.m_TaskGuid);

    // Removed first, so that an added task never finds its key still held by one that goes.
    for (const auto& [key, task] : current) {
        if (!wanted.contains(key)) {
            document.DeleteTask(task.m_TaskId);
            ++reload.m_nRemoved;
        }
    }
    for (const CTask& task : tasks) {
        const auto it = current.find(task.m_TaskGuid);
        if (it == current.end()) {
            document.AddTask(task);
            ++reload.m_nAdded;
            continue;
        }
        const CTask& old = it->second;
        if (StoredForm(old) == StoredForm(task)) {
            ++reload.m_nUnchanged;
            continue;
        }
        // Still the same task (the key says so): a renamed page or a new address keeps its run of
        // failures and its alert state, as an edit in the window does.
        CTask changed = task;
        changed.m_TaskId = old.m_TaskId;
        changed.m_LastRunTime = old.m_LastRunTime;
        changed.m_FailCount = old.m_FailCount;
        // A new schedule starts one interval from now (the reading set that); an old one keeps
        // its pace, so editing a description does not push the next check away.
        if (task.m_bTaskScheduled == old.m_bTaskScheduled && task.m_PingInterval == old.m_PingInterval)
            changed.m_NextRunTime = old.m_NextRunTime;
        document.ModifyTask(old.m_TaskId, changed);
        ++reload.m_nChanged;
    }
    return reload;
}
