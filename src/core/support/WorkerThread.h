#pragma once

#include <QString>

class QObject;
class QThread;

// The thread of a worker object that is driven by posted events (the engine, the alert
// sender): the worker is moved onto a new QThread with its own event loop, and ended with a
// posted WM_THREAD_QUIT, so that it finishes the event in hand first.
class CWorkerThread
{
public:
    CWorkerThread() = default;
    ~CWorkerThread();
    CWorkerThread(const CWorkerThread&) = delete;
    CWorkerThread& operator=(const CWorkerThread&) = delete;

    // Moves worker onto a new thread named name and starts that thread.
    void Start(QObject* worker, const QString& name);
    // Posts WM_THREAD_QUIT to worker and waits up to waitMs for the thread to end. True when
    // it ended (or never ran); a thread that did not end is left running, never destroyed.
    bool Quit(QObject* worker, int waitMs);
    bool IsRunning() const;
    QThread* Get() const { return m_pThread; }

private:
    QThread* m_pThread = nullptr;
};
