#pragma once

#include "core/output/OutputSink.h"

class CTask;
struct CCheckResult;

// What the engine needs from whoever drives it (the hub in the program, a recorder in
// tests). Every call comes from the engine thread and must return without waiting for the
// receiving thread.
class IEngineHost : public IOutputSink
{
public:
    // A copy of the task to run; false when the document does not hold it.
    virtual bool GetTaskForEngine(int taskId, CTask& task) = 0;
    // Posts WM_TASK_STATE: `state` is TASK_STATE_*, `taskId` may be -1.
    virtual void PostTaskState(int state, int taskId) = 0;
    // The structured result of a run, sent right after the run's verdict message.
    virtual void QueueCheckResult(const CCheckResult& result) = 0;
};
