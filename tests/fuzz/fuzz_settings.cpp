// Settings files named on the command line come from people and other programs; whatever one
// holds, the reader must take it, and what the writer then writes must read back to the same
// values, or an Options sheet's OK changes settings the user never touched.

#include "FuzzCheck.h"

#include "core/shell/SettingsFile.h"

#include <QBuffer>
#include <QHash>
#include <QSet>
#include <QStringList>

#include <cstddef>
#include <cstdint>

namespace {

QSettings::SettingsMap Read(const QByteArray& bytes, bool& ok)
{
    QByteArray copy = bytes;
    QBuffer buffer(&copy);
    buffer.open(QIODevice::ReadOnly);
    QSettings::SettingsMap map;
    ok = ReadSettingsFile(buffer, map);
    return map;
}

QByteArray Write(const QSettings::SettingsMap& map)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    FUZZ_CHECK(WriteSettingsFile(buffer, map), "the writer fails");
    return bytes;
}

// A value as the program reads it back: texts and bytes exactly; numbers and the like as the
// text they are written as, since the program reads those with toInt() and toBool().
QString Shape(const QVariant& value)
{
    if (value.typeId() == QMetaType::QByteArray)
        return QStringLiteral("bytes:") + QString::fromLatin1(value.toByteArray().toHex());
    if (value.typeId() == QMetaType::QString)
        return QStringLiteral("text:") + value.toString();
    if (value.canConvert<QString>())
        return QStringLiteral("text:") + value.toString();
    return QStringLiteral("variant:") + QString::fromLatin1(value.typeName());
}

// Names that only an older file can hold (through its "%XX" escapes) and no line of this format
// can carry: empty parts, blanks at an end, line breaks, "=" in a key, brackets in a group, and
// halves of surrogate pairs ("%UDC00"), which UTF-8 cannot hold.
bool IsWritableName(const QString& path)
{
    const QStringList parts = path.split(u'/');
    for (qsizetype i = 0; i < parts.size(); ++i) {
        const QString& part = parts[i];
        if (part.isEmpty() || part != part.trimmed() || part.contains(u'\n') || part.contains(u'\r')
            || part.contains(u'='))
            return false;
        if (QString::fromUtf8(part.toUtf8()) != part)
            return false;
        if (part.contains(u'[') || part.contains(u']') || part.contains(u'\t') || part.contains(QChar(u'\0')))
            return false;
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char*>(data), qsizetype(size));
    bool ok = false;
    const QSettings::SettingsMap read = Read(bytes, ok);
    // Files of older versions are read for what they meant, names decoded from Qt's escapes;
    // the round trip is this format's own promise.
    if (!ok || !bytes.startsWith(SettingsFileHeader()))
        return 0;

    // Names the file cannot tell apart: groups or keys that differ in letter case only (the
    // reader takes the first of such sections or keys), and keys outside any group whose own
    // name starts with "General/" (the file's name for the keys outside any group). No writer
    // could keep both; such maps come only from hand-written files.
    QSet<QString> folded;
    QHash<QString, QString> groups;
    for (auto it = read.cbegin(); it != read.cend(); ++it) {
        const QString key = it.key().toLower();
        const QString group = it.key().section(u'/', 0, 0, QString::SectionSkipEmpty);
        if (key.startsWith(QStringLiteral("general/")) || folded.contains(key) || !IsWritableName(it.key()))
            return 0;
        if (it.key().contains(u'/')) {
            const auto known = groups.constFind(group.toLower());
            if (known != groups.constEnd() && *known != it.key().section(u'/', 0, 0))
                return 0;
            groups.insert(group.toLower(), it.key().section(u'/', 0, 0));
        }
        folded.insert(key);
    }

    const QByteArray written = Write(read);
    const QSettings::SettingsMap reread = Read(written, ok);
    FUZZ_CHECK(ok, "the writer's file is refused:\n%s", SHOWN(written));
    FUZZ_CHECK(reread.keys() == read.keys(), "%lld keys written, %lld read back:\n%s",
               static_cast<long long>(read.size()), static_cast<long long>(reread.size()), SHOWN(written));
    for (auto it = read.cbegin(); it != read.cend(); ++it) {
        const QString before = Shape(it.value());
        const QString after = Shape(reread.value(it.key()));
        FUZZ_CHECK(before == after, "\"%s\" was \"%s\", reads back \"%s\"\n%s", SHOWN(it.key()), SHOWN(before),
                   SHOWN(after), SHOWN(written));
    }
    return 0;
}
