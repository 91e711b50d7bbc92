#include "core/support/Smtp.h"

#include "core/support/Curl.h"
#include "core/support/MailMessage.h"

#include <QByteArray>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>
#include <optional>

#ifndef _WIN32
#include <sys/socket.h>
#endif

namespace {
constexpr int kDefaultConnectTimeoutMs = 30 * 1000;
constexpr int kDefaultTransferTimeoutMs = 120 * 1000;
// Once the message is through (or has failed), QUIT is a courtesy: a server that does not
// answer it within this time is left, rather than waited for a whole time-out again.
constexpr std::chrono::seconds kQuitReplyWait {2};

// "host", "host:port", "[v6]:port", "[v6]" or a bare v6 literal (more than one colon).
bool ParseServer(const QString& setting, int defaultPort, QString& host, int& port)
{
    const QString text = setting.trimmed();
    QString portText;
    if (text.startsWith(QLatin1Char('['))) {
        const qsizetype close = text.indexOf(QLatin1Char(']'));
        if (close < 0) {
            return false;
        }
        host = text.mid(1, close - 1);
        const QString rest = text.mid(close + 1);
        if (!rest.isEmpty() && !rest.startsWith(QLatin1Char(':'))) {
            return false;
        }
        portText = rest.mid(1);
    } else if (text.count(QLatin1Char(':')) == 1) {
        host = text.section(QLatin1Char(':'), 0, 0).trimmed();
        portText = text.section(QLatin1Char(':'), 1).trimmed();
    } else {
        host = text;
    }
    port = defaultPort;
    if (!portText.isEmpty()) {
        bool ok = false;
        port = portText.toInt(&ok);
        if (!ok) {
            return false;
        }
    }
    // Characters that would change the meaning of the URL built from the host.
    const bool odd = std::any_of(host.cbegin(), host.cend(),
                                 [](QChar c) { return c.unicode() <= 0x20 || QStringLiteral("/?#@[]\\").contains(c); });
    return !host.isEmpty() && !odd && port > 0 && port <= 65535;
}

size_t DiscardOutput(char*, size_t size, size_t count, void*)
{
    return size * count;
}

QString Seconds(int ms)
{
    return QString::number(ms / 1000.0, 'g', 4);
}
} // namespace

struct CSMTP::CSession
{
    QString m_Server;
    int m_nDefaultPort = 25;
    QString m_Host;
    int m_nPort = 0;
    eSecurity m_Security = eSecurityNone;
    QString m_CaFile;
    QString m_UserName;
    QString m_Password;
    int m_nConnectTimeoutMs = kDefaultConnectTimeoutMs;
    int m_nTransferTimeoutMs = kDefaultTransferTimeoutMs;

    // Lives from Connect() to Disconnect(): libcurl keeps the connection that Connect()
    // opened in the handle's cache for SendMessage(), which closes it with QUIT.
    std::unique_ptr<CCurlEasy> m_pEasy;
    std::array<char, CURL_ERROR_SIZE> m_Detail {};

    // The conversation, as libcurl's debug callback reports it. libcurl's own error texts
    // name only the reply code ("RCPT failed: 550"); the server's words are here.
    QByteArray m_Partial;
    QList<QByteArray> m_ReplyLines;
    QByteArray m_LastCommand;
    // The first refusal and what it answered: libcurl says QUIT after a failed command, and
    // the server's "221 Bye" must not hide the reason.
    QByteArray m_RefusedCommand;
    QByteArray m_Refusal;
    bool m_bNoopAnswered = false;
    bool m_bGreeted = false;
    // The last reply to EHLO named AUTH. libcurl skips the login without a word when the
    // server offers none, and the message would then go out without it.
    bool m_bAuthOffered = false;
    // Between "AUTH" and the server's verdict the client's lines are credentials: the
    // transcript keeps only the mechanism, so no error text can ever show them.
    bool m_bInAuth = false;
    QByteArray m_DataReply;

