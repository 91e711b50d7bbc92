#include "core/shell/Hub.h"

#include "Version.h"
#include "core/alerts/AlertRule.h"
#include "core/alerts/AlertSenderThread.h"
#include "core/engine/PingThread.h"
#include "core/history/HistoryThread.h"
#include "core/output/LogFile.h"
#include "core/shell/AppSettings.h"
#include "core/shell/Messages.h"
#include "core/support/Clock.h"
#include "core/tasks/VigrelDoc.h"

#include <QCoreApplication>

#include <utility>

// Lets the engine's thread tell the hub that it is done with a run request, for as long as
// the hub listens: Shutdown() stops listening before the engine object may outlive the hub.
struct CHub::CEngineReplies
{
    std::mutex m_Lock;
    CHub* m_pHub = nullptr;
};

CHub::CHub(CVigrelDoc* document, QObject* parent)
    : QObject(parent)
    , m_pDocument(document)
    , m_pEngineReplies(std::make_shared<CEngineReplies>())
    , m_pLogFile(std::make_unique<CLogFile>())
{
    m_AlertSnooze.Load();
    m_Timer.setInterval(1000);
    connect(&m_Timer, &QTimer::timeout, this, &CHub::OnTimer);
    connect(this, &CHub::CheckResultReady, this, [this](const CCheckResult& result) {
        if (m_pHistory)
            m_pHistory->Record(result);
    });
}

CHub::~CHub()
{
    if (m_bStarted)
        Shutdown();
}

bool CHub::Start()
{
    OpenLogFile();
    ProcessOutputMessage(
        CLogMessage(eActionSucceeded, QStringLiteral(CORVANE_PRODUCT_NAME) + QStringLiteral(" Started")));
    OpenHistory();
    m_pPingThread = std::make_unique<CPingThread>(this);
    m_pAlertThread = std::make_unique<CAlertSenderThread>(this);
    {
        std::lock_guard guard(m_pEngineReplies->m_Lock);
        m_pEngineReplies->m_pHub = this;
    }
    if (!m_pPingThread->Start() || !m_pAlertThread->Start())
        return false;
    m_bStarted = true;
    m_Timer.start();
    return true;
}

void CHub::Shutdown(int waitMs)
{
    m_Timer.stop();
    {
        std::lock_guard guard(m_pEngineReplies->m_Lock);
        m_pEngineReplies->m_pHub = nullptr;
    }
    m_TasksInEngine.clear();
    m_nRunningTaskId = -1;
    ProcessOutputMessage(
        CLogMessage(eActionSucceeded, QStringLiteral(CORVANE_PRODUCT_NAME) + QStringLiteral(" Terminating")));
    // The engine aborts the check under way; the alert thread drops what it has not begun.
    // A worker that does not end in time can no longer reach the hub, but still runs on
    // its object: that object is left to the end of the process rather than freed under it.
    if (m_pPingThread && !m_pPingThread->Shutdown(waitMs))
        (void)m_pPingThread.release();
    if (m_pAlertThread && !m_pAlertThread->Shutdown(waitMs))
        (void)m_pAlertThread.release();
    m_bStarted = false;
    // The engine has ended, so these are the last results: they are written before the
    // history closes, however their WM_CHECK_RESULT would have come.
    std::deque<CCheckResult> results;
    {
        std::lock_guard guard(m_MessageQueueLock);
        results.swap(m_ResultQueue);
    }
    if (m_pHistory)
        for (const CCheckResult& result : results)
            m_pHistory->Record(result);
    CloseHistory(waitMs);
    // What the workers said on their way out is still logged, but raises no alert now.
    std::deque<CLogMessage> last;
    {
        std::lock_guard guard(m_MessageQueueLock);
        last.swap(m_MessageQueue);
    }
    for (const CLogMessage& message : last)
        ShowMessage(message);
    m_pLogFile->Close();
}

void CHub::OpenLogFile()
{
    const CAppSettings& settings = GetAppSettings();
    if (const std::optional<CLogMessage> opened = m_pLogFile->Open(settings.m_bLogToFile, settings.m_LogFileName))
        ShowMessage(*opened);
}

namespace {
// What of the settings decides which history is open and how.
QString HistorySettingsOf(const CAppSettings& settings)
{
    return QStringLiteral("%1 %2 ").arg(int(settings.m_bHistoryEnabled)).arg(settings.m_HistoryRetentionDays)
        + settings.m_HistoryDatabase;
}
} // namespace

