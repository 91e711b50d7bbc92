#pragma once

#include "core/output/LogMessage.h"
#include "core/tasks/Task.h"

// What an alert tells: a failure, the first success after a failure alert, or a success of a
// task that alerts about every result.
enum class eAlertState
{
    eFailed,
    eRecovered,
    eSucceeded,
};

// "failed", "recovered" or "succeeded": the word templates and webhooks receive for %S.
QString AlertStateName(eAlertState state);

// One alert to deliver: the task as it stood when its result was processed, with
// m_AlertDetails holding the result text, and the result message itself, whose severity
// selects the success or the failure texts unless the alert is a recovery.
class CAlertRequest
{
public:
    CAlertRequest() = default;
    // A failure or success alert, as the message's severity says, at the message's time.
    CAlertRequest(const CTask& task, const CLogMessage& message)
        : m_Task(task)
        , m_Message(message)
        , m_State(message.m_Severity.GetCode() == eTaskSuccess ? eAlertState::eSucceeded : eAlertState::eFailed)
        , m_ResultTime(message.m_Time)
    { }

    CTask m_Task;
    CLogMessage m_Message;
    eAlertState m_State = eAlertState::eFailed;
    qint64 m_ResultTime = 0; // seconds since 1970 UTC
    // A recovery only: how long the task was down, from its first failure of the run to the
    // success that ended it, and what that first failure said.
    qint64 m_DowntimeSec = 0;
    QString m_FirstFailureText;
};

inline QString AlertStateName(eAlertState state)
{
    switch (state) {
    case eAlertState::eRecovered:
        return QStringLiteral("recovered");
    case eAlertState::eSucceeded:
        return QStringLiteral("succeeded");
    case eAlertState::eFailed:
        break;
    }
    return QStringLiteral("failed");
}
