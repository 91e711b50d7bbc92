// The result history on both engines: the same cases run on an SQLite file and on a real
// PostgreSQL server that the test starts itself.
#include "core/history/HistoryStore.h"
#include "core/tasks/Task.h"

#include "support/PostgresTestServer.h"
#include "support/TestFiles.h"

#include <QDir>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <thread>

namespace {

constexpr qint64 kMinuteMs = 60000;
constexpr qint64 kHourMs = 60 * kMinuteMs;
constexpr qint64 kDayMs = 24 * kHourMs;
// A UTC midnight, so planted days line up with the summaries' days.
constexpr qint64 kDay0 = 1767225600000; // 2026-01-01

enum eEngine
{
    eSqlite,
    ePostgres,
};

std::string Text(const QString& text)
{
    return text.toStdString();
}

CCheckResult Get(const QString& key, qint64 startMs, eVerdict verdict, qint64 totalUs,
                 const QString& text = QStringLiteral("HTTP GET operation succeeded"))
{
    CCheckResult r;
    r.m_TaskKey = key;
    r.m_TaskName = QStringLiteral("Site ") + key;
    r.m_CheckKind = eCheckHttpGet;
    r.m_StartMs = startMs;
    r.m_DurationUs = totalUs >= 0 ? totalUs + 500 : 1200;
    r.m_Verdict = verdict;
    r.m_Text = text;
    r.m_TotalUs = totalUs;
    r.m_StatusCode = verdict == eVerdict::eSuccess ? 200 : -1;
    return r;
}

class HistoryStoreTest : public ::testing::TestWithParam<eEngine>
{
protected:
    void SetUp() override
    {
        QString setting;
        if (GetParam() == ePostgres) {
            QString whyNot;
            m_pServer = CPostgresTestServer::Shared(&whyNot);
            if (!m_pServer)
                GTEST_SKIP() << "no PostgreSQL server for the test: " << Text(whyNot);
            setting = m_pServer->CreateDatabase();
            ASSERT_FALSE(setting.isEmpty()) << Text(m_pServer->Error());
        } else {
            ASSERT_TRUE(m_Folder.isValid());
            setting = m_Folder.filePath(QStringLiteral("history/history.sqlite"));
        }
        QString error;
        ASSERT_TRUE(CHistoryLocation::Parse(setting, m_Location, &error)) << Text(error);
        ASSERT_TRUE(m_Store.Open(m_Location, &error)) << Text(error);
    }

    void TearDown() override
    {
        m_Store.Close();
        for (int i = 1; i <= m_nDirect; ++i)
            QSqlDatabase::removeDatabase(QStringLiteral("direct-%1").arg(i));
    }

    void Record(const QList<CCheckResult>& results)
    {
        QString error;
        ASSERT_TRUE(m_Store.Record(results, &error)) << Text(error);
    }

    // A plain connection beside the store's, for what the store does not show.
    QSqlDatabase Direct()
    {
        const QString name = QStringLiteral("direct-%1").arg(++m_nDirect);
        QSqlDatabase db;
        if (GetParam() == ePostgres) {
            db = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), name);
            db.setHostName(m_Location.m_Host);
            db.setPort(m_Location.m_Port);
            db.setUserName(m_Location.m_User);
            db.setDatabaseName(m_Location.m_Database);
        } else {
            db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
            db.setDatabaseName(m_Location.m_Path);
        }
        EXPECT_TRUE(db.open());
        return db;
    }

    QTemporaryDir m_Folder;
    CPostgresTestServer* m_pServer = nullptr;
    CHistoryLocation m_Location;
    CHistoryStore m_Store;
    int m_nDirect = 0;
};