    QByteArray m_Upload;
    qsizetype m_nUploaded = 0;
    const std::atomic<bool>* m_pAbort = nullptr;
    std::optional<std::chrono::steady_clock::time_point> m_QuitSent;
    // Connect() left its connection open in the handle's cache for SendMessage().
    bool m_bConnectionKept = false;

    void ResetTranscript()
    {
        m_Partial.clear();
        m_ReplyLines.clear();
        m_LastCommand.clear();
        m_RefusedCommand.clear();
        m_Refusal.clear();
        m_bNoopAnswered = false;
        m_bGreeted = false;
        m_bAuthOffered = false;
        m_bInAuth = false;
        m_DataReply.clear();
        m_QuitSent.reset();
        m_Detail.fill(0);
    }

    void ReplyLine(const QByteArray& line)
    {
        m_ReplyLines << line;
        // "250-..." continues a reply; "250 ..." (or a bare code) ends it.
        if (line.size() > 3 && line.at(3) == '-') {
            return;
        }
        if (m_LastCommand.startsWith("EHLO")) {
            m_bAuthOffered = std::any_of(m_ReplyLines.cbegin(), m_ReplyLines.cend(), [](const QByteArray& l) {
                const QByteArray keyword = l.mid(4).trimmed().toUpper();
                return keyword == "AUTH" || keyword.startsWith("AUTH ") || keyword.startsWith("AUTH=");
            });
        }
        const QByteArray reply = m_ReplyLines.join(' ');
        m_ReplyLines.clear();
        m_bGreeted = m_bGreeted || (m_LastCommand.isEmpty() && reply.startsWith("220"));
        if (m_bInAuth && !reply.startsWith("334"))
            m_bInAuth = false;
        if (m_LastCommand == "DATA" && m_nUploaded > 0 && reply.startsWith('2'))
            m_DataReply = reply;
        m_bNoopAnswered = m_bNoopAnswered || m_LastCommand == "NOOP";
        if (m_Refusal.isEmpty() && (reply.startsWith('4') || reply.startsWith('5'))) {
            m_Refusal = reply;
            // The reply to the end of the data follows the DATA command's own "354".
            const bool afterData = m_LastCommand == "DATA" && m_nUploaded > 0;
            m_RefusedCommand = afterData ? QByteArray("the message data") : m_LastCommand;
        }
    }

    static int Debug(CURL*, curl_infotype type, char* data, size_t size, void* user)
    {
        auto* session = static_cast<CSession*>(user);
        if (type == CURLINFO_HEADER_IN) {
            session->m_Partial.append(data, qsizetype(size));
            qsizetype end;
            while ((end = session->m_Partial.indexOf('\n')) >= 0) {
                const QByteArray line = session->m_Partial.left(end).trimmed();
                session->m_Partial.remove(0, end + 1);
                if (!line.isEmpty()) {
                    session->ReplyLine(line);
                }
            }
        } else if (type == CURLINFO_HEADER_OUT) {
            const QByteArray command(data, qsizetype(size));
            const QByteArray line = command.left(command.indexOf('\n')).trimmed();
            if (line.toUpper().startsWith("AUTH ")) {
                session->m_bInAuth = true;
                // "AUTH PLAIN <initial response>" carries the password: keep the verb and
                // mechanism only.
                const qsizetype blank = line.indexOf(' ', 5);
                session->m_LastCommand = blank < 0 ? line : line.left(blank);
            } else if (session->m_bInAuth) {
                // A credential answering the server's "334" challenge.
            } else {
                session->m_LastCommand = line;
            }
            if (session->m_LastCommand == "QUIT")
                session->m_QuitSent = std::chrono::steady_clock::now();
        }
        return 0;
    }

    static size_t Read(char* buffer, size_t size, size_t count, void* user)
    {
        auto* session = static_cast<CSession*>(user);
        const qsizetype chunk
            = std::min<qsizetype>(qsizetype(size * count), session->m_Upload.size() - session->m_nUploaded);
        std::memcpy(buffer, session->m_Upload.constData() + session->m_nUploaded, size_t(chunk));
        session->m_nUploaded += chunk;
        return size_t(chunk);
    }

