#pragma once

#include <QIcon>
#include <QObject>
#include <QString>
#include <QTimer>

class CHub;
class CStatusBoard;
class QSystemTrayIcon;

// Keeps the tray icon and its tooltip on the worst state of the monitored tasks, so that a
// glance at the notification area tells whether anything needs attention: every task up,
// some down (with their number on the icon), the engine off, or the alerts snoozed.
class CTrayStatus : public QObject
{
    Q_OBJECT

public:
    // Worst first where two hold at once: a task that is down matters more than the engine
    // being off (its last verdict still stands), and both more than snoozed alerts.
    enum eTrayState
    {
        eAllUp,
        eSnoozed,
        eEngineOff,
        eSomeDown,
    };

    // hub and board may be null (a window without a hub): the icon then stays on "all up".
    CTrayStatus(CHub* hub, CStatusBoard* board, QSystemTrayIcon* icon, QObject* parent = nullptr);

    // For the snoozing of alerts: while on, the icon says so instead of "all up". Follows the
    // hub's snooze of every task by itself; the tooltip lists each snooze that holds.
    void SetAlertsSnoozed(bool snoozed);
    bool AreAlertsSnoozed() const { return m_bSnoozed; }

    eTrayState GetState() const { return m_State; }
    int GetDownCount() const { return m_nDown; }
    QString GetToolTip() const { return m_ToolTip; }

    // Reads the board and the engine switch again and applies the result to the icon.
    void Update();

    // The app icon with the state's badge; count is painted on the "down" badge.
    static QIcon PaintIcon(eTrayState state, int count);
    // "14:02 (3 min)": the start of a state and how long it has lasted until nowMs.
    static QString FormatSince(qint64 sinceMs, qint64 nowMs);

private:
    void QueueUpdate();
    void FollowSnooze();

    CHub* m_pHub;
    CStatusBoard* m_pBoard;
    QSystemTrayIcon* m_pIcon;
    bool m_bSnoozed = false;
    bool m_bUpdateQueued = false;
    eTrayState m_State = eAllUp;
    int m_nDown = 0;
    QString m_ToolTip;
    bool m_bIconSet = false;
    // The tooltip says for how long tasks have been down, which goes stale without results.
    QTimer m_AgeTimer;
};
