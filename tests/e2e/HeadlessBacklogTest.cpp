// What piles up when something outside the program hangs or floods: a check slower than its
// interval, a mail server that never answers, an alert program that never ends or prints
// without end. Each runs the real program headless against local servers.
#include "ProgramRun.h"
#include "core/shell/AppSettings.h"
#include "core/tasks/TaskFile.h"
#include "support/HttpTestServer.h"
#include "support/QtPrinters.h"
#include "support/TempSettings.h"
#include "support/TestFiles.h"

#include <QDateTime>
#include <QFile>
#include <QMap>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>

#include <csignal>
#include <fcntl.h>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

const QRegularExpression kLogLine(QStringLiteral("^\\w{3} \\w{3} [ \\d]\\d \\d\\d:\\d\\d:\\d\\d \\d{4}\\t"));

class HeadlessBacklog : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_Server.Get("/gone", [](const httplib::Request&, httplib::Response& response) { response.status = 404; });
        ASSERT_TRUE(m_Server.Start());
    }

    void TearDown() override
    {
        if (m_Process.state() != QProcess::NotRunning) {
            m_Process.kill();
            m_Process.waitForFinished(5000);
        }
        // Alert programs that sleep are not left behind, whatever the test found.
        if (!m_StartedFile.isEmpty()) {
            for (const QByteArray& line : ReadBytes(m_StartedFile).split('\n')) {
                if (line.startsWith("started "))
                    ::kill(pid_t(line.mid(8).toInt()), SIGKILL);
            }
        }
    }

    // A GET of a missing page that alerts on every failure.
    CTask FailingTask(const QString& name, int alertMethods)
    {
        CTask task;
        task.m_Name = name;
        task.m_CheckAction = eCheckHttpGet;
        task.m_HttpGetURL = m_Server.Url(QStringLiteral("/gone"));
        task.m_TimeoutSec = 5;
        task.m_AlertSettings.m_AlertMethods = alertMethods;
        task.m_AlertSettings.m_bUseDefaultAlertMethods = false;
        task.m_AlertSettings.m_AlertEmailAddresses = QStringLiteral("ops@example.com");
        return task;
    }

    QString WriteTasks(const QList<CTask>& tasks) { return ::WriteTasks(m_Dir, tasks); }

    // The program starts with no descriptor of this test open beyond the three standard
    // ones, so that whatever else its alert programs hold is the program's own.
    void Start(const QStringList& arguments)
    {
        m_Process.setProcessEnvironment(ProgramEnvironment());
        m_Process.setChildProcessModifier([] {
            for (int fd = 3; fd < 1024; ++fd) {
                const int flags = ::fcntl(fd, F_GETFD);
                if (flags >= 0 && !(flags & FD_CLOEXEC))
                    ::close(fd);
            }
        });
        m_Process.start(QStringLiteral(CORVANE_PROGRAM),
                        QStringList {QStringLiteral("--settings"), m_Settings.IniPath(), QStringLiteral("--headless")}
                            + arguments);
        ASSERT_TRUE(m_Process.waitForStarted());
    }

    // Reads standard output until done() holds for what was read so far; false after the time-out.
    bool ReadUntil(const std::function<bool(const QByteArray&)>& done, std::chrono::milliseconds timeout = 60s)
    {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (!done(m_Output)) {
            if (std::chrono::steady_clock::now() > deadline || m_Process.state() == QProcess::NotRunning)
                return done(m_Output);
            m_Process.waitForReadyRead(100);
            m_Output += m_Process.readAllStandardOutput();
        }
        return true;
    }

    // Ends the program as a service manager would and returns every line it printed.
    QStringList Terminate()
    {
        ::kill(pid_t(m_Process.processId()), SIGTERM);
        EXPECT_TRUE(m_Process.waitForFinished(20000));
        EXPECT_EQ(m_Process.exitStatus(), QProcess::NormalExit);
        m_Output += m_Process.readAllStandardOutput();
        return OutputLines(m_Output);
    }

    static QString Quoted(const QString& text) { return QLatin1Char('"') + text + QLatin1Char('"'); }

    // The lines of a file once it has at least count of them, or after the time-out.
    static QList<QByteArray> WaitForLines(const QString& path, int count, std::chrono::milliseconds timeout = 20s)
    {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        QList<QByteArray> lines;
        do {
            const QByteArray text = ReadBytes(path).trimmed();
            lines = text.isEmpty() ? QList<QByteArray>() : text.split('\n');
            if (lines.size() >= count)
                break;
            QThread::msleep(20);
        } while (std::chrono::steady_clock::now() < deadline);
        return lines;
    }

    CTempSettings m_Settings;
    QTemporaryDir m_Dir;
    CHttpTestServer m_Server;
    QProcess m_Process;
    QByteArray m_Output;
    QString m_StartedFile; // alert_probe --started
};

} // namespace