    // libcurl asks about once a second, also while it waits for a reply. Ending the wait
    // for the reply to QUIT fails nothing: libcurl ignores how its farewell went.
    static int Progress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t)
    {
        const auto* session = static_cast<const CSession*>(user);
        if (session->m_pAbort && session->m_pAbort->load())
            return 1;
        return session->m_QuitSent && std::chrono::steady_clock::now() - *session->m_QuitSent > kQuitReplyWait ? 1 : 0;
    }

    // What the user can do about a failure, where the reason is one of those that a wrong
    // setting or an unset trust causes; the plain Failure() text otherwise.
    eFailure Classify(CURLcode code, bool connecting, int boundMs, QString& text) const
    {
        const QString reason = CurlMessage(code, m_Detail.data());
        const QString where = QStringLiteral("%1 port %2").arg(m_Host).arg(m_nPort);
        switch (code) {
        case CURLE_USE_SSL_FAILED:
            text = QStringLiteral("The server %1 does not offer STARTTLS (%2): choose SSL/TLS or None as the "
                                  "security, or ask the server's administrator to enable STARTTLS.")
                       .arg(where, reason);
            return eFailureSecurity;
        case CURLE_PEER_FAILED_VERIFICATION:
        case CURLE_SSL_CACERT_BADFILE:
        case CURLE_SSL_ISSUER_ERROR:
            text = QStringLiteral("The certificate of the server %1 is not trusted (%2): add the certificate of "
                                  "its authority (or the server's own) to the extra trusted certificates setting.")
                       .arg(where, reason);
            return eFailureSecurity;
        case CURLE_SSL_CONNECT_ERROR:
            text = QStringLiteral("The TLS handshake with the server %1 failed (%2): check that the security "
                                  "matches the port (SSL/TLS usually on 465, STARTTLS on 587).")
                       .arg(where, reason);
            return eFailureSecurity;
        case CURLE_LOGIN_DENIED:
            text = QStringLiteral("The server refused the login for user %1: check the user name and password.")
                       .arg(HeaderText(m_UserName));
            if (!m_Refusal.isEmpty())
                text += QStringLiteral(" Server reply: %1").arg(HeaderText(QString::fromUtf8(m_Refusal)));
            return eFailureLogin;
        case CURLE_COULDNT_RESOLVE_HOST:
            text = QStringLiteral("The SMTP server name \"%1\" cannot be found (%2): check the server name.")
                       .arg(m_Host, reason);
            return eFailureUnreachable;
        case CURLE_COULDNT_CONNECT:
            text = QStringLiteral("Could not connect to the SMTP server %1 (%2): check the server name, the port "
                                  "and that the server runs.")
                       .arg(where, reason);
            return eFailureUnreachable;
        case CURLE_OPERATION_TIMEDOUT:
            text = QStringLiteral("The SMTP server %1 did not answer within %2 s (%3): check the port and the "
                                  "security, or try again later.")
                       .arg(where, Seconds(boundMs), reason);
            if (!m_Refusal.isEmpty())
                text += QStringLiteral(" Server reply: %1").arg(HeaderText(QString::fromUtf8(m_Refusal)));
            return connecting && !m_bGreeted ? eFailureUnreachable : eFailureRefused;
        case CURLE_GOT_NOTHING:
        case CURLE_RECV_ERROR:
        case CURLE_SEND_ERROR:
        case CURLE_WEIRD_SERVER_REPLY:
            if (m_Refusal.isEmpty()) {
                text = QStringLiteral("The SMTP server %1 closed the connection %2 (%3).")
                           .arg(where,
                                m_bGreeted ? QStringLiteral("in the middle of the exchange")
                                           : QStringLiteral("without greeting"),
                                reason);
                return connecting && !m_bGreeted ? eFailureUnreachable : eFailureRefused;
            }
            break;
        default:
            break;
        }
        text = Failure(code);
        return connecting ? eFailureUnreachable : eFailureRefused;
    }

    // libcurl's reason, and the server's own words when it was the server that said no.
    QString Failure(CURLcode code) const
    {
        QString text = CurlMessage(code, m_Detail.data());
        if (!m_Refusal.isEmpty()) {
            const QString command
                = m_RefusedCommand.isEmpty() ? QStringLiteral("the connection") : QString::fromUtf8(m_RefusedCommand);
            text += QStringLiteral(". Server reply to %1: %2").arg(command, HeaderText(QString::fromUtf8(m_Refusal)));
        }
        return text;
    }
};

