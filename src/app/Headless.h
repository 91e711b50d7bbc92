#pragma once

#include <QString>

// How --once tells what it found: the log lines alone, or a report for a machine on standard
// output (the log lines then go to standard error).
enum class eOnceReport
{
    eText,
    eJson,
    eJunit,
};

// The monitor without a window: the task file's schedule and alerts run as on the desktop,
// and every log message goes to standard output in the log file's line format.
struct CHeadlessOptions
{
    QString m_TaskFile;
    // Run every task of the file once, in file order, wait for their results and alerts,
    // then end; otherwise run the schedule until SIGINT or SIGTERM (SIGHUP reopens the log file
    // and reads the task file again).
    bool m_bOnce = false;
    eOnceReport m_Report = eOnceReport::eText;
    // With the schedule: every scheduled task runs once at the start, then at its usual times.
    bool m_bRunNow = false;
    // With the schedule: where the Prometheus metrics are served; null: as the settings say
    // (m_MetricsListen), empty: not served.
    QString m_MetricsListen;
    // Besides the setting m_bMetricsAllowRemote: an address other machines reach is accepted.
    bool m_bMetricsAllowRemote = false;
};

// Returns the process exit code: 0 after a clean stop (or, with m_bOnce, when every task
// gave a success verdict), 1 when a task failed or gave no verdict, 2 when the task file
// cannot be read or the metrics cannot be served as asked.
int RunHeadless(const CHeadlessOptions& options);
