#include "ProgramRun.h"
#include "core/shell/AppSettings.h"
#include "core/tasks/TaskFile.h"
#include "support/HttpTestServer.h"
#include "support/QtPrinters.h"
#include "support/SmtpTestServer.h"
#include "support/TempSettings.h"
#include "support/TestFiles.h"

#include <QDateTime>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include <csignal>

using namespace std::chrono_literals;

namespace {

struct CRun
{
    int m_nExitCode = -1;
    QStringList m_Lines; // standard output, one entry per line
    QString m_Errors;
};

class Headless : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_Server.Get("/ok", [](const httplib::Request&, httplib::Response& response) {
            response.set_content("<html>all <b>fine</b></html>", "text/html");
        });
        m_Server.Get("/site/index.html", [](const httplib::Request&, httplib::Response& response) {
            response.set_content("<a href='a.html'>a</a> <a href='/site/b.html'>b</a>", "text/html");
        });
        m_Server.Get("/site/(a|b).html", [](const httplib::Request&, httplib::Response& response) {
            response.set_content("<a href='index.html'>home</a>", "text/html");
        });
        ASSERT_TRUE(m_Server.Start());
    }

    CTask Task(const QString& name, int checkAction)
    {
        CTask task;
        task.m_Name = name;
        task.m_CheckAction = checkAction;
        task.m_TimeoutSec = 5;
        task.m_AlertSettings.m_AlertMethods = 0;
        return task;
    }

    CTask GetTask(const QString& name, const QString& path)
    {
        CTask task = Task(name, eCheckHttpGet);
        task.m_HttpGetURL = m_Server.Url(path);
        return task;
    }

    QString WriteTasks(const QList<CTask>& tasks) { return ::WriteTasks(m_Dir, tasks); }

    QStringList Arguments(const QStringList& arguments) const
    {
        return QStringList {QStringLiteral("--settings"), m_Settings.IniPath()} + arguments;
    }

    void StartProgram(QProcess& process, const QStringList& arguments)
    {
        process.setProcessEnvironment(ProgramEnvironment());
        process.start(QStringLiteral(CORVANE_PROGRAM), Arguments(arguments));
        ASSERT_TRUE(process.waitForStarted());
    }

    CRun Finish(QProcess& process, int timeoutMs = 60000)
    {
        CRun run;
        EXPECT_TRUE(process.waitForFinished(timeoutMs));
        run.m_nExitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
        run.m_Lines = OutputLines(process.readAllStandardOutput());
        run.m_Errors = QString::fromUtf8(process.readAllStandardError());
        return run;
    }

    CRun Run(const QStringList& arguments)
    {
        QProcess process;
        StartProgram(process, arguments);
        return Finish(process);
    }

    CTempSettings m_Settings;
    QTemporaryDir m_Dir;
    CHttpTestServer m_Server;
};

} // namespace

