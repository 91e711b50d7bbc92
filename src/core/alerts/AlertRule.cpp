#include "core/alerts/AlertRule.h"

#include "core/tasks/VigrelDoc.h"

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
        if (task.m_bAlertAboutFailuresOnly)
            return std::nullopt;
        return CAlertRequest(task, message);
    }
    document.UpdateTaskFailCount(task.m_TaskId, true, false);
    // Compared as unsigned numbers, as the task file stores them: a negative limit read from
    // a file is a huge one, so such a task never alerts about failures.
    if (unsigned(task.m_FailCount) < unsigned(task.m_MaxFailCount))
        return std::nullopt;
    document.UpdateTaskFailCount(task.m_TaskId, false, true);
    return CAlertRequest(task, message);
}
