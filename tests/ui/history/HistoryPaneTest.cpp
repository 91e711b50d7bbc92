// The History tab on a real SQLite history behind a started hub: it shows the selected task's
// runs, incidents, latest request and crawl changes, follows new results, and exports.
#include "ui/history/HistoryPane.h"

#include "core/history/HistoryThread.h"
#include "core/shell/AppSettings.h"
#include "core/shell/Hub.h"
#include "core/tasks/Task.h"
#include "core/tasks/VigrelDoc.h"
#include "support/EventLoop.h"
#include "support/HttpTestServer.h"
#include "support/TempSettings.h"

#include <QBarSet>
#include <QChart>
#include <QChartView>
#include <QDateTime>
#include <QFile>
#include <QHorizontalStackedBarSeries>
#include <QImage>
#include <QLabel>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTreeWidget>
#include <QXYSeries>

#include <gtest/gtest.h>

namespace {

const QString kShopKey = QStringLiteral("0c9d5a52-58b6-4d1e-9a35-1b1f0e7d2a11");
const QString kBlogKey = QStringLiteral("7e2b8f04-3a6c-4c85-b0a9-5d4e3f2c1b00");
const QString kSiteKey = QStringLiteral("a4f3e2d1-0b9c-4a8b-8c7d-6e5f4a3b2c1d");

class HistoryPaneTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        CAppSettings settings = GetAppSettings();
        settings.m_bHistoryEnabled = true;
        settings.m_HistoryDatabase = m_Dir.filePath(QStringLiteral("history.sqlite"));
        SetAppSettings(settings);
        m_ShopId = AddTask(QStringLiteral("Shop front"), kShopKey, eCheckHttpGet);
        m_BlogId = AddTask(QStringLiteral("Blog"), kBlogKey, eCheckHttpGet);
        m_SiteId = AddTask(QStringLiteral("Site links"), kSiteKey, eCheckSpider);
        ASSERT_TRUE(m_Hub.Start());
        m_bStarted = true;
        ASSERT_NE(m_Hub.GetHistory(), nullptr);
        m_pPane = std::make_unique<CHistoryPane>(&m_Hub);
        m_pPane->resize(1000, 600);
        m_NowMs = QDateTime::currentMSecsSinceEpoch();
    }

    void TearDown() override
    {
        CHistoryPane::SetSaveFileAskerForTesting(nullptr);
        m_pPane.reset();
        if (m_bStarted)
            m_Hub.Shutdown();
    }

    int AddTask(const QString& name, const QString& key, int check)
    {
        CTask task;
        task.m_Name = name;
        task.m_TaskGuid = key;
        task.m_CheckAction = check;
        task.m_HttpGetURL = QStringLiteral("http://127.0.0.1:9/");
        return m_Document.AddTask(task);
    }

    static CCheckResult Run(const QString& key, qint64 startMs, bool ok, qint64 totalUs, const QString& text)
    {
        CCheckResult result;
        result.m_TaskKey = key;
        result.m_TaskName = QStringLiteral("a task");
        result.m_CheckKind = eCheckHttpGet;
        result.m_StartMs = startMs;
        result.m_DurationUs = totalUs + 100;
        result.m_Verdict = ok ? eVerdict::eSuccess : eVerdict::eFailure;
        result.m_Text = text;
        result.m_StatusCode = ok ? 200 : 503;
        result.m_TotalUs = totalUs;
        return result;
    }

    // Shows the task and waits until every query has answered.
    void Show(int taskId)
    {
        QSignalSpy refreshed(m_pPane.get(), &CHistoryPane::Refreshed);
        m_pPane->SetTask(taskId);
        ASSERT_TRUE(SpinUntil([&] { return refreshed.count() > 0; }));
    }

    static qint64 Runs(const QList<CSeriesPoint>& points)
    {
        qint64 runs = 0;
        for (const CSeriesPoint& point : points)
            runs += point.m_Runs;
        return runs;
    }

    CTempSettings m_Settings;
    QTemporaryDir m_Dir;
    CVigrelDoc m_Document;
    CHub m_Hub {&m_Document};
    bool m_bStarted = false;
    std::unique_ptr<CHistoryPane> m_pPane;
    qint64 m_NowMs = 0;
    int m_ShopId = -1;
    int m_BlogId = -1;
    int m_SiteId = -1;
};

