// The history thread: recording never waits for the database, a fault is told once, what
// cannot be written is counted, and queries come back on the UI thread.
#include "core/history/HistoryThread.h"
#include "core/tasks/Task.h"
#include "support/EventLoop.h"
#include "support/HttpTestServer.h"
#include "support/PostgresTestServer.h"
#include "support/QtPrinters.h"
#include "support/RecordingHost.h"

#include <QFile>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

using namespace std::chrono_literals;

namespace {

const QString kOffEnd = QStringLiteral("It is tried again at the next start or when the settings change.");

CCheckResult Result(int n, const QString& key = QStringLiteral("6f1d3c0e-1b2a-4c3d-9e8f-0a1b2c3d4e5f"))
{
    CCheckResult result;
    result.m_TaskKey = key;
    result.m_TaskName = QStringLiteral("Shop front");
    result.m_CheckKind = eCheckHttpGet;
    result.m_StartMs = 1796738000000 + qint64(n) * 1000;
    result.m_DurationUs = 1500 + n;
    result.m_Verdict = n % 3 == 0 ? eVerdict::eFailure : eVerdict::eSuccess;
    result.m_Text = QStringLiteral("run %1").arg(n);
    result.m_StatusCode = n % 3 == 0 ? 500 : 200;
    result.m_Bytes = 100 + n;
    result.m_TotalUs = 1200 + n;
    return result;
}

CHistoryLocation Sqlite(const QString& path)
{
    CHistoryLocation location;
    location.m_Kind = CHistoryLocation::eSqlite;
    location.m_Path = path;
    return location;
}

QList<CLogMessage> Failures(const CRecordingHost& host)
{
    QList<CLogMessage> failures;
    for (const CLogMessage& message : host.Messages())
        if (message.m_Severity.GetCode() == eApplicationFailure)
            failures << message;
    return failures;
}

QStringList Texts(const QList<CLogMessage>& messages)
{
    QStringList texts;
    for (const CLogMessage& message : messages)
        texts << message.m_Text;
    return texts;
}

} // namespace

TEST(HistoryThread, AFileThatCannotBeWrittenTurnsTheHistoryOffWithOneMessage)
{
    // Under a plain file no folder can be made, whoever runs the test.
    QTemporaryDir dir;
    const QString blocker = dir.filePath(QStringLiteral("plain-file"));
    QFile file(blocker);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.close();
    const QString path = blocker + QStringLiteral("/history.sqlite");

    CRecordingHost host;
    CHistoryThread history(Sqlite(path), 90, &host);
    ASSERT_TRUE(history.Start());
    for (int i = 0; i < 5; ++i)
        history.Record(Result(i));
    ASSERT_TRUE(SpinUntil([&] { return history.IsOff(); }));
    // Off: results are dropped at once, none waits for a database that is not there.
    for (int i = 5; i < 500; ++i)
        history.Record(Result(i));
    EXPECT_EQ(history.GetQueuedCount(), 0);

    bool answered = false;
    QList<CCheckResult> answer {Result(0)};
    QObject receiver;
    history.Query<QList<CCheckResult>>([](CHistoryStore& store) { return store.GetResults(QString(), 0, 1LL << 62); },
                                       &receiver,
                                       [&](QList<CCheckResult> results) {
                                           answered = true;
                                           answer = results;
                                       });
    ASSERT_TRUE(SpinUntil([&] { return answered; }));
    EXPECT_TRUE(answer.isEmpty());
    EXPECT_TRUE(history.Shutdown(20000));

    const QList<CLogMessage> failures = Failures(host);
    ASSERT_EQ(failures.size(), 1) << Texts(host.Messages()).join(u'\n').toStdString();
    const QString text = failures.first().m_Text;
    EXPECT_TRUE(text.startsWith(QStringLiteral("Result history is off: "))) << text.toStdString();
    EXPECT_TRUE(text.contains(path)) << text.toStdString();
    EXPECT_TRUE(text.endsWith(kOffEnd)) << text.toStdString();
    EXPECT_EQ(failures.first().m_TaskId, -1);
}

