#pragma once

#include <QString>

#include <array>

// Frequency units of the schedule, in the order the schedule page lists them. Only the
// number of seconds is stored in a task; the unit is derived again when it is shown.
enum eFrequencyUnit
{
    eUnitMinutes = 0,
    eUnitHours = 1,
    eUnitDays = 2,
    eUnitWeeks = 3,
    eUnitMonths = 4,
};

struct CFrequencyUnit
{
    QString m_Text; // the unit list's text
    int m_nSeconds = 0; // a month is thirty days
    int m_nMinCount = 1;
    int m_nMaxCount = 1;
    QString m_RangeMessage; // shown when a count lies outside m_nMinCount..m_nMaxCount
};

const std::array<CFrequencyUnit, 5>& FrequencyUnits();

struct CFrequency
{
    int m_nCount = 0;
    int m_nUnit = eUnitMinutes;

    friend bool operator==(const CFrequency&, const CFrequency&) = default;
};

// The count and unit that show a stored frequency: the largest unit that still reads
// naturally (60 minutes as 1 hour, 1 month as 30 days). A frequency that is not a whole
// number of that unit loses the remainder.
CFrequency SplitFrequency(int intervalSec);

// Seconds for a count of a unit, as stored in m_PingInterval.
int FrequencySeconds(int count, int unit);

// Whether the count lies in the unit's accepted range; otherwise `message` gets the text
// to show.
bool IsFrequencyCountValid(int count, int unit, QString* message);

// The count field's text as a decimal number; text that is not a number reads as 0.
int ParseFrequencyCount(const QString& text);

// When a task picked, confirmed or read at `now` is next due.
inline qint64 NextRunTimeFrom(qint64 now, int intervalSec)
{
    return now + intervalSec;
}
