#pragma once

#include "core/history/CheckResult.h"

#include <QByteArray>
#include <QList>
#include <QString>

// What the metrics tell of one task: its name and key as the document has them now, the
// latest run that gave a verdict, and the runs counted since the program started.
struct CMetricsTask
{
    QString m_Name;
    QString m_Key;
    bool m_bHasResult = false; // no run with a verdict yet: only the counters are shown
    CCheckResult m_Last;
    quint64 m_Runs = 0; // successes and failures; stopped runs give no verdict and do not count
    quint64 m_Failures = 0;
};

// The Prometheus text exposition format (version 0.0.4) of the tasks, in their order, with
// the Prometheus blackbox exporter's names where it has one for a figure, so that its
// dashboards and alert rules fit. A figure a run did not measure is left out rather than
// shown as 0, except the status code of an HTTP check that got no answer, which the
// blackbox exporter shows as 0 too.
QByteArray FormatMetrics(const QList<CMetricsTask>& tasks);

// A label value as the format wants it: backslash, double quote and line feed escaped,
// the rest as UTF-8.
QByteArray EscapeLabelValue(const QString& value);

inline constexpr char kMetricsContentType[] = "text/plain; version=0.0.4; charset=utf-8";
