#pragma once

class CLogMessage;

// Whoever takes log messages from worker threads (the hub in the program, a recorder in
// tests). Called from any thread; must return without waiting for the receiving thread.
class IOutputSink
{
public:
    virtual ~IOutputSink() = default;

    // Hands one log message over (WM_OUTPUT_MESSAGE).
    virtual void QueueOutputMessage(const CLogMessage& message) = 0;
};
