#include "core/shell/StatusBoard.h"

#include "core/history/HistoryThread.h"
#include "core/shell/Hub.h"
#include "core/tasks/VigrelDoc.h"

#include <QDateTime>

namespace {

constexpr qint64 kDayMs = 24LL * 60 * 60 * 1000;

} // namespace

CStatusBoard::CStatusBoard(CHub* hub, QObject* parent)
    : QObject(parent)
    , m_pHub(hub)
{
    connect(hub, &CHub::CheckResultReady, this, &CStatusBoard::OnResult);
    connect(hub, &CHub::HistoryOpened, this, &CStatusBoard::ScheduleRefresh);
    if (CVigrelDoc* document = hub->GetDocument()) {
        connect(document, &CVigrelDoc::TaskAdded, this, &CStatusBoard::ScheduleRefresh);
        connect(document, &CVigrelDoc::TaskRemoved, this, [this](int taskId) {
            m_Glances.remove(taskId);
            m_LiveCount.remove(taskId);
        });
        connect(document, &CVigrelDoc::TasksCleared, this, [this] {
            m_Glances.clear();
            m_LiveCount.clear();
        });
    }
    m_Debounce.setSingleShot(true);
    m_Debounce.setInterval(0);
    connect(&m_Debounce, &QTimer::timeout, this, &CStatusBoard::Refresh);
    m_RefreshTimer.setInterval(kRefreshMs);
    connect(&m_RefreshTimer, &QTimer::timeout, this, &CStatusBoard::Refresh);
    m_RefreshTimer.start();
    if (hub->GetHistory())
        ScheduleRefresh();
}

void CStatusBoard::ScheduleRefresh()
{
    m_Debounce.start();
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
    CHistoryThread* history = m_pHub->GetHistory();
    const CVigrelDoc* document = m_pHub->GetDocument();
    if (!history || !document) {
        emit Refreshed();
        return;
    }
    struct CAsked
    {
        int m_TaskId;
        QString m_Key;
        quint64 m_LiveCount;
    };
    QList<CAsked> asked;
    for (const CTask& task : document->GetTasks())
        asked.append(CAsked {task.m_TaskId, task.m_TaskGuid, m_LiveCount.value(task.m_TaskId)});
    const qint64 nowMs = QDateTime::currentMSecsSinceEpoch();
    // One query for the whole document: one trip to the history's thread, one repaint.
    history->Query<QList<CHistoryFigures>>(
        [asked, nowMs](CHistoryStore& store) {
            QList<CHistoryFigures> all;
            for (const CAsked& task : asked) {
                CHistoryFigures figures;
                figures.m_TaskId = task.m_TaskId;
                if (task.m_Key.isEmpty()) {
                    all.append(figures);
                    continue;
                }
                figures.m_Status = store.GetStatus(task.m_Key);
                figures.m_Uptime24h = store.GetStatistics(task.m_Key, nowMs - kDayMs, nowMs + 1).UptimePercent();
                figures.m_Uptime30d = store.GetStatistics(task.m_Key, nowMs - 30 * kDayMs, nowMs + 1).UptimePercent();
                const QList<CCheckResult> results = store.GetResults(task.m_Key, nowMs - kRecentRangeMs, nowMs + 1);
                for (auto it = results.crbegin(); it != results.crend() && figures.m_Recent.size() < kRecentRuns;
                     ++it) {
                    if (it->m_Verdict == eVerdict::eStopped)
                        continue;
                    figures.m_Recent.prepend(it->ResponseUs());
                    figures.m_RecentFailed.prepend(it->m_Verdict == eVerdict::eFailure);
                }
                figures.m_bRecentKnown = true;
                all.append(figures);
            }
            return all;
        },
        this,
        [this, asked](QList<CHistoryFigures> all) {
            // A live result that came in while the history was asked is newer than its answer.
            for (qsizetype i = 0; i < all.size() && i < asked.size(); ++i) {
                if (m_LiveCount.value(asked.at(i).m_TaskId) != asked.at(i).m_LiveCount)
                    all[i].m_bRecentKnown = false;
            }
            ApplyFigures(all);
        });
}