void CHub::OpenHistory()
{
    const CAppSettings& settings = GetAppSettings();
    m_HistorySettings = HistorySettingsOf(settings);
    if (!settings.m_bHistoryEnabled)
        return;
    CHistoryLocation location;
    QString error;
    if (!CHistoryLocation::Parse(settings.m_HistoryDatabase, location, &error)) {
        // The reason names the setting; it reads on after the colon.
        if (error.size() > 1 && error.at(0).isUpper() && error.at(1).isLower())
            error[0] = error.at(0).toLower();
        ProcessOutputMessage(CLogMessage(eApplicationFailure,
                                         QStringLiteral("Result history is off: ") + error
                                             + QStringLiteral(". It is tried again at the next start or when the "
                                                              "settings change.")));
        return;
    }
    m_pHistory = std::make_unique<CHistoryThread>(location, settings.m_HistoryRetentionDays, this);
    m_pHistory->Start();
    emit HistoryOpened();
}

void CHub::CloseHistory(int waitMs)
{
    // A history thread that does not end in time keeps its own state and no longer
    // reaches the hub, so its object can go now.
    if (m_pHistory)
        m_pHistory->Shutdown(waitMs);
    m_pHistory.reset();
}

void CHub::ReopenHistory()
{
    if (!m_bStarted)
        return;
    const CAppSettings& settings = GetAppSettings();
    const bool faulty = m_pHistory ? m_pHistory->IsOff() : settings.m_bHistoryEnabled;
    if (HistorySettingsOf(settings) == m_HistorySettings && !faulty)
        return;
    // The window waits for this, so the old history gets a second to write what it holds;
    // what a hanging server keeps it from writing in that time is counted in its last message.
    CloseHistory(1000);
    OpenHistory();
}

void CHub::QueueOutputMessage(const CLogMessage& message)
{
    {
        std::lock_guard guard(m_MessageQueueLock);
        m_MessageQueue.push_back(message);
    }
    QCoreApplication::postEvent(this, new CThreadMessage(WM_OUTPUT_MESSAGE));
}

void CHub::QueueCheckResult(const CCheckResult& result)
{
    {
        std::lock_guard guard(m_MessageQueueLock);
        m_ResultQueue.push_back(result);
    }
    // Posted after the verdict's own WM_OUTPUT_MESSAGE, so it is taken after that message.
    QCoreApplication::postEvent(this, new CThreadMessage(WM_CHECK_RESULT));
}

bool CHub::GetTaskForEngine(int taskId, CTask& task)
{
    return m_pDocument && m_pDocument->GetTask(taskId, task);
}

void CHub::PostTaskState(int state, int taskId)
{
    QCoreApplication::postEvent(this, new CThreadMessage(WM_TASK_STATE, state, taskId));
}

bool CHub::event(QEvent* event)
{
    switch (int(event->type())) {
    case WM_OUTPUT_MESSAGE:
        TakeOutputMessage();
        return true;
    case WM_CHECK_RESULT:
        TakeCheckResult();
        return true;
    case WM_TASK_STATE: {
        const auto* message = static_cast<CThreadMessage*>(event);
        const int state = int(message->m_wParam);
        const int taskId = int(message->m_lParam);
        if (taskId == -1)
            return true;
        if (state == TASK_STATE_RUNNING)
            m_nRunningTaskId = taskId;
        else if (state == TASK_STATE_FINISHED && m_nRunningTaskId == taskId)
            m_nRunningTaskId = -1;
        if (state == TASK_STATE_RUNNING && m_pDocument)
            m_pDocument->SetTaskLastRunTime(taskId);
        emit TaskStateChanged(state, taskId);
        return true;
    }
    default:
        return QObject::event(event);
    }
}

void CHub::TakeOutputMessage()
{
    // One message per WM_OUTPUT_MESSAGE, processed outside the lock: a listener may log or
    // ask for pending work meanwhile. One that runs the event loop would bring the next
    // WM_OUTPUT_MESSAGE in before this message is done; that one waits its turn here.
    if (m_bTakingMessage) {
        ++m_nDeferredTakes;
        return;
    }
    m_bTakingMessage = true;
    for (int takes = 1; takes > 0; takes += std::exchange(m_nDeferredTakes, 0)) {
        --takes;
        std::optional<CLogMessage> message;
        {
            std::lock_guard guard(m_MessageQueueLock);
            if (!m_MessageQueue.empty()) {
                message = std::move(m_MessageQueue.front());
                m_MessageQueue.pop_front();
            }
        }
        if (message)
            ProcessOutputMessage(*message);
    }
    m_bTakingMessage = false;
}

