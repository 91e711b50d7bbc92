#include "core/alerts/AlertSenderThread.h"

#include "Version.h"
#include "core/alerts/AlertDelivery.h"
#include "core/alerts/MailDelivery.h"
#include "core/output/OutputSink.h"
#include "core/shell/AppSettings.h"
#include "core/shell/Messages.h"
#include "core/support/Smtp.h"

#include <QCoreApplication>
#include <QThread>

#include <algorithm>

namespace {
const QString kAppTitle = QStringLiteral(CORVANE_PRODUCT_NAME);

QString AlertCount(int count)
{
    return count == 1 ? QStringLiteral("1 alert was") : QStringLiteral("%1 alerts were").arg(count);
}
} // namespace

CAlertSenderThread::CAlertSenderThread(IOutputSink* mainFrame)
    : m_pMainFrame(mainFrame)
{ }

CAlertSenderThread::~CAlertSenderThread()
{
    if (m_Thread.IsRunning())
        Shutdown(5000);
}

void CAlertSenderThread::SetMainFrame(IOutputSink* mainFrame)
{
    std::lock_guard guard(m_HostLock);
    m_pMainFrame = mainFrame;
}

bool CAlertSenderThread::Start()
{
    {
        std::lock_guard guard(m_HostLock);
        if (!m_pMainFrame)
            return false;
    }
    m_bAbort = false;
    m_Thread.Start(this, QStringLiteral("alerts"));
    return true;
}

bool CAlertSenderThread::Shutdown(int waitMs)
{
    m_bAbort = true;
    const bool ended = m_Thread.Quit(this, waitMs);
    // A thread that did not end in time sees the abort and begins none of these.
    int undelivered = 0;
    int dropped = 0;
    {
        std::lock_guard guard(m_csQueue);
        undelivered = int(m_AlertQueue.size());
        dropped = std::exchange(m_nDropped, 0);
        if (ended) {
            m_AlertQueue.clear();
            m_nPending = 0;
        }
    }
    ReportDropped(dropped);
    if (undelivered > 0)
        AddMessage((undelivered == 1 ? QStringLiteral("1 queued alert was")
                                     : QStringLiteral("%1 queued alerts were").arg(undelivered))
                       + QStringLiteral(" not delivered before the shutdown"),
                   eApplicationFailure);
    SetMainFrame(nullptr);
    return ended;
}

bool CAlertSenderThread::AddAlert(const CAlertRequest& request)
{
    std::lock_guard guard(m_csQueue);
    if (int(m_AlertQueue.size()) >= kMaxQueuedAlerts) {
        ++m_nDropped;
        return false;
    }
    m_AlertQueue.push_back(request);
    ++m_nPending;
    return true;
}

void CAlertSenderThread::PostSendAlert()
{
    QCoreApplication::postEvent(this, new CThreadMessage(WM_SEND_ALERT));
}

bool CAlertSenderThread::event(QEvent* event)
{
    switch (int(event->type())) {
    case WM_THREAD_QUIT:
        // Leaves the loop once this event returns; requests still queued are dropped.
        thread()->quit();
        return true;
    case WM_SEND_ALERT:
        SendNextAlert();
        return true;
    default:
        return QObject::event(event);
    }
}

void CAlertSenderThread::SendNextAlert()
{
    CAlertRequest request;
    int dropped = 0;
    {
        std::lock_guard guard(m_csQueue);
        // Shutting down: the wake-ups still queued ahead of the quit deliver nothing.
        if (m_AlertQueue.empty() || m_bAbort)
            return;
        request = std::move(m_AlertQueue.front());
        m_AlertQueue.pop_front();
        // The queue has room again: a burst of drops has ended and is told as one.
        dropped = std::exchange(m_nDropped, 0);
    }
    ReportDropped(dropped);
    SendAlert(request);
    --m_nPending;
}

void CAlertSenderThread::SendAlert(const CAlertRequest& request)
{
    // Read once, now: the Options sheet may change the live settings meanwhile.
    const CAppSettings settings = GetAppSettingsSnapshot();
    const int methods = request.m_Task.m_AlertSettings.m_AlertMethods;
    m_AlertTaskName = request.m_Task.m_Name;
    if (methods & eAlertEmail)
        SendEmail(request, settings);
    if (methods & eAlertApplication)
        StartApplication(request, settings);
    if (methods & eAlertHttpGet)
        SendHttpRequest(request, settings);
    m_AlertTaskName.clear();
}