TEST(HistoryThread, BehindAnUnreachableServerResultsWaitUpToTheBoundAndTheRestIsCounted)
{
    CRefusingPort refusing;
    CHistoryLocation location;
    QString error;
    ASSERT_TRUE(CHistoryLocation::Parse(
        QStringLiteral("postgresql://corvane@127.0.0.1:%1/corvane?connect_timeout=5").arg(refusing.Port()), location,
        &error))
        << error.toStdString();
    CRecordingHost host;
    CHistoryThread history(location, 90, &host);
    ASSERT_TRUE(history.Start());
    ASSERT_TRUE(SpinUntil([&] { return !Failures(host).isEmpty(); }));
    const QString away = Failures(host).first().m_Text;
    EXPECT_TRUE(away.startsWith(QStringLiteral("Result history cannot reach postgresql://corvane@127.0.0.1:")))
        << away.toStdString();
    EXPECT_FALSE(history.IsOff());

    const int burst = CHistoryThread::kMaxQueuedResults + 7;
    for (int i = 0; i < burst; ++i)
        history.Record(Result(i));
    EXPECT_EQ(history.GetQueuedCount(), CHistoryThread::kMaxQueuedResults);
    // A reconnection attempt or two meanwhile says nothing new.
    QThread::msleep(CHistoryThread::kReconnectMs + 500);
    EXPECT_TRUE(history.Shutdown(20000));

    EXPECT_EQ(Texts(Failures(host)),
              QStringList({away,
                           QStringLiteral("7 results were dropped: 10000 results were already waiting to be "
                                          "written to the history"),
                           QStringLiteral("10000 results were not written to the result history (%1) before the "
                                          "shutdown")
                               .arg(location.Describe())}));
}

TEST(HistoryThread, ABurstIsWrittenWholeAndInOrderByTheShutdown)
{
    QTemporaryDir dir;
    const CHistoryLocation location = Sqlite(dir.filePath(QStringLiteral("history.sqlite")));
    const QString otherKey = QStringLiteral("0c9b8a7f-6e5d-4c3b-8a19-f0e1d2c3b4a5");
    QList<CCheckResult> recorded;
    CRecordingHost host;
    {
        CHistoryThread history(location, 0, &host);
        ASSERT_TRUE(history.Start());
        // After a write, the next one waits its turn: the burst is still queued at the shutdown.
        recorded << Result(0);
        history.Record(recorded.last());
        ASSERT_TRUE(SpinUntil([&] { return history.GetQueuedCount() == 0; }));
        // More than two transactions' worth, from two tasks, with no pause between them.
        for (int i = 1; i < 2 * CHistoryThread::kMaxBatch + 500; ++i) {
            recorded << (i % 2 ? Result(i) : Result(i, otherKey));
            history.Record(recorded.last());
        }
        EXPECT_TRUE(history.Shutdown(60000));
    }
    EXPECT_EQ(Texts(host.Messages()), QStringList());

    CHistoryStore store;
    QString error;
    ASSERT_TRUE(store.Open(location, &error)) << error.toStdString();
    const QList<CCheckResult> stored = store.GetResults(QString(), 0, 1LL << 62);
    ASSERT_EQ(stored.size(), recorded.size());
    for (qsizetype i = 0; i < stored.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(stored[i].m_TaskKey, recorded[i].m_TaskKey);
        EXPECT_EQ(stored[i].m_StartMs, recorded[i].m_StartMs);
        EXPECT_EQ(stored[i].m_Text, recorded[i].m_Text);
        EXPECT_EQ(stored[i].m_Verdict, recorded[i].m_Verdict);
        EXPECT_EQ(stored[i].m_TotalUs, recorded[i].m_TotalUs);
    }
}

