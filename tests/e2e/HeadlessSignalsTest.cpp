// The program as a service manager, logrotate or a shell pipeline treats it: signals, a
// standard output that goes away, and a log file that is moved, deleted or whose disk fills.
#include "ProgramRun.h"
#include "core/shell/AppSettings.h"
#include "core/tasks/TaskFile.h"
#include "support/HttpTestServer.h"
#include "support/QtPrinters.h"
#include "support/TempSettings.h"
#include "support/TestFiles.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <thread>

#include <cerrno>
#include <csignal>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

constexpr auto kPatience = 60s; // an upper bound for "it did not hang", never a speed test

// Until done() holds, or the program has ended (a fault these tests look for) or the patience
// ran out. Waiting on the process is also what tells QProcess that it ended.
bool WaitFor(QProcess& process, const std::function<bool()>& done)
{
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline || process.state() != QProcess::Running)
            return done();
        process.waitForFinished(50);
    }
    return true;
}

class HeadlessSignals : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_Server.Get("/ok", [](const httplib::Request&, httplib::Response& response) {
            response.set_content("<html>fine</html>", "text/html");
        });
        ASSERT_TRUE(m_Server.Start());
        m_LogPath = m_Dir.filePath(QStringLiteral("corvane.log"));
    }

    // A page fetched every second, so the log keeps growing while the test watches.
    QString WriteTaskFile(const QString& name = QStringLiteral("Often"))
    {
        CTask task;
        task.m_Name = name;
        task.m_CheckAction = eCheckHttpGet;
        task.m_HttpGetURL = m_Server.Url(QStringLiteral("/ok"));
        task.m_TimeoutSec = 5;
        task.m_bTaskScheduled = true;
        task.m_PingInterval = 1;
        task.m_AlertSettings.m_AlertMethods = 0;
        const QString path = m_Dir.filePath(QStringLiteral("tasks.cvn"));
        QString error;
        EXPECT_TRUE(::WriteTaskFile(path, {task}, &error)) << error.toStdString();
        return path;
    }

    void LogTo(const QString& path)
    {
        CAppSettings settings = GetAppSettings();
        settings.m_bLogToFile = true;
        settings.m_LogFileName = path;
        SetAppSettings(settings);
        SaveAppSettings();
    }

    QStringList Arguments(const QStringList& arguments) const
    {
        return QStringList {QStringLiteral("--settings"), m_Settings.IniPath()} + arguments;
    }

    static void Start(QProcess& process, const QString& program, const QStringList& arguments)
    {
        QProcessEnvironment environment = ProgramEnvironment();
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        process.setProcessEnvironment(environment);
        process.start(program, arguments);
        ASSERT_TRUE(process.waitForStarted());
    }

    // Sends the signal and expects the orderly end a service manager wants: status 0.
    static void Terminate(QProcess& process)
    {
        ASSERT_EQ(process.state(), QProcess::Running) << "the program ended on its own";
        ::kill(pid_t(process.processId()), SIGTERM);
        ASSERT_TRUE(process.waitForFinished(int(std::chrono::milliseconds(kPatience).count())));
        EXPECT_EQ(process.exitStatus(), QProcess::NormalExit) << "ended by a signal";
        EXPECT_EQ(process.exitCode(), 0);
    }

    static void Signal(QProcess& process, int signal) { ::kill(pid_t(process.processId()), signal); }

    // Reads the process's standard output until it holds count lines ending in text.
    static bool WaitForOutput(QProcess& process, QByteArray& output, const QByteArray& text, qsizetype count = 1)
    {
        const auto deadline = std::chrono::steady_clock::now() + kPatience;
        while (output.count(text) < count && std::chrono::steady_clock::now() < deadline
               && process.state() == QProcess::Running) {
            process.waitForReadyRead(100);
            output += process.readAllStandardOutput();
        }
        return output.count(text) >= count;
    }

    CTempSettings m_Settings;
    QTemporaryDir m_Dir;
    CHttpTestServer m_Server;
    QString m_LogPath;
};

// The desktop program under the same signals.
using DesktopSignals = HeadlessSignals;

} // namespace