void CHub::TakeCheckResult()
{
    std::optional<CCheckResult> result;
    {
        std::lock_guard guard(m_MessageQueueLock);
        if (m_ResultQueue.empty())
            return;
        result = std::move(m_ResultQueue.front());
        m_ResultQueue.pop_front();
    }
    emit CheckResultReady(*result);
}

void CHub::ProcessOutputMessage(const CLogMessage& message)
{
    ShowMessage(message);
    if (!m_pDocument || !m_bStarted)
        return;
    const std::optional<CAlertRequest> request = ApplyAlertRule(*m_pDocument, message);
    if (!request)
        return;
    // The rule has counted the result already, so a snooze holds back only the delivery (and
    // a failure held back earns no recovery alert: NoteAlertHandedOver is not told of it).
    const CTask& task = request->m_Task;
    if (const std::optional<qint64> until = m_AlertSnooze.SnoozedUntil(task.m_TaskGuid, CurrentTime())) {
        CLogMessage snoozed(eInformational, CAlertSnooze::SnoozedAlertText(task.m_Name, *until));
        snoozed.m_TaskId = task.m_TaskId;
        snoozed.m_TaskName = task.m_Name;
        ShowMessage(snoozed);
        return;
    }
    // A full alert queue drops the request and reports that itself.
    if (m_pAlertThread->AddAlert(*request)) {
        NoteAlertHandedOver(*m_pDocument, *request);
        m_pAlertThread->PostSendAlert();
    }
}

void CHub::ShowMessage(const CLogMessage& message)
{
    if (const std::optional<CLogMessage> failure = m_pLogFile->Write(message)) {
        emit MessageShown(message);
        emit MessageShown(*failure);
        return;
    }
    emit MessageShown(message);
}

void CHub::ExecuteTask(int taskId)
{
    HandOver(taskId, true);
}

void CHub::HandOver(int taskId, bool byHand)
{
    CTask task;
    if (!m_pDocument || !m_pDocument->GetTask(taskId, task)) {
        ProcessOutputMessage(
            CLogMessage(eApplicationFailure, QStringLiteral("Failed to locate task %1 in the document").arg(taskId)));
        return;
    }
    if (m_TasksInEngine.contains(taskId)) {
        if (byHand)
            emit ExecuteRefused(
                taskId,
                QStringLiteral("Task %1 is already %2")
                    .arg(task.m_Name,
                         taskId == m_nRunningTaskId ? QStringLiteral("running") : QStringLiteral("waiting to run")));
        return;
    }
    if (!m_pPingThread)
        return;
    m_TasksInEngine.insert(taskId);
    m_pPingThread->PostRunTask(taskId);
    // Queued on the engine's thread right behind the request, so it runs once the engine is
    // done with it, whether the task ran, was not found or the request was dropped: no
    // task can stay "in the engine" for good. The engine's task states cannot tell all of
    // that, since a request it could not run posts none.
    QMetaObject::invokeMethod(
        m_pPingThread.get(),
        [replies = m_pEngineReplies, taskId] {
            std::lock_guard guard(replies->m_Lock);
            if (CHub* hub = replies->m_pHub)
                QMetaObject::invokeMethod(
                    hub, [hub, taskId] { hub->m_TasksInEngine.remove(taskId); }, Qt::QueuedConnection);
        },
        Qt::QueuedConnection);
}

void CHub::ToggleEngine()
{
    m_bEngineOn = !m_bEngineOn;
    emit EngineSwitched(m_bEngineOn, m_bEngineOn ? QStringLiteral("Engine started") : QStringLiteral("Engine stopped"));
}

void CHub::StopRunningTask()
{
    if (m_pPingThread)
        m_pPingThread->StopTask();
}

bool CHub::IsTaskRunning() const
{
    return m_pPingThread && m_pPingThread->IsBusy();
}

bool CHub::HasPendingWork() const
{
    {
        std::lock_guard guard(m_MessageQueueLock);
        if (!m_MessageQueue.empty() || !m_ResultQueue.empty())
            return true;
    }
    return m_pAlertThread && m_pAlertThread->GetPendingCount() > 0;
}

void CHub::OnTimer()
{
    if (!m_bEngineOn || !m_pDocument)
        return;
    const int taskId = m_pDocument->GetNextDueTask();
    if (taskId != -1)
        HandOver(taskId, false);
}
