#include "core/tasks/Schedule.h"

const std::array<CFrequencyUnit, 5>& FrequencyUnits()
{
    static const std::array<CFrequencyUnit, 5> units {{
        {QStringLiteral("Minute(s)"), 60, 1, 60, QStringLiteral("Please enter frequency value between 1 and 60.")},
        {QStringLiteral("Hour(s)"), 3600, 1, 24, QStringLiteral("Please enter frequency value between 1 and 24.")},
        {QStringLiteral("Day(s)"), 86400, 1, 30, QStringLiteral("Please enter frequency value between 1 and 30.")},
        {QStringLiteral("Week(s)"), 604800, 1, 6, QStringLiteral("Please enter frequency value between 1 and 6.")},
        {QStringLiteral("Month(s)"), 2592000, 1, 12, QStringLiteral("Please enter frequency value between 1 and 12.")},
    }};
    return units;
}

CFrequency SplitFrequency(int intervalSec)
{
    if (intervalSec / 60 < 60)
        return {intervalSec / 60, eUnitMinutes};
    if (intervalSec / 3600 < 24)
        return {intervalSec / 3600, eUnitHours};
    if (intervalSec / 86400 < 31)
        return {intervalSec / 86400, eUnitDays};
    if (intervalSec / 604800 <= 6)
        return {intervalSec / 604800, eUnitWeeks};
    return {intervalSec / 2592000, eUnitMonths};
}

int FrequencySeconds(int count, int unit)
{
    const auto& units = FrequencyUnits();
    if (unit < 0 || unit >= int(units.size()))
        return 0;
    return count * units[size_t(unit)].m_nSeconds;
}

bool IsFrequencyCountValid(int count, int unit, QString* message)
{
    const auto& units = FrequencyUnits();
    if (unit < 0 || unit >= int(units.size()))
        return false;
    const CFrequencyUnit& u = units[size_t(unit)];
    if (count >= u.m_nMinCount && count <= u.m_nMaxCount)
        return true;
    if (message)
        *message = u.m_RangeMessage;
    return false;
}

int ParseFrequencyCount(const QString& text)
{
    bool ok = false;
    const int count = text.trimmed().toInt(&ok, 10);
    return ok ? count : 0;
}
