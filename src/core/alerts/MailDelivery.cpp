#include "core/alerts/MailDelivery.h"

#include "core/shell/AppSettings.h"
#include "core/support/Smtp.h"

QString CMailOutcome::LogText() const
{
    switch (m_Stage) {
    case eSent:
        return {};
    case eNoServer:
        return QStringLiteral("SMTP server name is not set. Unable to send e-mail message.");
    case eUnreachable:
        return QStringLiteral("Unable to connect to SMTP server.");
    case eRefused:
        break;
    }
    return QStringLiteral("Unable to send e-mail message. ") + m_Text;
}

CMailOutcome DeliverMail(const CAppSettings& settings, const CMailMessage& message, const std::atomic<bool>* abort,
                         const std::optional<QString>&)
{
    CMailOutcome outcome;
    if (settings.m_SmtpServerName.isEmpty()) {
        outcome.m_Stage = CMailOutcome::eNoServer;
        return outcome;
    }
    CSMTP smtp(settings.m_SmtpServerName, 25);
    smtp.SetAbortFlag(abort);
    if (!smtp.Connect()) {
        outcome.m_Stage = CMailOutcome::eUnreachable;
        outcome.m_Text = smtp.GetLastError();
        return outcome;
    }
    CMailMessage sent = message;
    if (sent.m_sFrom.isEmpty()) {
        QString friendlyName;
        sent.GetRecipient(sent.m_sFrom, friendlyName, 0);
    }
    if (!smtp.SendMessage(sent)) {
        outcome.m_Stage = CMailOutcome::eRefused;
        outcome.m_Text = smtp.GetLastError();
    }
    smtp.Disconnect();
    return outcome;
}
