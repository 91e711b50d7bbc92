#include "core/support/Smtp.h"
#include "core/support/MailMessage.h"

#include "support/HttpTestServer.h"
#include "support/SmtpTestServer.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QRegularExpression>

#include <atomic>
#include <thread>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {
using namespace std::chrono_literals;

#define SKIP_WITHOUT_SMTP_SERVER()                                                                                     \
    do {                                                                                                               \
        if (const QString missing = CSmtpTestServer::MissingPrerequisite(); !missing.isEmpty()) {                      \
            GTEST_SKIP() << missing.toStdString();                                                                     \
        }                                                                                                              \
    } while (false)

struct CParsedMail
{
    QList<QPair<QByteArray, QByteArray>> m_Headers; // unfolded, in order
    QByteArray m_RawHeaderBlock;
    QByteArray m_Body;

    QByteArray Header(const char* name) const
    {
        for (const auto& [key, value] : m_Headers) {
            if (key.compare(name, Qt::CaseInsensitive) == 0) {
                return value;
            }
        }
        return {};
    }
    int Count(const char* name) const
    {
        return int(std::count_if(m_Headers.cbegin(), m_Headers.cend(),
                                 [name](const auto& h) { return h.first.compare(name, Qt::CaseInsensitive) == 0; }));
    }
};

CParsedMail Parse(const QByteArray& data)
{
    CParsedMail mail;
    const qsizetype split = data.indexOf("\r\n\r\n");
    mail.m_RawHeaderBlock = data.left(split);
    mail.m_Body = split < 0 ? QByteArray() : data.mid(split + 4);
    for (const QByteArray& line : mail.m_RawHeaderBlock.split('\n')) {
        const QByteArray text = line.endsWith('\r') ? line.chopped(1) : line;
        if ((text.startsWith(' ') || text.startsWith('\t')) && !mail.m_Headers.isEmpty()) {
            mail.m_Headers.last().second += text; // unfolding removes only the CR LF
        } else {
            const qsizetype colon = text.indexOf(':');
            mail.m_Headers.append({text.left(colon), text.mid(colon + 1).trimmed()});
        }
    }
    return mail;
}

// RFC 2047 encoded-words back to text; blanks between two encoded-words vanish.
QString DecodeWords(const QByteArray& value)
{
    static const QRegularExpression word(QStringLiteral(R"(=\?([^?]+)\?([BbQq])\?([^?]*)\?=)"));
    const QString text = QString::fromLatin1(value);
    QString decoded;
    qsizetype at = 0;
    bool lastWasEncoded = false;
    auto it = word.globalMatch(text);
    while (it.hasNext()) {
        const auto match = it.next();
        const QString between = text.mid(at, match.capturedStart() - at);
        if (!(lastWasEncoded && between.trimmed().isEmpty())) {
            decoded += between;
        }
        EXPECT_EQ(match.captured(1).toUpper(), QStringLiteral("UTF-8"));
        EXPECT_EQ(match.captured(2).toUpper(), QStringLiteral("B")) << "only base64 words are expected";
        decoded += QString::fromUtf8(QByteArray::fromBase64(match.captured(3).toLatin1()));
        at = match.capturedEnd();
        lastWasEncoded = true;
    }
    return decoded + text.mid(at);
}

QByteArray DecodeQuotedPrintable(const QByteArray& encoded)
{
    QByteArray decoded;
    for (qsizetype i = 0; i < encoded.size(); ++i) {
        const char c = encoded.at(i);
        if (c != '=') {
            decoded += c;
        } else if (encoded.mid(i + 1, 2) == "\r\n") {
            i += 2; // soft line break
        } else {
            decoded += char(encoded.mid(i + 1, 2).toInt(nullptr, 16));
            i += 2;
        }
    }
    return decoded;
}

QByteArray DecodedBody(const CParsedMail& mail)
{
    const QByteArray encoding = mail.Header("Content-Transfer-Encoding").toLower();
    return encoding == "quoted-printable" ? DecodeQuotedPrintable(mail.m_Body) : mail.m_Body;
}

