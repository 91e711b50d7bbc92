#include "core/shell/SettingsFile.h"

#include "core/tasks/IniFile.h"

#include <QDataStream>
#include <QHash>
#include <QIODevice>
#include <QList>

namespace {

const QString kHeader = QStringLiteral("; Corvane settings: every value is read as it is written, without escapes.");
const QString kRootSection = QStringLiteral("General"); // keys outside any group, as Qt names them
const QLatin1StringView kByteArrayPrefix("@ByteArray(");
const QLatin1StringView kVariantPrefix("@Variant(");
const QLatin1StringView kInvalid("@Invalid()");

bool IsHexDigit(char16_t c)
{
    return (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F');
}

int HexValue(char16_t c)
{
    if (c <= u'9')
        return c - u'0';
    return (c | 0x20) - u'a' + 10;
}

// Bytes inside "@ByteArray(...)" or "@Variant(...)" in the escapes of Qt's INI format, so
// that its reader (the older versions of the program) reads them too. ';', ',' and '=' are
// escaped as well, as that reader would take them for a comment, a list or a quote cue.
QString EscapeBytes(QByteArrayView bytes)
{
    QString out;
    out.reserve(bytes.size() * 2);
    // Qt's reader takes every hex digit after "\x" (and octal digit after "\0") into the
    // escape, so a digit that follows one is escaped too.
    bool escapeNextIfDigit = false;
    for (const char byte : bytes) {
        const uchar c = uchar(byte);
        if (escapeNextIfDigit && IsHexDigit(c)) {
            out += QStringLiteral("\\x") + QString::number(c, 16);
            continue;
        }
        escapeNextIfDigit = false;
        switch (c) {
        case 0:
            out += QStringLiteral("\\0");
            escapeNextIfDigit = true;
            break;
        case '\a':
            out += QStringLiteral("\\a");
            break;
        case '\b':
            out += QStringLiteral("\\b");
            break;
        case '\f':
            out += QStringLiteral("\\f");
            break;
        case '\n':
            out += QStringLiteral("\\n");
            break;
        case '\r':
            out += QStringLiteral("\\r");
            break;
        case '\t':
            out += QStringLiteral("\\t");
            break;
        case '\v':
            out += QStringLiteral("\\v");
            break;
        case '"':
        case '\\':
            out += u'\\';
            out += QChar(c);
            break;
        default:
            if (c <= 0x1F || c >= 0x7F || c == ';' || c == ',' || c == '=') {
                out += QStringLiteral("\\x") + QString::number(c, 16);
                escapeNextIfDigit = true;
            } else {
                out += QChar(c);
            }
        }
    }
    return out;
}

// The reverse, as Qt's reader does it; a character beyond Latin-1 (a hand edit) becomes '?'.
QByteArray UnescapeBytes(QStringView text)
{
    auto toByte = [](uint value) {
        return char(value <= 0xFF ? value : '?');
    };
    QByteArray out;
    out.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t c = text[i].unicode();
        if (c != u'\\') {
            out += toByte(c);
            continue;
        }
        if (++i >= text.size())
            break;
        const char16_t e = text[i].unicode();
        switch (e) {
        case u'a':
            out += '\a';
            break;
        case u'b':
            out += '\b';
            break;
        case u'f':
            out += '\f';
            break;
        case u'n':
            out += '\n';
            break;
        case u'r':
            out += '\r';
            break;
        case u't':
            out += '\t';
            break;
        case u'v':
            out += '\v';
            break;
        case u'x': {
            uint value = 0;
            bool any = false;
            while (i + 1 < text.size() && IsHexDigit(text[i + 1].unicode())) {
                value = (value << 4) + uint(HexValue(text[++i].unicode()));
                any = true;
            }
            if (any)
                out += toByte(value);
            break;
        }
        default:
            if (e >= u'0' && e <= u'7') {
                uint value = e - u'0';
                while (i + 1 < text.size() && text[i + 1] >= u'0' && text[i + 1] <= u'7')
                    value = value * 8 + (text[++i].unicode() - u'0');
                out += toByte(value);
            } else {
                out += toByte(e); // \" \' \\ \? and anything unknown: the character itself
            }
        }
    }
    return out;
}

QString VariantText(const QVariant& value)
{
    QByteArray bytes;
    {
        QDataStream stream(&bytes, QIODevice::WriteOnly);
        // The version Qt's INI format writes and reads.
        stream.setVersion(QDataStream::Qt_4_0);
        stream << value;
    }
    return kVariantPrefix + EscapeBytes(bytes) + u')';
}

// A value as this format writes it (before the writer's quoting of texts).
QString TextForValue(const QVariant& value)
{
    if (!value.isValid())
        return kInvalid;
    switch (value.typeId()) {
    case QMetaType::QString: {
        const QString text = value.toString();
        // The writer puts a value on one line: line breaks and NULs travel escaped.
        if (text.contains(u'\n') || text.contains(u'\r') || text.contains(QChar(u'\0')))
            return VariantText(value);
        return text.startsWith(u'@') ? u'@' + text : text;
    }
    case QMetaType::QByteArray:
        return kByteArrayPrefix + EscapeBytes(value.toByteArray()) + u')';
    case QMetaType::Bool:
        return value.toBool() ? QStringLiteral("true") : QStringLiteral("false");
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::Short:
    case QMetaType::UShort:
    case QMetaType::Long:
    case QMetaType::ULong:
    case QMetaType::Double:
    case QMetaType::Float:
        return value.toString();
    default:
        return VariantText(value);
    }
}

// Undoes Qt's INI escapes in a value of an older file, but only where the value can hold
// nothing else: every backslash must start "\\" or "\"". A hand-written path such as
// "C:\logs\new.log" is left as it is.
QString UndoOldEscapes(QStringView text)
{
    if (!text.contains(u'\\'))
        return text.toString();
    QString out;
    out.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i] != u'\\') {
            out += text[i];
            continue;
        }
        if (i + 1 >= text.size() || (text[i + 1] != u'\\' && text[i + 1] != u'"'))
            return text.toString();
        out += text[++i];
    }
    return out;
}

