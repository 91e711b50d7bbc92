#pragma once

#include "core/history/CheckResult.h"
#include "core/tasks/Task.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <optional>

// What `--headless --once` learnt of one task of the file, for the reports that CI systems and
// scripts read instead of the log lines.
struct COnceOutcome
{
    CTask m_Task; // as the file gave it
    std::optional<CCheckResult> m_Result; // none when the run reached no verdict
    // Why there is no result, when the run said so (an Application Failure while it ran).
    QString m_Note;
};

// One JSON document (UTF-8, ending in a line end): the program, the task file, one object per
// task in file order with its name, key, action, verdict, text and figures, and a summary.
QByteArray FormatOnceJson(const QString& taskFile, const QList<COnceOutcome>& outcomes);

// A JUnit XML report: one <testsuite> named after the task file, one <testcase> per task; a
// failure is a <failure> (with a crawl's broken links in its text), a stopped run <skipped>,
// a run without a verdict <error>.
QByteArray FormatOnceJunit(const QString& taskFile, const QList<COnceOutcome>& outcomes);