// Every line of the data ends with CR LF and stays within SMTP's 998 octets.
void ExpectWireLines(const QByteArray& data)
{
    ASSERT_TRUE(data.endsWith("\r\n"));
    const QList<QByteArray> lines = data.chopped(2).split('\n');
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const QByteArray& line = lines.at(i);
        const QByteArray text = i + 1 < lines.size() ? line.chopped(1) : line;
        if (i + 1 < lines.size()) {
            EXPECT_TRUE(line.endsWith('\r')) << "bare LF after line " << i;
        }
        EXPECT_FALSE(text.contains('\r')) << "bare CR in line " << i;
        EXPECT_LE(text.size(), 998) << "line " << i;
    }
}

// Connects, sends and disconnects as the alert code does; the error when it fails.
QString Send(const QString& serverSetting, CMailMessage& message, int port = 25)
{
    CSMTP smtp(serverSetting, port);
    if (!smtp.Connect()) {
        return QStringLiteral("connect: ") + smtp.GetLastError();
    }
    const bool sent = smtp.SendMessage(message);
    const QString error = smtp.GetLastError();
    smtp.Disconnect();
    return sent ? QString() : QStringLiteral("send: ") + error;
}

CMailMessage Message(const QString& recipients, const QString& subject, const QString& body)
{
    CMailMessage message;
    message.SetCharsPerLine(10000);
    message.AddMultipleRecipients(recipients);
    message.m_sSubject = subject;
    message.m_sBody = body;
    QString name;
    message.GetRecipient(message.m_sFrom, name, 0);
    return message;
}

bool Ipv6LoopbackAvailable()
{
    const int fd = ::socket(AF_INET6, SOCK_STREAM, 0);
    if (fd < 0) {
        return false;
    }
    sockaddr_in6 address {};
    address.sin6_family = AF_INET6;
    address.sin6_addr = in6addr_loopback;
    const bool bound = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
    ::close(fd);
    return bound;
}
} // namespace

TEST(MailMessageTest, RecipientListsSplitIntoAddressesAndNames)
{
    CMailMessage message;
    EXPECT_TRUE(message.AddMultipleRecipients(QStringLiteral("a@x.test; b@x.test ;; Name <c@x.test>")));
    ASSERT_EQ(message.GetRecipients().size(), 3);
    QString address = QStringLiteral("unchanged");
    QString name = QStringLiteral("unchanged");
    EXPECT_TRUE(message.GetRecipient(address, name, 1));
    EXPECT_EQ(address, QStringLiteral("b@x.test"));
    EXPECT_TRUE(name.isEmpty());
    EXPECT_TRUE(message.GetRecipient(address, name, 2));
    EXPECT_EQ(address, QStringLiteral("c@x.test"));
    EXPECT_EQ(name, QStringLiteral("Name"));
    address = name = QStringLiteral("unchanged");
    EXPECT_FALSE(message.GetRecipient(address, name, 3));
    EXPECT_FALSE(message.GetRecipient(address, name, -1));
    EXPECT_EQ(address, QStringLiteral("unchanged"));
    EXPECT_EQ(name, QStringLiteral("unchanged"));

    // Lists add up; one with no address adds nothing and says so.
    EXPECT_FALSE(message.AddMultipleRecipients(QStringLiteral(" ;  ; ")));
    EXPECT_FALSE(message.AddMultipleRecipients(QString()));
    EXPECT_EQ(message.GetRecipients().size(), 3);

    // Separators inside a quoted name or between angle brackets belong to the name.
    CMailMessage quoted;
    EXPECT_TRUE(quoted.AddMultipleRecipients(QStringLiteral("\"Doe; Jane \\\"JD\\\"\" <jane@x.test>")));
    ASSERT_EQ(quoted.GetRecipients().size(), 1);
    EXPECT_EQ(quoted.GetRecipients().at(0).m_FriendlyName, QStringLiteral("Doe; Jane \"JD\""));
    EXPECT_EQ(quoted.GetRecipients().at(0).m_Address, QStringLiteral("jane@x.test"));

    // A comma separates only when every piece is an address, so a "Last, First" name survives.
    CMailMessage commas;
    commas.AddMultipleRecipients(QStringLiteral("a@x.test, b@x.test; Doe, John <john@x.test>"));
    ASSERT_EQ(commas.GetRecipients().size(), 3);
    EXPECT_EQ(commas.GetRecipients().at(1).m_Address, QStringLiteral("b@x.test"));
    EXPECT_EQ(commas.GetRecipients().at(2).m_FriendlyName, QStringLiteral("Doe, John"));
    EXPECT_EQ(commas.GetRecipients().at(2).m_Address, QStringLiteral("john@x.test"));
}

