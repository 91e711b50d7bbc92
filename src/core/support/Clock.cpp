#include "core/support/Clock.h"

#include <QDateTime>

namespace {
std::function<qint64()>& ClockOverride()
{
    static std::function<qint64()> clock;
    return clock;
}
} // namespace

qint64 CurrentTime()
{
    const auto& clock = ClockOverride();
    return clock ? clock() : QDateTime::currentSecsSinceEpoch();
}

void SetClockForTesting(std::function<qint64()> clock)
{
    ClockOverride() = std::move(clock);
}
