#include "MainFrameFixture.h"
#include "Version.h"
#include "core/shell/StatusBoard.h"
#include "support/HttpTestServer.h"
#include "ui/options/OptionsSheet.h"
#include "ui/options/OptionsTestHelpers.h"
#include "ui/shell/Notifier.h"
#include "ui/shell/TrayStatus.h"
#include "ui/tasks/VigrelView.h"

#include <QAbstractItemView>
#include <QAction>
#include <QDialogButtonBox>
#include <QHash>
#include <QItemSelectionModel>
#include <QPushButton>
#include <QSystemTrayIcon>
#include <QTest>

#include <atomic>

namespace {

// Generous: a notification waits for its gathering window and the spacing between two.
constexpr int kNotifyTimeoutMs = 4 * (CNotifier::kGatherMs + CNotifier::kMinGapMs);

// A main frame whose tray exists, on a started hub, with a site that fails while told to and
// every desktop notification kept instead of shown.
class TrayTest : public MainFrameTest
{
protected:
    void SetUp() override
    {
        MainFrameTest::SetUp();
        m_Server.Get("/", [this](const httplib::Request&, httplib::Response& response) {
            response.status = m_bFailing ? 500 : 200;
            response.set_content("<html>shop</html>", "text/html");
        });
        ASSERT_TRUE(m_Server.Start());
        CMainFrame::SetTrayAvailableForTesting(true);
        NewFrame();
        m_pFrame->GetNotifier()->SetSink([this](const CNotification& n) { m_Notified << n; });
    }

    int AddSite(const QString& name)
    {
        CTask task = Task(name);
        task.m_CheckAction = eCheckHttpGet;
        task.m_HttpGetURL = m_Server.Url(QStringLiteral("/"));
        return m_Document.AddTask(task);
    }

    void StartHub()
    {
        ASSERT_TRUE(m_pFrame->Start());
        m_bHubStarted = true;
    }

    // Runs the tasks by hand and waits until the board has each one's new verdict: a task
    // still in the engine would refuse the next run.
    void RunAndWait(const QList<int>& taskIds, eTaskHealth expected)
    {
        QHash<int, qint64> before;
        for (int taskId : taskIds) {
            const CTaskGlance* glance = Board()->Find(taskId);
            before[taskId] = glance ? glance->m_LastRunMs : 0;
            m_Hub.ExecuteTask(taskId);
        }
        for (int taskId : taskIds) {
            QTRY_VERIFY_WITH_TIMEOUT(Board()->Find(taskId) && Board()->Find(taskId)->m_LastRunMs > before[taskId]
                                         && Board()->Find(taskId)->m_Health == expected,
                                     20000);
        }
        QTRY_VERIFY_WITH_TIMEOUT(!m_Hub.IsTaskRunning(), 20000);
    }

    // Waits past the time a further notification would have taken to come.
    void WaitOutPacing() { QTest::qWait(CNotifier::kGatherMs + CNotifier::kMinGapMs + 500); }

    CStatusBoard* Board() const { return m_pFrame->GetStatusBoard(); }
    CTrayStatus* Tray() const { return m_pFrame->GetTrayStatus(); }
    QSystemTrayIcon* Icon() const { return m_pFrame->findChild<QSystemTrayIcon*>(); }

    CHttpTestServer m_Server;
    std::atomic<bool> m_bFailing {true};
    QList<CNotification> m_Notified;
};

} // namespace

TEST_F(TrayTest, IconTooltipAndNotificationsFollowATaskGoingDownAndComingBack)
{
    AddSite(QStringLiteral("blog"));
    const int shop = AddSite(QStringLiteral("shop"));
    StartHub();
    ASSERT_NE(Icon(), nullptr);
    EXPECT_TRUE(Icon()->isVisible()); // with the window shown, not only in the tray
    EXPECT_EQ(Tray()->GetState(), CTrayStatus::eAllUp);
    const QImage upImage = Icon()->icon().pixmap(32).toImage();

    RunAndWait({shop}, eTaskHealth::eDown);
    // The tray follows the board on the next turn of the event loop.
    QTRY_COMPARE(Tray()->GetState(), CTrayStatus::eSomeDown);
    EXPECT_EQ(Tray()->GetDownCount(), 1);
    EXPECT_NE(Icon()->icon().pixmap(32).toImage(), upImage);
    const QStringList tip = Icon()->toolTip().split(u'\n');
    ASSERT_EQ(tip.size(), 2) << Icon()->toolTip().toStdString();
    EXPECT_EQ(tip[0], QStringLiteral(CORVANE_PRODUCT_NAME));
    EXPECT_TRUE(tip[1].startsWith(u"shop: down since ")) << tip[1].toStdString();
    EXPECT_TRUE(tip[1].endsWith(u"(0 min)")) << tip[1].toStdString();

    QTRY_COMPARE_WITH_TIMEOUT(m_Notified.size(), 1, kNotifyTimeoutMs);
    EXPECT_EQ(m_Notified[0].m_Title, QStringLiteral("shop is down"));
    EXPECT_EQ(m_Notified[0].m_Text, Board()->Find(shop)->m_LastText);
    EXPECT_FALSE(m_Notified[0].m_Text.isEmpty());
    EXPECT_TRUE(m_Notified[0].m_bDown);

    // Still down at the next run: nothing new to say.
    RunAndWait({shop}, eTaskHealth::eDown);
    m_bFailing = false;
    RunAndWait({shop}, eTaskHealth::eUp);
    QTRY_COMPARE(Tray()->GetState(), CTrayStatus::eAllUp);
    EXPECT_EQ(Icon()->toolTip(), QStringLiteral(CORVANE_PRODUCT_NAME));
    EXPECT_EQ(Icon()->icon().pixmap(32).toImage(), upImage);
    QTRY_COMPARE_WITH_TIMEOUT(m_Notified.size(), 2, kNotifyTimeoutMs);
    EXPECT_EQ(m_Notified[1].m_Title, QStringLiteral("shop is back up"));
    EXPECT_FALSE(m_Notified[1].m_bDown);
    WaitOutPacing();
    EXPECT_EQ(m_Notified.size(), 2);

    // The engine switched off, then alerts snoozed: each has its own look.
    Command("engineOperating")->trigger();
    ASSERT_FALSE(m_Hub.IsEngineOn());
    EXPECT_EQ(Tray()->GetState(), CTrayStatus::eEngineOff);
    EXPECT_NE(Icon()->icon().pixmap(32).toImage(), upImage);
    Command("engineOperating")->trigger();
    Tray()->SetAlertsSnoozed(true);
    EXPECT_EQ(Tray()->GetState(), CTrayStatus::eSnoozed);
    EXPECT_NE(Icon()->icon().pixmap(32).toImage(), upImage);
}

