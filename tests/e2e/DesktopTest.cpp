#include "ProgramRun.h"
#include "core/tasks/TaskFile.h"
#include "support/TempSettings.h"

#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <chrono>

#include <csignal>

using namespace std::chrono_literals;

namespace {

// The desktop program as a user starts it, on the offscreen platform and its own settings.
class Desktop : public ::testing::Test
{
protected:
    void Start(QProcess& process, const QStringList& arguments)
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        environment.insert(QStringLiteral("LC_ALL"), QStringLiteral("C"));
        process.setProcessEnvironment(environment);
        process.start(QStringLiteral(CORVANE_PROGRAM),
                      QStringList {QStringLiteral("--settings"), m_Settings.IniPath()} + arguments);
        ASSERT_TRUE(process.waitForStarted());
    }

    // Standard error until it holds text (the program reports its hand-overs there).
    static bool WaitForError(QProcess& process, QByteArray& errors, const QByteArray& text)
    {
        const auto deadline = std::chrono::steady_clock::now() + 20s;
        while (!errors.contains(text) && std::chrono::steady_clock::now() < deadline) {
            process.waitForReadyRead(100);
            errors += process.readAllStandardError();
        }
        return errors.contains(text);
    }

    CTempSettings m_Settings;
    QTemporaryDir m_Dir;
};

} // namespace

TEST_F(Desktop, ALaterStartHandsOverAndATerminationSignalEndsCleanly)
{
    const QString taskFile = m_Dir.filePath(QStringLiteral("tasks.cvn"));
    CTask task;
    task.m_Name = QStringLiteral("Local");
    task.m_PingHost = QStringLiteral("127.0.0.1");
    ASSERT_TRUE(WriteTaskFile(taskFile, {task}, nullptr));

    QProcess first;
    Start(first, {taskFile, QStringLiteral("-MINIMIZE")});
    QByteArray firstErrors;
    ASSERT_TRUE(WaitForError(first, firstErrors, "corvane: running")) << firstErrors.toStdString();

    QProcess second;
    Start(second, {});
    ASSERT_TRUE(second.waitForFinished(20000));
    EXPECT_EQ(second.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(second.exitCode(), 0);
    EXPECT_TRUE(second.readAllStandardError().contains("You can only have one instance of Corvane running."));
    EXPECT_TRUE(WaitForError(first, firstErrors, "another start asked this window to come to the front"))
        << firstErrors.toStdString();
    EXPECT_EQ(first.state(), QProcess::Running);

    ::kill(pid_t(first.processId()), SIGTERM);
    ASSERT_TRUE(first.waitForFinished(10000));
    EXPECT_EQ(first.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(first.exitCode(), 0);

    // The settings were written on the way out: options, window state and the recent file.
    QSettings written(m_Settings.IniPath(), QSettings::IniFormat);
    EXPECT_TRUE(written.contains(QStringLiteral("Options/m_bMinimizeToTray")));
    EXPECT_TRUE(written.contains(QStringLiteral("Settings/Geometry")));
    EXPECT_TRUE(
        written.value(QStringLiteral("Recent File List/File1")).toString().endsWith(QStringLiteral("tasks.cvn")));

    // With the first one gone, the next start is the running instance itself.
    QProcess third;
    Start(third, {});
    QByteArray thirdErrors;
    ASSERT_TRUE(WaitForError(third, thirdErrors, "corvane: running")) << thirdErrors.toStdString();
    ::kill(pid_t(third.processId()), SIGINT);
    ASSERT_TRUE(third.waitForFinished(10000));
    EXPECT_EQ(third.exitCode(), 0);
}

TEST_F(Desktop, AnUnreadableTaskFileEndsTheStart)
{
    QProcess process;
    Start(process, {m_Dir.filePath(QStringLiteral("missing.cvn"))});
    ASSERT_TRUE(process.waitForFinished(20000));
    EXPECT_EQ(process.exitCode(), 2);
    EXPECT_TRUE(process.readAllStandardError().contains("missing.cvn"));
}

// The Options' autostart task file belongs to the autostart entry's command line only: a stale
// one must not end every plain start.
TEST_F(Desktop, APlainStartIgnoresTheAutostartTaskFileEvenWhenItIsGone)
{
    const QString gone = m_Dir.filePath(QStringLiteral("moved away.cvn"));
    SaveSettings([&](CAppSettings& s) {
        s.m_bAutoStart = true;
        s.m_bAutoOpenTasks = true;
        s.m_AutoOpenFileName = gone;
    });

    QProcess process;
    Start(process, {});
    QByteArray errors;
    ASSERT_TRUE(WaitForError(process, errors, "corvane: running")) << errors.toStdString();
    EXPECT_FALSE(errors.contains("moved away")) << errors.toStdString();
    ::kill(pid_t(process.processId()), SIGTERM);
    ASSERT_TRUE(process.waitForFinished(20000));
    EXPECT_EQ(process.exitCode(), 0);
}