TEST(SmtpTest, DeliversEnvelopeHeadersAndUtf8Body)
{
    SKIP_WITHOUT_SMTP_SERVER();
    CSmtpTestServer server;
    ASSERT_TRUE(server.Start()) << server.Error().toStdString();

    const QString body = QStringLiteral("Task \"Shop\" failed.\nGrüße, 東京 €\r\nlast line");
    CMailMessage message
        = Message(QStringLiteral("a@x.test; b@x.test ;; Name <c@x.test>"), QStringLiteral("Corvane alert: Shop"), body);
    const QDateTime before = QDateTime::currentDateTimeUtc().addSecs(-1);
    ASSERT_EQ(Send(server.Address(), message), QString());

    const QList<CReceivedMail> mails = server.WaitForMessages(1);
    ASSERT_EQ(mails.size(), 1);
    EXPECT_EQ(mails[0].m_MailFrom, QStringLiteral("a@x.test"));
    EXPECT_EQ(mails[0].m_RcptTos, QStringList({"a@x.test", "b@x.test", "c@x.test"}));

    ExpectWireLines(mails[0].m_Data);
    const CParsedMail mail = Parse(mails[0].m_Data);
    EXPECT_EQ(mail.Header("From"), "a@x.test");
    EXPECT_EQ(mail.Header("To"), "a@x.test, b@x.test, Name <c@x.test>");
    EXPECT_EQ(mail.Header("Subject"), "Corvane alert: Shop");
    EXPECT_EQ(mail.Header("MIME-Version"), "1.0");
    EXPECT_EQ(mail.Header("Content-Type"), "text/plain; charset=UTF-8");

    const QByteArray date = mail.Header("Date");
    EXPECT_TRUE(QRegularExpression(QStringLiteral(R"(^\w{3}, \d{2} \w{3} \d{4} \d{2}:\d{2}:\d{2} [+-]\d{4}$)"))
                    .match(QString::fromLatin1(date))
                    .hasMatch())
        << date.constData();
    const QDateTime sentAt = QDateTime::fromString(QString::fromLatin1(date), Qt::RFC2822Date);
    ASSERT_TRUE(sentAt.isValid()) << date.constData();
    EXPECT_GE(sentAt.toUTC(), before);
    EXPECT_LE(sentAt.toUTC(), QDateTime::currentDateTimeUtc().addSecs(1));

    // UTF-8 text goes 7-bit clean; decoded it is the body with CR LF line ends.
    EXPECT_TRUE(std::all_of(mails[0].m_Data.cbegin(), mails[0].m_Data.cend(), [](char c) { return uchar(c) < 0x80; }));
    EXPECT_EQ(QString::fromUtf8(DecodedBody(mail)),
              QStringLiteral("Task \"Shop\" failed.\r\nGrüße, 東京 €\r\nlast line\r\n"));
}