void CStatusBoard::ApplyFigures(const QList<CHistoryFigures>& figures)
{
    const CVigrelDoc* document = m_pHub->GetDocument();
    for (const CHistoryFigures& task : figures) {
        CTask current;
        if (!document || !document->GetTask(task.m_TaskId, current))
            continue;
        const auto found = m_Glances.constFind(task.m_TaskId);
        const CTaskGlance before = found == m_Glances.cend() ? CTaskGlance() : *found;
        CTaskGlance glance = before;
        glance.m_Uptime24h = task.m_Uptime24h;
        glance.m_Uptime30d = task.m_Uptime30d;
        if (task.m_bRecentKnown && task.m_Status.m_LastResult) {
            const CCheckResult& last = *task.m_Status.m_LastResult;
            glance.m_Health = task.m_Status.m_Health;
            glance.m_SinceMs = task.m_Status.m_SinceMs;
            glance.m_LastRunMs = last.m_StartMs;
            glance.m_LastText = last.m_Text;
            glance.m_bLastStopped = last.m_Verdict == eVerdict::eStopped;
            if (last.m_CertExpiryMs >= 0)
                glance.m_CertExpiryMs = last.m_CertExpiryMs;
            glance.m_Recent = task.m_Recent;
            glance.m_RecentFailed = task.m_RecentFailed;
            for (auto it = task.m_Recent.crbegin(); it != task.m_Recent.crend(); ++it) {
                if (*it >= 0) {
                    glance.m_LastResponseUs = *it;
                    break;
                }
            }
        } else if (task.m_Status.m_Health != eTaskHealth::eUnknown && task.m_Status.m_Health == glance.m_Health
                   && task.m_Status.m_SinceMs > 0 && task.m_Status.m_SinceMs < glance.m_SinceMs) {
            // Live runs came in while the history was asked; when they only carried on the
            // state the history knew, it began before them.
            glance.m_SinceMs = task.m_Status.m_SinceMs;
        }
        if (glance == before)
            continue;
        m_Glances[task.m_TaskId] = glance;
        emit GlanceChanged(task.m_TaskId);
    }
    emit Refreshed();
}

void CStatusBoard::RefreshUptime(int taskId, const QString& taskKey)
{
    CHistoryThread* history = m_pHub->GetHistory();
    if (!history || taskKey.isEmpty())
        return;
    const qint64 nowMs = QDateTime::currentMSecsSinceEpoch();
    history->Query<QList<double>>(
        [taskKey, nowMs](CHistoryStore& store) {
            return QList<double> {store.GetStatistics(taskKey, nowMs - kDayMs, nowMs + 1).UptimePercent(),
                                  store.GetStatistics(taskKey, nowMs - 30 * kDayMs, nowMs + 1).UptimePercent()};
        },
        this,
        [this, taskId](QList<double> uptime) {
            const auto it = m_Glances.find(taskId);
            if (uptime.size() != 2 || it == m_Glances.end())
                return;
            if (it->m_Uptime24h == uptime.at(0) && it->m_Uptime30d == uptime.at(1))
                return;
            it->m_Uptime24h = uptime.at(0);
            it->m_Uptime30d = uptime.at(1);
            emit GlanceChanged(taskId);
        });
}

void CStatusBoard::OnResult(const CCheckResult& result)
{
    // A result of a task deleted while it ran has no row to show it.
    const CVigrelDoc* document = m_pHub->GetDocument();
    CTask task;
    if (!document || !document->GetTask(result.m_TaskId, task))
        return;
    ++m_LiveCount[result.m_TaskId];
    // Queries run behind the results recorded before them, so this one counts the result.
    RefreshUptime(result.m_TaskId, task.m_TaskGuid);
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
    glance.m_RecentFailed.append(result.m_Verdict == eVerdict::eFailure);
    while (glance.m_Recent.size() > kRecentRuns)
        glance.m_Recent.removeFirst();
    while (glance.m_RecentFailed.size() > glance.m_Recent.size())
        glance.m_RecentFailed.removeFirst();
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
