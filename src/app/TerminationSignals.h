#pragma once

#include <functional>

class QObject;

// Turns SIGINT and SIGTERM into a call of onTerminate, and SIGHUP into a call of onHangup, on
// the event loop's thread, so that the program ends in its orderly way (settings written,
// threads ended) instead of being cut off, and reopens its log file when logrotate (or anyone
// who renamed or deleted it) asks with SIGHUP. Without onHangup, SIGHUP keeps its default
// action. The handler only writes a byte to a socket pair; the event loop does the rest. False
// when the signals cannot be watched. context owns the watcher.
bool WatchTerminationSignals(QObject* context, std::function<void()> onTerminate, std::function<void()> onHangup = {});

// A reader that goes away (`corvane --headless | head -1`) must not end the monitor: writes to
// it fail with EPIPE instead of raising SIGPIPE. Call it before any thread starts.
void IgnoreBrokenPipe();