TEST(SmtpTest, NonAsciiSubjectAndNamesAreEncodedWords)
{
    SKIP_WITHOUT_SMTP_SERVER();
    CSmtpTestServer server;
    ASSERT_TRUE(server.Start()) << server.Error().toStdString();

    // Long enough to need several encoded-words, which must not split a character.
    const QString subject
        = QStringLiteral("Überwachung fehlgeschlagen: Größenprüfung für 東京の店舗 ") + QString(40, u'€');
    CMailMessage message
        = Message(QStringLiteral("Zoë Ådler <z@x.test>; \"Smith, Bob\" <bob@x.test>"), subject, QStringLiteral("x"));
    ASSERT_EQ(Send(server.Address(), message), QString());

    const QList<CReceivedMail> mails = server.WaitForMessages(1);
    ASSERT_EQ(mails.size(), 1);
    const CParsedMail mail = Parse(mails[0].m_Data);
    const QByteArray header = mail.m_RawHeaderBlock;
    EXPECT_TRUE(std::all_of(header.cbegin(), header.cend(), [](char c) { return uchar(c) < 0x80; }));
    for (const QByteArray& line : header.split('\n')) {
        EXPECT_LE(line.size(), 79) << line.constData(); // 78 and the CR
    }
    EXPECT_EQ(DecodeWords(mail.Header("Subject")), subject);
    EXPECT_EQ(DecodeWords(mail.Header("To")), QStringLiteral("Zoë Ådler <z@x.test>, \"Smith, Bob\" <bob@x.test>"));
}

TEST(SmtpTest, BodyLinesStartingWithADotArriveIntact)
{
    SKIP_WITHOUT_SMTP_SERVER();
    CSmtpTestServer server;
    ASSERT_TRUE(server.Start()) << server.Error().toStdString();

    // A lone "." would end the data early unless it is dot-stuffed exactly once.
    CMailMessage message = Message(QStringLiteral("a@x.test"), QStringLiteral("dots"),
                                   QStringLiteral(".first\n.\n..two\nmiddle\n.\nend"));
    ASSERT_EQ(Send(server.Address(), message), QString());

    const QList<CReceivedMail> mails = server.WaitForMessages(1);
    ASSERT_EQ(mails.size(), 1);
    const CParsedMail mail = Parse(mails[0].m_Data);
    EXPECT_EQ(DecodedBody(mail), ".first\r\n.\r\n..two\r\nmiddle\r\n.\r\nend\r\n");
}

TEST(SmtpTest, LinesBeyondTheSmtpLimitArriveWholeAfterDecoding)
{
    SKIP_WITHOUT_SMTP_SERVER();
    CSmtpTestServer server;
    ASSERT_TRUE(server.Start()) << server.Error().toStdString();

    // '=' and a trailing blank are the characters quoted-printable must escape.
    QString longLine;
    for (int i = 0; longLine.size() < 3000; ++i) {
        longLine += QStringLiteral("word%1=x ").arg(i);
    }
    longLine.truncate(2999);
    longLine += QLatin1Char(' ');
    ASSERT_EQ(longLine.size(), 3000);
    CMailMessage message
        = Message(QStringLiteral("a@x.test"), QStringLiteral("long"), QStringLiteral("short\n") + longLine + "\nend");
    ASSERT_EQ(Send(server.Address(), message), QString());

    const QList<CReceivedMail> mails = server.WaitForMessages(1);
    ASSERT_EQ(mails.size(), 1);
    ExpectWireLines(mails[0].m_Data);
    const CParsedMail mail = Parse(mails[0].m_Data);
    EXPECT_EQ(DecodedBody(mail), "short\r\n" + longLine.toUtf8() + "\r\nend\r\n");
}

TEST(SmtpTest, LinesLongerThanCharsPerLineBreakAtABlank)
{
    SKIP_WITHOUT_SMTP_SERVER();
    CSmtpTestServer server;
    ASSERT_TRUE(server.Start()) << server.Error().toStdString();

    CMailMessage message = Message(QStringLiteral("a@x.test"), QStringLiteral("wrap"),
                                   QStringLiteral("alpha beta gamma\nshort\nabcdefghijklmnop"));
    message.SetCharsPerLine(12);
    ASSERT_EQ(Send(server.Address(), message), QString());

    const QList<CReceivedMail> mails = server.WaitForMessages(1);
    ASSERT_EQ(mails.size(), 1);
    EXPECT_EQ(DecodedBody(Parse(mails[0].m_Data)), "alpha beta\r\ngamma\r\nshort\r\nabcdefghijkl\r\nmnop\r\n");
}

