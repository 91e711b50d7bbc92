#include "core/tasks/CheckOptions.h"

#include <QRegularExpression>

#include <algorithm>

namespace {
constexpr int kLowestStatus = 100;
constexpr int kHighestStatus = 999;

std::optional<int> ParseStatus(QStringView text)
{
    bool ok = false;
    const int code = text.trimmed().toInt(&ok);
    if (!ok || code < kLowestStatus || code > kHighestStatus)
        return std::nullopt;
    return code;
}

// A header name is an HTTP token.
bool IsTokenCharacter(QChar c)
{
    if (c.unicode() > 0x7e || c.unicode() <= 0x20)
        return false;
    return !QStringView(u"\"(),/:;<=>?@[\\]{}").contains(c);
}
} // namespace

std::optional<CStatusList> CStatusList::Parse(const QString& text)
{
    CStatusList list;
    for (const QStringView item : QStringView(text).split(u',')) {
        const qsizetype dash = item.indexOf(u'-');
        const auto first = ParseStatus(dash < 0 ? item : item.left(dash));
        const auto last = dash < 0 ? first : ParseStatus(item.mid(dash + 1));
        if (!first || !last || *last < *first)
            return std::nullopt;
        list.m_Ranges.append({*first, *last});
    }
    return list;
}

bool CStatusList::Accepts(int statusCode) const
{
    for (const CRange& range : m_Ranges) {
        if (statusCode >= range.m_First && statusCode <= range.m_Last)
            return true;
    }
    return false;
}

std::optional<QList<CHeaderLine>> ParseHeaderLines(const QString& text, QString* badLine)
{
    static const QRegularExpression lineBreak(QStringLiteral("\r\n|\r|\n"));
    QList<CHeaderLine> headers;
    for (const QString& line : text.split(lineBreak)) {
        if (line.trimmed().isEmpty())
            continue;
        const qsizetype colon = line.indexOf(u':');
        const QString name = colon < 0 ? QString() : line.left(colon);
        const QString value = colon < 0 ? QString() : line.mid(colon + 1).trimmed();
        const bool goodName = !name.isEmpty() && std::all_of(name.begin(), name.end(), IsTokenCharacter);
        const bool goodValue
            = std::none_of(value.begin(), value.end(), [](QChar c) { return c.category() == QChar::Other_Control; });
        if (!goodName || !goodValue) {
            if (badLine)
                *badLine = line;
            return std::nullopt;
        }
        headers.append({name.toLatin1(), value.toUtf8()});
    }
    return headers;
}
