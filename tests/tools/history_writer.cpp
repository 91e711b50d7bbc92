// Records results into a history database in a loop until it is killed, so a test can kill a
// writer at any moment and then check the database.
//   history_writer DATABASE
// Each batch holds 100 results of each of three tasks, one every 10 s of their clock, 10% of
// them failures and 4% stopped; every 20 batches, retention of one day at an hour boundary.
// Prints "committed N" after each batch.
#include "core/history/HistoryStore.h"
#include "core/tasks/Task.h"

#include <QCoreApplication>

#include <cstdio>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: history_writer DATABASE\n");
        return 2;
    }
    CHistoryLocation location;
    QString error;
    CHistoryStore store;
    if (!CHistoryLocation::Parse(QString::fromLocal8Bit(argv[1]), location, &error) || !store.Open(location, &error)) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        return 1;
    }
    constexpr qint64 kStepMs = 10000;
    constexpr qint64 kHourMs = 3600000;
    // Go on after the last result an earlier (killed) writer got in.
    const CTaskStatus status = store.GetStatus(QStringLiteral("writer-task-0"));
    qint64 startMs = status.m_LastResult ? status.m_LastResult->m_StartMs + kStepMs : 1700000000000;
    for (int batch = 1;; ++batch) {
        QList<CCheckResult> results;
        for (int i = 0; i < 100; ++i) {
            for (int task = 0; task < 3; ++task) {
                CCheckResult r;
                r.m_TaskKey = QStringLiteral("writer-task-%1").arg(task);
                r.m_TaskName = QStringLiteral("Writer task %1").arg(task);
                r.m_CheckKind = eCheckHttpGet;
                r.m_StartMs = startMs + i * kStepMs;
                r.m_DurationUs = 150000 + (i * 7919) % 50000;
                r.m_TotalUs = r.m_DurationUs - 1000;
                r.m_StatusCode = 200;
                r.m_Verdict = eVerdict::eSuccess;
                r.m_Text = QStringLiteral("HTTP GET operation succeeded");
                if (i % 10 == 3) {
                    r.m_Verdict = eVerdict::eFailure;
                    r.m_Text = QStringLiteral("Failure %1 of batch %2").arg(i).arg(batch);
                    r.m_BrokenLinks = {CBrokenLink {QStringLiteral("http://127.0.0.1/%1").arg(i),
                                                    QStringLiteral("http://127.0.0.1/"), QStringLiteral("404")}};
                } else if (i % 25 == 7) {
                    r.m_Verdict = eVerdict::eStopped;
                    r.m_Text = QStringLiteral("Task execution stopped");
                    r.m_TotalUs = -1;
                }
                results.append(r);
            }
        }
        if (!store.Record(results, &error)) {
            std::fprintf(stderr, "%s\n", qPrintable(error));
            return 1;
        }
        startMs += 100 * kStepMs;
        std::printf("committed %d\n", batch);
        std::fflush(stdout);
        if (batch % 20 == 0) {
            const qint64 nowMs = (startMs / kHourMs) * kHourMs;
            if (!store.ApplyRetention(1, nowMs, &error)) {
                std::fprintf(stderr, "%s\n", qPrintable(error));
                return 1;
            }
        }
    }
}
