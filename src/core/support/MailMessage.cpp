#include "core/support/MailMessage.h"

#include "core/support/Clock.h"

#include <QDateTime>
#include <QLocale>
#include <QStringList>
#include <QUuid>

#include <algorithm>

namespace {
// RFC 5322 asks for header lines of at most 78 characters; folding keeps to that where the
// text has room to break.
constexpr int kHeaderLineLength = 78;
// UTF-8 bytes per encoded-word: 52 base64 characters, so that "Subject: " and the
// "=?UTF-8?B?...?=" frame still fit in one 78-character line.
constexpr int kEncodedWordBytes = 39;
// RFC 5321: a line of the message may hold 998 octets before its CR LF.
constexpr int kMaxSmtpLineOctets = 998;
// RFC 2045: an encoded quoted-printable line holds at most 76 characters.
constexpr int kQuotedPrintableLineLength = 76;

// Splits at the separator where it stands outside double quotes and angle brackets, so that
// "\"Doe; John\" <j@x>" stays one item.
QStringList SplitOutside(const QString& text, QChar separator)
{
    QStringList parts;
    QString current;
    bool quoted = false;
    bool escaped = false;
    int angles = 0;
    for (const QChar c : text) {
        if (escaped) {
            escaped = false;
        } else if (quoted && c == QLatin1Char('\\')) {
            escaped = true;
        } else if (c == QLatin1Char('"')) {
            quoted = !quoted;
        } else if (!quoted && c == QLatin1Char('<')) {
            ++angles;
        } else if (!quoted && c == QLatin1Char('>') && angles > 0) {
            --angles;
        } else if (!quoted && angles == 0 && c == separator) {
            parts << current;
            current.clear();
            continue;
        }
        current += c;
    }
    parts << current;
    return parts;
}

QString Unquote(QString name)
{
    if (name.size() >= 2 && name.startsWith(QLatin1Char('"')) && name.endsWith(QLatin1Char('"'))) {
        name = name.mid(1, name.size() - 2);
        QString plain;
        bool escaped = false;
        for (const QChar c : std::as_const(name)) {
            if (!escaped && c == QLatin1Char('\\')) {
                escaped = true;
                continue;
            }
            escaped = false;
            plain += c;
        }
        name = plain;
    }
    return name.trimmed();
}

bool IsPrintableAscii(const QString& text)
{
    return std::all_of(text.cbegin(), text.cend(), [](QChar c) { return c.unicode() >= 0x20 && c.unicode() < 0x7f; });
}

// RFC 2047 "B" encoded-words, cut between characters, never inside one.
QList<QByteArray> EncodedWords(const QString& text)
{
    QList<QByteArray> words;
    const QByteArray utf8 = text.toUtf8();
    qsizetype start = 0;
    while (start < utf8.size()) {
        qsizetype end = std::min<qsizetype>(start + kEncodedWordBytes, utf8.size());
        while (end < utf8.size() && end > start + 1 && (uchar(utf8.at(end)) & 0xc0) == 0x80) {
            --end;
        }
        words << "=?UTF-8?B?" + utf8.mid(start, end - start).toBase64() + "?=";
        start = end;
    }
    return words;
}

// Words of free text (a subject, a display name) ready for a header: as they are when they
// are plain ASCII, otherwise as encoded-words. Text holding "=?" is encoded too, or a
// reader would decode what only looks like an encoded-word; so is a word too long to fold.
QList<QByteArray> TextWords(const QString& text)
{
    const QStringList words = text.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    const bool tooLong
        = std::any_of(words.cbegin(), words.cend(), [](const QString& w) { return w.size() > kHeaderLineLength; });
    if (IsPrintableAscii(text) && !text.contains(QLatin1String("=?")) && !tooLong) {
        QList<QByteArray> plain;
        for (const QString& word : words) {
            plain << word.toLatin1();
        }
        return plain;
    }
    return EncodedWords(text);
}

// A display name as an RFC 5322 phrase: atoms as they are, other ASCII as a quoted-string,
// anything else as encoded-words.
QList<QByteArray> DisplayNameWords(const QString& name)
{
    static const QByteArray notInAtom = "()<>[]:;@\\,.\"";
    const QString text = HeaderText(name);
    if (text.isEmpty()) {
        return {};
    }
    if (IsPrintableAscii(text) && !text.contains(QLatin1String("=?"))) {
        const QByteArray ascii = text.toLatin1();
        if (std::none_of(ascii.cbegin(), ascii.cend(), [](char c) { return notInAtom.contains(c); })) {
            return TextWords(text);
        }
        if (ascii.size() <= kHeaderLineLength) {
            QByteArray quoted = ascii;
            quoted.replace("\\", "\\\\").replace("\"", "\\\"");
            return {'"' + quoted + '"'};
        }
    }
    return EncodedWords(text);
}

// "Name: " followed by the words, one space apart, with a fold (CR LF before a space)
// wherever the next word would pass the line length. A word never breaks.
QByteArray FoldedHeader(const char* name, const QList<QByteArray>& words)
{
    QByteArray header = QByteArray(name) + ':';
    qsizetype lineLength = header.size();
    bool firstWord = true;
    for (const QByteArray& word : words) {
        if (!firstWord && lineLength + 1 + word.size() > kHeaderLineLength) {
            header += "\r\n";
            lineLength = 0;
        }
        header += ' ' + word;
        lineLength += 1 + word.size();
        firstWord = false;
    }
    return header + "\r\n";
}

QList<QByteArray> MailboxWords(const CMailMessage::CRecipient& mailbox)
{
    const QByteArray address = HeaderText(mailbox.m_Address).toUtf8();
    QList<QByteArray> words = DisplayNameWords(mailbox.m_FriendlyName);
    words << (words.isEmpty() ? address : '<' + address + '>');
    return words;
}

QByteArray DateHeaderValue(const QDateTime& local)
{
    // Day and month names are English whatever the user's language (RFC 5322 3.3).
    const QString stamp = QLocale::c().toString(local, QStringLiteral("ddd, dd MMM yyyy hh:mm:ss"));
    const int offsetMinutes = local.offsetFromUtc() / 60;
    const int absolute = std::abs(offsetMinutes);
    return stamp.toLatin1()
        + QStringLiteral(" %1%2%3")
              .arg(offsetMinutes < 0 ? QLatin1Char('-') : QLatin1Char('+'))
              .arg(absolute / 60, 2, 10, QLatin1Char('0'))
              .arg(absolute % 60, 2, 10, QLatin1Char('0'))
              .toLatin1();
}

// Lines longer than the caller's limit break at the last blank before it, or at the limit
// when there is none; shorter lines are left alone.
void AppendWrapped(QStringList& lines, QString line, int limit)
{
    while (limit > 0 && line.size() > limit) {
        qsizetype cut = line.lastIndexOf(QLatin1Char(' '), limit);
        qsizetype resume = cut + 1;
        if (cut <= 0) {
            cut = line.at(limit - 1).isHighSurrogate() ? limit - 1 : limit;
            resume = cut;
        }
        if (cut <= 0) {
            break;
        }
        lines << line.left(cut);
        line = line.mid(resume);
    }
    lines << line;
}

QStringList BodyLines(const QString& body, int charsPerLine)
{
    QString text = body;
    text.replace(QLatin1String("\r\n"), QLatin1String("\n")).replace(QLatin1Char('\r'), QLatin1Char('\n'));
    QStringList lines;
    for (const QString& line : text.split(QLatin1Char('\n'))) {
        AppendWrapped(lines, line, charsPerLine);
    }
    return lines;
}

bool Is7BitLine(const QByteArray& line)
{
    return line.size() <= kMaxSmtpLineOctets
        && std::all_of(line.cbegin(), line.cend(), [](char c) { return (c >= 0x20 && c < 0x7f) || c == '\t'; });
}

// RFC 2045 quoted-printable for one line, with soft breaks so that no encoded line passes
// 76 characters. Blanks at the end of the line are encoded: transports may strip them.
QByteArray QuotedPrintableLine(const QByteArray& line)
{
    static const char hex[] = "0123456789ABCDEF";
    QByteArray encoded;
    qsizetype lineLength = 0;
    for (qsizetype i = 0; i < line.size(); ++i) {
        const uchar c = uchar(line.at(i));
        const bool last = i == line.size() - 1;
        QByteArray piece;
        if ((c >= 33 && c <= 126 && c != '=') || ((c == ' ' || c == '\t') && !last)) {
            piece = QByteArray(1, char(c));
        } else {
            piece = QByteArray(1, '=') + hex[c >> 4] + hex[c & 0xf];
        }
        // The soft break "=" takes one column, except after the line's final character.
        const qsizetype room = last ? kQuotedPrintableLineLength : kQuotedPrintableLineLength - 1;
        if (lineLength + piece.size() > room) {
            encoded += "=\r\n";
            lineLength = 0;
        }
        encoded += piece;
        lineLength += piece.size();
    }
    return encoded;
}

// The transfer encoding is chosen per message. Plain ASCII text whose lines fit SMTP's 998
// octets goes as it is ("7bit"): readable in any raw view, and what nearly every alert is.
// Anything else (UTF-8, longer lines) goes quoted-printable rather than "8bit": libcurl
// cannot declare BODY=8BITMIME on MAIL FROM, and without that 8-bit data breaks RFC 6152;
// quoted-printable also lets a line of any length arrive whole through soft breaks, while
// ASCII text stays mostly legible. Base64 would be as safe but unreadable in a raw view.
QByteArray EncodedBody(const QStringList& lines, QByteArray& transferEncoding)
{
    QList<QByteArray> utf8Lines;
    bool plain = true;
    for (const QString& line : lines) {
        utf8Lines << line.toUtf8();
        plain = plain && Is7BitLine(utf8Lines.constLast());
    }
    transferEncoding = plain ? "7bit" : "quoted-printable";
    QByteArray body;
    for (const QByteArray& line : std::as_const(utf8Lines)) {
        body += (plain ? line : QuotedPrintableLine(line)) + "\r\n";
    }
    return body;
}

QByteArray MessageIdDomain(const QString& address)
{
    const QString domain = address.section(QLatin1Char('@'), -1);
    const bool usable = address.contains(QLatin1Char('@')) && !domain.isEmpty() && IsPrintableAscii(domain)
        && !domain.contains(QLatin1Char(' ')) && !domain.contains(QLatin1Char('>'));
    return usable ? domain.toLatin1() : QByteArray("localhost");
}
} // namespace

