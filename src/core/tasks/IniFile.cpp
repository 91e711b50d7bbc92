#include "core/tasks/IniFile.h"

#include <QHashFunctions>
#include <QStringDecoder>

#include <algorithm>
#include <limits>
#include <unordered_set>

namespace {

bool IsBlank(QChar c)
{
    return c == u' ' || c == u'\t';
}

QStringView TrimBlanks(QStringView text)
{
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && (IsBlank(text[begin]) || text[begin] == u'\r'))
        ++begin;
    while (end > begin && (IsBlank(text[end - 1]) || text[end - 1] == u'\r'))
        --end;
    return text.mid(begin, end - begin);
}

QStringView StripQuotes(QStringView value)
{
    if (value.size() >= 2) {
        const QChar first = value.front();
        if ((first == u'"' || first == u'\'') && value.back() == first)
            return value.mid(1, value.size() - 2);
    }
    return value;
}

bool SameName(QStringView a, QStringView b)
{
    return a.size() == b.size() && a.compare(b, Qt::CaseInsensitive) == 0;
}

// A hash that agrees with SameName(): names that compare equal fold to equal code units.
// A surrogate adds the same amount whatever it is, as its pair may fold to another pair.
struct CNameHash
{
    size_t seed = QHashSeed::globalSeed();

    size_t operator()(QStringView name) const noexcept
    {
        size_t hash = seed;
        for (const QChar c : name) {
            const char16_t unit = c.unicode();
            char16_t folded = unit;
            if (unit < 0x80)
                folded = (unit >= u'A' && unit <= u'Z') ? char16_t(unit + 32) : unit;
            else
                folded = QChar::isSurrogate(unit) ? char16_t(0xD800) : QChar::toCaseFolded(unit);
            hash = (hash ^ folded) * 0x100000001B3ULL;
        }
        return hash ^ (hash >> 29);
    }
};

struct CSameName
{
    bool operator()(QStringView a, QStringView b) const noexcept { return SameName(a, b); }
};

// Sections of a task file hold about twenty keys: comparing each with those before it is
// the quickest way there. Beyond this a set is quicker, and keeps a section of a hundred
// thousand keys (a generated or damaged file) from taking minutes.
constexpr qsizetype kLinearDedupLimit = 32;

} // namespace

bool CIniReader::Decode(const QByteArray& bytes, QString& text, QString* reason)
{
    QByteArrayView view(bytes);
    text.clear();
    bool hasNul = false;
    if (view.startsWith("\xFF\xFE") || view.startsWith("\xFE\xFF")) {
        QStringDecoder utf16(view.startsWith("\xFF\xFE") ? QStringDecoder::Utf16LE : QStringDecoder::Utf16BE);
        text = utf16.decode(view.sliced(2));
        hasNul = text.contains(QChar(u'\0'));
    } else {
        if (view.startsWith("\xEF\xBB\xBF"))
            view = view.sliced(3);
        // Without a byte-order mark a NUL is the sign of binary data, or of UTF-16 written
        // without a mark; either would otherwise read as a file without tasks.
        hasNul = view.contains('\0');
        if (!hasNul) {
            QStringDecoder utf8(QStringDecoder::Utf8);
            text = utf8.decode(view);
            if (utf8.hasError())
                text = QString::fromLatin1(view.data(), view.size());
        }
    }
    if (hasNul) {
        text.clear();
        if (reason) {
            *reason = QStringLiteral("it is not a text file (it holds NUL bytes). Task files are text in UTF-8, "
                                     "Latin-1, or UTF-16 with a byte-order mark.");
        }
        return false;
    }
    return true;
}

CIniReader::CIniReader(QString text)
    : m_Text(std::move(text))
{
    const QStringView all(m_Text);
    bool inSection = false;
    bool skipSection = false; // a repeated section: the first one wins
    QString name;
    QStringView writtenName;
    Range current;

    auto closeSection = [&] {
        if (!inSection || skipSection)
            return;
        // Among equal keys the first one wins: drop the later ones now, so that a search
        // may start anywhere in the section.
        qsizetype kept = current.first;
        const qsizetype end = current.first + current.count;
        if (current.count <= kLinearDedupLimit) {
            for (qsizetype i = current.first; i < end; ++i) {
                bool repeated = false;
                for (qsizetype j = current.first; j < kept && !repeated; ++j)
                    repeated = SameName(m_Entries[size_t(j)].key, m_Entries[size_t(i)].key);
                if (!repeated)
                    m_Entries[size_t(kept++)] = m_Entries[size_t(i)];
            }
        } else {
            std::unordered_set<QStringView, CNameHash, CSameName> seen;
            seen.reserve(size_t(current.count));
            for (qsizetype i = current.first; i < end; ++i) {
                if (seen.insert(m_Entries[size_t(i)].key).second)
                    m_Entries[size_t(kept++)] = m_Entries[size_t(i)];
            }
        }
        m_Entries.resize(size_t(kept));
        current.count = kept - current.first;
        m_Sections.insert(name, current);
        m_SectionOrder.push_back(Section {writtenName, current});
    };

    qsizetype pos = 0;
    while (pos < all.size()) {
        qsizetype end = all.indexOf(u'\n', pos);
        if (end < 0)
            end = all.size();
        const QStringView line = TrimBlanks(all.mid(pos, end - pos));
        pos = end + 1;

        if (line.isEmpty())
            continue;
        if (line.front() == u'[') {
            closeSection();
            qsizetype close = line.indexOf(u']');
            if (close < 0)
                close = line.size();
            writtenName = TrimBlanks(line.mid(1, close - 1));
            name = writtenName.toString().toLower();
            inSection = true;
            skipSection = m_Sections.contains(name);
            current = Range {qsizetype(m_Entries.size()), 0};
            continue;
        }
        if (!inSection || skipSection)
            continue;
        const qsizetype equals = line.indexOf(u'=');
        if (equals < 0)
            continue;
        m_Entries.push_back(Entry {TrimBlanks(line.first(equals)), StripQuotes(TrimBlanks(line.mid(equals + 1)))});
        ++current.count;
    }
    closeSection();
}

