#pragma once

#include "core/alerts/AlertSnooze.h"
#include "core/engine/EngineHost.h"
#include "core/history/CheckResult.h"
#include "core/output/LogMessage.h"

#include <QObject>
#include <QSet>
#include <QTimer>

#include <deque>
#include <memory>
#include <mutex>

class CAlertSenderThread;
class CHistoryThread;
class CLogFile;
class CPingThread;
class CVigrelDoc;

// The half of the main frame that needs no window: it routes the workers' log messages to
// the output path (the log file, then whoever shows them) and through the alert rule, hands
// due tasks to the engine once a second, and starts and ends the two worker threads. The
// window and the headless program each listen to its signals. Lives on the UI thread; only
// QueueOutputMessage, GetTaskForEngine and PostTaskState are called from other threads.
class CHub : public QObject, public IEngineHost
{
    Q_OBJECT

public:
    explicit CHub(CVigrelDoc* document, QObject* parent = nullptr);
    ~CHub() override;

    // Opens the log file, logs the product name + " Started", opens the result history
    // (when on), starts the engine and the alert thread and the one-second poll. False when
    // a worker thread cannot start.
    bool Start();
    // Logs the product name + " Terminating", then ends both threads (the running check is
    // aborted), waiting up to waitMs for each, so no worker reports to a hub that is gone;
    // then writes the results still queued for the history, waiting up to waitMs again.
    void Shutdown(int waitMs = 5000);

    // (Re)opens the log file as the settings say; its own message is shown directly, never
    // through the alert rule. Called at start and when the Options sheet ends with OK.
    void OpenLogFile();
    // Opens the result history anew when its settings changed, or when it went off after a
    // fault; what was queued for the old one is written first. Called when the Options
    // sheet ends with OK.
    void ReopenHistory();
    // The result history, for the views that show it; null while it is off by the settings.
    CHistoryThread* GetHistory() const { return m_pHistory.get(); }

    // IEngineHost, any thread.
    void QueueOutputMessage(const CLogMessage& message) override;
    bool GetTaskForEngine(int taskId, CTask& task) override;
    void PostTaskState(int state, int taskId) override;
    void QueueCheckResult(const CCheckResult& result) override;

    // UI thread. Shows the message (log file first, then the MessageShown signal) and, for
    // a verdict, applies the alert rule. An alert of a snoozed task is not queued: the line
    // "Alert for task NAME snoozed until ..." is shown in its place, and a failure alert held
    // back so is followed by no recovery alert.
    void ProcessOutputMessage(const CLogMessage& message);
    // Hands the task to the engine now, whether the engine is operating or not; refused
    // (ExecuteRefused) while the task is in the engine already, running or waiting to run.
    void ExecuteTask(int taskId);
    void ToggleEngine();
    bool IsEngineOn() const { return m_bEngineOn; }
    void StopRunningTask();
    bool IsTaskRunning() const;

    // Log messages handed over and not processed yet, and alerts queued and not delivered.
    bool HasPendingWork() const;

    CVigrelDoc* GetDocument() const { return m_pDocument; }
    // Which tasks' alerts are held back, as the settings store keeps it: read when the hub
    // is made, written at every change, by the window's commands or a snooze running out.
    CAlertSnooze* GetAlertSnooze() { return &m_AlertSnooze; }
    const CAlertSnooze* GetAlertSnooze() const { return &m_AlertSnooze; }

signals:
    // Every message that reaches the output path, in order, after the log file has it.
    void MessageShown(const CLogMessage& message);
    // WM_TASK_STATE: task taskId is now TASK_STATE_* state (the task list follows it).
    void TaskStateChanged(int state, int taskId);
    // The engine switch changed: "Engine started" or "Engine stopped" for the status bar.
    void EngineSwitched(bool on, const QString& statusText);
    // ExecuteTask found the task in the engine already: "Task NAME is already running" (or
    // "... waiting to run") for the status bar.
    void ExecuteRefused(int taskId, const QString& statusText);
    // A run's structured result, after its verdict message was shown.
    void CheckResultReady(const CCheckResult& result);
    // The result history was opened (at the start, or anew after the settings changed):
    // what shows its figures reads them again.
    void HistoryOpened();

protected:
    bool event(QEvent* event) override;

private:
    struct CEngineReplies;

    void OnTimer();
    void HandOver(int taskId, bool byHand);
    void TakeOutputMessage();
    void TakeCheckResult();
    void ShowMessage(const CLogMessage& message);
    void OpenHistory();
    void CloseHistory(int waitMs);

    CVigrelDoc* m_pDocument;
    std::deque<CLogMessage> m_MessageQueue;
    mutable std::mutex m_MessageQueueLock; // held for one queue operation, never while a message is processed
    std::deque<CCheckResult> m_ResultQueue; // guarded by m_MessageQueueLock
    bool m_bTakingMessage = false;
    int m_nDeferredTakes = 0;
    // Tasks handed to the engine whose request it has not finished with: one request per
    // task at a time, so a check slower than its interval never piles up runs.
    QSet<int> m_TasksInEngine;
    int m_nRunningTaskId = -1;
    std::shared_ptr<CEngineReplies> m_pEngineReplies;
    bool m_bEngineOn = true;
    std::unique_ptr<CPingThread> m_pPingThread;
    std::unique_ptr<CAlertSenderThread> m_pAlertThread;
    std::unique_ptr<CHistoryThread> m_pHistory;
    QString m_HistorySettings; // the settings the history was opened with, to see them change
    std::unique_ptr<CLogFile> m_pLogFile;
    CAlertSnooze m_AlertSnooze;
    QTimer m_Timer;
    bool m_bStarted = false;
};