TEST(SmtpTest, LineBreaksInHeaderValuesCannotAddHeaders)
{
    SKIP_WITHOUT_SMTP_SERVER();
    CSmtpTestServer server;
    ASSERT_TRUE(server.Start()) << server.Error().toStdString();

    // C1 controls (U+0085 and U+0093 here) end no line, but have no place in a header either.
    const QString taskName
        = QStringLiteral(u"Shop\u0093\r\nBcc: victim@x.test\nX-Injected: yes\r\rContent-Type:\u0085text/html");
    CMailMessage message = Message(QStringLiteral("Ops\nX-Name-Injected: 1 <a@x.test>"),
                                   QStringLiteral("Task ") + taskName + QStringLiteral(" failed"), QStringLiteral("x"));
    ASSERT_EQ(Send(server.Address(), message), QString());

    const QList<CReceivedMail> mails = server.WaitForMessages(1);
    ASSERT_EQ(mails.size(), 1);
    const CParsedMail mail = Parse(mails[0].m_Data);
    EXPECT_EQ(mail.Count("Bcc"), 0);
    EXPECT_EQ(mail.Count("X-Injected"), 0);
    EXPECT_EQ(mail.Count("X-Name-Injected"), 0);
    EXPECT_EQ(mail.Count("Content-Type"), 1);
    EXPECT_EQ(mail.Count("Subject"), 1);
    EXPECT_EQ(mail.Header("Content-Type"), "text/plain; charset=UTF-8");
    EXPECT_EQ(mail.Header("Subject"), "Task Shop Bcc: victim@x.test X-Injected: yes Content-Type: text/html failed");
    // Nothing but folded continuations between the headers.
    for (const QByteArray& line : mail.m_RawHeaderBlock.split('\n')) {
        EXPECT_TRUE(line.endsWith('\r') || line == mail.m_RawHeaderBlock.split('\n').constLast()) << line.constData();
        EXPECT_FALSE(line.trimmed().isEmpty());
    }
    EXPECT_EQ(mails[0].m_RcptTos, QStringList({"a@x.test"}));
    EXPECT_FALSE(IsSafeAddress(QStringLiteral(u"a\u0093b@x.test")));
}

TEST(SmtpTest, EmptySenderIsTheNullReversePath)
{
    SKIP_WITHOUT_SMTP_SERVER();
    CSmtpTestServer server;
    ASSERT_TRUE(server.Start()) << server.Error().toStdString();

    CMailMessage message = Message(QStringLiteral("a@x.test"), QStringLiteral("s"), QStringLiteral("b"));
    message.m_sFrom.clear();
    ASSERT_EQ(Send(server.Address(), message), QString());
    const QList<CReceivedMail> mails = server.WaitForMessages(1);
    ASSERT_EQ(mails.size(), 1);
    EXPECT_TRUE(mails[0].m_MailFrom.isEmpty() || mails[0].m_MailFrom == QStringLiteral("<>"))
        << mails[0].m_MailFrom.toStdString();
}

TEST(SmtpTest, RefusedConnectionFailsConnect)
{
    CRefusingPort refusing;
    ASSERT_GT(refusing.Port(), 0);
    CSMTP smtp(QStringLiteral("127.0.0.1"), refusing.Port());
    EXPECT_FALSE(smtp.Connect());
    EXPECT_TRUE(smtp.GetLastError().contains(QStringLiteral("connect"), Qt::CaseInsensitive))
        << smtp.GetLastError().toStdString();

    CMailMessage message = Message(QStringLiteral("a@x.test"), QStringLiteral("s"), QStringLiteral("b"));
    EXPECT_FALSE(smtp.SendMessage(message)) << "nothing to send over";
    EXPECT_FALSE(smtp.GetLastError().isEmpty());
}