TEST_F(TrayTest, ABurstOfFailuresGivesOneSummaryThatLeadsToTheFirstTask)
{
    QList<int> sites;
    for (const char* name : {"a", "b", "c", "d", "e", "f", "g", "h"})
        sites << AddSite(QString::fromLatin1(name));
    StartHub();
    ASSERT_TRUE(m_pFrame->OnTrayMinimize());

    RunAndWait(sites, eTaskHealth::eDown);
    QTRY_COMPARE(Tray()->GetDownCount(), 8);
    QTRY_COMPARE_WITH_TIMEOUT(m_Notified.size(), 1, kNotifyTimeoutMs);
    WaitOutPacing();
    ASSERT_EQ(m_Notified.size(), 1);
    EXPECT_EQ(m_Notified[0].m_Title, QStringLiteral(CORVANE_PRODUCT_NAME));
    EXPECT_EQ(m_Notified[0].m_Text, QStringLiteral("8 tasks are down: a, b, c, d, e, ..."));
    EXPECT_EQ(m_Notified[0].m_TaskId, sites[0]);

    // Clicking it brings the window back with that task selected.
    m_pFrame->GetView()->GetItemView()->selectionModel()->clearSelection();
    emit Icon()->messageClicked();
    EXPECT_FALSE(m_pFrame->IsInTray());
    EXPECT_TRUE(m_pFrame->isVisible());
    EXPECT_EQ(m_pFrame->GetView()->GetSelectedCount(), 1);
    EXPECT_EQ(m_pFrame->GetView()->GetFirstSelectedTaskId(), sites[0]);
}

TEST_F(TrayTest, NotificationsSwitchedOffInTheOptionsGiveNone)
{
    CTempConfigHome configHome; // the sheet's OK writes the auto-start entry
    const int shop = AddSite(QStringLiteral("shop"));
    StartHub();
    m_pFrame->show();
    QCheckBox* box = nullptr;
    const auto answer = WhenModalOpens<COptionsSheet>([&box](COptionsSheet* sheet) {
        box = sheet->findChild<QCheckBox*>(QStringLiteral("DesktopNotifications"));
        if (box && box->isChecked())
            box->click();
        sheet->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok)->click();
    });
    Command("fileOptions")->trigger();
    ASSERT_NE(box, nullptr);
    EXPECT_FALSE(GetAppSettings().m_bDesktopNotifications);

    RunAndWait({shop}, eTaskHealth::eDown);
    // The tray follows the board on the next turn of the event loop.
    QTRY_COMPARE(Tray()->GetState(), CTrayStatus::eSomeDown); // the icon still tells
    WaitOutPacing();
    EXPECT_TRUE(m_Notified.isEmpty());
}

TEST_F(TrayTest, ASingleClickOnTheIconHidesAndShowsTheWindow)
{
    m_pFrame->show();
    ASSERT_TRUE(Icon()->isVisible());
    emit Icon()->activated(QSystemTrayIcon::Trigger);
    EXPECT_TRUE(m_pFrame->IsInTray());
    EXPECT_FALSE(m_pFrame->isVisible());
    EXPECT_TRUE(Icon()->isVisible());
    emit Icon()->activated(QSystemTrayIcon::Trigger);
    EXPECT_FALSE(m_pFrame->IsInTray());
    EXPECT_TRUE(m_pFrame->isVisible());
    EXPECT_TRUE(Icon()->isVisible());

    // A double click still runs the menu's default item, Restore.
    ASSERT_TRUE(m_pFrame->OnTrayMinimize());
    emit Icon()->activated(QSystemTrayIcon::DoubleClick);
    EXPECT_FALSE(m_pFrame->IsInTray());
    EXPECT_TRUE(m_pFrame->isVisible());
}
