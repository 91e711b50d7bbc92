// Alert mail carries task names and result texts that anyone who controls a monitored site or a
// task file can choose. Whatever they hold, the message must keep its headers (no line break or
// control character raw in a header, no header line over SMTP's 998 octets), the envelope must
// carry no command of its own, and the subject and body must reach the reader as they were.

#include "FuzzCheck.h"

#include "core/support/MailMessage.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <QList>
#include <QStringList>

#include <algorithm>
#include <cstddef>
#include <cstdint>

namespace {

constexpr qsizetype kMaxLineOctets = 998;

// What a header can carry of a text: control characters and line separators as blanks, runs of
// white space as one.
QString AsHeaderText(const QString& text)
{
    QString out = text;
    for (QChar& c : out) {
        if (c.unicode() < 0x20 || (c.unicode() >= 0x7f && c.unicode() <= 0x9f) || c == QChar(0x2028)
            || c == QChar(0x2029))
            c = u' ';
    }
    return out.simplified();
}

// The header's value as a mail reader shows it: folds undone, RFC 2047 "B" encoded-words
// decoded, the blanks between two encoded-words dropped.
QString DecodedHeaderValue(const QByteArray& headers, const QByteArray& name)
{
    QByteArray value;
    bool found = false;
    for (const QByteArray& line : headers.split('\n')) {
        const QByteArray text = line.chopped(1); // the CR
        if (found && text.startsWith(' ')) {
            value += text;
        } else if (found) {
            break;
        } else if (text.startsWith(name + ':')) {
            value = text.mid(name.size() + 1);
            found = true;
        }
    }
    QByteArray decoded;
    bool lastEncoded = false;
    for (const QByteArray& word : value.split(' ')) {
        if (word.isEmpty())
            continue;
        const bool encoded = word.startsWith("=?UTF-8?B?") && word.endsWith("?=");
        // Each encoded-word holds whole characters (RFC 2047, 5): mail readers decode them one by one.
        FUZZ_CHECK(!encoded || QByteArray::fromBase64(word.mid(10, word.size() - 12)).isValidUtf8(),
                   "an encoded-word splits a character: %s", SHOWN(word));
        if (!decoded.isEmpty() && !(encoded && lastEncoded))
            decoded += ' ';
        decoded += encoded ? QByteArray::fromBase64(word.mid(10, word.size() - 12)) : word;
        lastEncoded = encoded;
    }
    return QString::fromUtf8(decoded);
}

int HexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

QByteArray DecodedQuotedPrintable(const QByteArray& body)
{
    QByteArray out;
    for (qsizetype i = 0; i < body.size(); ++i) {
        if (body[i] != '=') {
            out += body[i];
        } else if (body.mid(i + 1, 2) == "\r\n") {
            i += 2; // a soft break
        } else {
            const int high = i + 2 < body.size() ? HexDigit(body[i + 1]) : -1;
            const int low = i + 2 < body.size() ? HexDigit(body[i + 2]) : -1;
            FUZZ_CHECK(high >= 0 && low >= 0, "a bad quoted-printable escape at %lld", static_cast<long long>(i));
            out += char(high * 16 + low);
            i += 2;
        }
    }
    return out;
}

// A character that some reader of mail or of SMTP takes for the end of a line, or that no
// header may hold: C0 and C1 controls, DEL and the Unicode line and paragraph separators.
bool EndsLine(QChar c)
{
    const char16_t u = c.unicode();
    return u < 0x20 || (u >= 0x7f && u <= 0x9f) || u == 0x2028 || u == 0x2029;
}

void CheckEnvelopeAddress(const QString& address)
{
    // What the SMTP client admits to MAIL FROM and RCPT TO, where only CR and LF end a line.
    if (!IsSafeAddress(address))
        return;
    for (const QChar c : address) {
        FUZZ_CHECK(c.unicode() >= 0x20 && (c.unicode() < 0x7f || c.unicode() > 0x9f) && c != u'<' && c != u'>',
                   "an envelope address would carry \"%s\" raw: \"%s\"", SHOWN(QString(c)), SHOWN(address));
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzedDataProvider input(data, size);
    const bool wrap = input.ConsumeBool();
    // The alert thread's limit (no wrapping), or a short one that makes the body wrap.
    const int charsPerLine = wrap ? input.ConsumeIntegralInRange(1, 100) : 10000;
    const QString taskName = QString::fromStdString(input.ConsumeRandomLengthString(300));
    const QString recipients = QString::fromStdString(input.ConsumeRandomLengthString(300));
    const QString from = QString::fromStdString(input.ConsumeRandomLengthString(200));
    const QString text = QString::fromStdString(input.ConsumeRemainingBytesAsString());

    CMailMessage message;
    message.SetCharsPerLine(charsPerLine);
    message.AddMultipleRecipients(recipients);
    message.m_sFrom = from;
    // As the alert thread writes them.
    message.m_sSubject = QStringLiteral("Corvane: Task '") + taskName + QStringLiteral("' failed.");
    message.m_sBody = QStringLiteral("Hello,\n\nCorvane discovered an error when running task '") + taskName
        + QStringLiteral("'.\n\nThe following is the description of the error.\n\n") + text;

    CMailMessage::CRecipient sender;
    ParseMailbox(from, sender);
    CheckEnvelopeAddress(sender.m_Address);
    for (const CMailMessage::CRecipient& recipient : message.GetRecipients())
        CheckEnvelopeAddress(recipient.m_Address);

    const QByteArray mail = BuildMessage(message, sender);
    const qsizetype split = mail.indexOf("\r\n\r\n");
    FUZZ_CHECK(split > 0, "no blank line after the headers");
    const QByteArray headers = mail.left(split + 2);
    const QByteArray body = mail.mid(split + 4);

    // Every line of the message ends in CR LF, and none is longer than SMTP allows.
    qsizetype lineStart = 0;
    for (qsizetype i = 0; i < mail.size(); ++i) {
        const char c = mail[i];
        if (c == '\r') {
            FUZZ_CHECK(i + 1 < mail.size() && mail[i + 1] == '\n', "a CR without LF at %lld",
                       static_cast<long long>(i));
        } else if (c == '\n') {
            FUZZ_CHECK(i > 0 && mail[i - 1] == '\r', "an LF without CR at %lld", static_cast<long long>(i));
            FUZZ_CHECK(i - 1 - lineStart <= kMaxLineOctets, "a line of %lld octets: %s",
                       static_cast<long long>(i - 1 - lineStart), SHOWN(mail.mid(lineStart, 100)));
            lineStart = i + 1;
        }
    }
    FUZZ_CHECK(lineStart == mail.size(), "the message does not end with CR LF");

    // The headers are the builder's own; no text adds one, or a control character (an
    // address may be UTF-8, which is no control character).
    static const QList<QByteArray> names
        = {"Date:",       "From:",         "To:",           "Subject:",
           "Message-ID:", "MIME-Version:", "Content-Type:", "Content-Transfer-Encoding:"};
    for (const QByteArray& line : headers.split('\n')) {
        const QByteArray text = line.chopped(line.endsWith('\r') ? 1 : 0);
        if (text.isEmpty())
            continue;
        for (const QChar c : QString::fromUtf8(text)) {
            FUZZ_CHECK(!EndsLine(c), "a header holds U+%04X raw: %s", unsigned(c.unicode()), SHOWN(text));
        }
        const bool known
            = std::any_of(names.cbegin(), names.cend(), [&](const QByteArray& n) { return text.startsWith(n); });
        FUZZ_CHECK(known || text.startsWith(' '), "a header line of its own: %s", SHOWN(text));
    }

    const QString expectedSubject = AsHeaderText(message.m_sSubject);
    const QString subject = DecodedHeaderValue(headers, "Subject");
    FUZZ_CHECK(subject == expectedSubject, "the subject reads \"%s\", not \"%s\"", SHOWN(subject),
               SHOWN(expectedSubject));

    QString expectedBody = message.m_sBody;
    expectedBody.replace(QStringLiteral("\r\n"), QStringLiteral("\n")).replace(u'\r', u'\n');
    const bool quoted = headers.contains("Content-Transfer-Encoding: quoted-printable\r\n");
    FUZZ_CHECK(quoted || headers.contains("Content-Transfer-Encoding: 7bit\r\n"), "an unknown transfer encoding");
    QString decodedBody = QString::fromUtf8(quoted ? DecodedQuotedPrintable(body) : body);
    decodedBody.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    FUZZ_CHECK(decodedBody.endsWith(u'\n'), "the body does not end with a line break");
    decodedBody.chop(1);
    if (wrap) {
        // Wrapping turns a blank, or nothing, into a line break: the rest stays in order.
        auto withoutBreaks = [](QString text) {
            return text.remove(u'\n').remove(u' ');
        };
        FUZZ_CHECK(withoutBreaks(decodedBody) == withoutBreaks(expectedBody), "the wrapped body reads \"%s\"",
                   SHOWN(decodedBody));
    } else {
        FUZZ_CHECK(decodedBody == expectedBody, "the body reads \"%s\", not \"%s\"", SHOWN(decodedBody),
                   SHOWN(expectedBody));
    }
    return 0;
}
