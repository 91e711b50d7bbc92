#pragma once

#include "core/history/HistoryStore.h"

#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QString>
#include <QTimer>

#include <functional>

class CStatusBoard;
struct CCheckResult;

// One desktop notification as the notifier hands it on.
struct CNotification
{
    QString m_Title;
    QString m_Text;
    int m_TaskId = -1; // the task to show when the notification is clicked (the first of several)
    bool m_bDown = false; // at least one of its tasks went down
};

// Turns tasks going down and coming back into desktop notifications. Changes that arrive close
// together are gathered into one, and notifications are spaced out, so that a network outage
// that fails fifty tasks at once gives one summary instead of fifty bubbles.
class CNotifier : public QObject
{
    Q_OBJECT

public:
    using Sink = std::function<void(const CNotification&)>;

    // A change waits this long for further changes to join it...
    static constexpr int kGatherMs = 2000;
    // ...but never longer than this, so that a steady trickle of failures is still reported.
    static constexpr int kMaxHoldMs = 10000;
    // The least time between two notifications.
    static constexpr int kMinGapMs = 5000;
    // A summary names this many tasks, then "...".
    static constexpr int kMaxNamed = 5;

    explicit CNotifier(CStatusBoard* board, QObject* parent = nullptr);

    // Where the notifications go: the tray icon's message in the program, a recorder in tests.
    void SetSink(Sink sink) { m_Sink = std::move(sink); }

    // The task of the latest notification shown; -1 before the first.
    int GetLastTaskId() const { return m_nLastTaskId; }

private:
    struct CChange
    {
        int m_TaskId;
        QString m_Name;
        QString m_Text;
        bool m_bDown;
    };

    void OnHealthChanged(int taskId, eTaskHealth before, eTaskHealth now, const CCheckResult& result);
    void Schedule();
    void Deliver();

    Sink m_Sink;
    QList<CChange> m_Pending; // in the order the tasks first changed
    QTimer m_Timer;
    QElapsedTimer m_Clock;
    qint64 m_FirstPendingMs = 0;
    qint64 m_LastChangeMs = 0;
    qint64 m_LastShownMs = -1;
    int m_nLastTaskId = -1;
};
