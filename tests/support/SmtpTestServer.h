#pragma once

#include <QByteArray>
#include <QList>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <chrono>

// One message as the test server accepted it: the envelope and the raw data, after the
// server removed the SMTP dot-stuffing, with the CR LF line ends that came over the wire.
struct CReceivedMail
{
    QString m_MailFrom;
    QStringList m_RcptTos;
    QByteArray m_Data;
};

// A real SMTP server (tests/support/smtp_test_server.py on aiosmtpd) in a child process on
// a loopback address and a port the system picks. Set the options before Start(). The
// destructor ends the process.
class CSmtpTestServer
{
public:
    CSmtpTestServer();
    ~CSmtpTestServer();
    CSmtpTestServer(const CSmtpTestServer&) = delete;
    CSmtpTestServer& operator=(const CSmtpTestServer&) = delete;

    // Empty when the server can run here; otherwise why not (for GTEST_SKIP).
    static QString MissingPrerequisite();

    // "127.0.0.1" unless changed; "::1" for IPv6.
    void SetHost(const QString& host) { m_Host = host; }
    // Recipients whose address contains the text are refused with the reply.
    void SetRejectRecipient(const QString& text, const QString& reply = QStringLiteral("550 5.1.1 No such user here"))
    {
        m_RejectText = text;
        m_RejectReply = reply;
    }
    // Every reply, the greeting included, is held back this long.
    void SetReplyDelayMs(int delayMs) { m_nDelayMs = delayMs; }
    // NOOP is answered "502", as by servers that implement only what they must.
    void SetRefuseNoop(bool refuse) { m_bRefuseNoop = refuse; }
    // Where the server hangs for good: never answering the end of the message data (the
    // message is still recorded), or never answering QUIT.
    enum eStall
    {
        eNoStall,
        eStallAfterData,
        eStallOnQuit,
        eDropAtMailFrom, // closes the connection when the client says MAIL FROM
    };
    void SetStall(eStall stall) { m_Stall = stall; }

    // TLS with a certificate made for the loopback addresses (CertificatePath()): from the
    // first byte, or offered as STARTTLS (required before any mail command, or not).
    enum eTls
    {
        eNoTls,
        eImplicitTls,
        eStartTls,
        eStartTlsRequired,
    };
    void SetTls(eTls tls) { m_Tls = tls; }
    // Every message needs a login as user with password (AUTH PLAIN or LOGIN); offered only
    // over TLS when overTlsOnly.
    void SetLogin(const QString& user, const QString& password, bool overTlsOnly = false)
    {
        m_User = user;
        m_Password = password;
        m_bLoginOverTlsOnly = overTlsOnly;
    }
    // The PEM of the server's self-signed certificate, once started with TLS.
    QString CertificatePath() const;
    // How many MAIL FROM commands reached the server.
    int MailFromCount() const;

    // Returns once the server accepts connections; false (with Error()) when it could not start.
    bool Start();
    QString Error() const { return m_Error; }

    int Port() const { return m_nPort; }
    // The server setting that names this server: "127.0.0.1:PORT" or "[::1]:PORT".
    QString Address() const;

    // The messages accepted so far, oldest first, once there are at least count of them
    // or the time is up (then fewer).
    QList<CReceivedMail> WaitForMessages(int count, std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;
    int ConnectionCount() const;

private:
    QList<CReceivedMail> ReadMessages() const;

    QString m_Host = QStringLiteral("127.0.0.1");
    QString m_RejectText;
    QString m_RejectReply;
    int m_nDelayMs = 0;
    bool m_bRefuseNoop = false;
    eStall m_Stall = eNoStall;
    eTls m_Tls = eNoTls;
    QString m_User;
    QString m_Password;
    bool m_bLoginOverTlsOnly = false;
    int m_nPort = -1;
    QString m_Error;
    QTemporaryDir m_Folder;
    QProcess m_Process;
};