void CAlertSenderThread::SendEmail(const CAlertRequest& request, const CAppSettings& settings)
{
    if (settings.m_SmtpServerName.isEmpty()) {
        AddMessage(QStringLiteral("SMTP server name is not set. Unable to send e-mail message."), eApplicationFailure);
        return;
    }
    const CTask& task = request.m_Task;
    const CAlertSettings& alert = task.m_AlertSettings;
    CMailMessage message;
    message.SetCharsPerLine(10000);
    message.AddMultipleRecipients(alert.m_bUseDefaultAlertMethods ? settings.m_AlertEmailAddresses
                                                                  : alert.m_AlertEmailAddresses);
    if (request.m_State == eAlertState::eRecovered) {
        message.m_sSubject = kAppTitle + QStringLiteral(": Task '") + task.m_Name + QStringLiteral("' recovered.");
        message.m_sBody = QStringLiteral("Hello,\n\n") + kAppTitle + QStringLiteral(" ran task '") + task.m_Name
            + QStringLiteral("' successfully again. It was down for ") + FormatDowntime(request.m_DowntimeSec)
            + QStringLiteral(".\n\nThe following is the description of the first error.\n\n")
            + request.m_FirstFailureText
            + QStringLiteral("\n\nThe following is the additional information that was generated by the task:\n\n")
            + alert.m_AlertDetails;
    } else if (request.m_Message.m_Severity.GetCode() == eTaskSuccess) {
        message.m_sSubject
            = kAppTitle + QStringLiteral(": Task '") + task.m_Name + QStringLiteral("' completed successfully.");
        message.m_sBody = QStringLiteral("Hello,\n\n") + kAppTitle + QStringLiteral(" successfully ran task '")
            + task.m_Name
            + QStringLiteral("'. No errors were found.\n\nThe following is the additional information that was "
                             "generated by the task:\n\n")
            + alert.m_AlertDetails;
    } else {
        message.m_sSubject = kAppTitle + QStringLiteral(": Task '") + task.m_Name + QStringLiteral("' failed.");
        message.m_sBody = QStringLiteral("Hello,\n\n") + kAppTitle
            + QStringLiteral(" discovered an error when running task '") + task.m_Name
            + QStringLiteral("'.\n\nThe following is the description of the error.\n\n") + alert.m_AlertDetails;
    }
    const CMailOutcome outcome = DeliverMail(settings, message, &m_bAbort);
    if (outcome.IsSent())
        AddMessage(QStringLiteral("Alert E-mail message for task ") + task.m_Name
                       + QStringLiteral(" sent successfully"),
                   eActionSucceeded);
    else
        AddMessage(outcome.LogText(), eApplicationFailure);
}

void CAlertSenderThread::StartApplication(const CAlertRequest& request, const CAppSettings& settings)
{
    const CTask& task = request.m_Task;
    const CAlertSettings& alert = task.m_AlertSettings;
    const QString command
        = alert.m_bUseDefaultAlertMethods ? settings.m_AlertApplicationName : alert.m_AlertApplicationName;
    const std::optional<CAlertCommand> prepared = PrepareAlertCommand(command, AlertFieldsOf(request));
    if (!prepared) {
        AddMessage(QStringLiteral("Application name is not set. Unable to execute external application."),
                   eApplicationFailure);
        return;
    }
    // A program that hangs would otherwise gain a twin at every alert of its task.
    std::erase_if(m_Programs, [](const auto& entry) { return !entry.second.m_pProcess->IsRunning(); });
    const auto key = std::make_pair(task.m_TaskId, task.m_Name);
    if (const auto running = m_Programs.find(key); running != m_Programs.end()) {
        AddMessage(QStringLiteral("External application for QI ") + task.m_Name + QStringLiteral(" not started: ")
                       + running->second.m_Program + QStringLiteral(" is still running from the previous alert"),
                   eApplicationFailure);
        return;
    }
    // Started directly, never through a shell, so no text of a task is ever read as a command.
    auto process = std::make_unique<CAlertProgram>();
    if (process->Start(prepared->m_Program, prepared->m_Arguments)) {
        m_Programs[key] = CStartedProgram {prepared->m_Program, std::move(process)};
        AddMessage(QStringLiteral("External application for QI ") + task.m_Name
                       + QStringLiteral(" executed successfully"),
                   eActionSucceeded);
    } else {
        AddMessage(QStringLiteral("Failed to execute the external application for QI ") + task.m_Name,
                   eApplicationFailure);
    }
}

void CAlertSenderThread::SendHttpRequest(const CAlertRequest& request, const CAppSettings& settings)
{
    const CTask& task = request.m_Task;
    const CAlertSettings& alert = task.m_AlertSettings;
    const QString urlTemplate = alert.m_bUseDefaultAlertMethods ? settings.m_AlertHttpUrl : alert.m_AlertHttpUrl;
    if (urlTemplate.trimmed().isEmpty()) {
        AddMessage(QStringLiteral("HTTP alert URL is not set. Unable to send HTTP alert."), eApplicationFailure);
        return;
    }
    const bool defaults = alert.m_bUseDefaultAlertMethods;
    const CHttpAlert prepared = PrepareHttpAlert(
        defaults ? settings.m_AlertHttpMethod : alert.m_AlertHttpMethod, urlTemplate,
        defaults ? settings.m_AlertHttpBody : alert.m_AlertHttpBody,
        defaults ? settings.m_AlertHttpContentType : alert.m_AlertHttpContentType, AlertFieldsOf(request));
    QString error;
    // The texts say nothing of the body: a hook's body often carries its secret token.
    if (SendHttpAlert(prepared, task.m_TimeoutSec, &m_bAbort, error))
        AddMessage(QStringLiteral("HTTP alert for task ") + task.m_Name + QStringLiteral(" sent successfully"),
                   eActionSucceeded);
    else
        AddMessage(QStringLiteral("Unable to send HTTP alert for task ") + task.m_Name + QStringLiteral(". ") + error,
                   eApplicationFailure);
}

void CAlertSenderThread::ReportDropped(int count)
{
    if (count > 0)
        AddMessage(AlertCount(count)
                       + QStringLiteral(" dropped: %1 alerts were already waiting for delivery").arg(kMaxQueuedAlerts),
                   eApplicationFailure);
}

void CAlertSenderThread::AddMessage(const QString& text, CSeverity severity, int taskId)
{
    CLogMessage message(severity, text);
    message.m_TaskId = taskId;
    message.m_TaskName = m_AlertTaskName;
    std::lock_guard guard(m_HostLock);
    if (m_pMainFrame)
        m_pMainFrame->QueueOutputMessage(message);
}
