// The window serves the metrics its settings ask for, and goes on without them when it cannot.
#include "ProgramRun.h"
#include "support/HttpTestServer.h"
#include "support/TempSettings.h"

#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <thread>

using namespace std::chrono_literals;

namespace {

constexpr auto kPatience = 60s; // an upper bound for "it did not hang", never a speed test

// The log file until a line matches, or the patience ran out.
QRegularExpressionMatch WaitForLogLine(const QString& path, const QRegularExpression& line)
{
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    while (std::chrono::steady_clock::now() < deadline) {
        QFile file(path);
        if (file.open(QIODevice::ReadOnly)) {
            if (const QRegularExpressionMatch match = line.match(QString::fromUtf8(file.readAll())); match.hasMatch())
                return match;
        }
        std::this_thread::sleep_for(50ms);
    }
    return {};
}

void StartDesktop(QProcess& process, const CTempSettings& settings)
{
    QProcessEnvironment environment = ProgramEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    process.setProcessEnvironment(environment);
    process.start(QStringLiteral(CORVANE_PROGRAM), {QStringLiteral("--settings"), settings.IniPath()});
    ASSERT_TRUE(process.waitForStarted());
}

void Terminate(QProcess& process)
{
    ASSERT_EQ(process.state(), QProcess::Running) << "the window ended on its own";
    ::kill(pid_t(process.processId()), SIGTERM);
    ASSERT_TRUE(process.waitForFinished(int(std::chrono::milliseconds(kPatience).count())));
    EXPECT_EQ(process.exitCode(), 0);
}

} // namespace

TEST(MetricsDesktop, ServesWhereTheSettingsSayAndReportsAPortInUseAsAnApplicationFailure)
{
    CTempSettings settings;
    QTemporaryDir dir;
    const QString log = dir.filePath(QStringLiteral("corvane.log"));
    CSilentListener taken;
    ASSERT_TRUE(taken.IsListening());
    SaveSettings([&](CAppSettings& s) {
        s.m_bLogToFile = true;
        s.m_LogFileName = log;
        s.m_bHistoryEnabled = false;
        s.m_MetricsListen = QStringLiteral("127.0.0.1:%1").arg(taken.Port());
    });
    {
        QProcess process;
        StartDesktop(process, settings);
        const QRegularExpressionMatch failure = WaitForLogLine(
            log,
            QRegularExpression(QStringLiteral("\\tApplication Failure\\tMetrics not served \\(setting "
                                              "m_MetricsListen\\): cannot listen on 127\\.0\\.0\\.1:%1: the port "
                                              "is in use by another program\\r?\\n")
                                   .arg(taken.Port())));
        EXPECT_TRUE(failure.hasMatch());
        Terminate(process);
    }

    QFile::remove(log);
    SaveSettings([](CAppSettings& s) { s.m_MetricsListen = QStringLiteral(":0"); });
    QProcess process;
    StartDesktop(process, settings);
    const QRegularExpressionMatch served = WaitForLogLine(
        log, QRegularExpression(QStringLiteral("Metrics served at http://127\\.0\\.0\\.1:(\\d+)/metrics")));
    ASSERT_TRUE(served.hasMatch());
    httplib::Client client("127.0.0.1", served.captured(1).toInt());
    const auto health = client.Get("/healthz");
    ASSERT_TRUE(health);
    EXPECT_EQ(health->body, "ok\n");
    const auto metrics = client.Get("/metrics");
    ASSERT_TRUE(metrics);
    EXPECT_EQ(metrics->status, 200);
    Terminate(process);
}