// Qt's INI format wrote names with "%XX" (and "%UXXXX") for characters other than letters,
// digits, '-', '_' and '.'.
QString DecodeOldName(QStringView name)
{
    if (!name.contains(u'%'))
        return name.toString();
    QString out;
    out.reserve(name.size());
    for (qsizetype i = 0; i < name.size(); ++i) {
        if (name[i] == u'%' && i + 2 < name.size() && IsHexDigit(name[i + 1].unicode())
            && IsHexDigit(name[i + 2].unicode())) {
            out += QChar(char16_t(HexValue(name[i + 1].unicode()) * 16 + HexValue(name[i + 2].unicode())));
            i += 2;
        } else if (name[i] == u'%' && i + 5 < name.size() && name[i + 1] == u'U' && IsHexDigit(name[i + 2].unicode())
                   && IsHexDigit(name[i + 3].unicode()) && IsHexDigit(name[i + 4].unicode())
                   && IsHexDigit(name[i + 5].unicode())) {
            char16_t c = 0;
            for (int k = 2; k <= 5; ++k)
                c = char16_t(c * 16 + HexValue(name[i + k].unicode()));
            out += QChar(c);
            i += 5;
        } else {
            out += name[i];
        }
    }
    return out;
}

// QDataStream reserves room for as many items as a list or map says it holds before it reads
// the first, so a few damaged bytes claiming a billion strings would take gigabytes. Every item
// takes at least four bytes, so walks the lists and maps of a streamed value (at any depth) and
// refuses one that claims more items than its bytes could hold. Other values are read the
// usual way, which takes no more than the bytes there are.
bool HasPlausibleCounts(QDataStream& stream, int depth = 0)
{
    constexpr int kMaxDepth = 64;
    const qint64 start = stream.device()->pos();
    // No null flag: the streams of Qt's INI format are older than it.
    quint32 typeId = 0;
    stream >> typeId;
    const bool isList = typeId == QMetaType::QVariantList || typeId == QMetaType::QStringList;
    const bool isMap = typeId == QMetaType::QVariantMap || typeId == QMetaType::QVariantHash;
    if (!isList && !isMap) {
        stream.device()->seek(start);
        QVariant leaf;
        stream >> leaf;
        return stream.status() == QDataStream::Ok;
    }
    quint32 count = 0;
    stream >> count;
    if (stream.status() != QDataStream::Ok || depth > kMaxDepth
        || qint64(count) * 4 > stream.device()->bytesAvailable())
        return false;
    for (quint32 i = 0; i < count; ++i) {
        if (isMap || typeId == QMetaType::QStringList) {
            QString text;
            stream >> text;
            if (stream.status() != QDataStream::Ok)
                return false;
        }
        if (typeId != QMetaType::QStringList && !HasPlausibleCounts(stream, depth + 1))
            return false;
    }
    return true;
}