TEST_F(HeadlessBacklog, ACheckSlowerThanItsIntervalRunsAgainOnlyAfterItEnded)
{
    // The first answer takes six seconds, every later one comes at once.
    std::atomic<int> requests {0};
    m_Server.Get("/slow", [&](const httplib::Request&, httplib::Response& response) {
        if (requests++ == 0)
            m_Server.Pause(6s);
        response.set_content("<html>late</html>", "text/html");
    });
    CTask slow = FailingTask(QStringLiteral("Slow"), 0);
    slow.m_HttpGetURL = m_Server.Url(QStringLiteral("/slow"));
    slow.m_TimeoutSec = 30;
    slow.m_bTaskScheduled = true;
    slow.m_PingInterval = 1;
    Start({WriteTasks({slow})});

    ASSERT_TRUE(ReadUntil([](const QByteArray& output) { return output.count("Finished task Slow") >= 4; }))
        << m_Output.toStdString();
    const QStringList lines = Terminate();

    // Runs start on the ticks of the one-second poll, never several back to back: no whole
    // second of the log holds more than the two starts that two ticks can give it.
    QMap<QString, int> startsPerSecond;
    for (const QString& line : lines) {
        if (line.endsWith(u"\tStarting task Slow"))
            ++startsPerSecond[line.section(u'\t', 0, 0)];
    }
    for (auto it = startsPerSecond.cbegin(); it != startsPerSecond.cend(); ++it)
        EXPECT_LE(it.value(), 2) << it.key().toStdString() << "\n" << m_Output.toStdString();
}

TEST_F(HeadlessBacklog, AnAlertProgramThatStillRunsIsNotStartedAgain)
{
    const QString started = m_StartedFile = m_Dir.filePath(QStringLiteral("started.txt"));
    CTask failing = FailingTask(QStringLiteral("Old page"), eAlertApplication);
    failing.m_bTaskScheduled = true;
    failing.m_PingInterval = 1;
    failing.m_AlertSettings.m_AlertApplicationName = Quoted(QStringLiteral(CORVANE_ALERT_PROBE))
        + QStringLiteral(" --started ") + Quoted(started) + QStringLiteral(" --sleep 120");
    Start({WriteTasks({failing})});

    const QByteArray executed = "External application for QI Old page executed successfully";
    const QByteArray stillRunning = "External application for QI Old page not started: "
        + QByteArray(CORVANE_ALERT_PROBE) + " is still running from the previous alert";
    ASSERT_TRUE(ReadUntil([&](const QByteArray& output) { return output.count(stillRunning) >= 2; }))
        << m_Output.toStdString();
    const QList<QByteArray> starts = WaitForLines(started, 1);
    ASSERT_EQ(starts.size(), 1) << ReadBytes(started).toStdString();
    EXPECT_EQ(m_Output.count(executed), 1) << m_Output.toStdString();

    // Once it has ended, the next alert starts it again.
    const pid_t program = pid_t(starts.first().mid(8).toInt());
    ASSERT_GT(program, 0);
    ::kill(program, SIGKILL);
    ASSERT_TRUE(ReadUntil([&](const QByteArray& output) { return output.count(executed) >= 2; }))
        << m_Output.toStdString();
    Terminate();
    EXPECT_EQ(WaitForLines(started, 2).size(), 2);
}

