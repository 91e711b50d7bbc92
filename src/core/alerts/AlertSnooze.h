#pragma once

#include <QMap>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <limits>
#include <optional>

// Which alerts are held back for a while: for single tasks, by their stable key (m_TaskGuid),
// or for every task at once. An alert that falls in a snooze is logged but not sent; the
// rule's failure count, the log and the history go on as usual. Kept in the settings store
// (group "Snooze", one key per task and kAllTasksKey for all, values an ISO date-time in UTC
// or "forever") so that a restart, desktop or headless, keeps it. Entries whose time has
// passed drop out, on loading and on their own while the object lives. Times are whole
// seconds since 1970 UTC, "now" is CurrentTime(). UI thread.
class CAlertSnooze : public QObject
{
    Q_OBJECT

public:
    // The end of a snooze that lasts until alerts are turned back on.
    static constexpr qint64 kForever = std::numeric_limits<qint64>::max();
    // The store's key for the snooze of every task; no task key looks like it.
    static const QString kAllTasksKey;

    explicit CAlertSnooze(QObject* parent = nullptr);

    // Snoozes the tasks with these keys (kAllTasksKey: every task) until `until`, replacing
    // their earlier snooze, whether it ended sooner or later. Empty keys are ignored; an
    // `until` already past resumes them. Saved at once.
    void Snooze(const QStringList& taskKeys, qint64 until);
    void Snooze(const QString& taskKey, qint64 until) { Snooze(QStringList {taskKey}, until); }
    // Ends the snooze of every task, each task's own and the one for all.
    void ResumeAll();
    // Ends the snooze of these tasks. While every task is snoozed, the other tasks of
    // documentKeys (all the document's tasks) stay snoozed as they were: the snooze for all
    // becomes one for each of them.
    void Resume(const QStringList& taskKeys, const QStringList& documentKeys);

    // When the alerts of the task end being held back: the later of its own snooze and the
    // one for every task; nothing when neither holds at `now`. An empty key asks only about
    // the snooze for every task.
    std::optional<qint64> SnoozedUntil(const QString& taskKey, qint64 now) const;
    // Whether the snooze for every task holds at `now`.
    bool AllSnoozed(qint64 now) const;
    // Whether any snooze, a task's or the one for all, holds at `now`.
    bool AnySnoozed(qint64 now) const;
    // The snoozes that hold at `now`, by key (kAllTasksKey among them when it holds).
    QMap<QString, qint64> Entries(qint64 now) const;

    // Reads the store; entries already past are left out (and out of the store). Changed is
    // emitted when what holds differs from before.
    void Load();
    void Save() const;
    // Forgets the entries whose time has passed and saves; Changed when there were any.
    void DropExpired();

    // The ends the menus offer: an hour from `now`, and 08:00 local time of the next day.
    static qint64 InAnHour(qint64 now);
    static qint64 TomorrowMorning(qint64 now);
    // "until <date time>" (the local "%c" form the log and the task list use), or "until
    // alerts are turned back on" for kForever.
    static QString DescribeUntil(qint64 until);
    // The log's line for an alert held back: "Alert for task NAME snoozed until ...".
    static QString SnoozedAlertText(const QString& taskName, qint64 until);
    // How the list and the tray word it: "Alerts snoozed until <date time>", or "Alerts
    // snoozed until turned back on".
    static QString SnoozedToolTip(qint64 until);

signals:
    // What is snoozed changed: by a command, a load, or a snooze that ran out.
    void Changed();

private:
    void Commit(bool changed);
    void ScheduleExpiry();

    QMap<QString, qint64> m_Until; // key -> end, kForever for none
    QTimer m_ExpiryTimer;
};
