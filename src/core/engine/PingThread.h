#pragma once

#include "core/engine/PageFetcher.h"
#include "core/history/CheckResult.h"
#include "core/output/Severity.h"
#include "core/support/WorkerThread.h"
#include "core/tasks/Task.h"

#include <QObject>
#include <QString>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>

class IEngineHost;

// The engine: runs one check at a time on a thread of its own and reports every step and
// every verdict to its host. It schedules nothing itself; the hub posts WM_RUN_TASK with a
// task id for each run, and WM_THREAD_QUIT to end the thread.
class CPingThread : public QObject
{
    Q_OBJECT

public:
    explicit CPingThread(IEngineHost* mainFrame = nullptr);
    ~CPingThread() override;

    // Before Start(): the receiver of messages, states and task look-ups.
    void SetMainFrame(IEngineHost* mainFrame);

    // Moves the engine onto a new thread and starts it. False without a main frame.
    bool Start();
    // Ends the thread: aborts the running check, posts WM_THREAD_QUIT and waits up to
    // `waitMs` for the thread to finish. Whatever happens, the host hears nothing more
    // from the engine once this returns. True when the thread ended in time.
    bool Shutdown(int waitMs);

    // UI thread: stops the check that runs now (the transfer or the wait is aborted).
    void StopTask() { m_bStopRequested = true; }
    // UI thread: a run request is being handled.
    bool IsBusy() const { return m_bBusy; }

    // Posts WM_RUN_TASK for `taskId`; requests are handled in the order posted.
    void PostRunTask(int taskId);

    // The most pages a crawl keeps in flight at once.
    static constexpr int kMaxSpiderConnections = 32;

protected:
    bool event(QEvent* event) override;

private:
    void HandleRunTask(int taskId);
    void RunTask(CTask& task);
    void OnTaskStopped(int taskId);
    void AddMessage(const QString& text, CSeverity severity, int taskId);
    void PostTaskState(int state, int taskId);

    // Logs the verdict of the run, then hands the host the run's record right after it.
    void ReportVerdict(CCheckResult& result, bool succeeded, const QString& text, bool stopped = false);
    void QueueResult(CCheckResult& result, eVerdict verdict, const QString& text);

    void DoPing(CTask& task, CCheckResult& result);
    void DoHttpGet(CTask& task, CCheckResult& result);
    void DoSpider(CTask& task, CCheckResult& result);
    void DoTcp(CTask& task, CCheckResult& result);

    std::mutex m_HostLock; // held while calling the host, so Shutdown() can cut it off safely
    IEngineHost* m_pMainFrame = nullptr;
    CWorkerThread m_Thread;

    // Busy from construction until the thread runs, then while a run request is handled.
    std::atomic<bool> m_bBusy {true};
    std::atomic<bool> m_bStopRequested {false};
    std::atomic<bool> m_bQuitting {false};
    // The ping's lack of an ICMP socket is a property of the system, not of a task: say it once.
    bool m_bReportedNoPingSocket = false;
    std::chrono::steady_clock::time_point m_RunStarted; // of the check that runs now
    QString m_RunTaskName; // names every message of the run that goes on; empty between runs

    std::unique_ptr<CPageFetcher> m_pFetcher;
};
