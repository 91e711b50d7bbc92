#pragma once

#include <QString>
#include <QtGlobal>

// The result history of a task file's tasks, printed from the console: a line per task with
// its state, uptime and response times and, indented under it, the times it was down; or,
// as CSV, the raw results.
struct CHistoryReportOptions
{
    QString m_TaskFile;
    qint64 m_RangeMs = 30LL * 24 * 60 * 60 * 1000; // how far back the figures and the CSV reach
    bool m_bCsv = false;
};

// "30d", "12h", "90m": a positive count of days, hours or minutes, as milliseconds; false
// for anything else.
bool ParseReportRange(const QString& text, qint64& rangeMs);

// Reads the history of the location the settings name. Returns the exit code: 0 when the
// report was written, 2 (with a message on standard error) when the task file or the
// history cannot be read.
int RunHistoryReport(const CHistoryReportOptions& options);