TEST(SmtpTest, MalformedServerSettingsFailWithoutContactingAnything)
{
    for (const QString& setting : {QString(), QStringLiteral("   "), QStringLiteral("127.0.0.1:smtp"),
                                   QStringLiteral("127.0.0.1:70000"), QStringLiteral("[::1"), QStringLiteral("a b")}) {
        CSMTP smtp(setting, 25);
        EXPECT_FALSE(smtp.Connect()) << setting.toStdString();
        EXPECT_FALSE(smtp.GetLastError().isEmpty()) << setting.toStdString();
    }
}

TEST(SmtpTest, RefusedRecipientFailsWithTheServersReason)
{
    SKIP_WITHOUT_SMTP_SERVER();
    CSmtpTestServer server;
    server.SetRejectRecipient(QStringLiteral("nobody@"));
    ASSERT_TRUE(server.Start()) << server.Error().toStdString();

    CSMTP smtp(server.Address());
    ASSERT_TRUE(smtp.Connect()) << smtp.GetLastError().toStdString();
    CMailMessage message
        = Message(QStringLiteral("ok@x.test; nobody@x.test; other@x.test"), QStringLiteral("s"), QStringLiteral("b"));
    EXPECT_FALSE(smtp.SendMessage(message));
    EXPECT_TRUE(smtp.GetLastError().contains(QStringLiteral("550 5.1.1 No such user here")))
        << smtp.GetLastError().toStdString();
    EXPECT_TRUE(smtp.GetLastError().contains(QStringLiteral("nobody@x.test"))) << smtp.GetLastError().toStdString();
    smtp.Disconnect();
    EXPECT_TRUE(server.WaitForMessages(1, 300ms).isEmpty()) << "delivered to the others all the same";
}

TEST(SmtpTest, MessageWithoutRecipientsIsRefusedBeforeSending)
{
    SKIP_WITHOUT_SMTP_SERVER();
    CSmtpTestServer server;
    ASSERT_TRUE(server.Start()) << server.Error().toStdString();

    CSMTP smtp(server.Address());
    ASSERT_TRUE(smtp.Connect()) << smtp.GetLastError().toStdString();
    CMailMessage message;
    message.m_sFrom = QStringLiteral("a@x.test");
    message.m_sSubject = QStringLiteral("s");
    EXPECT_FALSE(smtp.SendMessage(message));
    EXPECT_TRUE(smtp.GetLastError().contains(QStringLiteral("recipient"))) << smtp.GetLastError().toStdString();
    smtp.Disconnect();
    EXPECT_TRUE(server.WaitForMessages(1, 300ms).isEmpty());
}

TEST(SmtpTest, ServerSettingMayNameItsOwnPort)
{
    SKIP_WITHOUT_SMTP_SERVER();
    CSmtpTestServer server;
    ASSERT_TRUE(server.Start()) << server.Error().toStdString();
    CRefusingPort refusing;

    // The port in the setting wins over the one the caller passes; blanks do not matter.
    CMailMessage first = Message(QStringLiteral("a@x.test"), QStringLiteral("one"), QStringLiteral("b"));
    EXPECT_EQ(Send(QStringLiteral("  127.0.0.1:%1 ").arg(server.Port()), first, refusing.Port()), QString());
    // Without one, the caller's port is used.
    CMailMessage second = Message(QStringLiteral("a@x.test"), QStringLiteral("two"), QStringLiteral("b"));
    EXPECT_EQ(Send(QStringLiteral("127.0.0.1"), second, server.Port()), QString());
    EXPECT_EQ(server.WaitForMessages(2).size(), 2);
}

