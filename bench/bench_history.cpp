// The result history on SQLite: recording throughput in batches like the history thread's,
// statistics over 24 h / 7 d / 30 d / 365 d per task over a year of one-minute results (one
// task, and 100 tasks), and the size of one task's year with 90 days of raw results kept.
//   bench_history [benchmark options]
// CORVANE_BENCH_HISTORY_DIR=DIR keeps the generated databases there and reuses them;
// CORVANE_BENCH_HISTORY_TASKS=N makes the many-task database with N tasks (default 100).
#include "core/history/HistoryStore.h"
#include "core/tasks/Task.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>

namespace {

constexpr qint64 kMinuteMs = 60000;
constexpr qint64 kDayMs = 24 * 60 * kMinuteMs;
constexpr qint64 kYearStart = 1735689600000; // 2025-01-01 UTC
constexpr qint64 kYearEnd = kYearStart + 365 * kDayMs;

QString TaskKey(int task)
{
    return QStringLiteral("5d1f0c3a-7b2e-4c9d-8e1f-%1").arg(task, 12, 10, QLatin1Char('0'));
}

// One HTTPS GET as the engine reports it: phase times with some spread, 1% failures.
CCheckResult HttpsGet(int task, qint64 startMs, std::mt19937& random)
{
    std::uniform_int_distribution<int> spread(0, 999);
    CCheckResult r;
    r.m_TaskKey = TaskKey(task);
    r.m_TaskName = QStringLiteral("Shop front %1").arg(task);
    r.m_CheckKind = eCheckHttpGet;
    r.m_StartMs = startMs;
    if (spread(random) < 10) {
        r.m_Verdict = eVerdict::eFailure;
        r.m_Text = QStringLiteral("HTTP GET operation failed: Timeout was reached");
        r.m_DurationUs = 30000000 + spread(random) * 100;
        r.m_LookupUs = 900 + spread(random);
        return r;
    }
    r.m_Verdict = eVerdict::eSuccess;
    r.m_Text = QStringLiteral("HTTP GET operation succeeded");
    r.m_StatusCode = 200;
    r.m_Bytes = 48000 + spread(random) * 3;
    r.m_LookupUs = 700 + spread(random);
    r.m_ConnectUs = r.m_LookupUs + 2000 + spread(random) * 3;
    r.m_TlsUs = r.m_ConnectUs + 20000 + spread(random) * 10;
    r.m_FirstByteUs = r.m_TlsUs + 40000 + spread(random) * 40;
    r.m_TotalUs = r.m_FirstByteUs + 1000 + spread(random) * 4;
    r.m_DurationUs = r.m_TotalUs + 300 + spread(random) / 4;
    r.m_FinalUrl = QStringLiteral("https://shop%1.example.test/").arg(task);
    r.m_CertExpiryMs = kYearStart + 200 * kDayMs;
    return r;
}

bool OpenStore(CHistoryStore& store, const QString& path)
{
    CHistoryLocation location;
    QString error;
    if (!CHistoryLocation::Parse(path, location, &error) || !store.Open(location, &error)) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        return false;
    }
    return true;
}

// A year of one-minute results of each task, written a day at a time with retention applied
// every ten days, as a running program would; reused when the file is there.
bool MakeYear(const QString& path, int tasks, int retentionDays)
{
    if (QFileInfo::exists(path))
        return true;
    CHistoryStore store;
    if (!OpenStore(store, path))
        return false;
    std::mt19937 random(42);
    QElapsedTimer timer;
    timer.start();
    QString error;
    for (int day = 0; day < 365; ++day) {
        QList<CCheckResult> batch;
        batch.reserve(tasks * 1440);
        for (int minute = 0; minute < 1440; ++minute) {
            for (int task = 0; task < tasks; ++task)
                batch.append(HttpsGet(task, kYearStart + day * kDayMs + minute * kMinuteMs + task * 100, random));
        }
        if (!store.Record(batch, &error)) {
            std::fprintf(stderr, "%s\n", qPrintable(error));
            return false;
        }
        const qint64 dayEnd = kYearStart + (day + 1) * kDayMs;
        if ((day + 1) % 10 == 0 || day == 364) {
            if (!store.ApplyRetention(retentionDays, dayEnd, &error)) {
                std::fprintf(stderr, "%s\n", qPrintable(error));
                return false;
            }
        }
        if (tasks > 1 && (day % 10 == 9 || day == 364)) {
            std::fprintf(stderr, "  %d tasks: day %d of 365, %.0f s\n", tasks, day + 1, timer.elapsed() / 1000.0);
        }
    }
    std::fprintf(stderr, "  %d task(s): a year of %lld results written in %.1f s\n", tasks,
                 static_cast<long long>(qint64(tasks) * 365 * 1440), timer.elapsed() / 1000.0);
    return true;
}

