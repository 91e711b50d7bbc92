#pragma once

#include <QString>
#include <QtGlobal>

#include <functional>

// The one source of "now" for time stamps and the schedule, in whole seconds since
// 1970-01-01 UTC. Tests replace it to step through schedules without sleeping.
qint64 CurrentTime();

// Replaces the clock; an empty function restores the system clock. Call it before any
// worker thread starts: the function is read without a lock.
void SetClockForTesting(std::function<qint64()> clock);

// A time in the local time zone as the current locale writes a date and time (strftime's "%c"),
// as the log file, the output window and the task list show it.
QString FormatLocalTime(qint64 time);
