#pragma once

#include <QList>
#include <QString>

#include <atomic>
#include <memory>

// One mail message: recipients, sender, subject and a plain-text body. Texts are Unicode;
// the client encodes them for the wire.
class CMailMessage
{
public:
    struct CRecipient
    {
        QString m_Address;
        QString m_FriendlyName;
    };

    // Lines of the body up to this many characters are sent as they are.
    void SetCharsPerLine(int chars) { m_nCharsPerLine = chars; }
    int GetCharsPerLine() const { return m_nCharsPerLine; }

    // Adds every address of a ";"-separated list (blanks trimmed, empty items skipped). An item
    // may be "Name <address>". False when the list held no address at all.
    bool AddMultipleRecipients(const QString& list);
    // The recipient at index; false when there is none, the outputs then stay as they were.
    bool GetRecipient(QString& address, QString& friendlyName, int index = 0) const;
    const QList<CRecipient>& GetRecipients() const { return m_Recipients; }

    QString m_sFrom; // the sender's address (the envelope sender and the From header)
    QString m_sSubject;
    QString m_sBody; // "\n" separates lines; sent with CR LF

private:
    QList<CRecipient> m_Recipients;
    int m_nCharsPerLine = 76;
};

// An SMTP client on libcurl. The server is a host name or address; a "host:port" (or
// "[v6 address]:port") server setting names its own port instead of the one given.
class CSMTP
{
public:
    CSMTP(const QString& server, int port = 25);
    ~CSMTP();
    CSMTP(const CSMTP&) = delete;
    CSMTP& operator=(const CSMTP&) = delete;

    // Opens the connection and reads the server's greeting. False when the server cannot
    // be reached, or does not greet as an SMTP server; GetLastError() says why.
    bool Connect();
    // Sends the message over the open connection. False when the server refused any part
    // of it (the sender, a recipient, the data); GetLastError() then holds the reason, with
    // the server's own reply where it gave one.
    bool SendMessage(const CMailMessage& message);
    // Ends the session (QUIT) and closes the connection. False when none was open.
    bool Disconnect();

    // Bounds for reaching the server (connection, greeting and EHLO) and for each whole
    // exchange with it, so that a server that stalls cannot hold the caller for ever.
    // 30 s and 120 s unless changed; they apply from the next Connect().
    void SetTimeouts(int connectMs, int transferMs);
    // A flag that, once set from any thread, ends the exchange under way within about a
    // second (the call then fails). Set before Connect(); it must outlive the session.
    void SetAbortFlag(const std::atomic<bool>* abort);

    // How the connection is protected. STARTTLS is required once asked for: a server that
    // does not offer it fails Connect(), the message never goes out in the clear. The
    // server's certificate is verified against the system's authorities and those of
    // caFile (a PEM file; empty for none). Set before Connect().
    enum eSecurity
    {
        eSecurityNone,
        eSecurityStartTls,
        eSecurityTls, // TLS from the first byte ("smtps")
    };
    void SetSecurity(eSecurity security, const QString& caFile = QString());
    // Logs in as userName (nothing when empty) with password. A server that offers no login
    // fails Connect() rather than taking the message without one. Set before Connect().
    void SetLogin(const QString& userName, const QString& password);

    // What the last failure was about, so that a caller can tell a server it could not reach
    // from one that refused.
    enum eFailure
    {
        eFailureNone,
        eFailureUnreachable, // no connection, or no greeting
        eFailureSecurity, // STARTTLS missing, TLS handshake or certificate refused
        eFailureLogin, // no login offered, or the login refused
        eFailureRefused, // the server said no to the message, or failed during it
    };
    eFailure GetLastFailure() const { return m_LastFailure; }
    QString GetLastError() const { return m_LastError; }
    // The server's reply to the end of the message data after a SendMessage() that succeeded
    // ("250 2.0.0 Ok: queued as ...").
    QString GetLastReply() const { return m_LastReply; }

private:
    struct CSession;
    std::unique_ptr<CSession> m_pSession;
    QString m_LastError;
    QString m_LastReply;
    eFailure m_LastFailure = eFailureNone;
};