TEST_F(HistoryPaneTest, ShowsTheRunsIncidentAndLatestRequestOfTheSelectedTaskOnly)
{
    const qint64 hour = 3600000;
    CHistoryThread* history = m_Hub.GetHistory();
    // The shop: fine, down for half an hour with a 503, fine again; the latest over https.
    history->Record(Run(kShopKey, m_NowMs - 5 * hour, true, 120000, QStringLiteral("ok")));
    history->Record(Run(kShopKey, m_NowMs - 4 * hour, false, 30000, QStringLiteral("Server answered 503")));
    history->Record(Run(kShopKey, m_NowMs - 4 * hour + 1800000, true, 80000, QStringLiteral("ok")));
    CCheckResult latest = Run(kShopKey, m_NowMs - hour, true, 50000, QStringLiteral("ok"));
    latest.m_LookupUs = 2000;
    latest.m_ConnectUs = 5000;
    latest.m_TlsUs = 15000;
    latest.m_FirstByteUs = 40000;
    latest.m_CertExpiryMs = m_NowMs + 30 * 24 * hour + 3600000;
    history->Record(latest);
    // Another task's runs never show with the shop's.
    for (int i = 0; i < 6; ++i)
        history->Record(Run(kBlogKey, m_NowMs - (i + 1) * 600000, false, -1, QStringLiteral("Blog is down")));

    Show(m_ShopId);
    EXPECT_EQ(Runs(m_pPane->GetSeries()), 4);
    ASSERT_EQ(m_pPane->GetIncidents().size(), 1);
    QTreeWidget* incidents = m_pPane->GetIncidentList();
    ASSERT_EQ(incidents->topLevelItemCount(), 1);
    EXPECT_EQ(incidents->topLevelItem(0)->text(3), QStringLiteral("Server answered 503"));
    EXPECT_EQ(incidents->topLevelItem(0)->text(2), QStringLiteral("30 min 0 s"));

    // The chart: a mean for every run, the failure marked.
    const QList<QAbstractSeries*> series = m_pPane->GetChartView()->chart()->series();
    ASSERT_EQ(series.size(), 2);
    EXPECT_EQ(static_cast<QXYSeries*>(series.at(0))->count(), 4);
    EXPECT_EQ(static_cast<QXYSeries*>(series.at(1))->count(), 1);

    // The day bars tell the runs and the failure (hovering each bar in turn); the oldest
    // has none.
    const CUptimeStrip* strip = m_pPane->GetUptimeStrip();
    QStringList days;
    for (int x = 0; x < strip->width(); ++x)
        if (!strip->TextAt(x).endsWith(QStringLiteral("no runs")) && !days.contains(strip->TextAt(x)))
            days << strip->TextAt(x);
    const QString summary = days.join(QLatin1Char('|'));
    // The runs lie within five hours, so on one day or two.
    EXPECT_TRUE(summary.contains(QStringLiteral("4 runs, 1 failed")) || days.size() == 2) << summary.toStdString();
    EXPECT_TRUE(summary.contains(QStringLiteral("1 failed"))) << summary.toStdString();
    EXPECT_TRUE(strip->TextAt(0).endsWith(QStringLiteral("no runs")));

    // The phases of the latest request, each as its own length, and the certificate's days.
    const QList<QAbstractSeries*> phases = m_pPane->GetPhaseView()->chart()->series();
    ASSERT_EQ(phases.size(), 1);
    QList<double> lengths;
    for (QBarSet* set : static_cast<QHorizontalStackedBarSeries*>(phases.at(0))->barSets())
        lengths << set->at(0);
    EXPECT_EQ(lengths, (QList<double> {2.0, 3.0, 10.0, 25.0, 10.0}));
    EXPECT_TRUE(m_pPane->GetCertificateLabel()->text().contains(QStringLiteral("30 days left")));

    Show(m_BlogId);
    EXPECT_EQ(Runs(m_pPane->GetSeries()), 6);
    ASSERT_EQ(m_pPane->GetIncidentList()->topLevelItemCount(), 1);
    EXPECT_EQ(m_pPane->GetIncidentList()->topLevelItem(0)->text(1), QStringLiteral("still down"));
    EXPECT_TRUE(m_pPane->GetCertificateLabel()->text().isEmpty());
}

