#pragma once

#include "core/output/Severity.h"

#include <QString>

// One report of any component: what happened, how it is classed, when it was made and,
// for the verdict of a check, which task it is about. Passed by value between threads.
class CLogMessage
{
public:
    // Severity Application Failure, empty text, stamped now, about no task.
    CLogMessage();
    // Stamped now, about no task: the producer sets m_TaskId when the message is a verdict.
    CLogMessage(CSeverity severity, const QString& text);

    CSeverity m_Severity;
    QString m_Text;
    qint64 m_Time = 0; // seconds since 1970 UTC, taken when the producer made the message
    int m_TaskId = -1;
    // The name of the task the message is about, verdict or step, as it was at the time;
    // empty for a message about no task. Shown by the window, never written to the log file.
    QString m_TaskName;
};
