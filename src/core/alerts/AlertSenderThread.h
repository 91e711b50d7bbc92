#pragma once

#include "core/alerts/AlertProgram.h"
#include "core/alerts/AlertRequest.h"
#include "core/output/Severity.h"
#include "core/support/WorkerThread.h"

#include <QObject>

#include <atomic>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <utility>

class IOutputSink;

// Delivers alerts on a thread of its own, so that a slow or unreachable mail server holds up
// nothing else. The hub queues a request with AddAlert() and wakes the thread with
// WM_SEND_ALERT; each wake-up delivers one request, in queue order, and every outcome is
// reported to the hub as a log message about no task. The queue is bounded: behind a mail
// server that hangs, alerts beyond the bound are dropped, and reported with their count.
class CAlertSenderThread : public QObject
{
    Q_OBJECT

public:
    // Alerts that may wait for delivery, the one being delivered not counted.
    static constexpr int kMaxQueuedAlerts = 1000;

    explicit CAlertSenderThread(IOutputSink* mainFrame = nullptr);
    ~CAlertSenderThread() override;

    // Before Start(): the receiver of the thread's log messages.
    void SetMainFrame(IOutputSink* mainFrame);
    // Moves the worker onto a new thread and starts it. False without a main frame.
    bool Start();
    // Ends the thread: aborts the delivery under way, posts WM_THREAD_QUIT and waits up to
    // waitMs for the thread to end. Requests not yet delivered are dropped, and how many is
    // the receiver's last message. Whatever happens, the receiver hears nothing more once
    // this returns. True when the thread ended in time.
    bool Shutdown(int waitMs);

    // Any thread. Appends a copy of the request to the queue; the caller then posts
    // WM_SEND_ALERT (PostSendAlert) once for it. False when the queue is full and the
    // request was dropped (counted, and reported once the queue has room again).
    bool AddAlert(const CAlertRequest& request);
    void PostSendAlert();
    // Requests queued and not yet delivered, the one being delivered included.
    int GetPendingCount() const { return m_nPending; }

    // Delivers one request: e-mail, then the external program, then the HTTP request, as
    // the task's alert methods ask, each whatever became of the others.
    void SendAlert(const CAlertRequest& request);

protected:
    bool event(QEvent* event) override;

private:
    void SendNextAlert();
    void SendEmail(const CAlertRequest& request, const CAppSettings& settings);
    void StartApplication(const CAlertRequest& request, const CAppSettings& settings);
    void SendHttpRequest(const CAlertRequest& request, const CAppSettings& settings);
    void AddMessage(const QString& text, CSeverity severity, int taskId = -1);
    void ReportDropped(int count);

    // The program started for the last alert of each task (id and name): a program that
    // still runs is not started a second time. Alert thread only.
    struct CStartedProgram
    {
        QString m_Program;
        std::unique_ptr<CAlertProgram> m_pProcess;
    };
    std::map<std::pair<int, QString>, CStartedProgram> m_Programs;

    std::deque<CAlertRequest> m_AlertQueue;
    int m_nDropped = 0; // since the last report; guarded by m_csQueue
    QString m_AlertTaskName; // of the alert being delivered; names its messages
    std::mutex m_csQueue; // held for one queue operation only, never while delivering or reporting
    std::mutex m_HostLock; // held while calling the receiver, so Shutdown() can cut it off safely
    IOutputSink* m_pMainFrame = nullptr;
    CWorkerThread m_Thread;
    std::atomic<int> m_nPending {0};
    std::atomic<bool> m_bAbort {false};
};