TEST(SmtpTest, Ipv6LiteralsWithAndWithoutPort)
{
    SKIP_WITHOUT_SMTP_SERVER();
    if (!Ipv6LoopbackAvailable()) {
        GTEST_SKIP() << "no IPv6 loopback (::1) on this machine";
    }
    CSmtpTestServer server;
    server.SetHost(QStringLiteral("::1"));
    ASSERT_TRUE(server.Start()) << server.Error().toStdString();
    CRefusingPort refusing;

    ASSERT_EQ(server.Address(), QStringLiteral("[::1]:%1").arg(server.Port()));
    CMailMessage first = Message(QStringLiteral("a@x.test"), QStringLiteral("one"), QStringLiteral("b"));
    EXPECT_EQ(Send(server.Address(), first, refusing.Port()), QString());
    CMailMessage second = Message(QStringLiteral("a@x.test"), QStringLiteral("two"), QStringLiteral("b"));
    EXPECT_EQ(Send(QStringLiteral(" ::1 "), second, server.Port()), QString());
    EXPECT_EQ(server.WaitForMessages(2).size(), 2);
}

TEST(SmtpTest, ConnectAndSendShareOneConnection)
{
    SKIP_WITHOUT_SMTP_SERVER();
    CSmtpTestServer server;
    ASSERT_TRUE(server.Start()) << server.Error().toStdString();

    {
        CSMTP smtp(server.Address());
        ASSERT_TRUE(smtp.Connect()) << smtp.GetLastError().toStdString();
        // Connect really reached the server, before any message was sent.
        EXPECT_EQ(server.ConnectionCount(), 1);
        CMailMessage message = Message(QStringLiteral("a@x.test; b@x.test"), QStringLiteral("s"), QStringLiteral("b"));
        ASSERT_TRUE(smtp.SendMessage(message)) << smtp.GetLastError().toStdString();
        EXPECT_TRUE(smtp.Disconnect());
        EXPECT_FALSE(smtp.Disconnect()) << "nothing left to close";
    }
    EXPECT_EQ(server.WaitForMessages(1).size(), 1);
    EXPECT_EQ(server.ConnectionCount(), 1);

    CMailMessage another = Message(QStringLiteral("a@x.test"), QStringLiteral("t"), QStringLiteral("b"));
    EXPECT_EQ(Send(server.Address(), another), QString());
    EXPECT_EQ(server.ConnectionCount(), 2);
}

TEST(SmtpTest, ServerThatRefusesNoopStillCountsAsReached)
{
    SKIP_WITHOUT_SMTP_SERVER();
    CSmtpTestServer server;
    server.SetRefuseNoop(true);
    ASSERT_TRUE(server.Start()) << server.Error().toStdString();

    CSMTP smtp(server.Address());
    ASSERT_TRUE(smtp.Connect()) << smtp.GetLastError().toStdString();
    CMailMessage message = Message(QStringLiteral("a@x.test"), QStringLiteral("s"), QStringLiteral("b"));
    EXPECT_TRUE(smtp.SendMessage(message)) << smtp.GetLastError().toStdString();
    smtp.Disconnect();
    EXPECT_EQ(server.WaitForMessages(1).size(), 1);
}

TEST(SmtpTest, StalledGreetingFailsConnectWithinTheBound)
{
    SKIP_WITHOUT_SMTP_SERVER();
    CSmtpTestServer server;
    server.SetReplyDelayMs(20000);
    ASSERT_TRUE(server.Start()) << server.Error().toStdString();

    CSMTP smtp(server.Address());
    smtp.SetTimeouts(1000, 1500);
    QElapsedTimer clock;
    clock.start();
    EXPECT_FALSE(smtp.Connect());
    EXPECT_LT(clock.elapsed(), 5000);
    EXPECT_TRUE(smtp.GetLastError().contains(QStringLiteral("timeout"), Qt::CaseInsensitive))
        << smtp.GetLastError().toStdString();
}

