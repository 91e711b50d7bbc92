#include "support/RecordingHost.h"

void CRecordingHost::AddTask(const CTask& task)
{
    std::lock_guard guard(m_Lock);
    m_Tasks.insert(task.m_TaskId, task);
}

void CRecordingHost::RemoveTask(int taskId)
{
    std::lock_guard guard(m_Lock);
    m_Tasks.remove(taskId);
}

bool CRecordingHost::GetTaskForEngine(int taskId, CTask& task)
{
    std::lock_guard guard(m_Lock);
    const auto it = m_Tasks.constFind(taskId);
    if (it == m_Tasks.constEnd())
        return false;
    task = *it;
    return true;
}

void CRecordingHost::QueueOutputMessage(const CLogMessage& message)
{
    {
        std::lock_guard guard(m_Lock);
        m_Messages.append(message);
        m_Events.append(
            QStringLiteral("%1 %2 %3").arg(message.m_Severity.GetCode()).arg(message.m_TaskId).arg(message.m_Text));
    }
    m_Changed.notify_all();
}

void CRecordingHost::PostTaskState(int state, int taskId)
{
    {
        std::lock_guard guard(m_Lock);
        m_Events.append(QStringLiteral("state %1 %2").arg(state).arg(taskId));
    }
    m_Changed.notify_all();
}

void CRecordingHost::QueueCheckResult(const CCheckResult& result)
{
    {
        std::lock_guard guard(m_Lock);
        m_Results.append(result);
    }
    m_Changed.notify_all();
}

QList<CCheckResult> CRecordingHost::Results() const
{
    std::lock_guard guard(m_Lock);
    return m_Results;
}

QStringList CRecordingHost::Events() const
{
    std::lock_guard guard(m_Lock);
    return m_Events;
}

QList<CLogMessage> CRecordingHost::Messages() const
{
    std::lock_guard guard(m_Lock);
    return m_Messages;
}

void CRecordingHost::Clear()
{
    std::lock_guard guard(m_Lock);
    m_Events.clear();
    m_Messages.clear();
    m_Results.clear();
}

bool CRecordingHost::WaitForEvent(const QString& line, std::chrono::milliseconds timeout)
{
    return WaitFor([&](const QStringList& events) { return events.contains(line); }, timeout);
}

bool CRecordingHost::WaitFor(const std::function<bool(const QStringList&)>& done, std::chrono::milliseconds timeout)
{
    std::unique_lock lock(m_Lock);
    return m_Changed.wait_for(lock, timeout, [&] { return done(m_Events); });
}
