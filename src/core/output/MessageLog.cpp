#include "core/output/MessageLog.h"

#include "core/support/Clock.h"

#include <QtGlobal>

#include <algorithm>
#include <ctime>
#include <cwchar>
#include <iterator>

namespace {

const QString& DetailsHint()
{
    // One shared string for every multi-line row.
    static const QString hint = QStringLiteral("Double click here to see details.");
    return hint;
}

constexpr int kKnownCodes = 7;

} // namespace

QString CMessageRow::GetMessageColumn() const
{
    return HasDetails() ? DetailsHint() : m_Text;
}

CMessageLog::CMessageLog()
{
    m_Shown.fill(true);
}

void CMessageLog::SetSeverityShown(const QMap<int, bool>& shown)
{
    m_ShownByCode = shown;
    for (int code = 0; code < kKnownCodes; ++code)
        m_Shown[std::size_t(code)] = shown.value(code, true);
}

bool CMessageLog::IsSeverityShown(int code) const
{
    if (code >= 0 && code < kKnownCodes)
        return m_Shown[std::size_t(code)];
    return m_ShownByCode.value(code, true);
}

void CMessageLog::SetLimit(bool limitOn, int maxRows)
{
    m_bLimitOn = limitOn;
    m_nMaxRows = maxRows;
}

bool CMessageLog::Add(const CLogMessage& message)
{
    const int code = message.m_Severity.GetCode();
    if (!IsSeverityShown(code))
        return false;

    CMessageRow row;
    row.m_TimeStamp = TimeStamp(message.m_Time);
    row.m_Text = message.m_Text;
    row.m_nSeverity = code;
    row.m_TaskName = message.m_TaskName;
    if (message.m_Text.contains(u'\n'))
        row.m_nDetailsKey = m_nNextDetailsKey++;
    m_Pending.push_back(std::move(row));

    const qsizetype count
        = qsizetype(m_Rows.size()) - m_nRemoveCommitted + qsizetype(m_Pending.size()) - m_nDropPending;
    // Unsigned, as the setting was always compared: a negative maximum never removes anything.
    if (m_bLimitOn && m_nMaxRows >= 0 && qsizetype(m_nMaxRows) < count) {
        if (m_nRemoveCommitted < int(m_Rows.size()))
            ++m_nRemoveCommitted;
        else
            ++m_nDropPending;
    }
    // Without a commit for a long burst the queue would hold every row ever added; the rows the
    // limit has pushed out already are never shown, so they go as soon as they are half of it.
    if (m_nDropPending >= 1024 && std::size_t(m_nDropPending) * 2 >= m_Pending.size()) {
        m_Pending.erase(m_Pending.begin(), m_Pending.begin() + m_nDropPending);
        m_nDropPending = 0;
    }
    return true;
}

CMessageLog::CPendingChange CMessageLog::GetPendingChange() const
{
    return {m_nRemoveCommitted, int(m_Pending.size()) - m_nDropPending};
}

void CMessageLog::CommitRemoval()
{
    m_Rows.erase(m_Rows.begin(), m_Rows.begin() + m_nRemoveCommitted);
    m_nRemoveCommitted = 0;
}

void CMessageLog::CommitInsertion()
{
    CommitRemoval(); // a no-op after the caller's own CommitRemoval()
    m_Rows.insert(m_Rows.end(), std::make_move_iterator(m_Pending.begin() + m_nDropPending),
                  std::make_move_iterator(m_Pending.end()));
    m_Pending.clear();
    m_nDropPending = 0;
}

void CMessageLog::Commit()
{
    CommitRemoval();
    CommitInsertion();
}

void CMessageLog::Clear()
{
    m_Rows.clear();
    m_Pending.clear();
    m_nRemoveCommitted = 0;
    m_nDropPending = 0;
    m_nNextDetailsKey = 0;
}

QString CMessageLog::GetColumnText(int row, int column) const
{
    const CMessageRow& item = GetRow(row);
    switch (column) {
    case 0:
        return item.m_TimeStamp;
    case 1:
        return CSeverity::GetSeverityName(item.m_nSeverity);
    case 2:
        return item.GetMessageColumn();
    default:
        return {};
    }
}

QString CMessageLog::GetItemAsText(int row) const
{
    const CMessageRow& item = GetRow(row);
    QString text;
    if (item.HasDetails()) {
        // The stamp and the severity stay out: the lines are indented under the previous row.
        text = QStringLiteral("\t\t") + item.m_Text;
        text.replace(u'\n', QStringLiteral("\n\t\t"));
    } else {
        text = item.m_TimeStamp + u'\t' + CSeverity::GetSeverityName(item.m_nSeverity) + u'\t' + item.m_Text;
    }
    text.replace(u'\n', QStringLiteral("\r\n"));
    return text;
}

QString CMessageLog::GetText(const std::vector<int>& rows) const
{
    QString text;
    for (int row : rows)
        text += GetItemAsText(row) + QStringLiteral("\r\n");
    return text;
}

QString CMessageLog::GetAllText() const
{
    QString text;
    for (int row = 0; row < GetRowCount(); ++row)
        text += GetItemAsText(row) + QStringLiteral("\r\n");
    return text;
}

QString CMessageLog::GetDetailsText(int row) const
{
    const CMessageRow& item = GetRow(row);
    if (!item.HasDetails())
        return {};
    QString text = item.m_Text;
    return text.replace(u'\n', QStringLiteral("\r\n"));
}

QString CMessageLog::FormatTimeStamp(qint64 time)
{
    return FormatLocalTime(time);
}

QString CMessageLog::TimeStamp(qint64 time)
{
    if (time != m_CachedTime || m_CachedStamp.isNull()) {
        m_CachedStamp = FormatTimeStamp(time);
        m_CachedTime = time;
    }
    return m_CachedStamp;
}
