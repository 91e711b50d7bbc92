// The task list with 1,000 tasks whose health columns are all filled, sparklines included:
//   BM_RepaintDetails   one full repaint of the details view (900 x 700, so ~35 rows show)
//   BM_ApplyAllRows     every task's figures changing once, as a burst of live results does,
//                       through the status board to the model and the view's repaint queue
// Runs with any Qt platform: QT_QPA_PLATFORM=offscreen, or under xvfb-run for real painting.
#include "core/history/CheckResult.h"
#include "core/shell/AppSettings.h"
#include "core/shell/Hub.h"
#include "core/shell/StatusBoard.h"
#include "core/tasks/Task.h"
#include "core/tasks/VigrelDoc.h"
#include "ui/tasks/TaskListModel.h"
#include "ui/tasks/VigrelView.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QDateTime>
#include <QDir>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <memory>

namespace {

constexpr int kTasks = 1000;

struct CFixture
{
    CVigrelDoc m_Document;
    CHub m_Hub {&m_Document};
    CStatusBoard m_Board {&m_Hub};
    std::unique_ptr<CVigrelView> m_pView;
    QList<CTask> m_Tasks;
    qint64 m_Round = 0;

    CFixture()
    {
        for (int i = 0; i < kTasks; ++i) {
            CTask task;
            task.m_Name = QStringLiteral("Site %1").arg(i);
            task.m_CheckAction = eCheckHttpGet;
            task.m_HttpGetURL = QStringLiteral("http://127.0.0.1/%1").arg(i);
            task.m_bTaskScheduled = true;
            task.m_TaskId = m_Document.AddTask(task);
            m_Document.GetTask(task.m_TaskId, task);
            m_Tasks.append(task);
        }
        m_pView = std::make_unique<CVigrelView>(&m_Document, &m_Hub);
        m_pView->SetStatusBoard(&m_Board);
        m_pView->resize(900, 700);
        m_pView->show();
        // A full sparkline for every row.
        for (int run = 0; run < CStatusBoard::kRecentRuns; ++run)
            ApplyRound();
        QApplication::processEvents();
    }

    void ApplyRound()
    {
        const qint64 nowMs = QDateTime::currentMSecsSinceEpoch();
        ++m_Round;
        for (const CTask& task : m_Tasks) {
            CCheckResult result;
            result.m_TaskKey = task.m_TaskGuid;
            result.m_TaskName = task.m_Name;
            result.m_TaskId = task.m_TaskId;
            result.m_CheckKind = eCheckHttpGet;
            result.m_StartMs = nowMs;
            // Every seventh task fails now and then, so health and since change too.
            result.m_Verdict = (task.m_TaskId + m_Round) % 7 == 0 ? eVerdict::eFailure : eVerdict::eSuccess;
            result.m_StatusCode = result.m_Verdict == eVerdict::eSuccess ? 200 : 503;
            result.m_TotalUs = 20'000 + (task.m_TaskId * 7919 + m_Round * 104729) % 400'000;
            result.m_Text = QStringLiteral("Page %1").arg(result.m_StatusCode);
            emit m_Hub.CheckResultReady(result);
        }
    }
};

CFixture* g_pFixture = nullptr;

void BM_RepaintDetails(benchmark::State& state)
{
    QWidget* viewport = g_pFixture->m_pView->GetItemView()->viewport();
    for (auto _ : state)
        viewport->repaint();
}
BENCHMARK(BM_RepaintDetails)->Unit(benchmark::kMillisecond);

void BM_ApplyAllRows(benchmark::State& state)
{
    for (auto _ : state) {
        g_pFixture->ApplyRound();
        QApplication::processEvents();
    }
    state.SetItemsProcessed(state.iterations() * kTasks);
}
BENCHMARK(BM_ApplyAllRows)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    // The view reads and writes its list style and columns; never the user's own settings.
    QTemporaryDir settings;
    SetSettingsFile(QDir(settings.path()).filePath(QStringLiteral("bench.ini")));
    CFixture fixture;
    g_pFixture = &fixture;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
