#include "core/alerts/AlertSnooze.h"

#include "core/shell/AppSettings.h"
#include "core/support/Clock.h"

#include <QDateTime>
#include <QSettings>

#include <algorithm>

const QString CAlertSnooze::kAllTasksKey = QStringLiteral("AllTasks");

namespace {
const QString kGroup = QStringLiteral("Snooze");
const QString kForeverText = QStringLiteral("forever");

// A snooze that runs out far ahead is still looked at now and then: a machine that slept
// or had its clock set would otherwise keep a stale snooze on screen for a long time.
constexpr qint64 kMaxExpiryWaitSeconds = 60;

bool Holds(qint64 until, qint64 now)
{
    return until > now;
}
} // namespace

CAlertSnooze::CAlertSnooze(QObject* parent)
    : QObject(parent)
{
    m_ExpiryTimer.setSingleShot(true);
    connect(&m_ExpiryTimer, &QTimer::timeout, this, &CAlertSnooze::DropExpired);
}

void CAlertSnooze::Snooze(const QStringList& taskKeys, qint64 until)
{
    bool changed = false;
    const bool holds = Holds(until, CurrentTime());
    for (const QString& key : taskKeys) {
        if (key.isEmpty())
            continue;
        if (holds) {
            const auto it = m_Until.constFind(key);
            if (it == m_Until.cend() || *it != until) {
                m_Until.insert(key, until);
                changed = true;
            }
        } else {
            changed = m_Until.remove(key) > 0 || changed;
        }
    }
    Commit(changed);
}

void CAlertSnooze::ResumeAll()
{
    const bool changed = !m_Until.isEmpty();
    m_Until.clear();
    Commit(changed);
}

void CAlertSnooze::Resume(const QStringList& taskKeys, const QStringList& documentKeys)
{
    bool changed = false;
    const qint64 now = CurrentTime();
    const auto all = m_Until.constFind(kAllTasksKey);
    if (all != m_Until.cend() && Holds(*all, now)
        && std::any_of(taskKeys.cbegin(), taskKeys.cend(), [](const QString& key) { return !key.isEmpty(); })) {
        const qint64 allUntil = *all;
        m_Until.erase(all);
        for (const QString& key : documentKeys) {
            if (key.isEmpty() || taskKeys.contains(key))
                continue;
            qint64& until = m_Until[key];
            until = std::max(until, allUntil);
        }
        changed = true;
    }
    for (const QString& key : taskKeys) {
        if (!key.isEmpty())
            changed = m_Until.remove(key) > 0 || changed;
    }
    Commit(changed);
}

std::optional<qint64> CAlertSnooze::SnoozedUntil(const QString& taskKey, qint64 now) const
{
    std::optional<qint64> result;
    for (const QString& key : {kAllTasksKey, taskKey}) {
        if (key.isEmpty())
            continue;
        const auto it = m_Until.constFind(key);
        if (it != m_Until.cend() && Holds(*it, now) && (!result || *it > *result))
            result = *it;
    }
    return result;
}

bool CAlertSnooze::AllSnoozed(qint64 now) const
{
    const auto it = m_Until.constFind(kAllTasksKey);
    return it != m_Until.cend() && Holds(*it, now);
}

bool CAlertSnooze::AnySnoozed(qint64 now) const
{
    return std::any_of(m_Until.cbegin(), m_Until.cend(), [now](qint64 until) { return Holds(until, now); });
}

QMap<QString, qint64> CAlertSnooze::Entries(qint64 now) const
{
    QMap<QString, qint64> entries;
    for (auto it = m_Until.cbegin(); it != m_Until.cend(); ++it) {
        if (Holds(it.value(), now))
            entries.insert(it.key(), it.value());
    }
    return entries;
}

void CAlertSnooze::Load()
{
    const auto store = OpenSettingsStore();
    store->beginGroup(kGroup);
    const qint64 now = CurrentTime();
    QMap<QString, qint64> loaded;
    bool stale = false;
    for (const QString& key : store->childKeys()) {
        const QString text = store->value(key).toString().trimmed();
        qint64 until = 0;
        if (text.compare(kForeverText, Qt::CaseInsensitive) == 0) {
            until = kForever;
        } else {
            const QDateTime time = QDateTime::fromString(text, Qt::ISODate);
            if (time.isValid())
                until = time.toSecsSinceEpoch();
        }
        if (!Holds(until, now)) {
            stale = true; // run out, or not a time at all
            continue;
        }
        // The store matches keys without regard to case; task keys are written in lower case.
        loaded.insert(key.compare(kAllTasksKey, Qt::CaseInsensitive) == 0 ? kAllTasksKey : key.toLower(), until);
    }
    store->endGroup();
    const bool changed = loaded != Entries(now);
    m_Until = loaded;
    if (stale)
        Save();
    ScheduleExpiry();
    if (changed)
        emit Changed();
}

void CAlertSnooze::Save() const
{
    const auto store = OpenSettingsStore();
    store->remove(kGroup);
    for (auto it = m_Until.cbegin(); it != m_Until.cend(); ++it) {
        const QString value = it.value() == kForever
            ? kForeverText
            : QDateTime::fromSecsSinceEpoch(it.value(), Qt::UTC).toString(Qt::ISODate);
        store->setValue(kGroup + QLatin1Char('/') + it.key(), value);
    }
    store->sync();
}

void CAlertSnooze::DropExpired()
{
    const qint64 now = CurrentTime();
    const auto dropped = m_Until.removeIf([now](const auto& entry) { return !Holds(entry.value(), now); });
    Commit(dropped > 0);
}

void CAlertSnooze::Commit(bool changed)
{
    if (changed)
        Save();
    ScheduleExpiry();
    if (changed)
        emit Changed();
}

void CAlertSnooze::ScheduleExpiry()
{
    const qint64 now = CurrentTime();
    qint64 next = kForever;
    for (const qint64 until : m_Until)
        next = std::min(next, until);
    if (next == kForever) {
        m_ExpiryTimer.stop();
        return;
    }
    const qint64 wait = std::clamp<qint64>(next - now, 1, kMaxExpiryWaitSeconds);
    m_ExpiryTimer.start(int(wait * 1000));
}

qint64 CAlertSnooze::InAnHour(qint64 now)
{
    return now + 3600;
}

qint64 CAlertSnooze::TomorrowMorning(qint64 now)
{
    const QDateTime today = QDateTime::fromSecsSinceEpoch(now, Qt::LocalTime);
    return QDateTime(today.date().addDays(1), QTime(8, 0), Qt::LocalTime).toSecsSinceEpoch();
}

QString CAlertSnooze::DescribeUntil(qint64 until)
{
    if (until == kForever)
        return QStringLiteral("until alerts are turned back on");
    return QStringLiteral("until ") + FormatLocalTime(until);
}

QString CAlertSnooze::SnoozedAlertText(const QString& taskName, qint64 until)
{
    return QStringLiteral("Alert for task ") + taskName + QStringLiteral(" snoozed ") + DescribeUntil(until);
}

QString CAlertSnooze::SnoozedToolTip(qint64 until)
{
    if (until == kForever)
        return QStringLiteral("Alerts snoozed until turned back on");
    return QStringLiteral("Alerts snoozed until ") + FormatLocalTime(until);
}
