// The hub and the result history: opened as the settings say, opened anew when they change,
// and written to the end when the hub shuts down.
#include "core/history/HistoryStore.h"
#include "core/history/HistoryThread.h"
#include "core/shell/AppSettings.h"
#include "core/shell/Hub.h"
#include "core/tasks/Task.h"
#include "core/tasks/VigrelDoc.h"
#include "support/EventLoop.h"
#include "support/QtPrinters.h"
#include "support/TempSettings.h"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

void ChangeHistorySetting(const QString& database)
{
    CAppSettings settings = GetAppSettings();
    settings.m_HistoryDatabase = database;
    SetAppSettings(settings);
}

CCheckResult Result(qint64 startMs)
{
    CCheckResult result;
    result.m_TaskKey = QStringLiteral("4a3b2c1d-0e9f-4a8b-9c7d-6e5f4a3b2c1d");
    result.m_TaskName = QStringLiteral("Shop front");
    result.m_CheckKind = eCheckHttpGet;
    result.m_StartMs = startMs;
    result.m_Verdict = eVerdict::eSuccess;
    result.m_Text = QStringLiteral("fine");
    return result;
}

} // namespace

TEST(HubHistory, AHistoryThatWentOffIsOpenedAgainWhenTheSettingsChangeAndGetsTheLastResults)
{
    CTempSettings temp;
    QTemporaryDir dir;
    const QString blocker = dir.filePath(QStringLiteral("plain-file"));
    QFile file(blocker);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.close();
    ChangeHistorySetting(blocker + QStringLiteral("/history.sqlite"));

    CVigrelDoc document;
    CHub hub(&document);
    QStringList failures;
    QObject::connect(&hub, &CHub::MessageShown, &hub, [&](const CLogMessage& message) {
        if (message.m_Severity.GetCode() == eApplicationFailure)
            failures << message.m_Text;
    });
    ASSERT_TRUE(hub.Start());
    ASSERT_NE(hub.GetHistory(), nullptr);
    ASSERT_TRUE(SpinUntil([&] { return !failures.isEmpty(); }));
    EXPECT_TRUE(failures.first().startsWith(QStringLiteral("Result history is off: ")))
        << failures.first().toStdString();

    const QString path = dir.filePath(QStringLiteral("history.sqlite"));
    ChangeHistorySetting(path);
    hub.ReopenHistory();
    ASSERT_NE(hub.GetHistory(), nullptr);
    EXPECT_EQ(hub.GetHistory()->GetLocation().m_Path, path);
    // The engine's way in: the result travels behind its verdict to the hub, then on.
    hub.QueueCheckResult(Result(1796738000000));
    ASSERT_TRUE(SpinUntil([&] { return !hub.HasPendingWork(); }));
    // Still in the hub's queue at the shutdown: written all the same.
    hub.QueueCheckResult(Result(1796738001000));
    hub.Shutdown(20000);
    EXPECT_EQ(failures.size(), 1) << failures.join(u'\n').toStdString();

    CHistoryLocation location;
    location.m_Path = path;
    CHistoryStore store;
    QString error;
    ASSERT_TRUE(store.Open(location, &error)) << error.toStdString();
    EXPECT_EQ(store.GetResults(QString(), 0, 1LL << 62).size(), 2);
}

TEST(HubHistory, ABadDatabaseSettingIsOneMessageAndNoHistory)
{
    CTempSettings temp;
    ChangeHistorySetting(QStringLiteral("postgresql://"));
    CVigrelDoc document;
    CHub hub(&document);
    QStringList failures;
    QObject::connect(&hub, &CHub::MessageShown, &hub, [&](const CLogMessage& message) {
        if (message.m_Severity.GetCode() == eApplicationFailure)
            failures << message.m_Text;
    });
    ASSERT_TRUE(hub.Start());
    EXPECT_EQ(hub.GetHistory(), nullptr);
    hub.Shutdown(20000);
    ASSERT_EQ(failures.size(), 1) << failures.join(u'\n').toStdString();
    EXPECT_TRUE(failures.first().startsWith(
        QStringLiteral("Result history is off: the history database \"postgresql://\" cannot be used: ")))
        << failures.first().toStdString();
}
