#pragma once

#include <functional>

class QObject;

// Turns SIGINT and SIGTERM into a call of onSignal on the event loop's thread, so that the
// program ends in its orderly way (settings written, threads ended) instead of being cut off.
// The handler only writes a byte to a socket pair; the event loop does the rest. False when
// the signals cannot be watched. context owns the watcher.
bool WatchTerminationSignals(QObject* context, std::function<void()> onSignal);
