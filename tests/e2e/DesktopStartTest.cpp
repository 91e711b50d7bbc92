#include "ProgramRun.h"
#include "support/TempSettings.h"

#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <chrono>

#include <csignal>

using namespace std::chrono_literals;

namespace {

// What a start opens, with the Options' autostart file set: only the command line decides.
class DesktopStart : public ::testing::Test
{
protected:
    void Start(QProcess& process, const QStringList& arguments)
    {
        QProcessEnvironment environment = ProgramEnvironment();
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        process.setProcessEnvironment(environment);
        process.start(QStringLiteral(CORVANE_PROGRAM),
                      QStringList {QStringLiteral("--settings"), m_Settings.IniPath()} + arguments);
        ASSERT_TRUE(process.waitForStarted());
    }

    static bool WaitForError(QProcess& process, QByteArray& errors, const QByteArray& text)
    {
        const auto deadline = std::chrono::steady_clock::now() + 20s;
        while (!errors.contains(text) && process.state() != QProcess::NotRunning
               && std::chrono::steady_clock::now() < deadline) {
            process.waitForReadyRead(100);
            errors += process.readAllStandardError();
        }
        errors += process.readAllStandardError();
        return errors.contains(text);
    }

    static void EndCleanly(QProcess& process)
    {
        ::kill(pid_t(process.processId()), SIGTERM);
        ASSERT_TRUE(process.waitForFinished(20000));
        EXPECT_EQ(process.exitCode(), 0);
    }

    CTempSettings m_Settings;
    QTemporaryDir m_Dir;
};

} // namespace

TEST_F(DesktopStart, APlainStartIgnoresTheAutostartTaskFileEvenWhenItIsGone)
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
    EndCleanly(process);
}
