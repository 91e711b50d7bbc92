#include "ui/shell/Notifier.h"

#include "Version.h"
#include "core/history/CheckResult.h"
#include "core/shell/AppSettings.h"
#include "core/shell/StatusBoard.h"

#include <algorithm>

CNotifier::CNotifier(CStatusBoard* board, QObject* parent)
    : QObject(parent)
{
    m_Clock.start();
    m_Timer.setSingleShot(true);
    connect(&m_Timer, &QTimer::timeout, this, &CNotifier::Deliver);
    if (board)
        connect(board, &CStatusBoard::HealthChanged, this, &CNotifier::OnHealthChanged);
}

void CNotifier::OnHealthChanged(int taskId, eTaskHealth before, eTaskHealth now, const CCheckResult& result)
{
    if (!GetAppSettings().m_bDesktopNotifications)
        return;
    // A first success says nothing new; a first failure is news, the task was assumed to work.
    const bool down = now == eTaskHealth::eDown && before != eTaskHealth::eDown;
    const bool back = now == eTaskHealth::eUp && before == eTaskHealth::eDown;
    if (!down && !back)
        return;
    const qint64 nowMs = m_Clock.elapsed();
    if (m_Pending.isEmpty())
        m_FirstPendingMs = nowMs;
    m_LastChangeMs = nowMs;
    // A task that changed twice before anything was shown is reported with its latest state.
    const CChange change {taskId, result.m_TaskName, result.m_Text, down};
    auto it
        = std::find_if(m_Pending.begin(), m_Pending.end(), [taskId](const CChange& c) { return c.m_TaskId == taskId; });
    if (it != m_Pending.end())
        *it = change;
    else
        m_Pending.append(change);
    Schedule();
}

void CNotifier::Schedule()
{
    qint64 dueMs = std::min(m_LastChangeMs + kGatherMs, m_FirstPendingMs + kMaxHoldMs);
    if (m_LastShownMs >= 0)
        dueMs = std::max(dueMs, m_LastShownMs + kMinGapMs);
    m_Timer.start(int(std::max<qint64>(0, dueMs - m_Clock.elapsed())));
}

void CNotifier::Deliver()
{
    const QList<CChange> changes = std::exchange(m_Pending, {});
    // Switched off while changes were waiting: the user asked for quiet from now on.
    if (changes.isEmpty() || !GetAppSettings().m_bDesktopNotifications)
        return;

    CNotification notification;
    notification.m_TaskId = changes.first().m_TaskId;
    if (changes.size() == 1) {
        const CChange& change = changes.first();
        notification.m_bDown = change.m_bDown;
        notification.m_Title = change.m_bDown ? QStringLiteral("%1 is down").arg(change.m_Name)
                                              : QStringLiteral("%1 is back up").arg(change.m_Name);
        notification.m_Text = change.m_Text;
    } else {
        QStringList down;
        QStringList back;
        for (const CChange& change : changes)
            (change.m_bDown ? down : back) << change.m_Name;
        const auto line = [](const QStringList& names, const char* one, const char* many) {
            QStringList shown = names.mid(0, kMaxNamed);
            if (names.size() > kMaxNamed)
                shown << QStringLiteral("...");
            const QString head
                = names.size() == 1 ? QString::fromLatin1(one) : QString::fromLatin1(many).arg(names.size());
            return QStringLiteral("%1: %2").arg(head, shown.join(QStringLiteral(", ")));
        };
        QStringList lines;
        if (!down.isEmpty())
            lines << line(down, "1 task is down", "%1 tasks are down");
        if (!back.isEmpty())
            lines << line(back, "1 task is back up", "%1 tasks are back up");
        notification.m_bDown = !down.isEmpty();
        notification.m_Title = QStringLiteral(CORVANE_PRODUCT_NAME);
        notification.m_Text = lines.join(QLatin1Char('\n'));
    }
    m_LastShownMs = m_Clock.elapsed();
    m_nLastTaskId = notification.m_TaskId;
    if (m_Sink)
        m_Sink(notification);
}