// "Name <address>", "<address>" or a bare address.
bool ParseMailbox(const QString& item, CMailMessage::CRecipient& recipient)
{
    const QString text = item.trimmed();
    if (text.isEmpty()) {
        return false;
    }
    const qsizetype open = text.lastIndexOf(QLatin1Char('<'));
    if (text.endsWith(QLatin1Char('>')) && open >= 0) {
        recipient.m_Address = text.mid(open + 1, text.size() - open - 2).trimmed();
        recipient.m_FriendlyName = Unquote(text.left(open).trimmed());
    } else {
        recipient.m_Address = text;
        recipient.m_FriendlyName.clear();
    }
    return !recipient.m_Address.isEmpty();
}

// Control characters in an envelope address would end the SMTP command early and let the
// rest of the text act as a command of its own; angle brackets would close the path. The C1
// controls (U+0080 to U+009F) end no line, but no mail system expects them in an address.
bool IsSafeAddress(const QString& address)
{
    if (address.isEmpty()) {
        return false;
    }
    return std::none_of(address.cbegin(), address.cend(), [](QChar c) {
        return c.category() == QChar::Other_Control || c == QLatin1Char('<') || c == QLatin1Char('>');
    });
}

// Header values come from task names and settings. A CR or LF kept in one would end the
// header line and let the rest read as a header of its own, so every control character
// (C0, DEL and C1) becomes a space; runs of blanks shrink to one, which also leaves nothing for folding to
// turn into a blank line.
QString HeaderText(const QString& text)
{
    QString clean = text;
    for (QChar& c : clean) {
        if (c.category() == QChar::Other_Control || c.category() == QChar::Separator_Line
            || c.category() == QChar::Separator_Paragraph) {
            c = QLatin1Char(' ');
        }
    }
    return clean.simplified();
}

