#include "core/alerts/MailDelivery.h"
#include "core/shell/AppSettings.h"
#include "core/support/Smtp.h"
#include "support/SmtpTestServer.h"

#include <gtest/gtest.h>

#include <chrono>

namespace {

const QString kUser = QStringLiteral("monitor@x.test");
const QString kPassword = QStringLiteral("s3cret-Pa55");

CMailMessage Alert()
{
    CMailMessage message;
    message.AddMultipleRecipients(QStringLiteral("desk@x.test"));
    message.m_sSubject = QStringLiteral("Task \"shop\" failed");
    message.m_sBody = QStringLiteral("The shop is down.");
    return message;
}

CAppSettings Settings(const CSmtpTestServer& server, int security, const QString& user = QString())
{
    CAppSettings settings;
    settings.m_SmtpServerName = server.Address();
    settings.m_SmtpSecurity = security;
    settings.m_SmtpUserName = user;
    return settings;
}

#define START_OR_SKIP(server)                                                                                          \
    do {                                                                                                               \
        if (const QString missing = CSmtpTestServer::MissingPrerequisite(); !missing.isEmpty())                        \
            GTEST_SKIP() << missing.toStdString();                                                                     \
        ASSERT_TRUE((server).Start()) << (server).Error().toStdString();                                               \
    } while (false)

} // namespace

// Each way of protecting the connection delivers the old message with a login, and tells what
// the server answered; the password shows in no text.
TEST(MailSecurity, EverySecurityDeliversWithLoginWhenTheServerIsTrusted)
{
    struct CCase
    {
        const char* m_Name;
        CSmtpTestServer::eTls m_Tls;
        int m_Security;
    };
    for (const CCase& c : {CCase {"plain", CSmtpTestServer::eNoTls, eSmtpSecurityNone},
                           CCase {"STARTTLS", CSmtpTestServer::eStartTlsRequired, eSmtpSecurityStartTls},
                           CCase {"SSL/TLS", CSmtpTestServer::eImplicitTls, eSmtpSecurityTls}}) {
        SCOPED_TRACE(c.m_Name);
        CSmtpTestServer server;
        server.SetTls(c.m_Tls);
        server.SetLogin(kUser, kPassword, c.m_Tls == CSmtpTestServer::eStartTlsRequired);
        START_OR_SKIP(server);
        CAppSettings settings = Settings(server, c.m_Security, kUser);
        settings.m_TlsCaFile = c.m_Tls == CSmtpTestServer::eNoTls ? QString() : server.CertificatePath();

        const CMailOutcome outcome = DeliverMail(settings, Alert(), nullptr, kPassword);
        ASSERT_TRUE(outcome.IsSent()) << outcome.m_Text.toStdString();
        EXPECT_TRUE(outcome.m_Text.startsWith(u"250")) << outcome.m_Text.toStdString();
        const QList<CReceivedMail> mails = server.WaitForMessages(1);
        ASSERT_EQ(mails.size(), 1);
        EXPECT_EQ(mails.first().m_MailFrom, QStringLiteral("desk@x.test"));
        EXPECT_TRUE(mails.first().m_Data.contains("\r\nSubject: Task \"shop\" failed\r\n"))
            << mails.first().m_Data.data();
        EXPECT_TRUE(mails.first().m_Data.contains("\r\n\r\nThe shop is down.")) << mails.first().m_Data.data();
    }
}

// What goes wrong with TLS or the login is said so that the user knows what to change, and
// nothing is sent where the protection or the login asked for is missing.
TEST(MailSecurity, RefusalsOfTlsAndLoginSayWhatToDoAndSendNothing)
{
    struct CCase
    {
        const char* m_Name;
        CSmtpTestServer::eTls m_Tls;
        bool m_bServerLogin;
        int m_Security;
        bool m_bTrusted;
        QString m_Password;
        const char* m_Expected;
    };
    const QString wrong = QStringLiteral("wrong-guess");
    for (const CCase& c : {
             CCase {"wrong password", CSmtpTestServer::eStartTls, true, eSmtpSecurityStartTls, true, wrong,
                    "The server refused the login for user monitor@x.test: check the user name and password."},
             CCase {"untrusted certificate", CSmtpTestServer::eImplicitTls, true, eSmtpSecurityTls, false, kPassword,
                    "extra trusted certificates setting"},
             CCase {"no STARTTLS offered", CSmtpTestServer::eNoTls, true, eSmtpSecurityStartTls, true, kPassword,
                    "does not offer STARTTLS"},
             CCase {"no login offered", CSmtpTestServer::eNoTls, false, eSmtpSecurityNone, true, kPassword,
                    "offers no login"},
         }) {
        SCOPED_TRACE(c.m_Name);
        CSmtpTestServer server;
        server.SetTls(c.m_Tls);
        if (c.m_bServerLogin)
            server.SetLogin(kUser, kPassword);
        START_OR_SKIP(server);
        CAppSettings settings = Settings(server, c.m_Security, kUser);
        if (c.m_bTrusted && c.m_Tls != CSmtpTestServer::eNoTls)
            settings.m_TlsCaFile = server.CertificatePath();

        const CMailOutcome outcome = DeliverMail(settings, Alert(), nullptr, c.m_Password);
        EXPECT_EQ(outcome.m_Stage, CMailOutcome::eRefused) << outcome.m_Text.toStdString();
        EXPECT_TRUE(outcome.m_Text.contains(QLatin1String(c.m_Expected))) << outcome.m_Text.toStdString();
        EXPECT_TRUE(outcome.LogText().startsWith(u"Unable to send e-mail message. "));
        EXPECT_FALSE(outcome.m_Text.contains(c.m_Password)) << outcome.m_Text.toStdString();
        EXPECT_EQ(server.MailFromCount(), 0);
        EXPECT_TRUE(server.WaitForMessages(1, std::chrono::milliseconds(200)).isEmpty());
    }
}

// A server that goes silent, hangs up or says no during the dialogue ends the delivery within
// the time-out with its own reason.
TEST(MailSecurity, ServersThatFailMidDialogueEachHaveTheirOwnReason)
{
    struct CCase
    {
        const char* m_Name;
        CSmtpTestServer::eStall m_Stall;
        bool m_bReject;
        const char* m_Expected;
    };
    for (const CCase& c :
         {CCase {"drops at MAIL FROM", CSmtpTestServer::eDropAtMailFrom, false, "closed the connection"},
          CCase {"refuses the recipient", CSmtpTestServer::eNoStall, true, "550 5.1.1 No such user"}}) {
        SCOPED_TRACE(c.m_Name);
        CSmtpTestServer server;
        server.SetStall(c.m_Stall);
        if (c.m_bReject)
            server.SetRejectRecipient(QStringLiteral("desk@"));
        START_OR_SKIP(server);
        const auto start = std::chrono::steady_clock::now();
        const CMailOutcome outcome = DeliverMail(Settings(server, eSmtpSecurityNone), Alert());
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(60));
        EXPECT_EQ(outcome.m_Stage, CMailOutcome::eRefused) << outcome.m_Text.toStdString();
        EXPECT_TRUE(outcome.m_Text.contains(QLatin1String(c.m_Expected))) << outcome.m_Text.toStdString();
    }
}
