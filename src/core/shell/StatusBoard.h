#pragma once

#include "core/history/CheckResult.h"
#include "core/history/HistoryStore.h"

#include <QHash>
#include <QList>
#include <QObject>
#include <QTimer>

class CHub;

// What the window and the tray show of one task at a glance.
struct CTaskGlance
{
    eTaskHealth m_Health = eTaskHealth::eUnknown;
    qint64 m_SinceMs = 0; // the start of the first run of the present health; 0 when unknown
    bool m_bLastStopped = false; // the latest run was stopped: its health stays as it was
    qint64 m_LastRunMs = 0; // the start of the latest run, 0 before the first
    QString m_LastText; // the latest verdict's text
    qint64 m_LastResponseUs = -1; // of the latest run that measured one
    qint64 m_CertExpiryMs = -1; // of the latest https answer
    // Percent of successful runs, -1 when there were none or there is no history to ask.
    double m_Uptime24h = -1;
    double m_Uptime30d = -1;
    // The response times of the latest runs that ended with a verdict, oldest first; -1 for a
    // run that measured none. At most CStatusBoard::kRecentRuns.
    QList<qint64> m_Recent;
    QList<bool> m_RecentFailed; // beside m_Recent: whether that run failed

    friend bool operator==(const CTaskGlance&, const CTaskGlance&) = default;
};

// The state of every task of the hub's document as the window and the tray show it: up or
// down and since when, the latest response, the uptime figures and the latest response
// times. Live results change it at once; the result history fills in what came before this
// run of the program. Lives on the UI thread, like the hub.
class CStatusBoard : public QObject
{
    Q_OBJECT

public:
    static constexpr int kRecentRuns = 30;
    // How often the figures are read anew, so the uptime windows move on with the clock.
    static constexpr int kRefreshMs = 5 * 60 * 1000;
    // How far back the recent response times are looked for.
    static constexpr qint64 kRecentRangeMs = 2LL * 24 * 60 * 60 * 1000;

    explicit CStatusBoard(CHub* hub, QObject* parent = nullptr);

    // Null when nothing is known of the task yet.
    const CTaskGlance* Find(int taskId) const;
    // The tasks that are down, by task id, in the document's order.
    QList<int> GetDownTasks() const;

    // Reads every task's figures from the result history anew; the answers arrive later, each
    // with GlanceChanged, then Refreshed. Nothing happens while the history is off.
    void Refresh();

signals:
    // The task's glance changed (a live result or an answer from the history).
    void GlanceChanged(int taskId);
    // A live result changed the task's health; the history's answers never raise it.
    void HealthChanged(int taskId, eTaskHealth before, eTaskHealth now, const CCheckResult& result);
    // A Refresh's answers were applied.
    void Refreshed();

private:
    // What the history holds of one task, read on the history's thread.
    struct CHistoryFigures
    {
        int m_TaskId = -1;
        CTaskStatus m_Status;
        double m_Uptime24h = -1;
        double m_Uptime30d = -1;
        QList<qint64> m_Recent;
        QList<bool> m_RecentFailed;
        bool m_bRecentKnown = false;
    };

    void OnResult(const CCheckResult& result);
    void ScheduleRefresh();
    void ApplyFigures(const QList<CHistoryFigures>& figures);
    void RefreshUptime(int taskId, const QString& taskKey);

    CHub* m_pHub;
    QHash<int, CTaskGlance> m_Glances;
    QTimer m_RefreshTimer;
    // Folds a burst of added tasks (a document being read) into one refresh.
    QTimer m_Debounce;
    // Counts live results per task: a history answer asked before the latest live result
    // must not take back what that result showed.
    QHash<int, quint64> m_LiveCount;
};
