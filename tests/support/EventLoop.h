#pragma once

#include <QCoreApplication>

#include <chrono>
#include <functional>

// Runs the event loop until done() holds; false after the time-out.
inline bool SpinUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout = std::chrono::seconds(20))
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return true;
}