// A value as read: the tagged forms of non-text values, else the text itself.
QVariant ValueFromText(QStringView text, bool oldFile)
{
    if (text.startsWith(u'@')) {
        if (text.startsWith(u"@@"))
            return text.sliced(1).toString();
        if (text == kInvalid)
            return {};
        if (text.startsWith(kByteArrayPrefix) && text.endsWith(u')'))
            return UnescapeBytes(text.sliced(kByteArrayPrefix.size(), text.size() - kByteArrayPrefix.size() - 1));
        if (text.startsWith(kVariantPrefix) && text.endsWith(u')')) {
            const QByteArray bytes
                = UnescapeBytes(text.sliced(kVariantPrefix.size(), text.size() - kVariantPrefix.size() - 1));
            QDataStream check(bytes);
            check.setVersion(QDataStream::Qt_4_0);
            QDataStream stream(bytes);
            stream.setVersion(QDataStream::Qt_4_0);
            QVariant value;
            if (HasPlausibleCounts(check))
                stream >> value;
            if (stream.status() == QDataStream::Ok && value.isValid())
                return value;
            // Damaged: keep the text, as any other value is kept.
        }
    }
    return oldFile ? UndoOldEscapes(text) : text.toString();
}

} // namespace

QByteArray SettingsFileHeader()
{
    return kHeader.toUtf8();
}

bool ReadSettingsFile(QIODevice& device, QSettings::SettingsMap& map)
{
    QString text;
    if (!CIniReader::Decode(device.readAll(), text))
        return false;
    const bool oldFile = !text.startsWith(kHeader);
    const CIniReader ini(std::move(text));
    ini.ForEachEntry([&](QStringView section, QStringView key, QStringView value) {
        QString group = oldFile ? DecodeOldName(section) : section.toString();
        if (oldFile && group == u"%General")
            group = kRootSection; // Qt's name for a group called "General"
        else if (group.compare(kRootSection, Qt::CaseInsensitive) == 0)
            group.clear();
        // Qt's INI format separates the parts of a key below a group with backslashes.
        QString name = (oldFile ? DecodeOldName(key) : key.toString()).replace(u'\\', u'/');
        const QString path = group.isEmpty() ? name : group + u'/' + name;
        const QVariant variant = ValueFromText(value, oldFile);
        if (variant.isValid() && !map.contains(path))
            map.insert(path, variant);
    });
    return true;
}

bool WriteSettingsFile(QIODevice& device, const QSettings::SettingsMap& map)
{
    // Sections are kept together without regard to case, since the reader takes a second
    // section of the same name for a repeat and skips it. Keys outside any group first.
    struct CSection
    {
        QString name;
        QList<std::pair<QString, QString>> entries;
    };
    QList<CSection> sections {CSection {kRootSection, {}}};
    QHash<QString, qsizetype> index {{kRootSection.toLower(), 0}};
    for (auto it = map.cbegin(); it != map.cend(); ++it) {
        const qsizetype slash = it.key().indexOf(u'/');
        const QString group = slash < 0 ? kRootSection : it.key().first(slash);
        QString key = slash < 0 ? it.key() : it.key().sliced(slash + 1);
        key.replace(u'/', u'\\');
        const QString lower = group.toLower();
        auto found = index.constFind(lower);
        if (found == index.constEnd()) {
            found = index.insert(lower, sections.size());
            sections.append(CSection {group, {}});
        }
        sections[*found].entries.append({key, TextForValue(it.value())});
    }

    CIniWriter ini;
    for (const CSection& section : sections) {
        for (const auto& [key, text] : section.entries)
            ini.WriteString(section.name, key, text);
    }
    const QByteArray bytes = kHeader.toUtf8() + "\r\n" + ini.ToUtf8();
    return device.write(bytes) == bytes.size();
}

QSettings::Format SettingsFileFormat()
{
    // Registered once; Qt keeps the format for the life of the process.
    static const QSettings::Format format
        = QSettings::registerFormat(QStringLiteral("ini"), &ReadSettingsFile, &WriteSettingsFile);
    return format;
}
