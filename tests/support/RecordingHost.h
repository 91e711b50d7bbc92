#pragma once

#include "core/engine/EngineHost.h"
#include "core/history/CheckResult.h"
#include "core/output/LogMessage.h"
#include "core/tasks/Task.h"

#include <QMap>
#include <QStringList>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>

// Stands in for the hub in engine tests: serves tasks from a map and records, in order,
// every message and task state the engine reports, as lines such as
//   "2 7 Ping operation failed"   (severity, task id, text)
//   "state 1 7"                   (state, task id)
class CRecordingHost : public IEngineHost
{
public:
    void AddTask(const CTask& task);
    void RemoveTask(int taskId);

    bool GetTaskForEngine(int taskId, CTask& task) override;
    void QueueOutputMessage(const CLogMessage& message) override;
    void PostTaskState(int state, int taskId) override;
    // Kept apart from the event lines, which stay what the log shows.
    void QueueCheckResult(const CCheckResult& result) override;

    QStringList Events() const;
    QList<CLogMessage> Messages() const;
    QList<CCheckResult> Results() const;
    void Clear();
    // Waits until an event line equal to `line` was recorded; false after the time-out.
    bool WaitForEvent(const QString& line, std::chrono::milliseconds timeout = std::chrono::seconds(20));
    bool WaitFor(const std::function<bool(const QStringList&)>& done,
                 std::chrono::milliseconds timeout = std::chrono::seconds(20));

private:
    mutable std::mutex m_Lock;
    std::condition_variable m_Changed;
    QMap<int, CTask> m_Tasks;
    QStringList m_Events;
    QList<CLogMessage> m_Messages;
    QList<CCheckResult> m_Results;
};