TEST_P(HistoryStoreTest, RecordedResultsComeBackWithEveryField)
{
    CCheckResult get
        = Get(QStringLiteral("0b7c2d4e-aaaa-4bbb-8ccc-000000000001"), kDay0 + 1000, eVerdict::eSuccess, 84000);
    get.m_TaskName = QStringLiteral("x'); DROP TABLE results; --");
    get.m_Bytes = 51234;
    get.m_LookupUs = 1200;
    get.m_ConnectUs = 3400;
    get.m_TlsUs = 25000;
    get.m_FirstByteUs = 70000;
    get.m_FinalUrl = QStringLiteral("https://example.test/welcome?a='1'&b=\"2\"");
    get.m_CertExpiryMs = kDay0 + 90 * kDayMs;

    CCheckResult crawl;
    crawl.m_TaskKey = QStringLiteral("0b7c2d4e-aaaa-4bbb-8ccc-000000000002");
    crawl.m_TaskName = QStringLiteral("Überwachung \"Shop\" – 監視 ✓");
    crawl.m_CheckKind = eCheckSpider;
    crawl.m_StartMs = kDay0 + 2000;
    crawl.m_DurationUs = 4500000;
    crawl.m_Verdict = eVerdict::eFailure;
    crawl.m_Text = QStringLiteral("Spider operation failed.\n\nThe following links were checked:\n\nÄ 'quoted' \\ %_");
    crawl.m_StatusCode = 200;
    crawl.m_PagesFetched = 17;
    crawl.m_BrokenLinks = {
        CBrokenLink {QStringLiteral("http://127.0.0.1/ü.html"), QStringLiteral("http://127.0.0.1/"),
                     QStringLiteral("404 Not Found")},
        CBrokenLink {QStringLiteral("http://127.0.0.1/a'); DELETE FROM strings; --"),
                     QStringLiteral("http://127.0.0.1/ü.html"), QString()},
    };
    CCheckResult ping;
    ping.m_TaskKey = QStringLiteral("0b7c2d4e-aaaa-4bbb-8ccc-000000000003");
    ping.m_TaskName = QStringLiteral("Router");
    ping.m_CheckKind = eCheckPing;
    ping.m_StartMs = kDay0 + 3000;
    ping.m_DurationUs = 900;
    ping.m_Verdict = eVerdict::eSuccess;
    ping.m_Text = QStringLiteral("Ping operation succeeded");
    ping.m_RoundTripUs = 812;
    // The same crawl again later, and a stopped one after it that the comparison leaves out.
    CCheckResult crawl2 = crawl;
    crawl2.m_StartMs = kDay0 + kHourMs;
    crawl2.m_BrokenLinks.removeLast();
    CCheckResult stoppedCrawl = crawl;
    stoppedCrawl.m_StartMs = kDay0 + 2 * kHourMs;
    stoppedCrawl.m_Verdict = eVerdict::eStopped;
    stoppedCrawl.m_BrokenLinks.clear();
    Record({get, crawl, ping});
    Record({crawl2, stoppedCrawl});

    // A second store reads it without any of the writer's caches.
    CHistoryStore reader;
    QString error;
    ASSERT_TRUE(reader.Open(m_Location, &error)) << Text(error);
    for (CHistoryStore* store : {&m_Store, &reader}) {
        const CTaskStatus status = store->GetStatus(get.m_TaskKey);
        ASSERT_TRUE(status.m_LastResult) << Text(store->GetLastError());
        EXPECT_EQ(*status.m_LastResult, get);
        EXPECT_EQ(status.m_Health, eTaskHealth::eUp);
        EXPECT_EQ(status.m_SinceMs, get.m_StartMs);

        EXPECT_EQ(store->GetResults(crawl.m_TaskKey, kDay0, kDay0 + kDayMs),
                  (QList<CCheckResult> {crawl, crawl2, stoppedCrawl}));
        const QList<CCheckResult> all = store->GetResults(QString(), kDay0, kDay0 + kDayMs);
        EXPECT_EQ(all, (QList<CCheckResult> {get, crawl, ping, crawl2, stoppedCrawl}));

        // A stopped run is the latest result, yet the task stays down since the first failure.
        const CTaskStatus crawlStatus = store->GetStatus(crawl.m_TaskKey);
        ASSERT_TRUE(crawlStatus.m_LastResult);
        EXPECT_EQ(*crawlStatus.m_LastResult, stoppedCrawl);
        EXPECT_EQ(crawlStatus.m_Health, eTaskHealth::eDown);
        EXPECT_EQ(crawlStatus.m_SinceMs, crawl.m_StartMs);

        const CCrawlComparison comparison = store->GetLastTwoCrawls(crawl.m_TaskKey);
        EXPECT_EQ(comparison.m_LatestStartMs, crawl2.m_StartMs);
        EXPECT_EQ(comparison.m_Latest, crawl2.m_BrokenLinks);
        EXPECT_EQ(comparison.m_PreviousStartMs, crawl.m_StartMs);
        EXPECT_EQ(comparison.m_Previous, crawl.m_BrokenLinks);

        EXPECT_FALSE(store->GetStatus(QStringLiteral("never-recorded")).m_LastResult);
    }
}

