#pragma once

#include "core/output/LogMessage.h"

#include <QMap>
#include <QString>

#include <array>
#include <deque>
#include <vector>

// One row of the output window: the texts it shows and, for a multi-line message, the key of
// its details. The full text is kept in the row itself, so a details key can never point at a
// text that is gone.
class CMessageRow
{
public:
    QString m_TimeStamp; // "%c"; rows made in the same second share one string
    QString m_Text; // the whole message text
    int m_nSeverity = eApplicationFailure;
    int m_nDetailsKey = -1; // -1: a one-line message, shown as it is
    QString m_TaskName; // of the task the message is about; empty for none

    bool HasDetails() const { return m_nDetailsKey != -1; }
    // The text of column "Message".
    QString GetMessageColumn() const;
};

// The bounded list of messages the output window shows, without the window: the severity
// filter, the message limit, the texts of each row and the text formats of Copy and Export.
//
// Adding is split in two steps so that a view can announce a whole burst at once: Add() only
// queues the row (and works out how many rows the limit pushes out), Commit() applies it.
// Between the two, GetRowCount() and GetRow() still describe the committed rows, which is
// exactly what a Qt model must keep reporting until it has announced the change.
class CMessageLog
{
public:
    static constexpr int kColumnCount = 3;

    // Rows a Commit() would remove from the front of the committed rows, and rows it would append.
    struct CPendingChange
    {
        int m_nRemoved = 0;
        int m_nInserted = 0;
    };

    CMessageLog();

    // The filter and the limit apply to messages added afterwards; rows already there stay.
    // A code without an entry is shown.
    void SetSeverityShown(const QMap<int, bool>& shown);
    bool IsSeverityShown(int code) const;
    // A negative maximum means no limit: the limit is compared as an unsigned number.
    void SetLimit(bool limitOn, int maxRows);

    // Queues the message's row; false when its severity is hidden. Each row added removes at
    // most one row, the oldest, and only while the list holds more rows than the limit: a list
    // that is already longer (the limit was lowered) keeps its length.
    bool Add(const CLogMessage& message);

    bool HasPending() const { return !m_Pending.empty(); }
    CPendingChange GetPendingChange() const;
    // Commit() in two halves, for a model that announces the removal and the insertion
    // separately: CommitRemoval() first, then CommitInsertion().
    void CommitRemoval();
    void CommitInsertion();
    void Commit();

    // Every row, pending ones too, and the details keys start again at 0.
    void Clear();

    int GetRowCount() const { return int(m_Rows.size()); }
    const CMessageRow& GetRow(int row) const { return m_Rows[std::size_t(row)]; }
    // Column 0 "Time Stamp", 1 "Severity", 2 "Message".
    QString GetColumnText(int row, int column) const;
    int GetNextDetailsKey() const { return m_nNextDetailsKey; }

    // One row as Copy and Export write it, without the line end: "stamp\tseverity\ttext", or
    // for a multi-line message only its lines, each behind two tabs. Line ends are CR LF.
    QString GetItemAsText(int row) const;
    // The given rows (ascending), each followed by CR LF.
    QString GetText(const std::vector<int>& rows) const;
    QString GetAllText() const;
    // The details of a multi-line row as the details view's file holds them (CR LF line ends);
    // empty for a row without details.
    QString GetDetailsText(int row) const;

    // "%c" in the current LC_TIME, local time, as the log file writes it.
    static QString FormatTimeStamp(qint64 time);

private:
    QString TimeStamp(qint64 time);

    std::deque<CMessageRow> m_Rows;
    std::vector<CMessageRow> m_Pending;
    int m_nRemoveCommitted = 0; // committed rows the pending ones push out
    int m_nDropPending = 0; // pending rows pushed out before they were ever committed
    int m_nNextDetailsKey = 0;

    // The seven known codes are looked up on every message; others go through the map.
    std::array<bool, 7> m_Shown;
    QMap<int, bool> m_ShownByCode;
    bool m_bLimitOn = true;
    int m_nMaxRows = 1000;

    // Bursts share their second: formatting "%c" costs more than the rest of a row.
    qint64 m_CachedTime = -1;
    QString m_CachedStamp;
};
