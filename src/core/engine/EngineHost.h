#pragma once

class CLogMessage;
class CTask;

// What the engine needs from whoever drives it (the hub in the program, a recorder in
// tests). Every call comes from the engine thread and must return without waiting for the
// receiving thread.
class IEngineHost
{
public:
    virtual ~IEngineHost() = default;

    // A copy of the task to run; false when the document does not hold it.
    virtual bool GetTaskForEngine(int taskId, CTask& task) = 0;
    // Hands one log message over (WM_OUTPUT_MESSAGE).
    virtual void QueueOutputMessage(const CLogMessage& message) = 0;
    // Posts WM_TASK_STATE: `state` is TASK_STATE_*, `taskId` may be -1.
    virtual void PostTaskState(int state, int taskId) = 0;
};