TEST_F(HistoryPaneTest, CrawlShowsLinksBrokenAndMendedSinceThePreviousCrawl)
{
    auto crawl = [&](qint64 startMs, const QStringList& broken) {
        CCheckResult result = Run(kSiteKey, startMs, broken.isEmpty(), 900000, QStringLiteral("crawl"));
        result.m_CheckKind = eCheckSpider;
        result.m_PagesFetched = 12;
        for (const QString& url : broken)
            result.m_BrokenLinks << CBrokenLink {url, QStringLiteral("http://site/"), QStringLiteral("404")};
        return result;
    };
    m_Hub.GetHistory()->Record(
        crawl(m_NowMs - 7200000, {QStringLiteral("http://site/old"), QStringLiteral("http://site/both")}));
    m_Hub.GetHistory()->Record(
        crawl(m_NowMs - 3600000, {QStringLiteral("http://site/both"), QStringLiteral("http://site/new")}));

    Show(m_SiteId);
    QStringList rows;
    for (int i = 0; i < m_pPane->GetCrawlList()->topLevelItemCount(); ++i)
        rows << m_pPane->GetCrawlList()->topLevelItem(i)->text(0) + QLatin1Char(' ')
                + m_pPane->GetCrawlList()->topLevelItem(i)->text(1);
    EXPECT_EQ(rows, (QStringList {QStringLiteral("Broken http://site/new"), QStringLiteral("Mended http://site/old")}));
}

TEST_F(HistoryPaneTest, ExportsTheShownRangeAsCsvAndTheChartAsPng)
{
    const qint64 day = 24 * 3600000LL;
    for (int i = 1; i <= 3; ++i)
        m_Hub.GetHistory()->Record(Run(kShopKey, m_NowMs - i * 2 * day, i != 2, 1500 * i, QStringLiteral("run")));
    m_Hub.GetHistory()->Record(Run(kShopKey, m_NowMs - 200 * day, true, 1000, QStringLiteral("long ago")));
    m_pPane->SetRange(CHistoryPane::e7Days);
    Show(m_ShopId);
    ASSERT_EQ(m_pPane->GetSeries().size(), 3);

    QStringList asked;
    CHistoryPane::SetSaveFileAskerForTesting([&](const QString& suggested, const QString&) {
        asked << suggested;
        return m_Dir.filePath(suggested);
    });
    m_pPane->OnExportCsv();
    m_pPane->OnExportPng();
    EXPECT_EQ(asked, (QStringList {QStringLiteral("Shop front.csv"), QStringLiteral("Shop front.png")}));

    QFile csv(m_Dir.filePath(QStringLiteral("Shop front.csv")));
    ASSERT_TRUE(csv.open(QIODevice::ReadOnly | QIODevice::Text));
    const QStringList lines = QString::fromUtf8(csv.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 4); // the header and one row per hour with runs in the 7 days
    EXPECT_TRUE(lines.at(0).startsWith(QStringLiteral("start (UTC),runs,failures")));
    // Oldest first: the failed run of four days ago is the middle one.
    EXPECT_TRUE(lines.at(2).contains(QStringLiteral(",1,1,0.00,3.000,3.000"))) << lines.at(2).toStdString();
    EXPECT_TRUE(lines.at(3).endsWith(QStringLiteral(",1,0,100.00,1.500,1.500"))) << lines.at(3).toStdString();

    QImage png(m_Dir.filePath(QStringLiteral("Shop front.png")));
    EXPECT_FALSE(png.isNull());
}

TEST_F(HistoryPaneTest, FollowsTheShownTasksNewResults)
{
    CHttpTestServer server;
    server.Get(
        "/", [](const httplib::Request&, httplib::Response& response) { response.set_content("hello", "text/plain"); });
    ASSERT_TRUE(server.Start());
    CTask task;
    ASSERT_TRUE(m_Document.GetTask(m_ShopId, task));
    task.m_HttpGetURL = server.Url(QStringLiteral("/"));
    ASSERT_TRUE(m_Document.ModifyTask(m_ShopId, task));
    Show(m_ShopId);
    EXPECT_EQ(Runs(m_pPane->GetSeries()), 0);

    // A real run: the pane asks again by itself once its result is in.
    QSignalSpy refreshed(m_pPane.get(), &CHistoryPane::Refreshed);
    m_Hub.ExecuteTask(m_ShopId);
    ASSERT_TRUE(SpinUntil([&] { return refreshed.count() > 0 && Runs(m_pPane->GetSeries()) == 1; }));
    EXPECT_EQ(m_pPane->GetPhaseView()->chart()->series().size(), 1);
}

} // namespace
