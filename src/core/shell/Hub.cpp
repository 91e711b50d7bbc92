#include "core/shell/Hub.h"

#include "Version.h"
#include "core/alerts/AlertRule.h"
#include "core/alerts/AlertSenderThread.h"
#include "core/engine/PingThread.h"
#include "core/output/LogFile.h"
#include "core/shell/AppSettings.h"
#include "core/shell/Messages.h"
#include "core/tasks/VigrelDoc.h"

#include <QCoreApplication>

CHub::CHub(CVigrelDoc* document, QObject* parent)
    : QObject(parent)
    , m_pDocument(document)
    , m_pLogFile(std::make_unique<CLogFile>())
{
    m_Timer.setInterval(1000);
    connect(&m_Timer, &QTimer::timeout, this, &CHub::OnTimer);
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
    m_pPingThread = std::make_unique<CPingThread>(this);
    m_pAlertThread = std::make_unique<CAlertSenderThread>(this);
    if (!m_pPingThread->Start() || !m_pAlertThread->Start())
        return false;
    m_bStarted = true;
    m_Timer.start();
    return true;
}

void CHub::Shutdown(int waitMs)
{
    m_Timer.stop();
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

void CHub::QueueOutputMessage(const CLogMessage& message)
{
    {
        std::lock_guard guard(m_MessageQueueLock);
        m_MessageQueue.push_back(message);
    }
    QCoreApplication::postEvent(this, new CThreadMessage(WM_OUTPUT_MESSAGE));
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
    case WM_TASK_STATE: {
        const auto* message = static_cast<CThreadMessage*>(event);
        const int state = int(message->m_wParam);
        const int taskId = int(message->m_lParam);
        if (taskId == -1)
            return true;
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
    // One message per WM_OUTPUT_MESSAGE, processed under the lock: a worker that reports
    // meanwhile waits until this message has been shown and judged.
    std::lock_guard guard(m_MessageQueueLock);
    if (m_MessageQueue.empty())
        return;
    const CLogMessage message = std::move(m_MessageQueue.front());
    m_MessageQueue.pop_front();
    ProcessOutputMessage(message);
}

void CHub::ProcessOutputMessage(const CLogMessage& message)
{
    ShowMessage(message);
    if (!m_pDocument || !m_bStarted)
        return;
    if (const std::optional<CAlertRequest> request = ApplyAlertRule(*m_pDocument, message)) {
        m_pAlertThread->AddAlert(*request);
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
    CTask task;
    if (!m_pDocument || !m_pDocument->GetTask(taskId, task)) {
        ProcessOutputMessage(
            CLogMessage(eApplicationFailure, QStringLiteral("Failed to locate task %1 in the document").arg(taskId)));
        return;
    }
    if (m_pPingThread)
        m_pPingThread->PostRunTask(taskId);
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
        if (!m_MessageQueue.empty())
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
        ExecuteTask(taskId);
}
