#pragma once

#include <QString>

#include <atomic>
#include <optional>

class CAppSettings;
class CMailMessage;

// What became of one message handed to the mail server.
struct CMailOutcome
{
    enum eStage
    {
        eSent,
        eNoServer, // no SMTP server is set
        eUnreachable, // the server could not be reached or did not greet
        eRefused, // reached, but TLS, the login or the message failed
    };
    eStage m_Stage = eSent;
    // Why it failed, saying what to do where the user can do something; the server's last
    // reply when it was sent. Never holds a password.
    QString m_Text;

    bool IsSent() const { return m_Stage == eSent; }
    // The alert thread's log text for a failure: "SMTP server name is not set. Unable to send
    // e-mail message.", "Unable to connect to SMTP server." or "Unable to send e-mail
    // message. " followed by m_Text.
    QString LogText() const;
};

// Sends message through the mail server of settings: server, port, security, login (the
// password from ResolveSmtpPassword), extra trusted certificates. message.m_sFrom empty takes
// m_SmtpFromAddress, or else the first recipient. password, when given, is used instead of
// the one ResolveSmtpPassword finds (the Options sheet tests a password not yet stored).
// Blocks until done, the time-outs of CSMTP bounding every wait; abort, once set, ends it
// within about a second. Any thread.
CMailOutcome DeliverMail(const CAppSettings& settings, const CMailMessage& message,
                         const std::atomic<bool>* abort = nullptr,
                         const std::optional<QString>& password = std::nullopt);