TEST_F(HeadlessBacklog, AnAlertProgramGetsNoneOfTheProgramsOutputOrDescriptors)
{
    // The program prints first and lists its descriptors when done, so the list tells when
    // all its output is out.
    const QString descriptors = m_Dir.filePath(QStringLiteral("fds.txt"));
    CTask failing = FailingTask(QStringLiteral("Old page"), eAlertApplication);
    failing.m_AlertSettings.m_AlertApplicationName = Quoted(QStringLiteral(CORVANE_ALERT_PROBE))
        + QStringLiteral(" --print 20000000 --fds ") + Quoted(descriptors);
    // The log file is open while the program starts.
    SaveSettings([&](CAppSettings& settings) {
        settings.m_bLogToFile = true;
        settings.m_LogFileName = m_Dir.filePath(QStringLiteral("corvane.log"));
    });
    // Standard output is a file, which whoever holds it can write to after the program ended.
    const QString output = m_Dir.filePath(QStringLiteral("stdout.txt"));
    m_Process.setStandardOutputFile(output);
    Start({QStringLiteral("--once"), WriteTasks({failing})});
    ASSERT_TRUE(m_Process.waitForFinished(60000));
    EXPECT_EQ(m_Process.exitCode(), 1);

    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (!QFile::exists(descriptors) && std::chrono::steady_clock::now() < deadline)
        QThread::msleep(20);
    EXPECT_EQ(QString::fromUtf8(ReadBytes(descriptors)), QStringLiteral("0 /dev/null\n1 /dev/null\n2 /dev/null\n"));
    m_Output = ReadBytes(output);

    // Whatever the alert program printed went elsewhere: standard output holds log lines only.
    const QStringList lines = OutputLines(m_Output);
    ASSERT_FALSE(lines.isEmpty());
    for (const QString& line : lines)
        ASSERT_TRUE(kLogLine.match(line).hasMatch()) << line.left(200).toStdString();
    EXPECT_TRUE(lines.last().endsWith(u"\tCorvane Terminating")) << lines.last().toStdString();
}

TEST_F(HeadlessBacklog, AlertsLeftWaitingForAHungMailServerAreCountedAtShutdown)
{
    CSilentListener hungMailServer;
    ASSERT_TRUE(hungMailServer.IsListening());
    SaveSettings([&](CAppSettings& settings) {
        settings.m_SmtpServerName = QStringLiteral("127.0.0.1:%1").arg(hungMailServer.Port());
    });
    const QString taskFile
        = WriteTasks({FailingTask(QStringLiteral("One"), eAlertEmail), FailingTask(QStringLiteral("Two"), eAlertEmail),
                      FailingTask(QStringLiteral("Three"), eAlertEmail)});
    Start({QStringLiteral("--once"), taskFile});
    // The first alert waits for the server's greeting; the other two wait for their turn.
    ASSERT_TRUE(ReadUntil([](const QByteArray& output) { return output.contains("Finished task Three"); }))
        << m_Output.toStdString();
    // On a slow machine the first alert may still be queued; only once it is being delivered
    // are exactly two left waiting.
    ASSERT_TRUE(hungMailServer.WaitForConnection(60000));
    const auto stopped = std::chrono::steady_clock::now();
    const QStringList lines = Terminate();
    // The delivery under way was cut short rather than waited for.
    EXPECT_LT(std::chrono::steady_clock::now() - stopped, 4s);
    const qsizetype terminating = lines.indexOf(QRegularExpression(QStringLiteral(".*\tCorvane Terminating")));
    ASSERT_GE(terminating, 0) << m_Output.toStdString();
    const QStringList lastWords = lines.mid(terminating + 1);
    EXPECT_EQ(lastWords
                  .filter(QStringLiteral("\tApplication Failure\t2 queued alerts were not delivered before the "
                                         "shutdown"))
                  .size(),
              1)
        << m_Output.toStdString();
}