TEST_F(HeadlessSignals, AReaderThatGoesAwayLeavesTheMonitorRunningAndLogging)
{
    // As `corvane --headless tasks.cvn | head -1`: the reader takes one line and leaves.
    LogTo(m_LogPath);
    int pipeEnds[2];
    ASSERT_EQ(::pipe2(pipeEnds, O_CLOEXEC), 0);
    QProcess process;
    process.setChildProcessModifier([&pipeEnds] { ::dup2(pipeEnds[1], STDOUT_FILENO); });
    Start(process, QStringLiteral(CORVANE_PROGRAM), Arguments({QStringLiteral("--headless"), WriteTaskFile()}));
    ::close(pipeEnds[1]);

    QByteArray firstLine;
    char byte = 0;
    pollfd readable {pipeEnds[0], POLLIN, 0};
    while (!firstLine.endsWith('\n') && ::poll(&readable, 1, 60000) == 1 && ::read(pipeEnds[0], &byte, 1) == 1)
        firstLine += byte;
    ::close(pipeEnds[0]);
    EXPECT_TRUE(firstLine.endsWith(QByteArray("\tLogging output to file '") + m_LogPath.toUtf8() + "'\n"))
        << firstLine.toStdString();

    // Two more runs after the reader left: every one of them printed into the closed pipe.
    const qsizetype runsBefore = ReadBytes(m_LogPath).count("Starting task Often");
    ASSERT_TRUE(WaitFor(process, [&] { return ReadBytes(m_LogPath).count("Finished task Often") >= runsBefore + 2; }));
    Terminate(process);
    const QString errors = QString::fromUtf8(process.readAllStandardError());
    EXPECT_TRUE(errors.contains(QStringLiteral("standard output is closed"))) << errors.toStdString();
    EXPECT_EQ(errors.count(QStringLiteral("standard output is closed")), 1) << errors.toStdString();

    const QStringList logged = WithoutTime(OutputLines(ReadBytes(m_LogPath)));
    ASSERT_FALSE(logged.isEmpty());
    EXPECT_GE(logged.count(QStringLiteral("Task Success\tHTTP GET operation succeeded")), runsBefore + 2);
    EXPECT_EQ(logged.last(), QStringLiteral("Action Succeeded\tCorvane Terminating"));
}

TEST_F(HeadlessSignals, HangupReopensTheLogFileAfterItWasRenamedOrDeleted)
{
    LogTo(m_LogPath);
    QProcess process;
    Start(process, QStringLiteral(CORVANE_PROGRAM), Arguments({QStringLiteral("--headless"), WriteTaskFile()}));
    QByteArray output;
    ASSERT_TRUE(WaitForOutput(process, output, "Finished task Often")) << output.toStdString();
    const QByteArray opened = QByteArray("\tLogging output to file '") + m_LogPath.toUtf8() + "'\n";
    const auto runsIn = [](const QString& path) {
        return ReadBytes(path).count("Finished task Often");
    };

    // logrotate: rename, then SIGHUP from postrotate. Lines must go to a new file at the
    // configured path, beginning with the open report, while the old one stays as it is.
    const QString rotated = m_LogPath + QStringLiteral(".1");
    ASSERT_TRUE(QFile::rename(m_LogPath, rotated));
    Signal(process, SIGHUP);
    ASSERT_TRUE(WaitForOutput(process, output, opened, 2)) << output.toStdString();
    ASSERT_TRUE(WaitFor(process, [&] { return runsIn(m_LogPath) >= 1; }));
    const QByteArray afterRotation = ReadBytes(rotated);
    EXPECT_TRUE(afterRotation.contains("\tCorvane Started\n"));
    QStringList fresh = OutputLines(ReadBytes(m_LogPath));
    ASSERT_FALSE(fresh.isEmpty());
    EXPECT_TRUE((fresh.first() + u'\n').endsWith(QString::fromUtf8(opened))) << fresh.first().toStdString();

    // Deleted by hand: the same.
    ASSERT_TRUE(QFile::remove(m_LogPath));
    Signal(process, SIGHUP);
    ASSERT_TRUE(WaitForOutput(process, output, opened, 3)) << output.toStdString();
    ASSERT_TRUE(WaitFor(process, [&] { return runsIn(m_LogPath) >= 1; }));

    Terminate(process);
    // Nothing more reached the rotated file after the reopen.
    EXPECT_EQ(ReadBytes(rotated).count(opened), 1);
    EXPECT_FALSE(ReadBytes(rotated).contains("Terminating"));
    fresh = WithoutTime(OutputLines(ReadBytes(m_LogPath)));
    ASSERT_FALSE(fresh.isEmpty());
    EXPECT_EQ(fresh.first(), QStringLiteral("Action Succeeded\tLogging output to file '%1'").arg(m_LogPath));
    EXPECT_TRUE(fresh.contains(QStringLiteral("Task Success\tHTTP GET operation succeeded")));
    EXPECT_EQ(fresh.last(), QStringLiteral("Action Succeeded\tCorvane Terminating"));
}