TEST(HistoryThread, AQueryIsAnsweredOnTheUiThreadAndSeesWhatWasRecordedBeforeIt)
{
    QTemporaryDir dir;
    CRecordingHost host;
    CHistoryThread history(Sqlite(dir.filePath(QStringLiteral("history.sqlite"))), 90, &host);
    ASSERT_TRUE(history.Start());
    const CCheckResult first = Result(1);
    history.Record(first);
    // Written at once; the next two then wait for their turn while the question comes.
    ASSERT_TRUE(SpinUntil([&] { return history.GetQueuedCount() == 0; }));
    history.Record(Result(2));
    history.Record(Result(3));

    QThread* answeredOn = nullptr;
    CTaskStatistics statistics;
    QObject receiver;
    history.Query<CTaskStatistics>(
        [&](CHistoryStore& store) { return store.GetStatistics(first.m_TaskKey, 0, 1LL << 62); }, &receiver,
        [&](CTaskStatistics answer) {
            answeredOn = QThread::currentThread();
            statistics = answer;
        });
    // A receiver gone before its answer hears nothing.
    bool heardByGone = false;
    {
        QObject gone;
        history.Query<int>([](CHistoryStore&) { return 1; }, &gone, [&](int) { heardByGone = true; });
    }
    ASSERT_TRUE(SpinUntil([&] { return answeredOn != nullptr; }));
    EXPECT_EQ(answeredOn, QCoreApplication::instance()->thread());
    EXPECT_EQ(statistics.m_Runs, 3);
    EXPECT_EQ(statistics.m_Failures, 1); // Result(3)
    EXPECT_TRUE(history.Shutdown(20000));
    QCoreApplication::processEvents();
    EXPECT_FALSE(heardByGone);
    EXPECT_EQ(Texts(host.Messages()), QStringList());
}

TEST(HistoryThread, APostgreSQLRestartIsToldOnceAndWhatWaitedIsWrittenWhenItIsBack)
{
    QString whyNot;
    CPostgresTestServer* server = CPostgresTestServer::Shared(&whyNot);
    if (!server)
        GTEST_SKIP() << whyNot.toStdString();
    const QString uri = server->CreateDatabase();
    ASSERT_FALSE(uri.isEmpty()) << server->Error().toStdString();
    CHistoryLocation location;
    QString error;
    ASSERT_TRUE(CHistoryLocation::Parse(uri, location, &error)) << error.toStdString();

    CRecordingHost host;
    CHistoryThread history(location, 90, &host);
    ASSERT_TRUE(history.Start());
    const auto storedCount = [&] {
        qsizetype count = -1;
        QObject receiver;
        history.Query<qsizetype>([](CHistoryStore& store) { return store.GetResults(QString(), 0, 1LL << 62).size(); },
                                 &receiver, [&](qsizetype answer) { count = answer; });
        EXPECT_TRUE(SpinUntil([&] { return count >= 0; }));
        return count;
    };
    history.Record(Result(1));
    history.Record(Result(2));
    EXPECT_EQ(storedCount(), 2);

    // The connection the thread holds is dead after this; it learns so at its next write.
    ASSERT_TRUE(server->Restart()) << server->Error().toStdString();
    for (int i = 3; i <= 5; ++i)
        history.Record(Result(i));
    ASSERT_TRUE(SpinUntil([&] { return host.Messages().size() >= 2; }, 60s))
        << Texts(host.Messages()).join(u'\n').toStdString();
    EXPECT_EQ(storedCount(), 5);
    EXPECT_TRUE(history.Shutdown(20000));

    const QStringList texts = Texts(host.Messages());
    ASSERT_EQ(texts.size(), 2) << texts.join(u'\n').toStdString();
    EXPECT_TRUE(texts[0].startsWith(QStringLiteral("Result history cannot reach %1: ").arg(location.Describe())))
        << texts[0].toStdString();
    EXPECT_EQ(texts[1],
              QStringLiteral("Result history reaches %1 again: 3 results were waiting to be written.")
                  .arg(location.Describe()));
    EXPECT_EQ(host.Messages()[0].m_Severity.GetCode(), eApplicationFailure);
}