TEST_F(Headless, OnceRunsEveryTaskInFileOrderAndAlertsAboutTheFailure)
{
    if (const QString missing = CSmtpTestServer::MissingPrerequisite(); !missing.isEmpty())
        GTEST_SKIP() << missing.toStdString();
    CSmtpTestServer smtp;
    ASSERT_TRUE(smtp.Start()) << smtp.Error().toStdString();
    const QString logPath = m_Dir.filePath(QStringLiteral("corvane.log"));
    SaveSettings([&](CAppSettings& settings) {
        settings.m_SmtpServerName = smtp.Address();
        settings.m_bLogToFile = true;
        settings.m_LogFileName = logPath;
    });

    CTask passing = GetTask(QStringLiteral("Front page"), QStringLiteral("/ok"));
    CTask failing = GetTask(QStringLiteral("Old page"), QStringLiteral("/gone"));
    failing.m_AlertSettings.m_AlertMethods = eAlertEmail;
    failing.m_AlertSettings.m_bUseDefaultAlertMethods = false;
    failing.m_AlertSettings.m_AlertEmailAddresses = QStringLiteral("ops@example.com");
    CTask spider = Task(QStringLiteral("Site"), eCheckSpider);
    spider.m_SpiderUrl = m_Server.Url(QStringLiteral("/site/index.html"));
    CTask ping = Task(QStringLiteral("Loopback"), eCheckPing);
    ping.m_PingHost = QStringLiteral("127.0.0.1");
    CTask nothing = Task(QStringLiteral("Unfinished"), eCheckNone);
    const QString taskFile = WriteTasks({passing, failing, spider, ping, nothing});

    const CRun run = Run({QStringLiteral("--headless"), QStringLiteral("--once"), taskFile});
    EXPECT_EQ(run.m_nExitCode, 1) << run.m_Errors.toStdString();

    const QString site = m_Server.Url(QStringLiteral("/site/"));
    const QString gone = QStringLiteral("'%1' Bad status code for the GET operation received from the server: 404")
                             .arg(m_Server.Url(QStringLiteral("/gone")));
    const QString alertSent
        = QStringLiteral("Action Succeeded\tAlert E-mail message for task Old page sent successfully");
    QStringList lines = WithoutTime(run.m_Lines);
    // The alert is delivered on its own thread while the next tasks run: its line may come
    // anywhere after the failure.
    const qsizetype failure = lines.indexOf(QStringLiteral("Task Failure\t") + gone);
    const qsizetype sent = lines.indexOf(alertSent);
    EXPECT_GT(sent, failure);
    lines.removeAll(alertSent);
    EXPECT_EQ(lines,
              (QStringList {
                  QStringLiteral("Action Succeeded\tLogging output to file '%1'").arg(logPath),
                  QStringLiteral("Action Succeeded\tCorvane Started"),
                  QStringLiteral("Informational\tStarting task Front page"),
                  QStringLiteral("Task Success\tHTTP GET operation succeeded"),
                  QStringLiteral("Informational\tFinished task Front page"),
                  QStringLiteral("Informational\tStarting task Old page"),
                  QStringLiteral("Task Failure\t") + gone,
                  QStringLiteral("Informational\tFinished task Old page"),
                  QStringLiteral("Informational\tStarting task Site"),
                  QStringLiteral("Spider Message\tTask Site. Spidering page %1index.html").arg(site),
                  QStringLiteral("Spider Message\tTask Site. Spidering page %1a.html").arg(site),
                  QStringLiteral("Spider Message\tTask Site. Spidering page %1b.html").arg(site),
                  QStringLiteral("Task Success\tSpider operation succeeded."),
                  QString(),
                  QStringLiteral("The following links were checked:"),
                  QString(),
                  QStringLiteral("Succesfully retrieved '%1index.html'. Referenced on 'Task URL'").arg(site),
                  QStringLiteral("Succesfully retrieved '%1a.html'. Referenced on '%1index.html'").arg(site),
                  QStringLiteral("Succesfully retrieved '%1b.html'. Referenced on '%1index.html'").arg(site),
                  QString(),
                  QStringLiteral("Informational\tFinished task Site"),
                  QStringLiteral("Informational\tStarting task Loopback"),
                  QStringLiteral("Task Success\tPing operation succeeded"),
                  QStringLiteral("Informational\tFinished task Loopback"),
                  QStringLiteral("Informational\tStarting task Unfinished"),
                  QStringLiteral("Application Failure\tAttempt to start task Unfinished failed. Incorrect task action "
                                 "parameter"),
                  QStringLiteral("Informational\tFinished task Unfinished"),
                  QStringLiteral("Action Succeeded\tCorvane Terminating"),
              }));
    // Time stamps in the C locale's "%c" form, such as "Tue Dec  8 04:33:17 2026".
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^\\w{3} \\w{3} [ \\d]\\d \\d\\d:\\d\\d:\\d\\d \\d{4}\\t"))
                    .match(run.m_Lines.first())
                    .hasMatch())
        << run.m_Lines.first().toStdString();

    // The log file holds exactly what was printed.
    EXPECT_EQ(QString::fromUtf8(ReadBytes(logPath)).split(u'\n'), run.m_Lines + QStringList {QString()});

    const QList<CReceivedMail> mails = smtp.WaitForMessages(1);
    ASSERT_EQ(mails.size(), 1);
    EXPECT_EQ(mails.first().m_RcptTos, QStringList {QStringLiteral("ops@example.com")});
    EXPECT_TRUE(mails.first().m_Data.contains("Subject: Corvane: Task 'Old page' failed."));
}