TEST_P(HistoryStoreTest, StatisticsUptimeAndPercentileOverAPlantedDay)
{
    const QString key = QStringLiteral("planted");
    // 1,000 runs in one day with response times 1..1000 ms in a shuffled order, every 20th a
    // failure, and stopped runs that must count for nothing.
    QList<qint64> times;
    for (int i = 1; i <= 1000; ++i)
        times.append(i * 1000);
    std::mt19937 random(7);
    std::shuffle(times.begin(), times.end(), random);
    QList<CCheckResult> results;
    for (int i = 0; i < 1000; ++i) {
        results.append(Get(key, kDay0 + i * 86000, i % 20 == 0 ? eVerdict::eFailure : eVerdict::eSuccess, times[i]));
        if (i % 100 == 0)
            results.append(Get(key, kDay0 + i * 86000 + 1, eVerdict::eStopped, -1, QStringLiteral("stopped")));
    }
    Record(results);

    // Exact from raw results (24 h), then from hourly (7 d) and daily (365 d) summaries.
    for (const qint64 spanMs : {kDayMs, 7 * kDayMs, 365 * kDayMs}) {
        SCOPED_TRACE(spanMs / kDayMs);
        const CTaskStatistics stats = m_Store.GetStatistics(key, kDay0, kDay0 + spanMs);
        EXPECT_EQ(stats.m_Runs, 1000);
        EXPECT_EQ(stats.m_Failures, 50);
        EXPECT_DOUBLE_EQ(stats.UptimePercent(), 95.0);
        EXPECT_EQ(stats.m_MinUs, 1000);
        EXPECT_EQ(stats.m_MaxUs, 1000000);
        EXPECT_EQ(stats.m_MeanUs, 500500);
        if (spanMs == kDayMs) {
            EXPECT_EQ(stats.m_P95Us, 950000);
        } else {
            EXPECT_NEAR(double(stats.m_P95Us), 950000.0, 950000.0 * 0.05);
        }
    }
    // Half the day, exactly.
    const CTaskStatistics half = m_Store.GetStatistics(key, kDay0, kDay0 + 500 * 86000);
    EXPECT_EQ(half.m_Runs, 500);

    // Charts: every run lands in one point, from raw rows and from summaries alike.
    for (const qint64 resolution : {10 * kMinuteMs, kHourMs, kDayMs}) {
        const QList<CSeriesPoint> series = m_Store.GetSeries(key, kDay0, kDay0 + kDayMs, resolution);
        qint64 runs = 0;
        qint64 failures = 0;
        qint64 maxUs = -1;
        for (const CSeriesPoint& point : series) {
            EXPECT_EQ(point.m_StartMs % resolution, 0);
            runs += point.m_Runs;
            failures += point.m_Failures;
            maxUs = std::max(maxUs, point.m_MaxUs);
        }
        EXPECT_EQ(runs, 1000) << resolution;
        EXPECT_EQ(failures, 50) << resolution;
        EXPECT_EQ(maxUs, 1000000) << resolution;
    }
    const QList<CSeriesPoint> daily = m_Store.GetSeries(key, kDay0, kDay0 + kDayMs, kDayMs);
    ASSERT_EQ(daily.size(), 1);
    EXPECT_EQ(daily[0].m_MeanUs, 500500);
}