void CIniReader::ForEachEntry(
    const std::function<void(QStringView section, QStringView key, QStringView value)>& visit) const
{
    for (const Section& section : m_SectionOrder) {
        for (qsizetype i = section.range.first; i < section.range.first + section.range.count; ++i)
            visit(section.name, m_Entries[size_t(i)].key, m_Entries[size_t(i)].value);
    }
}

bool CIniReader::HasSection(const QString& section) const
{
    return m_Sections.contains(section.toLower());
}

bool CIniReader::HasKey(const QString& section, const QString& key) const
{
    return Find(section, key) != nullptr;
}

const CIniReader::Entry* CIniReader::Find(const QString& section, const QString& key) const
{
    if (section != m_LastSection) {
        const auto it = m_Sections.constFind(section.toLower());
        m_LastSection = section;
        m_LastFound = it != m_Sections.constEnd();
        m_LastRange = m_LastFound ? *it : Range {};
    }
    if (!m_LastFound || m_LastRange.count == 0)
        return nullptr;
    const Range range = m_LastRange;
    qsizetype start = m_NextGuess - range.first;
    if (start < 0 || start >= range.count)
        start = 0;
    for (qsizetype i = 0; i < range.count; ++i) {
        const qsizetype index = range.first + (start + i) % range.count;
        const Entry& entry = m_Entries[size_t(index)];
        if (SameName(entry.key, key)) {
            m_NextGuess = index + 1;
            return &entry;
        }
    }
    return nullptr;
}

QString CIniReader::ReadString(const QString& section, const QString& key, const QString& defaultValue) const
{
    const Entry* entry = Find(section, key);
    return entry ? entry->value.toString() : defaultValue;
}

int CIniReader::ReadInt(const QString& section, const QString& key, int defaultValue) const
{
    const Entry* entry = Find(section, key);
    if (!entry || entry->value.isEmpty())
        return defaultValue;
    return ParseInt(entry->value);
}

int CIniReader::ParseInt(QStringView text)
{
    qsizetype i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == u'-' || text[i] == u'+')) {
        negative = text[i] == u'-';
        ++i;
    }
    qint64 value = 0;
    for (; i < text.size() && text[i] >= u'0' && text[i] <= u'9'; ++i) {
        value = value * 10 + (text[i].unicode() - u'0');
        if (value > qint64(std::numeric_limits<int>::max()) + 1)
            break; // clamped below; no need to read further
    }
    if (negative)
        value = -value;
    return int(std::clamp<qint64>(value, std::numeric_limits<int>::min(), std::numeric_limits<int>::max()));
}

void CIniWriter::BeginLine(const QString& section, const QString& key)
{
    if (!m_HasSection || section != m_Section) {
        m_Text += u'[';
        m_Text += section;
        m_Text += u"]\r\n";
        m_Section = section;
        m_HasSection = true;
    }
    m_Text += key;
    m_Text += u'=';
}

bool CIniWriter::NeedsQuotes(QStringView value)
{
    if (value.isEmpty())
        return false;
    return IsBlank(value.front()) || IsBlank(value.back()) || StripQuotes(value).size() != value.size();
}

void CIniWriter::WriteString(const QString& section, const QString& key, const QString& value)
{
    BeginLine(section, key);
    QString line;
    if (!value.contains(u'\r') && !value.contains(u'\n')) {
        line = value;
    } else {
        line.reserve(value.size());
        qsizetype i = 0;
        while (i < value.size()) {
            const QChar c = value[i];
            if (c == u'\r' || c == u'\n') {
                line += u' ';
                i += (c == u'\r' && i + 1 < value.size() && value[i + 1] == u'\n') ? 2 : 1;
            } else {
                line += c;
                ++i;
            }
        }
    }
    // The reader drops blanks at the ends and one pair of enclosing quotes; one pair of
    // our own keeps such a value whole. Any other value is written as it is, as the
    // profile functions write it, so older readers see no difference.
    if (NeedsQuotes(line)) {
        m_Text += u'"';
        m_Text += line;
        m_Text += u'"';
    } else {
        m_Text += line;
    }
    m_Text += u"\r\n";
}

void CIniWriter::WriteInt(const QString& section, const QString& key, int value)
{
    BeginLine(section, key);
    m_Text += QString::number(value);
    m_Text += u"\r\n";
}