TEST(SmtpTest, SlowServerFailsTheMessageWithinTheTransferBound)
{
    SKIP_WITHOUT_SMTP_SERVER();
    CSmtpTestServer server;
    // Greeting, EHLO and NOOP fit in the bound; MAIL, three RCPT and DATA do not.
    server.SetReplyDelayMs(600);
    ASSERT_TRUE(server.Start()) << server.Error().toStdString();

    CSMTP smtp(server.Address());
    smtp.SetTimeouts(5000, 2500);
    ASSERT_TRUE(smtp.Connect()) << smtp.GetLastError().toStdString();
    CMailMessage message
        = Message(QStringLiteral("a@x.test; b@x.test; c@x.test"), QStringLiteral("s"), QStringLiteral("b"));
    QElapsedTimer clock;
    clock.start();
    EXPECT_FALSE(smtp.SendMessage(message));
    EXPECT_LT(clock.elapsed(), 5000);
    EXPECT_TRUE(smtp.GetLastError().contains(QStringLiteral("timeout"), Qt::CaseInsensitive))
        << smtp.GetLastError().toStdString();
    clock.restart();
    smtp.Disconnect();
    EXPECT_LT(clock.elapsed(), 3000) << "closing a timed-out session waits for nothing";
}

TEST(SmtpTest, AServerThatStallsAfterTheMessageCostsOneTimeOutNotTwo)
{
    SKIP_WITHOUT_SMTP_SERVER();
    // Never answering the end of the data fails the message at the bound; never answering
    // QUIT fails nothing. Either way, closing the session then does not wait a whole bound
    // again, nor does closing one that never carried a message.
    constexpr int kTransferMs = 8000;
    struct CCase
    {
        const char* m_Name;
        CSmtpTestServer::eStall m_Stall;
        bool m_bSend;
        qint64 m_nBoundMs;
    };
    for (const CCase& c : {CCase {"after the data", CSmtpTestServer::eStallAfterData, true, kTransferMs + 4000},
                           CCase {"on QUIT", CSmtpTestServer::eStallOnQuit, true, kTransferMs - 3000},
                           CCase {"on QUIT, no message", CSmtpTestServer::eStallOnQuit, false, kTransferMs - 3000}}) {
        SCOPED_TRACE(c.m_Name);
        CSmtpTestServer server;
        server.SetStall(c.m_Stall);
        ASSERT_TRUE(server.Start()) << server.Error().toStdString();
        CSMTP smtp(server.Address());
        smtp.SetTimeouts(2000, kTransferMs);
        ASSERT_TRUE(smtp.Connect()) << smtp.GetLastError().toStdString();
        QElapsedTimer clock;
        clock.start();
        if (c.m_bSend) {
            CMailMessage message = Message(QStringLiteral("a@x.test"), QStringLiteral("s"), QStringLiteral("b"));
            EXPECT_EQ(smtp.SendMessage(message), c.m_Stall == CSmtpTestServer::eStallOnQuit)
                << smtp.GetLastError().toStdString();
        }
        EXPECT_TRUE(smtp.Disconnect());
        EXPECT_LT(clock.elapsed(), c.m_nBoundMs);
        EXPECT_EQ(server.WaitForMessages(1, 1s).size(), c.m_bSend ? 1 : 0);
    }
}

TEST(SmtpTest, AnAbortEndsAStalledExchangeAtOnce)
{
    SKIP_WITHOUT_SMTP_SERVER();
    CSmtpTestServer server;
    server.SetReplyDelayMs(30000);
    ASSERT_TRUE(server.Start()) << server.Error().toStdString();
    std::atomic<bool> abort {false};
    CSMTP smtp(server.Address());
    smtp.SetAbortFlag(&abort);
    std::thread aborter([&] {
        std::this_thread::sleep_for(500ms);
        abort = true;
    });
    QElapsedTimer clock;
    clock.start();
    EXPECT_FALSE(smtp.Connect());
    aborter.join();
    EXPECT_LT(clock.elapsed(), 10000) << "the greeting was waited for";
}