TEST_P(HistoryStoreTest, IncidentsRunFromFirstFailureToTheSuccessThatEndsThem)
{
    const QString key = QStringLiteral("incidents");
    const qint64 t = kDay0;
    Record({Get(key, t + 0, eVerdict::eStopped, -1, QStringLiteral("stopped before any verdict"))});
    EXPECT_EQ(m_Store.GetStatus(key).m_Health, eTaskHealth::eUnknown);
    Record({
        Get(key, t + 1000, eVerdict::eSuccess, 5000),
        Get(key, t + 2000, eVerdict::eFailure, -1, QStringLiteral("Cannot connect: first")),
    });
    Record({
        Get(key, t + 3000, eVerdict::eStopped, -1, QStringLiteral("Task execution stopped")),
        Get(key, t + 4000, eVerdict::eFailure, -1, QStringLiteral("Cannot connect: second")),
        Get(key, t + 5000, eVerdict::eSuccess, 6000),
        Get(key, t + 6000, eVerdict::eSuccess, 6000),
        Get(key, t + 7000, eVerdict::eFailure, -1, QStringLiteral("HTTP status 503")),
    });
    const QList<CIncident> incidents = m_Store.GetIncidents(key, t, t + kDayMs);
    ASSERT_EQ(incidents.size(), 2);
    EXPECT_EQ(incidents[0].m_StartMs, t + 2000);
    EXPECT_EQ(incidents[0].m_EndMs, t + 5000);
    EXPECT_EQ(incidents[0].m_Text, QStringLiteral("Cannot connect: first"));
    EXPECT_EQ(incidents[1].m_StartMs, t + 7000);
    EXPECT_EQ(incidents[1].m_EndMs, -1);
    EXPECT_EQ(incidents[1].m_Text, QStringLiteral("HTTP status 503"));
    // A range that ends before the second incident starts holds only the first.
    EXPECT_EQ(m_Store.GetIncidents(key, t + 4500, t + 7000).size(), 1);

    const CTaskStatus status = m_Store.GetStatus(key);
    EXPECT_EQ(status.m_Health, eTaskHealth::eDown);
    EXPECT_EQ(status.m_SinceMs, t + 7000);
    const CTaskStatistics stats = m_Store.GetStatistics(key, t, t + kDayMs);
    EXPECT_EQ(stats.m_Runs, 6);
    EXPECT_EQ(stats.m_Failures, 3);
}

TEST_P(HistoryStoreTest, RetentionDropsRawResultsAndKeepsAYearOfStatistics)
{
    const QString key = QStringLiteral("year");
    // A year of results every 30 minutes, a failure every 10th.
    QList<CCheckResult> results;
    const qint64 now = kDay0 + 365 * kDayMs;
    for (qint64 at = kDay0, i = 0; at < now; at += 30 * kMinuteMs, ++i) {
        results.append(Get(key, at, i % 10 == 0 ? eVerdict::eFailure : eVerdict::eSuccess, 20000 + (i % 97) * 1000,
                           i % 10 == 0 ? QStringLiteral("Failure %1").arg(i) : QStringLiteral("fine")));
    }
    Record(results);
    const CTaskStatistics yearBefore = m_Store.GetStatistics(key, kDay0, now);
    const CTaskStatistics oldDayBefore = m_Store.GetStatistics(key, kDay0 + 100 * kDayMs, kDay0 + 101 * kDayMs);
    ASSERT_EQ(yearBefore.m_Runs, 365 * 48);
    ASSERT_EQ(oldDayBefore.m_Runs, 48);

    QString error;
    ASSERT_TRUE(m_Store.ApplyRetention(90, now, &error)) << Text(error);
    EXPECT_TRUE(m_Store.GetResults(key, kDay0, now - 90 * kDayMs).isEmpty());
    EXPECT_EQ(m_Store.GetResults(key, now - 90 * kDayMs, now).size(), 90 * 48);

    const CTaskStatistics yearAfter = m_Store.GetStatistics(key, kDay0, now);
    EXPECT_EQ(yearAfter.m_Runs, yearBefore.m_Runs);
    EXPECT_EQ(yearAfter.m_Failures, yearBefore.m_Failures);
    EXPECT_EQ(yearAfter.m_MinUs, yearBefore.m_MinUs);
    EXPECT_EQ(yearAfter.m_MeanUs, yearBefore.m_MeanUs);
    EXPECT_EQ(yearAfter.m_MaxUs, yearBefore.m_MaxUs);
    EXPECT_EQ(yearAfter.m_P95Us, yearBefore.m_P95Us);
    // A day whose raw rows are gone is answered from its summaries.
    const CTaskStatistics oldDayAfter = m_Store.GetStatistics(key, kDay0 + 100 * kDayMs, kDay0 + 101 * kDayMs);
    EXPECT_EQ(oldDayAfter.m_Runs, oldDayBefore.m_Runs);
    EXPECT_EQ(oldDayAfter.m_Failures, oldDayBefore.m_Failures);
    EXPECT_NEAR(double(oldDayAfter.m_P95Us), double(oldDayBefore.m_P95Us), oldDayBefore.m_P95Us * 0.05);
    // Incidents stay, with their texts, though their results are gone.
    const QList<CIncident> incidents = m_Store.GetIncidents(key, kDay0, kDay0 + kDayMs);
    ASSERT_FALSE(incidents.isEmpty());
    EXPECT_EQ(incidents[0].m_Text, QStringLiteral("Failure 0"));

    ASSERT_TRUE(m_Store.Clear(&error)) << Text(error);
    EXPECT_FALSE(m_Store.GetStatus(key).m_LastResult);
    EXPECT_EQ(m_Store.GetStatistics(key, kDay0, now).m_Runs, 0);
    Record({Get(key, now, eVerdict::eSuccess, 1000)});
    EXPECT_EQ(m_Store.GetStatistics(key, now - kDayMs, now + 1).m_Runs, 1);
}

