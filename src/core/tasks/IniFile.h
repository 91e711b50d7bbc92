#pragma once

#include <QByteArray>
#include <QHash>
#include <QString>

#include <functional>
#include <vector>

// Reads the INI layout of task files as the Windows profile functions do: section and key
// names match without regard to case, values lose blanks at both ends and one pair of
// enclosing quotes, and the first of several equal sections or keys wins. Unlike those
// functions, values are read whole, however long. Not for use by two threads at once.
class CIniReader
{
public:
    // Decodes UTF-8; bytes that are not valid UTF-8 (a file written by a Windows ANSI
    // program) are read as Latin-1 instead of being replaced. A byte-order mark selects
    // UTF-8, UTF-16 LE or UTF-16 BE (what editors write when asked for "Unicode"). Content
    // that holds NUL characters is no INI text: false, with the reason.
    static bool Decode(const QByteArray& bytes, QString& text, QString* reason = nullptr);

    explicit CIniReader(QString text);
    CIniReader(const CIniReader&) = delete; // the index holds views into m_Text
    CIniReader& operator=(const CIniReader&) = delete;

    bool HasSection(const QString& section) const;
    bool HasKey(const QString& section, const QString& key) const;
    QString ReadString(const QString& section, const QString& key, const QString& defaultValue) const;
    // Leading decimal digits (with a sign) as a number; a value that does not begin with
    // one reads as 0; an empty or missing value gives the default.
    int ReadInt(const QString& section, const QString& key, int defaultValue) const;

    // The integer reading rule on its own.
    static int ParseInt(QStringView text);

    // Every entry as it is read: sections in file order (a repeated one left out, its name
    // as written), each with its keys in file order (a repeated one left out), values
    // trimmed and unquoted. For readers that take whatever a file holds.
    void ForEachEntry(const std::function<void(QStringView section, QStringView key, QStringView value)>& visit) const;

private:
    struct Entry
    {
        QStringView key;
        QStringView value;
    };
    struct Range
    {
        qsizetype first = 0;
        qsizetype count = 0;
    };

    struct Section
    {
        QStringView name; // as written
        Range range;
    };

    const Entry* Find(const QString& section, const QString& key) const;

    QString m_Text;
    std::vector<Entry> m_Entries;
    QHash<QString, Range> m_Sections; // section name in lower case -> its entries
    std::vector<Section> m_SectionOrder;
    // Keys are usually read section by section in the order they were written, so each
    // search starts where the last one ended, in the section it was in.
    mutable qsizetype m_NextGuess = 0;
    mutable QString m_LastSection;
    mutable Range m_LastRange;
    mutable bool m_LastFound = false;
};

// Writes the INI layout: "[section]" and "key=value" lines, CR LF line ends, sections in
// the order of the calls. A value's own line breaks would split its line, so each one is
// written as a blank. A value that the reader would change (blanks at an end, or enclosed
// in a pair of quotes) is written inside one more pair of double quotes, so that every
// value reads back exactly.
class CIniWriter
{
public:
    // Whether a value on one line must be quoted to read back as it is.
    static bool NeedsQuotes(QStringView value);

    void WriteString(const QString& section, const QString& key, const QString& value);
    void WriteInt(const QString& section, const QString& key, int value);
    void WriteBool(const QString& section, const QString& key, bool value) { WriteInt(section, key, value ? 1 : 0); }

    QByteArray ToUtf8() const { return m_Text.toUtf8(); }

private:
    void BeginLine(const QString& section, const QString& key);

    QString m_Text;
    QString m_Section;
    bool m_HasSection = false;
};