// The file alone, once the write-ahead log is folded in and emptied.
qint64 DatabaseBytes(const QString& path)
{
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("size"));
        db.setDatabaseName(path);
        if (db.open()) {
            QSqlQuery query(db);
            query.exec(QStringLiteral("PRAGMA wal_checkpoint(TRUNCATE)"));
            query.finish();
        }
        db.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("size"));
    return QFileInfo(path).size() + QFileInfo(path + QStringLiteral("-wal")).size();
}

QString g_Folder;
QString g_OneTask;
QString g_ManyTasks;
int g_ManyTaskCount = 100;

void BM_RecordBatches(benchmark::State& state)
{
    QTemporaryDir dir;
    CHistoryStore store;
    if (!OpenStore(store, dir.filePath(QStringLiteral("throughput.sqlite")))) {
        state.SkipWithError("cannot open");
        return;
    }
    const int batchSize = int(state.range(0));
    std::mt19937 random(1);
    qint64 at = kYearStart;
    qint64 recorded = 0;
    QString error;
    for (auto _ : state) {
        state.PauseTiming();
        QList<CCheckResult> batch;
        for (int i = 0; i < batchSize; ++i)
            batch.append(HttpsGet(i % 50, at + i * 1000, random));
        at += batchSize * 1000;
        state.ResumeTiming();
        if (!store.Record(batch, &error)) {
            state.SkipWithError(qPrintable(error));
            return;
        }
        recorded += batchSize;
    }
    state.SetItemsProcessed(recorded);
    state.counters["results_per_s"] = benchmark::Counter(double(recorded), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_RecordBatches)->Arg(500)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3.0);

// Statistics ending at the year's end over 1, 7, 30 and 365 days, one task per call.
void Statistics(benchmark::State& state, const QString& path, int tasks)
{
    CHistoryStore store;
    if (!OpenStore(store, path)) {
        state.SkipWithError("cannot open");
        return;
    }
    const qint64 span = state.range(0) * kDayMs;
    int task = 0;
    qint64 runs = 0;
    for (auto _ : state) {
        const CTaskStatistics stats = store.GetStatistics(TaskKey(task), kYearEnd - span, kYearEnd);
        benchmark::DoNotOptimize(stats.m_P95Us);
        runs = stats.m_Runs;
        task = (task + 1) % tasks;
    }
    state.counters["runs"] = double(runs);
}

void BM_StatisticsOneTask(benchmark::State& state)
{
    Statistics(state, g_OneTask, 1);
}
BENCHMARK(BM_StatisticsOneTask)->Arg(1)->Arg(7)->Arg(30)->Arg(365)->Unit(benchmark::kMillisecond);

void BM_StatisticsManyTasks(benchmark::State& state)
{
    Statistics(state, g_ManyTasks, g_ManyTaskCount);
}
BENCHMARK(BM_StatisticsManyTasks)->Arg(1)->Arg(7)->Arg(30)->Arg(365)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    std::unique_ptr<QTemporaryDir> temporary;
    g_Folder = qEnvironmentVariable("CORVANE_BENCH_HISTORY_DIR");
    if (g_Folder.isEmpty()) {
        temporary = std::make_unique<QTemporaryDir>();
        g_Folder = temporary->path();
    }
    QDir().mkpath(g_Folder);
    if (qEnvironmentVariableIsSet("CORVANE_BENCH_HISTORY_TASKS"))
        g_ManyTaskCount = qEnvironmentVariableIntValue("CORVANE_BENCH_HISTORY_TASKS");
    g_OneTask = QDir(g_Folder).filePath(QStringLiteral("year-1-task.sqlite"));
    g_ManyTasks = QDir(g_Folder).filePath(QStringLiteral("year-%1-tasks.sqlite").arg(g_ManyTaskCount));
    std::fprintf(stderr, "Generating the year databases in %s\n", qPrintable(g_Folder));
    if (!MakeYear(g_OneTask, 1, 90))
        return 1;
    std::printf("one task, a year of one-minute results, raw results kept 90 days: %.2f MB\n",
                double(DatabaseBytes(g_OneTask)) / 1e6);
    std::fflush(stdout);
    if (!MakeYear(g_ManyTasks, g_ManyTaskCount, 90))
        return 1;
    std::printf("%d tasks, the same: %.1f MB\n", g_ManyTaskCount, double(DatabaseBytes(g_ManyTasks)) / 1e6);
    std::fflush(stdout);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