// Two writers on one task at once (two probes on one server, or two stores on one file):
// every run counts once, in the raw rows and in the summaries.
TEST_P(HistoryStoreTest, TwoWritersOnOneTaskLoseNoCounts)
{
    const QString key = QStringLiteral("shared");
    auto writer = [this, &key](int offsetMs, QString* failure) {
        CHistoryStore store;
        if (!store.Open(m_Location, failure))
            return;
        for (int batch = 0; batch < 20; ++batch) {
            QList<CCheckResult> results;
            for (int i = 0; i < 50; ++i) {
                const qint64 at = kDay0 + (batch * 50 + i) * 1000 + offsetMs;
                results.append(Get(key, at, i % 5 == 0 ? eVerdict::eFailure : eVerdict::eSuccess, 1000 + i));
            }
            if (!store.Record(results, failure))
                return;
        }
    };
    // The same start times on both: the second row of each millisecond gets the next seq.
    QString failureA;
    QString failureB;
    std::thread a(writer, 0, &failureA);
    std::thread b(writer, 0, &failureB);
    a.join();
    b.join();
    EXPECT_TRUE(failureA.isEmpty()) << Text(failureA);
    EXPECT_TRUE(failureB.isEmpty()) << Text(failureB);
    EXPECT_EQ(m_Store.GetResults(key, kDay0, kDay0 + kDayMs).size(), 2000);
    const CTaskStatistics exact = m_Store.GetStatistics(key, kDay0, kDay0 + kDayMs);
    const CTaskStatistics summarised = m_Store.GetStatistics(key, kDay0, kDay0 + 30 * kDayMs);
    EXPECT_EQ(exact.m_Runs, 2000);
    EXPECT_EQ(exact.m_Failures, 400);
    EXPECT_EQ(summarised.m_Runs, 2000);
    EXPECT_EQ(summarised.m_Failures, 400);
}

TEST_P(HistoryStoreTest, NewerSchemaIsRefusedAndLeftUnchanged)
{
    m_Store.Close();
    {
        QSqlDatabase db = Direct();
        QSqlQuery query(db);
        ASSERT_TRUE(query.exec(QStringLiteral("UPDATE meta SET value = '99' WHERE name = 'schema_version'")));
        db.close();
    }
    QByteArray before;
    if (GetParam() == eSqlite) {
        // Fold the WAL into the file so the bytes compared are the whole database.
        {
            QSqlDatabase db = Direct();
            QSqlQuery(db).exec(QStringLiteral("PRAGMA wal_checkpoint(TRUNCATE)"));
            db.close();
        }
        before = ReadBytes(m_Location.m_Path);
        ASSERT_FALSE(before.isEmpty());
    }
    QString error;
    CHistoryStore store;
    EXPECT_FALSE(store.Open(m_Location, &error));
    EXPECT_FALSE(store.IsOpen());
    EXPECT_TRUE(error.contains(QStringLiteral("was written by a newer version of Corvane (schema 99); this version "
                                              "reads schema %1")
                                   .arg(CHistoryStore::SchemaVersion())))
        << Text(error);
    EXPECT_TRUE(error.contains(m_Location.Describe())) << Text(error);
    if (GetParam() == eSqlite) {
        EXPECT_EQ(ReadBytes(m_Location.m_Path), before);
    }
    QSqlDatabase db = Direct();
    QSqlQuery query(db);
    ASSERT_TRUE(query.exec(QStringLiteral("SELECT value FROM meta WHERE name = 'schema_version'")));
    ASSERT_TRUE(query.next());
    EXPECT_EQ(query.value(0).toString(), QStringLiteral("99"));
}

INSTANTIATE_TEST_SUITE_P(Engines, HistoryStoreTest, ::testing::Values(eSqlite, ePostgres),
                         [](const ::testing::TestParamInfo<eEngine>& info) {
                             return info.param == eSqlite ? std::string("Sqlite") : std::string("Postgres");
                         });

} // namespace
