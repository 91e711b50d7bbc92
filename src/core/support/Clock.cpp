#include "core/support/Clock.h"

#include <QDateTime>

#include <ctime>
#include <cwchar>
#include <iterator>

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

QString FormatLocalTime(qint64 time)
{
    const auto seconds = static_cast<std::time_t>(time);
    std::tm local {};
#ifdef Q_OS_WIN
    const bool converted = localtime_s(&local, &seconds) == 0;
#else
    const bool converted = localtime_r(&seconds, &local) != nullptr;
#endif
    if (!converted)
        return QString::number(time); // beyond what the C library converts; still a usable stamp
    // The wide variant hands back the locale's day and month names as characters, whatever
    // the locale's own encoding.
    wchar_t buffer[256];
    const std::size_t length = std::wcsftime(buffer, std::size(buffer), L"%c", &local);
    return QString::fromWCharArray(buffer, qsizetype(length));
}
