#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <optional>

// The status codes a check accepts, read from a list such as "200-299, 301, 401": codes and
// ranges of codes (each from 100 to 999) separated by commas; blanks around them do not count.
class CStatusList
{
public:
    // Nothing for a list that is empty or malformed (a range that runs backwards, a code
    // outside 100-999, a stray character).
    static std::optional<CStatusList> Parse(const QString& text);

    bool Accepts(int statusCode) const;

private:
    struct CRange
    {
        int m_First;
        int m_Last;
    };
    QList<CRange> m_Ranges;
};

// Request header lines, one "Name: value" per line; empty lines do not count.
struct CHeaderLine
{
    QByteArray m_Name;
    QByteArray m_Value;
};

// The lines of `text` as headers; nothing when a line has no colon, an empty or malformed name
// (anything but the characters HTTP allows in a name), or a control character in its value.
// `badLine`, when given, receives the first line refused.
std::optional<QList<CHeaderLine>> ParseHeaderLines(const QString& text, QString* badLine = nullptr);