TEST_F(Headless, ExitCodes)
{
    const QString allPass = WriteTasks(
        {GetTask(QStringLiteral("One"), QStringLiteral("/ok")), GetTask(QStringLiteral("Two"), QStringLiteral("/ok"))});
    EXPECT_EQ(Run({QStringLiteral("--headless"), QStringLiteral("--once"), allPass}).m_nExitCode, 0);

    const CRun missing
        = Run({QStringLiteral("--headless"), QStringLiteral("--once"), m_Dir.filePath(QStringLiteral("none.cvn"))});
    EXPECT_EQ(missing.m_nExitCode, 2);
    EXPECT_TRUE(missing.m_Errors.contains(QStringLiteral("none.cvn"))) << missing.m_Errors.toStdString();
    EXPECT_TRUE(missing.m_Lines.isEmpty());

    const CRun usage = Run({QStringLiteral("--once"), allPass});
    EXPECT_EQ(usage.m_nExitCode, 2);
    EXPECT_TRUE(usage.m_Errors.contains(QStringLiteral("--once needs --headless"))) << usage.m_Errors.toStdString();

    const CRun unknown = Run({QStringLiteral("--headless"), QStringLiteral("--bogus"), allPass});
    EXPECT_EQ(unknown.m_nExitCode, 2);
    EXPECT_TRUE(unknown.m_Errors.contains(QStringLiteral("bogus"))) << unknown.m_Errors.toStdString();
    // The auto-start switch means nothing without a window and is no usage error.
    EXPECT_EQ(
        Run({QStringLiteral("--headless"), QStringLiteral("--once"), QStringLiteral("-MINIMIZE"), allPass}).m_nExitCode,
        0);

    const CRun version = Run({QStringLiteral("--version")});
    EXPECT_EQ(version.m_nExitCode, 0);
    EXPECT_TRUE(version.m_Lines.join(u' ').contains(QStringLiteral("Corvane")))
        << version.m_Lines.join(u' ').toStdString();
}

TEST_F(Headless, TheScheduleRunsUntilTerminatedAndAStopEndsARunningCheck)
{
    // Any interval is accepted from a file: one second here. Two tasks are due together.
    CTask often = GetTask(QStringLiteral("Often"), QStringLiteral("/ok"));
    often.m_bTaskScheduled = true;
    often.m_PingInterval = 2;
    CTask twin = often;
    twin.m_Name = QStringLiteral("Twin");
    CTask hanging = GetTask(QStringLiteral("Hanging"), QStringLiteral("/"));
    CSilentListener silent;
    ASSERT_TRUE(silent.IsListening());
    hanging.m_HttpGetURL = silent.Url(QStringLiteral("/"));
    hanging.m_TimeoutSec = 120;
    hanging.m_bTaskScheduled = true;
    hanging.m_PingInterval = 7;
    const QString taskFile = WriteTasks({often, twin, hanging});

    QProcess process;
    StartProgram(process, {QStringLiteral("--headless"), taskFile});
    // Wait until "Often" and "Twin" ran twice and "Hanging", due later, hangs.
    QByteArray output;
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (std::chrono::steady_clock::now() < deadline
           && (output.count("Starting task Often") < 2 || output.count("Starting task Twin") < 2
               || !output.contains("Starting task Hanging"))) {
        process.waitForReadyRead(200);
        output += process.readAllStandardOutput();
    }
    ASSERT_GE(output.count("Starting task Often"), 2) << output.toStdString();
    ASSERT_GE(output.count("Starting task Twin"), 2) << output.toStdString();
    // Due in the same second, the two are handed to the engine on successive ticks: the
    // second starts about a second after the first (the time stamps count whole seconds).
    QList<QDateTime> starts;
    for (const QString& line : QString::fromUtf8(output).split(u'\n')) {
        if (line.endsWith(u"Starting task Often") || line.endsWith(u"Starting task Twin"))
            starts << QDateTime::fromString(line.section(u'\t', 0, 0).simplified(),
                                            QStringLiteral("ddd MMM d hh:mm:ss yyyy"));
    }
    ASSERT_GE(starts.size(), 2);
    ASSERT_TRUE(starts.at(0).isValid() && starts.at(1).isValid());
    EXPECT_GE(starts.at(0).secsTo(starts.at(1)), 1);
    EXPECT_LE(starts.at(0).secsTo(starts.at(1)), 2);
    ASSERT_TRUE(output.contains("Starting task Hanging")) << output.toStdString();

    const auto stopped = std::chrono::steady_clock::now();
    ::kill(pid_t(process.processId()), SIGTERM);
    ASSERT_TRUE(process.waitForFinished(10000));
    EXPECT_LT(std::chrono::steady_clock::now() - stopped, 5s);
    EXPECT_EQ(process.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(process.exitCode(), 0);
    output += process.readAllStandardOutput();
    const QStringList lines = WithoutTime(QString::fromUtf8(output).split(u'\n'));
    const qsizetype terminating = lines.indexOf(QStringLiteral("Action Succeeded\tCorvane Terminating"));
    ASSERT_GE(terminating, 0) << output.toStdString();
    EXPECT_TRUE(lines.mid(terminating).contains(QStringLiteral("Task Stopped\tTask execution stopped")));
}
