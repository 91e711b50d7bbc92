#pragma once

#include "core/output/LogMessage.h"
#include "core/tasks/Task.h"

// One alert to deliver: the task as it stood when its result was processed, with
// m_AlertDetails holding the result text, and the result message itself, whose severity
// selects the success or the failure texts.
class CAlertRequest
{
public:
    CAlertRequest() = default;
    CAlertRequest(const CTask& task, const CLogMessage& message)
        : m_Task(task)
        , m_Message(message)
    { }

    CTask m_Task;
    CLogMessage m_Message;
};
