#include "core/alerts/AlertRule.h"

#include "core/tasks/VigrelDoc.h"

#include <algorithm>

std::optional<CAlertRequest> ApplyAlertRule(CVigrelDoc& document, const CLogMessage& message)
{
    if (message.m_TaskId == -1)
        return std::nullopt;
    const int code = message.m_Severity.GetCode();
    if (code != eTaskSuccess && code != eTaskFailure)
        return std::nullopt;
    CTask task;
    if (!document.GetTask(message.m_TaskId, task))
        return std::nullopt;
    task.m_AlertSettings.m_AlertDetails = message.m_Text;

    if (code == eTaskSuccess) {
        document.UpdateTaskFailCount(task.m_TaskId, false, true);
        const CTaskAlertState state = document.TakeTaskAlertState(task.m_TaskId);
        if (state.m_bFailureAlerted && task.m_bAlertOnRecovery) {
            // Stands in for the success alert too: whoever heard of the failure hears once that
            // it is over.
            CAlertRequest request(task, message);
            request.m_State = eAlertState::eRecovered;
            request.m_DowntimeSec = std::max<qint64>(0, message.m_Time - state.m_FirstFailureTime);
            request.m_FirstFailureText = state.m_FirstFailureText;
            return request;
        }
        if (task.m_bAlertAboutFailuresOnly)
            return std::nullopt;
        return CAlertRequest(task, message);
    }
    document.UpdateTaskFailCount(task.m_TaskId, true, false);
    document.NoteTaskFailure(task.m_TaskId, message.m_Time, message.m_Text);
    // Compared as unsigned numbers, as the task file stores them: a negative limit read from
    // a file is a huge one, so such a task never alerts about failures.
    if (unsigned(task.m_FailCount) < unsigned(task.m_MaxFailCount))
        return std::nullopt;
    document.UpdateTaskFailCount(task.m_TaskId, false, true);
    return CAlertRequest(task, message);
}

void NoteAlertHandedOver(CVigrelDoc& document, const CAlertRequest& request)
{
    if (request.m_State == eAlertState::eFailed)
        document.SetTaskFailureAlerted(request.m_Task.m_TaskId);
}
