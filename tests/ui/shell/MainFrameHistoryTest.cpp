// The main window's History tab: beside the task output, following the selected task.
#include "MainFrameFixture.h"

#include "core/history/HistoryThread.h"
#include "support/EventLoop.h"
#include "ui/history/HistoryPane.h"
#include "ui/output/OutputBar.h"
#include "ui/tasks/VigrelView.h"

#include <QDateTime>
#include <QItemSelectionModel>
#include <QSignalSpy>
#include <QTabWidget>
#include <QTreeView>
#include <QTreeWidget>

namespace {

CCheckResult PingRun(const QString& key, qint64 startMs, bool ok, const QString& text)
{
    CCheckResult result;
    result.m_TaskKey = key;
    result.m_CheckKind = eCheckPing;
    result.m_StartMs = startMs;
    result.m_Verdict = ok ? eVerdict::eSuccess : eVerdict::eFailure;
    result.m_Text = text;
    result.m_RoundTripUs = ok ? 20000 + startMs % 7 * 1000 : -1;
    return result;
}

} // namespace

TEST_F(MainFrameTest, HistoryTabShowsTheSelectedTasksRunsAndIncidents)
{
    const QString path = m_Dir.filePath(QStringLiteral("history.sqlite"));
    ChangeSettings([&](CAppSettings& settings) {
        settings.m_bHistoryEnabled = true;
        settings.m_HistoryDatabase = path;
    });
    CTask gateway = Task(QStringLiteral("Gateway"));
    gateway.m_TaskGuid = QStringLiteral("5b0e6c3a-2f4d-4e8b-9a1c-7d6e5f4a3b2c");
    CTask printer = Task(QStringLiteral("Printer"));
    printer.m_TaskGuid = QStringLiteral("9c8b7a6d-5e4f-4a3b-8c2d-1e0f9a8b7c6d");
    m_Document.AddTask(gateway);
    m_Document.AddTask(printer);
    ASSERT_TRUE(m_pFrame->Start());
    m_bHubStarted = true;
    ASSERT_NE(m_Hub.GetHistory(), nullptr);

    // Nearly a day of runs every ten minutes; the gateway was down for an hour this morning.
    const qint64 nowMs = QDateTime::currentMSecsSinceEpoch();
    for (qint64 at = nowMs - 23 * 3600000LL; at < nowMs; at += 600000) {
        const bool down = at > nowMs - 6 * 3600000LL && at < nowMs - 5 * 3600000LL;
        m_Hub.GetHistory()->Record(PingRun(gateway.m_TaskGuid, at, !down,
                                           down ? QStringLiteral("Request timed out") : QStringLiteral("Reply")));
        m_Hub.GetHistory()->Record(PingRun(printer.m_TaskGuid, at, true, QStringLiteral("Reply")));
    }

    QTabWidget* tabs = m_pFrame->GetOutputBar()->GetTabs();
    ASSERT_EQ(tabs->count(), 2);
    EXPECT_EQ(tabs->tabText(1), QStringLiteral("History"));
    auto* pane = tabs->widget(1)->findChild<CHistoryPane*>();
    ASSERT_NE(pane, nullptr);

    QTreeView* list = m_pFrame->GetView()->findChild<QTreeView*>();
    ASSERT_NE(list, nullptr);
    QSignalSpy refreshed(pane, &CHistoryPane::Refreshed);
    list->selectionModel()->select(list->model()->index(0, 0),
                                   QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    ASSERT_TRUE(SpinUntil([&] { return refreshed.count() > 0; }));
    EXPECT_EQ(pane->GetTaskKey(), gateway.m_TaskGuid);
    qint64 runs = 0;
    for (const CSeriesPoint& point : pane->GetSeries())
        runs += point.m_Runs;
    EXPECT_EQ(runs, 23 * 6);
    ASSERT_EQ(pane->GetIncidentList()->topLevelItemCount(), 1);
    EXPECT_EQ(pane->GetIncidentList()->topLevelItem(0)->text(3), QStringLiteral("Request timed out"));

    const QString shot = qEnvironmentVariable("CORVANE_HISTORY_SHOT");
    if (!shot.isEmpty()) {
        tabs->setCurrentIndex(1);
        m_pFrame->resize(1200, 900);
        m_pFrame->show();
        SpinUntil([] { return false; }, std::chrono::milliseconds(500));
        m_pFrame->grab().save(shot);
    }

    // The printer was never down: its tab has no incident.
    refreshed.clear();
    list->selectionModel()->select(list->model()->index(1, 0),
                                   QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    ASSERT_TRUE(SpinUntil([&] { return refreshed.count() > 0; }));
    EXPECT_EQ(pane->GetTaskKey(), printer.m_TaskGuid);
    EXPECT_EQ(pane->GetIncidentList()->topLevelItemCount(), 0);
}
