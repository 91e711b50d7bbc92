#include "core/shell/StatusBoard.h"

#include "core/shell/Hub.h"
#include "core/tasks/VigrelDoc.h"

CStatusBoard::CStatusBoard(CHub* hub, QObject* parent)
    : QObject(parent)
    , m_pHub(hub)
{
    connect(hub, &CHub::CheckResultReady, this, &CStatusBoard::OnResult);
    if (CVigrelDoc* document = hub->GetDocument()) {
        connect(document, &CVigrelDoc::TaskRemoved, this, [this](int taskId) { m_Glances.remove(taskId); });
        connect(document, &CVigrelDoc::TasksCleared, this, [this] { m_Glances.clear(); });
    }
}

const CTaskGlance* CStatusBoard::Find(int taskId) const
{
    const auto it = m_Glances.constFind(taskId);
    return it == m_Glances.cend() ? nullptr : &*it;
}

QList<int> CStatusBoard::GetDownTasks() const
{
    QList<int> down;
    const CVigrelDoc* document = m_pHub->GetDocument();
    if (!document)
        return down;
    for (const CTask& task : document->GetTasks()) {
        const CTaskGlance* glance = Find(task.m_TaskId);
        if (glance && glance->m_Health == eTaskHealth::eDown)
            down.append(task.m_TaskId);
    }
    return down;
}

void CStatusBoard::Refresh()
{
    // Reading the history is added on top of the live results.
    emit Refreshed();
}

void CStatusBoard::OnResult(const CCheckResult& result)
{
    // A result of a task deleted while it ran has no row to show it.
    const CVigrelDoc* document = m_pHub->GetDocument();
    CTask task;
    if (!document || !document->GetTask(result.m_TaskId, task))
        return;
    CTaskGlance& glance = m_Glances[result.m_TaskId];
    glance.m_LastRunMs = result.m_StartMs;
    glance.m_LastText = result.m_Text;
    glance.m_bLastStopped = result.m_Verdict == eVerdict::eStopped;
    if (result.m_CertExpiryMs >= 0)
        glance.m_CertExpiryMs = result.m_CertExpiryMs;
    if (glance.m_bLastStopped) {
        emit GlanceChanged(result.m_TaskId);
        return;
    }
    const qint64 responseUs = result.ResponseUs();
    if (responseUs >= 0)
        glance.m_LastResponseUs = responseUs;
    glance.m_Recent.append(responseUs);
    while (glance.m_Recent.size() > kRecentRuns)
        glance.m_Recent.removeFirst();
    const eTaskHealth before = glance.m_Health;
    const eTaskHealth now = result.m_Verdict == eVerdict::eSuccess ? eTaskHealth::eUp : eTaskHealth::eDown;
    if (now != before) {
        glance.m_Health = now;
        glance.m_SinceMs = result.m_StartMs;
    }
    emit GlanceChanged(result.m_TaskId);
    if (now != before)
        emit HealthChanged(result.m_TaskId, before, now, result);
}
