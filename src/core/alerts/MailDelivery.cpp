#include "core/alerts/MailDelivery.h"

#include "core/alerts/SmtpPassword.h"
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

namespace {
int UsualPort(int security)
{
    switch (security) {
    case eSmtpSecurityStartTls:
        return 587;
    case eSmtpSecurityTls:
        return 465;
    default:
        return 25;
    }
}

CSMTP::eSecurity ClientSecurity(int security)
{
    switch (security) {
    case eSmtpSecurityStartTls:
        return CSMTP::eSecurityStartTls;
    case eSmtpSecurityTls:
        return CSMTP::eSecurityTls;
    default:
        return CSMTP::eSecurityNone;
    }
}
} // namespace

CMailOutcome DeliverMail(const CAppSettings& settings, const CMailMessage& message, const std::atomic<bool>* abort,
                         const std::optional<QString>& password)
{
    CMailOutcome outcome;
    if (settings.m_SmtpServerName.isEmpty()) {
        outcome.m_Stage = CMailOutcome::eNoServer;
        return outcome;
    }
    CSMTP smtp(settings.m_SmtpServerName,
               settings.m_SmtpPort > 0 ? settings.m_SmtpPort : UsualPort(settings.m_SmtpSecurity));
    smtp.SetAbortFlag(abort);
    smtp.SetSecurity(ClientSecurity(settings.m_SmtpSecurity), settings.m_TlsCaFile);
    if (!settings.m_SmtpUserName.isEmpty()) {
        QString secret;
        if (password) {
            secret = *password;
        } else {
            const CSmtpPassword resolved = ResolveSmtpPassword(settings);
            if (!resolved.m_Error.isEmpty()) {
                outcome.m_Stage = CMailOutcome::eRefused;
                outcome.m_Text = resolved.m_Error;
                return outcome;
            }
            secret = resolved.m_Password;
        }
        smtp.SetLogin(settings.m_SmtpUserName, secret);
    }
    if (!smtp.Connect()) {
        // Only a server that could not be reached keeps the old message; one that refused TLS
        // or the login was reached, and the reason is what the user needs.
        outcome.m_Stage
            = smtp.GetLastFailure() == CSMTP::eFailureUnreachable ? CMailOutcome::eUnreachable : CMailOutcome::eRefused;
        outcome.m_Text = smtp.GetLastError();
        return outcome;
    }
    CMailMessage sent = message;
    if (sent.m_sFrom.isEmpty())
        sent.m_sFrom = settings.m_SmtpFromAddress.trimmed();
    if (sent.m_sFrom.isEmpty()) {
        QString friendlyName;
        sent.GetRecipient(sent.m_sFrom, friendlyName, 0);
    }
    if (!smtp.SendMessage(sent)) {
        outcome.m_Stage = CMailOutcome::eRefused;
        outcome.m_Text = smtp.GetLastError();
    } else {
        outcome.m_Text = smtp.GetLastReply();
    }
    smtp.Disconnect();
    return outcome;
}
