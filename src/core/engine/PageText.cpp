#include "core/engine/PageText.h"

#include <QByteArrayView>
#include <QStringDecoder>

#include <algorithm>

namespace {

// Browsers look for a <meta> charset this far into a page, no further: the encoding must be
// known before much of the page is read.
constexpr qsizetype kPrescanBytes = 1024;

bool IsSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\f' || c == '\r';
}

bool IsAsciiAlpha(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

QByteArray Latin1Encoding()
{
    // windows-1252 has every Latin-1 letter where Latin-1 has it, and printable characters
    // ("€", curly quotes) where Latin-1 has control codes no page means.
    static const QByteArray name
        = QStringDecoder("windows-1252").isValid() ? QByteArray("windows-1252") : QByteArray("ISO-8859-1");
    return name;
}

// The name under which label can be decoded here, or empty when it cannot.
QByteArray KnownEncoding(QByteArrayView label)
{
    label = label.trimmed();
    if (label.isEmpty() || label.size() > 64)
        return {};
    const QByteArray text = label.toByteArray();
    const QStringDecoder decoder(text.constData());
    if (!decoder.isValid())
        return {};
    const QByteArray name(decoder.name());
    if (name == "Locale")
        return {}; // the converter's alias for this machine's own encoding, never a page's
    if (name == "ISO-8859-1" || name == "US-ASCII")
        return Latin1Encoding();
    return name;
}

// The value of the charset parameter in a Content-Type value, from the header or from a
// <meta http-equiv> content attribute; empty when there is none.
QByteArrayView CharsetParameter(QByteArrayView value)
{
    const QByteArray lower = value.toByteArray().toLower();
    const qsizetype size = lower.size();
    for (qsizetype from = 0;;) {
        const qsizetype at = lower.indexOf("charset", from);
        if (at < 0)
            return {};
        qsizetype i = at + 7;
        while (i < size && IsSpace(lower.at(i)))
            ++i;
        if (i >= size || lower.at(i) != '=') {
            from = at + 7;
            continue;
        }
        ++i;
        while (i < size && IsSpace(lower.at(i)))
            ++i;
        if (i >= size)
            return {};
        if (lower.at(i) == '"' || lower.at(i) == '\'') {
            const qsizetype end = lower.indexOf(lower.at(i), i + 1);
            return end < 0 ? QByteArrayView() : value.sliced(i + 1, end - i - 1);
        }
        qsizetype end = i;
        while (end < size && !IsSpace(lower.at(end)) && lower.at(end) != ';')
            ++end;
        return value.sliced(i, end - i);
    }
}

// Reads the attribute that starts at or after pos in a tag, as browsers' encoding prescan does:
// false once the tag ends (pos is then past its ">") or the text ends.
bool NextAttribute(QByteArrayView text, qsizetype& pos, QByteArray& name, QByteArray& value)
{
    const qsizetype size = text.size();
    name.clear();
    value.clear();
    while (pos < size && (IsSpace(text[pos]) || text[pos] == '/'))
        ++pos;
    if (pos >= size)
        return false;
    if (text[pos] == '>') {
        ++pos;
        return false;
    }
    for (; pos < size; ++pos) {
        const char c = text[pos];
        if (c == '=' && !name.isEmpty()) {
            ++pos;
            break;
        }
        if (IsSpace(c)) {
            while (pos < size && IsSpace(text[pos]))
                ++pos;
            if (pos < size && text[pos] == '=') {
                ++pos;
                break;
            }
            return true; // no value
        }
        if (c == '/' || c == '>')
            return true;
        name.append(char(c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c));
    }
    while (pos < size && IsSpace(text[pos]))
        ++pos;
    if (pos >= size)
        return true;
    if (text[pos] == '"' || text[pos] == '\'') {
        const char quote = text[pos++];
        const qsizetype end = text.indexOf(quote, pos);
        if (end < 0) {
            pos = size;
            return false; // the tag never ends within the prescan
        }
        value = text.sliced(pos, end - pos).toByteArray();
        pos = end + 1;
        return true;
    }
    const qsizetype start = pos;
    while (pos < size && !IsSpace(text[pos]) && text[pos] != '>')
        ++pos;
    value = text.sliced(start, pos - start).toByteArray();
    return true;
}

// The encoding the page's first <meta> that names a known one declares, or empty.
QByteArray MetaEncoding(const QByteArray& content)
{
    const QByteArrayView text = QByteArrayView(content).first(std::min(content.size(), kPrescanBytes));
    const qsizetype size = text.size();
    QByteArray name;
    QByteArray value;
    for (qsizetype pos = 0; pos < size;) {
        const qsizetype open = text.indexOf('<', pos);
        if (open < 0)
            break;
        if (text.sliced(open).startsWith("<!--")) {
            const qsizetype close = text.indexOf("-->", open + 2);
            if (close < 0)
                break;
            pos = close + 3;
            continue;
        }
        qsizetype i = open + 1;
        const bool endTag = i < size && text[i] == '/';
        if (endTag)
            ++i;
        if (i < size && IsAsciiAlpha(text[i])) {
            const qsizetype nameStart = i;
            while (i < size && !IsSpace(text[i]) && text[i] != '/' && text[i] != '>')
                ++i;
            const bool isMeta = !endTag && i - nameStart == 4 && qstrnicmp(text.data() + nameStart, "meta", 4) == 0;
            // The attributes of every tag are read, so that a ">" inside a quoted value is
            // not taken for the end of the tag.
            QByteArray charset;
            QByteArray httpEquiv;
            QByteArray metaContent;
            bool hasCharset = false;
            bool hasContent = false;
            while (NextAttribute(text, i, name, value)) {
                if (!isMeta)
                    continue;
                if (name == "charset" && !hasCharset) {
                    charset = value;
                    hasCharset = true;
                } else if (name == "http-equiv" && httpEquiv.isEmpty()) {
                    httpEquiv = value.toLower();
                } else if (name == "content" && !hasContent) {
                    metaContent = value;
                    hasContent = true;
                }
            }
            pos = i;
            if (!isMeta)
                continue;
            QByteArrayView label;
            if (hasCharset)
                label = charset;
            else if (httpEquiv == "content-type" && hasContent)
                label = CharsetParameter(metaContent);
            const QByteArray encoding = KnownEncoding(label);
            if (encoding.isEmpty())
                continue;
            // A page that can declare itself in ASCII is not in UTF-16, whatever it says.
            return encoding.startsWith("UTF-16") ? QByteArray("UTF-8") : encoding;
        }
        if (i < size && (text[i] == '!' || text[i] == '/' || text[i] == '?')) {
            const qsizetype close = text.indexOf('>', i);
            if (close < 0)
                break;
            pos = close + 1;
            continue;
        }
        pos = open + 1;
    }
    return {};
}

} // namespace

QByteArray PageEncoding(const QByteArray& content, const QByteArray& contentType)
{
    if (content.startsWith("\xEF\xBB\xBF"))
        return QByteArrayLiteral("UTF-8");
    if (content.startsWith("\xFE\xFF"))
        return QByteArrayLiteral("UTF-16BE");
    if (content.startsWith("\xFF\xFE"))
        return QByteArrayLiteral("UTF-16LE");
    if (QByteArray encoding = KnownEncoding(CharsetParameter(contentType)); !encoding.isEmpty())
        return encoding;
    if (QByteArray encoding = MetaEncoding(content); !encoding.isEmpty())
        return encoding;
    return content.isValidUtf8() ? QByteArrayLiteral("UTF-8") : Latin1Encoding();
}

QString DecodePage(const QByteArray& content, const QByteArray& encoding)
{
    // Stateless: a sequence cut off at the end of the page is a bad character too, not one
    // held back for more bytes that will never come.
    QStringDecoder decoder(encoding.constData(), QStringConverter::Flag::Stateless);
    if (!decoder.isValid())
        return QString::fromLatin1(content); // every byte is some Latin-1 character
    return decoder.decode(content);
}
