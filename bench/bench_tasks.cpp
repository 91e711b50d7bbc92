// Task file and schedule figures for a large task list: opening and saving a file of
// 10,000 tasks, the memory those tasks hold, and one schedule poll over all of them; and
// opening a file whose one section holds very many keys.
#include "core/tasks/TaskFile.h"
#include "core/tasks/VigrelDoc.h"

#include <QCoreApplication>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <malloc.h>

namespace {

constexpr int kTaskCount = 10000;

QList<CTask> MakeTasks()
{
    QList<CTask> tasks;
    tasks.reserve(kTaskCount);
    for (int i = 0; i < kTaskCount; ++i) {
        CTask task;
        task.m_Name = QStringLiteral("Monitor number %1 of the shop front").arg(i);
        task.m_Description = QStringLiteral("Checks that the shop answers.\r\nOwner: web team, desk %1").arg(i % 40);
        task.m_CheckAction = 1 + i % 4;
        task.m_PingHost = QStringLiteral("host-%1.example.com").arg(i);
        task.m_HttpGetURL = QStringLiteral("https://shop-%1.example.com/catalogue/index.html?lang=en").arg(i);
        task.m_ExpectedPattern = QStringLiteral("Add to basket");
        task.m_SpiderUrl = QStringLiteral("https://shop-%1.example.com/").arg(i);
        task.m_bTaskScheduled = true;
        task.m_PingInterval = 300;
        task.m_AlertSettings.m_bUseDefaultAlertMethods = i % 2;
        task.m_AlertSettings.m_AlertMethods = 1;
        task.m_AlertSettings.m_AlertEmailAddresses = QStringLiteral("ops@example.com;web@example.com");
        tasks.append(task);
    }
    return tasks;
}

struct Fixture
{
    QTemporaryDir dir;
    QString path = dir.filePath(QStringLiteral("large.cvn"));
    Fixture() { WriteTaskFile(path, MakeTasks(), nullptr); }
};

Fixture& Files()
{
    static Fixture fixture;
    return fixture;
}

size_t HeapInUse()
{
    malloc_trim(0);
    return mallinfo2().uordblks;
}

void BM_OpenTaskFile(benchmark::State& state)
{
    const QString path = Files().path;
    size_t heldBytes = 0;
    for (auto _ : state) {
        state.PauseTiming();
        const size_t before = HeapInUse();
        {
            auto doc = std::make_unique<CVigrelDoc>();
            state.ResumeTiming();
            doc->OnOpenDocument(path);
            state.PauseTiming();
            heldBytes = HeapInUse() - before;
            benchmark::DoNotOptimize(doc->GetTaskCount());
            doc.reset();
        }
        state.ResumeTiming();
    }
    state.counters["tasks"] = kTaskCount;
    state.counters["held_MB"] = double(heldBytes) / (1024.0 * 1024.0);
}
BENCHMARK(BM_OpenTaskFile)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_SaveTaskFile(benchmark::State& state)
{
    CVigrelDoc doc;
    doc.OnOpenDocument(Files().path);
    const QString out = Files().dir.filePath(QStringLiteral("saved.cvn"));
    for (auto _ : state)
        benchmark::DoNotOptimize(doc.OnSaveDocument(out));
    state.counters["tasks"] = doc.GetTaskCount();
}
BENCHMARK(BM_SaveTaskFile)->Unit(benchmark::kMillisecond)->UseRealTime();

// The worst case of a poll: every task is scheduled and none is due, so the whole table
// is walked.
void BM_GetNextDueTask(benchmark::State& state)
{
    CVigrelDoc doc;
    doc.OnOpenDocument(Files().path);
    for (auto _ : state)
        benchmark::DoNotOptimize(doc.GetNextDueTask());
    state.counters["tasks"] = doc.GetTaskCount();
}
BENCHMARK(BM_GetNextDueTask)->Unit(benchmark::kMicrosecond);

// One section with very many keys (a damaged or generated file): reading must stay linear
// in the number of keys. The first of repeated keys wins, so every key is looked at.
void BM_OpenHugeSection(benchmark::State& state)
{
    const int keys = int(state.range(0));
    QByteArray bytes = "[Global]\r\nEntryCount=1\r\n[Task 0]\r\n";
    for (int i = 0; i < keys; ++i)
        bytes += "m_Extra" + QByteArray::number(i) + "=value number " + QByteArray::number(i) + "\r\n";
    bytes += "m_Name=Last\r\n";
    QList<CTask> tasks;
    for (auto _ : state) {
        ParseTaskFile(bytes, tasks);
        benchmark::DoNotOptimize(tasks.size());
    }
    state.counters["keys"] = keys;
    state.counters["MB"] = double(bytes.size()) / (1024.0 * 1024.0);
}
BENCHMARK(BM_OpenHugeSection)->Arg(10000)->Arg(40000)->Arg(100000)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