QByteArray BuildMessage(const CMailMessage& message, const CMailMessage::CRecipient& sender)
{
    const QDateTime now = QDateTime::fromSecsSinceEpoch(CurrentTime());
    QByteArray data = "Date: " + DateHeaderValue(now) + "\r\n";
    if (!sender.m_Address.isEmpty()) {
        data += FoldedHeader("From", MailboxWords(sender));
    }
    QList<QByteArray> toWords;
    const QList<CMailMessage::CRecipient>& recipients = message.GetRecipients();
    for (qsizetype i = 0; i < recipients.size(); ++i) {
        QList<QByteArray> words = MailboxWords(recipients.at(i));
        if (i + 1 < recipients.size()) {
            words.last() += ',';
        }
        toWords += words;
    }
    data += FoldedHeader("To", toWords);
    data += FoldedHeader("Subject", TextWords(HeaderText(message.m_sSubject)));
    data += "Message-ID: <" + QUuid::createUuid().toByteArray(QUuid::WithoutBraces) + '@'
        + MessageIdDomain(sender.m_Address) + ">\r\n";

    QByteArray transferEncoding;
    const QByteArray body = EncodedBody(BodyLines(message.m_sBody, message.GetCharsPerLine()), transferEncoding);
    data += "MIME-Version: 1.0\r\n"
            "Content-Type: text/plain; charset=UTF-8\r\n"
            "Content-Transfer-Encoding: "
        + transferEncoding + "\r\n\r\n";
    return data + body;
}

bool CMailMessage::AddMultipleRecipients(const QString& list)
{
    const qsizetype before = m_Recipients.size();
    for (const QString& item : SplitOutside(list, QLatin1Char(';'))) {
        // Commas are taken as separators too, but only where every piece they make is an
        // address: "Doe, John <j@x>" stays one recipient named "Doe, John".
        QStringList pieces = SplitOutside(item, QLatin1Char(','));
        pieces.removeIf([](const QString& piece) { return piece.trimmed().isEmpty(); });
        const bool commaList = pieces.size() > 1 && std::all_of(pieces.cbegin(), pieces.cend(), [](const QString& p) {
                                   return p.contains(QLatin1Char('@'));
                               });
        for (const QString& piece : commaList ? pieces : QStringList {item}) {
            CRecipient recipient;
            if (ParseMailbox(piece, recipient)) {
                m_Recipients << recipient;
            }
        }
    }
    return m_Recipients.size() > before;
}

bool CMailMessage::GetRecipient(QString& address, QString& friendlyName, int index) const
{
    if (index < 0 || index >= m_Recipients.size()) {
        return false;
    }
    address = m_Recipients.at(index).m_Address;
    friendlyName = m_Recipients.at(index).m_FriendlyName;
    return true;
}