CSMTP::CSMTP(const QString& server, int port)
    : m_pSession(std::make_unique<CSession>())
{
    m_pSession->m_Server = server;
    m_pSession->m_nDefaultPort = port;
}

CSMTP::~CSMTP()
{
    Disconnect();
}

void CSMTP::SetTimeouts(int connectMs, int transferMs)
{
    m_pSession->m_nConnectTimeoutMs = std::max(1, connectMs);
    m_pSession->m_nTransferTimeoutMs = std::max(1, transferMs);
}

void CSMTP::SetAbortFlag(const std::atomic<bool>* abort)
{
    m_pSession->m_pAbort = abort;
}

void CSMTP::SetSecurity(eSecurity security, const QString& caFile)
{
    m_pSession->m_Security = security;
    m_pSession->m_CaFile = caFile;
}

void CSMTP::SetLogin(const QString& userName, const QString& password)
{
    m_pSession->m_UserName = userName;
    m_pSession->m_Password = password;
}

bool CSMTP::Connect()
{
    CSession& s = *m_pSession;
    m_LastError.clear();
    m_LastReply.clear();
    m_LastFailure = eFailureUnreachable;
    Disconnect();

    QString host;
    int port = 0;
    if (s.m_Server.trimmed().isEmpty()) {
        m_LastError = QStringLiteral("No SMTP server is set.");
        return false;
    }
    if (!ParseServer(s.m_Server, s.m_nDefaultPort, host, port)) {
        m_LastError = QStringLiteral("The SMTP server setting \"%1\" is not a host name or a host:port.")
                          .arg(s.m_Server.trimmed());
        return false;
    }
    s.m_Host = host;
    s.m_nPort = port;
    const QString urlHost = host.contains(QLatin1Char(':')) ? QLatin1Char('[') + host + QLatin1Char(']') : host;
    const char* scheme = s.m_Security == eSecurityTls ? "smtps" : "smtp";
    const QByteArray url = QStringLiteral("%1://%2:%3").arg(QLatin1String(scheme), urlHost).arg(port).toUtf8();

    s.m_pEasy = std::make_unique<CCurlEasy>();
    CURL* easy = s.m_pEasy->Get();
    if (!easy) {
        s.m_pEasy.reset();
        m_LastError = CurlMessage(CURLE_OUT_OF_MEMORY);
        return false;
    }
    curl_easy_setopt(easy, CURLOPT_URL, url.constData());
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, scheme);
    if (s.m_Security == eSecurityStartTls) {
        // "ALL", not "TRY": a server (or a man in the middle) that drops STARTTLS from its
        // EHLO reply must not get the login and the message in the clear.
        curl_easy_setopt(easy, CURLOPT_USE_SSL, long(CURLUSESSL_ALL));
    }
    if (s.m_Security != eSecurityNone) {
        QString trustError;
        if (!ApplyTlsTrust(easy, s.m_CaFile, trustError)) {
            s.m_pEasy.reset();
            m_LastError = trustError;
            m_LastFailure = eFailureSecurity;
            return false;
        }
    }
    if (!s.m_UserName.isEmpty()) {
        const QByteArray user = s.m_UserName.toUtf8();
        const QByteArray password = s.m_Password.toUtf8();
        // libcurl copies both.
        curl_easy_setopt(easy, CURLOPT_USERNAME, user.constData());
        curl_easy_setopt(easy, CURLOPT_PASSWORD, password.constData());
    }
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, s.m_Detail.data());
    curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, long(s.m_nConnectTimeoutMs));
    curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, long(s.m_nTransferTimeoutMs));
    // The wait for any one reply. Whole seconds, rounded up, counted in 64 bits: a time-out
    // near the top of int must not wrap.
    curl_easy_setopt(easy, CURLOPT_SERVER_RESPONSE_TIMEOUT, long((qint64(s.m_nTransferTimeoutMs) + 999) / 1000));
    curl_easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, &CSession::Progress);
    curl_easy_setopt(easy, CURLOPT_XFERINFODATA, &s);
    curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 0L);
    // The debug callback is the only place libcurl shows the server's reply texts; with it
    // set, verbose output goes there instead of to stderr.
    curl_easy_setopt(easy, CURLOPT_DEBUGFUNCTION, &CSession::Debug);
    curl_easy_setopt(easy, CURLOPT_DEBUGDATA, &s);
    curl_easy_setopt(easy, CURLOPT_VERBOSE, 1L);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &DiscardOutput);

    // A harmless command makes libcurl connect, read the greeting and say EHLO. The open
    // connection stays in the handle's cache for SendMessage. NOBODY keeps the reply out of
    // the write callback.
    curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, "NOOP");
    curl_easy_setopt(easy, CURLOPT_NOBODY, 1L);
    s.ResetTranscript();
    const CURLcode code = curl_easy_perform(easy);
    curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, nullptr);
    curl_easy_setopt(easy, CURLOPT_NOBODY, 0L);

    // A server that greeted and answered NOOP with a refusal is still a mail server that can
    // be reached; libcurl closes that connection, and SendMessage opens a new one.
    if (code == CURLE_OK || (s.m_bNoopAnswered && code != CURLE_OPERATION_TIMEDOUT)) {
        s.m_bConnectionKept = code == CURLE_OK;
        if (!s.m_UserName.isEmpty() && !s.m_bAuthOffered) {
            m_LastError = QStringLiteral("The server %1 port %2 offers no login (no AUTH in its reply to EHLO), so "
                                         "the message was not sent: clear the user name if the server needs none, "
                                         "or choose STARTTLS or SSL/TLS if it offers login only over TLS.")
                              .arg(s.m_Host)
                              .arg(s.m_nPort);
            m_LastFailure = eFailureLogin;
            Disconnect();
            return false;
        }
        m_LastFailure = eFailureNone;
        return true;
    }
    m_LastFailure = s.Classify(code, true, s.m_nConnectTimeoutMs, m_LastError);
    s.m_pEasy.reset();
    return false;
}