TEST_F(HeadlessSignals, LoggingResumesWhenAFullDiskHasRoomAgainAndTheGapIsCounted)
{
    // A small file system of its own that the test can fill and free: a tmpfs mounted in a
    // private mount namespace around the program, reached from here through /proc/PID/root.
    const QString unshare = QStandardPaths::findExecutable(QStringLiteral("unshare"));
    if (unshare.isEmpty())
        GTEST_SKIP() << "no unshare program, so no private file system to fill";
    const QString mountPoint = m_Dir.filePath(QStringLiteral("small-disk"));
    ASSERT_TRUE(QDir().mkpath(mountPoint));
    const QStringList inNamespace = {QStringLiteral("--mount"),
                                     QStringLiteral("--propagation"),
                                     QStringLiteral("private"),
                                     QStringLiteral("sh"),
                                     QStringLiteral("-c"),
                                     QStringLiteral("mount -t tmpfs -o size=64k corvane-test \"$0\" && exec \"$@\""),
                                     mountPoint};
    {
        QProcess probe;
        probe.start(unshare, inNamespace + QStringList {QStringLiteral("true")});
        if (!probe.waitForFinished(20000) || probe.exitStatus() != QProcess::NormalExit || probe.exitCode() != 0)
            GTEST_SKIP() << "cannot mount a tmpfs in a private mount namespace (needs root): "
                         << probe.readAllStandardError().trimmed().toStdString();
    }

    const QString logPath = mountPoint + QStringLiteral("/corvane.log");
    LogTo(logPath);
    // Long lines (the task name is in two of every run's three) make each run cross a page of
    // the tmpfs, so a full disk shows at once.
    const QString taskFile = WriteTaskFile(QStringLiteral("Often ") + QString(1500, u'x'));
    QProcess process;
    Start(process, unshare,
          inNamespace + QStringList {QStringLiteral(CORVANE_PROGRAM)}
              + Arguments({QStringLiteral("--headless"), taskFile}));
    QByteArray output;
    ASSERT_TRUE(WaitForOutput(process, output, "\tFinished task Often"))
        << process.readAllStandardError().toStdString();
    const QString seenFromHere = QStringLiteral("/proc/%1/root%2").arg(process.processId()).arg(mountPoint);
    ASSERT_TRUE(ReadBytes(seenFromHere + QStringLiteral("/corvane.log")).contains("\tCorvane Started\n"));

    // Fill the disk to the last byte.
    const QString filler = seenFromHere + QStringLiteral("/filler");
    {
        const int fd = ::open(QFile::encodeName(filler).constData(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
        ASSERT_GE(fd, 0) << std::strerror(errno);
        const QByteArray block(512, 'f');
        while (::write(fd, block.constData(), size_t(block.size())) > 0) { }
        while (::write(fd, block.constData(), 1) > 0) { }
        EXPECT_EQ(errno, ENOSPC);
        ::close(fd);
    }
    const QByteArray failed = "\tApplication Failure\tUnable to write to log file '" + logPath.toUtf8() + "'. ";
    ASSERT_TRUE(WaitForOutput(process, output, failed)) << output.right(2000).toStdString();
    EXPECT_TRUE(output.contains("No space left on device.")) << output.right(2000).toStdString();
    // Retries come five seconds apart; one at least fails meanwhile. (A short line may get
    // through where a long one was taken back, which ends that gap and may begin another.)
    const qsizetype runsAtFailure = output.count("\tFinished task Often");
    ASSERT_TRUE(WaitForOutput(process, output, "\tFinished task Often", runsAtFailure + 7));

    // Room again: logging resumes by itself, without a signal or a restart.
    ASSERT_TRUE(QFile::remove(filler));
    const QByteArray resumedText = "\tLogging output to file '" + logPath.toUtf8() + "' resumed. ";
    while (output.count(resumedText) < output.count(failed))
        ASSERT_TRUE(WaitForOutput(process, output, resumedText, output.count(failed)))
            << output.right(2000).toStdString();
    // Held open across the end: the namespace, and with it the mount, ends with the program.
    QFile log(seenFromHere + QStringLiteral("/corvane.log"));
    ASSERT_TRUE(log.open(QIODevice::ReadOnly));
    const qsizetype runsAtResume = output.count("\tFinished task Often");
    ASSERT_TRUE(WaitForOutput(process, output, "\tFinished task Often", runsAtResume + 2));
    Terminate(process);
    output += process.readAllStandardOutput();
    const QStringList printed = OutputLines(output);
    const QStringList logged = OutputLines(log.readAll());

    // The file is what was printed, less each gap: from the message whose write failed (the
    // line before the failure report) up to the first message written again (the line before
    // the resume report), as many lines as that report says. Each gap is reported once; no
    // half line, no line twice.
    const QRegularExpression count(QStringLiteral("resumed\\. (\\d+) message\\(s\\) were not written to the file\\.$"));
    QStringList expected;
    qsizetype gapStart = -1;
    int gaps = 0;
    for (qsizetype i = 0; i < printed.size(); ++i) {
        const QString& line = printed.at(i);
        if (line.contains(QString::fromUtf8(failed))) {
            ASSERT_LT(gapStart, 0) << "a second failure report within one gap, line " << i;
            ASSERT_FALSE(expected.isEmpty());
            expected.removeLast();
            gapStart = i - 1;
            ++gaps;
        } else if (gapStart < 0) {
            expected << line;
        } else if (const QRegularExpressionMatch match = count.match(line); match.hasMatch()) {
            EXPECT_EQ(match.captured(1).toLongLong(), i - 1 - gapStart) << "line " << i;
            expected << printed.at(i - 1) << line;
            gapStart = -1;
        }
    }
    EXPECT_LT(gapStart, 0) << "a gap that never ended";
    EXPECT_GE(gaps, 1);
    EXPECT_EQ(logged, expected);
    ASSERT_FALSE(logged.isEmpty());
    EXPECT_TRUE(logged.last().endsWith(QStringLiteral("\tAction Succeeded\tCorvane Terminating")));
}

TEST_F(DesktopSignals, HangupReopensTheLogFileAndAClosedStandardErrorIsNoEnd)
{
    // Started from a terminal that then closed: standard error leads nowhere and SIGHUP comes.
    LogTo(m_LogPath);
    QProcess process;
    process.setChildProcessModifier([] {
        int pipeEnds[2];
        if (::pipe(pipeEnds) == 0) {
            ::dup2(pipeEnds[1], STDERR_FILENO);
            ::close(pipeEnds[0]);
            ::close(pipeEnds[1]);
        }
    });
    Start(process, QStringLiteral(CORVANE_PROGRAM), Arguments({WriteTaskFile()}));
    const QByteArray opened = QByteArray("\tLogging output to file '") + m_LogPath.toUtf8() + "'\n";
    ASSERT_TRUE(WaitFor(process, [&] { return ReadBytes(m_LogPath).contains("\tFinished task Often\n"); }));
    const QString rotated = m_LogPath + QStringLiteral(".1");
    ASSERT_TRUE(QFile::rename(m_LogPath, rotated));
    Signal(process, SIGHUP);
    ASSERT_TRUE(WaitFor(process, [&] { return ReadBytes(m_LogPath).contains(opened); }));
    Terminate(process);
    const QStringList fresh = WithoutTime(OutputLines(ReadBytes(m_LogPath)));
    ASSERT_FALSE(fresh.isEmpty());
    EXPECT_EQ(fresh.first(), QStringLiteral("Action Succeeded\tLogging output to file '%1'").arg(m_LogPath));
    EXPECT_EQ(fresh.last(), QStringLiteral("Action Succeeded\tCorvane Terminating"));
}