bool CSMTP::SendMessage(const CMailMessage& message)
{
    CSession& s = *m_pSession;
    m_LastError.clear();
    m_LastReply.clear();
    m_LastFailure = eFailureRefused;
    if (!s.m_pEasy) {
        m_LastError = QStringLiteral("Not connected to the SMTP server.");
        return false;
    }
    const QList<CMailMessage::CRecipient>& recipients = message.GetRecipients();
    if (recipients.isEmpty()) {
        m_LastError = QStringLiteral("The message has no recipient.");
        return false;
    }
    CMailMessage::CRecipient sender;
    ParseMailbox(message.m_sFrom, sender);
    if (!sender.m_Address.isEmpty() && !IsSafeAddress(sender.m_Address)) {
        m_LastError = QStringLiteral("The sender address \"%1\" is not valid.").arg(HeaderText(sender.m_Address));
        return false;
    }
    CCurlStringList envelopeRecipients;
    for (const CMailMessage::CRecipient& recipient : recipients) {
        if (!IsSafeAddress(recipient.m_Address)) {
            m_LastError
                = QStringLiteral("The recipient address \"%1\" is not valid.").arg(HeaderText(recipient.m_Address));
            return false;
        }
        if (!envelopeRecipients.Append(recipient.m_Address.toUtf8().constData())) {
            m_LastError = CurlMessage(CURLE_OUT_OF_MEMORY);
            return false;
        }
    }

    s.m_Upload = BuildMessage(message, sender);
    s.m_nUploaded = 0;
    const QByteArray from = sender.m_Address.toUtf8();

    CURL* easy = s.m_pEasy->Get();
    // An empty sender is the null reverse-path, "MAIL FROM:<>".
    curl_easy_setopt(easy, CURLOPT_MAIL_FROM, from.isEmpty() ? nullptr : from.constData());
    curl_easy_setopt(easy, CURLOPT_MAIL_RCPT, envelopeRecipients.Get());
    // A refused recipient must fail the message with the server's reason, not vanish from a
    // message that is then delivered to the others.
#if LIBCURL_VERSION_NUM >= 0x080200
    curl_easy_setopt(easy, CURLOPT_MAIL_RCPT_ALLOWFAILS, 0L);
#else
    curl_easy_setopt(easy, CURLOPT_MAIL_RCPT_ALLLOWFAILS, 0L);
#endif
    curl_easy_setopt(easy, CURLOPT_UPLOAD, 1L);
    // The session ends with the message: libcurl says QUIT within this call, where the
    // progress callback bounds the wait for its reply. Left to the handle's clean-up, the
    // QUIT would wait as long as any reply may (libcurl gives its closing handle the last
    // transfer's time-outs), after a message that may itself have taken that long.
    curl_easy_setopt(easy, CURLOPT_FORBID_REUSE, 1L);
    curl_easy_setopt(easy, CURLOPT_READFUNCTION, &CSession::Read);
    curl_easy_setopt(easy, CURLOPT_READDATA, &s);
    curl_easy_setopt(easy, CURLOPT_INFILESIZE_LARGE, curl_off_t(s.m_Upload.size()));
    // libcurl dot-stuffs the upload itself (a line starting with "." goes as ".."), so the
    // message is handed over as it should arrive.
    s.ResetTranscript();
    const CURLcode code = curl_easy_perform(easy);
    s.m_bConnectionKept = false;

    // The recipient list dies with this call; libcurl must not keep pointing at it.
    curl_easy_setopt(easy, CURLOPT_MAIL_RCPT, nullptr);
    curl_easy_setopt(easy, CURLOPT_MAIL_FROM, nullptr);
    curl_easy_setopt(easy, CURLOPT_UPLOAD, 0L);
    s.m_Upload.clear();
    if (code != CURLE_OK) {
        m_LastFailure = s.Classify(code, false, s.m_nTransferTimeoutMs, m_LastError);
        // A new connection (after a NOOP refusal) logs in again and may fail there.
        if (m_LastFailure == eFailureUnreachable)
            m_LastFailure = eFailureRefused;
        return false;
    }
    m_LastFailure = eFailureNone;
    m_LastReply = HeaderText(QString::fromUtf8(s.m_DataReply));
    return true;
}

bool CSMTP::Disconnect()
{
    if (!m_pSession->m_pEasy) {
        return false;
    }
    // A connection that carried no message is closed without a word: the QUIT that the
    // handle's clean-up would send could wait a whole time-out, unbounded by any abort.
    if (m_pSession->m_bConnectionKept) {
        curl_socket_t socket = CURL_SOCKET_BAD;
        if (curl_easy_getinfo(m_pSession->m_pEasy->Get(), CURLINFO_ACTIVESOCKET, &socket) == CURLE_OK
            && socket != CURL_SOCKET_BAD) {
#ifdef _WIN32
            ::shutdown(socket, SD_BOTH);
#else
            ::shutdown(socket, SHUT_RDWR);
#endif
        }
        m_pSession->m_bConnectionKept = false;
    }
    m_pSession->m_pEasy.reset();
    return true;
}
