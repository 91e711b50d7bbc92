// Task files and settings files as the console program meets them: what a save wrote is
// what a run uses, the order of the list decides the order of the schedule, files that are
// no task files are refused with the reason, and settings mean what they say.
#include "ProgramRun.h"
#include "core/shell/AppSettings.h"
#include "core/tasks/TaskFile.h"
#include "support/HttpTestServer.h"
#include "support/QtPrinters.h"
#include "support/SmtpTestServer.h"
#include "support/TempSettings.h"
#include "support/TestFiles.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStringEncoder>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <chrono>

#include <csignal>

using namespace std::chrono_literals;

namespace {

struct CRun
{
    int m_nExitCode = -1;
    QStringList m_Lines; // standard output without the time stamps
    QString m_Errors;
};

class TaskFileHeadless : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_Server.Get("/ok", [](const httplib::Request&, httplib::Response& response) {
            response.set_content("<html>fine</html>", "text/html");
        });
        ASSERT_TRUE(m_Server.Start());
    }

    CTask GetTask(const QString& name, const QString& path)
    {
        CTask task;
        task.m_Name = name;
        task.m_CheckAction = eCheckHttpGet;
        task.m_TimeoutSec = 5;
        task.m_HttpGetURL = m_Server.Url(path);
        task.m_AlertSettings.m_AlertMethods = 0;
        return task;
    }

    QString Path(const QString& name) const { return m_Dir.filePath(name); }

    QString WriteTasks(const QList<CTask>& tasks) { return ::WriteTasks(m_Dir, tasks); }

    void Start(QProcess& process, const QStringList& arguments)
    {
        process.setProcessEnvironment(ProgramEnvironment());
        process.start(QStringLiteral(CORVANE_PROGRAM),
                      QStringList {QStringLiteral("--settings"), m_Settings.IniPath()} + arguments);
        ASSERT_TRUE(process.waitForStarted());
    }

    static QStringList WithoutTime(const QByteArray& output) { return ::WithoutTime(OutputLines(output)); }

    CRun RunOnce(const QString& taskFile)
    {
        QProcess process;
        Start(process, {QStringLiteral("--headless"), QStringLiteral("--once"), taskFile});
        CRun run;
        EXPECT_TRUE(process.waitForFinished(60000));
        run.m_nExitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
        run.m_Lines = WithoutTime(process.readAllStandardOutput());
        run.m_Errors = QString::fromUtf8(process.readAllStandardError());
        return run;
    }

    // Runs the schedule until `enough` holds for the start lines printed so far (or 30 s
    // pass), then ends the program; returns the names in the order they started.
    QStringList RunSchedule(const QString& taskFile, const std::function<bool(const QStringList&)>& enough)
    {
        QProcess process;
        Start(process, {QStringLiteral("--headless"), taskFile});
        QByteArray output;
        QStringList started;
        const auto deadline = std::chrono::steady_clock::now() + 30s;
        while (std::chrono::steady_clock::now() < deadline && !enough(started)) {
            process.waitForReadyRead(200);
            output += process.readAllStandardOutput();
            started.clear();
            for (const QString& line : WithoutTime(output)) {
                if (line.startsWith(u"Informational\tStarting task "))
                    started << line.mid(int(qstrlen("Informational\tStarting task ")));
            }
        }
        ::kill(pid_t(process.processId()), SIGTERM);
        EXPECT_TRUE(process.waitForFinished(10000));
        return started;
    }

    CTempSettings m_Settings;
    QTemporaryDir m_Dir;
    CHttpTestServer m_Server;
};

} // namespace

TEST_F(TaskFileHeadless, QuotedAndBlankEdgedTextsReachTheAlertProgramWhole)
{
    // The alert program lives in a folder with a blank, so its command quotes it, as the
    // browse button writes it; the whole command starts and ends with a quote.
    QDir(m_Dir.path()).mkdir(QStringLiteral("my tools"));
    const QString program = Path(QStringLiteral("my tools/notify"));
    ASSERT_TRUE(QFile::copy(QStringLiteral(CORVANE_RECORD_ARGS), program));
    const QString recorded = Path(QStringLiteral("args.bin"));

    CTask failing = GetTask(QStringLiteral("  Old page, blanks kept  "), QStringLiteral("/gone"));
    failing.m_AlertSettings.m_bUseDefaultAlertMethods = false;
    failing.m_AlertSettings.m_AlertMethods = eAlertApplication;
    failing.m_AlertSettings.m_AlertApplicationName = QStringLiteral("\"%1\" \"%2\" \"%N\"").arg(program, recorded);
    const CRun run = RunOnce(WriteTasks({failing}));
    EXPECT_EQ(run.m_nExitCode, 1) << run.m_Errors.toStdString();
    EXPECT_TRUE(run.m_Lines.contains(QStringLiteral("Informational\tStarting task   Old page, blanks kept  ")))
        << run.m_Lines.join(u'\n').toStdString();
    EXPECT_EQ(ReadBytes(recorded), QByteArray("  Old page, blanks kept  ") + '\0')
        << run.m_Lines.join(u'\n').toStdString();
}

TEST_F(TaskFileHeadless, ATaskDueAtEveryTickLetsTheOthersRun)
{
    // A file may hold any interval; 0 makes a task due at every tick. It sits between the
    // other two, so one of them comes after it whatever the order of the list.
    CTask before = GetTask(QStringLiteral("Before"), QStringLiteral("/ok"));
    before.m_bTaskScheduled = true;
    before.m_PingInterval = 3;
    CTask busy = before;
    busy.m_Name = QStringLiteral("Busy");
    busy.m_PingInterval = 0;
    CTask after = before;
    after.m_Name = QStringLiteral("After");
    const QStringList started = RunSchedule(WriteTasks({before, busy, after}), [](const QStringList& names) {
        return names.count(QStringLiteral("Before")) >= 2 && names.count(QStringLiteral("After")) >= 2;
    });
    EXPECT_GE(started.count(QStringLiteral("Before")), 2) << started.join(u' ').toStdString();
    EXPECT_GE(started.count(QStringLiteral("After")), 2) << started.join(u' ').toStdString();
    EXPECT_GE(started.count(QStringLiteral("Busy")), 2) << started.join(u' ').toStdString();
}

TEST_F(TaskFileHeadless, TasksDueTogetherStartInTheOrderOfTheFile)
{
    CTask first = GetTask(QStringLiteral("First"), QStringLiteral("/ok"));
    first.m_bTaskScheduled = true;
    first.m_PingInterval = 2;
    CTask second = first;
    second.m_Name = QStringLiteral("Second");
    CTask third = first;
    third.m_Name = QStringLiteral("Third");
    const QStringList started
        = RunSchedule(WriteTasks({first, second, third}), [](const QStringList& names) { return names.size() >= 3; });
    ASSERT_GE(started.size(), 3);
    EXPECT_EQ(started.mid(0, 3),
              (QStringList {QStringLiteral("First"), QStringLiteral("Second"), QStringLiteral("Third")}));
}

TEST_F(TaskFileHeadless, AFileWithoutTaskKeysIsRunButNeverRewritten)
{
    // Tasks without a key: the console program gives them keys in memory only, as it never
    // saves, so the file stays as it was, run after run.
    const QString taskFile = WriteTasks({GetTask(QStringLiteral("Shop"), QStringLiteral("/ok"))});
    const QByteArray before = ReadBytes(taskFile);
    ASSERT_TRUE(before.contains("\r\nm_TaskGuid=\r\n"));
    const QDateTime modified = QFileInfo(taskFile).lastModified();
    for (int run = 0; run < 2; ++run) {
        const CRun result = RunOnce(taskFile);
        EXPECT_EQ(result.m_nExitCode, 0) << result.m_Errors.toStdString();
        EXPECT_TRUE(result.m_Lines.contains(u"Informational\tStarting task Shop"))
            << result.m_Lines.join(u'\n').toStdString();
    }
    EXPECT_EQ(ReadBytes(taskFile), before);
    EXPECT_EQ(QFileInfo(taskFile).lastModified(), modified);
}

TEST_F(TaskFileHeadless, TaskFilesSavedAsUtf16ByAnEditorRunTheirTasks)
{
    const QByteArray utf8 = FormatTaskFile({GetTask(QStringLiteral("Café front"), QStringLiteral("/ok")),
                                            GetTask(QStringLiteral("Second"), QStringLiteral("/ok"))});
    for (const auto encoding : {QStringConverter::Utf16LE, QStringConverter::Utf16BE}) {
        QStringEncoder encoder(encoding, QStringEncoder::Flag::WriteBom);
        const QString path = Path(QStringLiteral("unicode.cvn"));
        WriteBytes(path, encoder.encode(QString::fromUtf8(utf8)));
        const CRun run = RunOnce(path);
        EXPECT_EQ(run.m_nExitCode, 0) << run.m_Errors.toStdString();
        EXPECT_EQ(run.m_Lines.filter(QStringLiteral("Starting task")),
                  (QStringList {QStringLiteral("Informational\tStarting task Café front"),
                                QStringLiteral("Informational\tStarting task Second")}))
            << QStringConverter::nameForEncoding(encoding);
    }
}

TEST_F(TaskFileHeadless, BinaryFilesAreRefusedWithTheReason)
{
    // UTF-16 without a byte-order mark, as some tools write it: no way to tell it from
    // binary data.
    const QString noMark = Path(QStringLiteral("no-mark.cvn"));
    QStringEncoder utf16(QStringConverter::Utf16LE);
    WriteBytes(
        noMark,
        utf16.encode(QString::fromUtf8(FormatTaskFile({GetTask(QStringLiteral("One"), QStringLiteral("/ok"))}))));
    const CRun run = RunOnce(noMark);
    EXPECT_EQ(run.m_nExitCode, 2);
    EXPECT_TRUE(run.m_Errors.contains(u"no-mark.cvn")) << run.m_Errors.toStdString();
    EXPECT_TRUE(run.m_Errors.contains(u"not a text file")) << run.m_Errors.toStdString();
    EXPECT_TRUE(run.m_Lines.isEmpty());
}

TEST_F(TaskFileHeadless, AHugeFileIsRefusedAtOnce)
{
    // A gigabyte, sparse, so that it costs no disk: refused at once, not read.
    const QString huge = Path(QStringLiteral("huge.cvn"));
    WriteBytes(huge, "[Global]\r\nEntryCount=0\r\n");
    ASSERT_TRUE(QFile::resize(huge, qint64(1) << 30));
    const CRun run = RunOnce(huge);
    EXPECT_EQ(run.m_nExitCode, 2);
    EXPECT_TRUE(run.m_Errors.contains(u"huge.cvn")) << run.m_Errors.toStdString();
    EXPECT_TRUE(run.m_Errors.contains(u"larger than 64 MB")) << run.m_Errors.toStdString();
    EXPECT_TRUE(run.m_Lines.isEmpty());
}

TEST_F(TaskFileHeadless, ASettingsFileWrittenByHandMeansWhatItSays)
{
    if (const QString missing = CSmtpTestServer::MissingPrerequisite(); !missing.isEmpty())
        GTEST_SKIP() << missing.toStdString();
    CSmtpTestServer smtp;
    ASSERT_TRUE(smtp.Start()) << smtp.Error().toStdString();
    const QString recorded = Path(QStringLiteral("args.bin"));
    // The default recipients are a ';' list; the alert command quotes an argument.
    WriteBytes(m_Settings.IniPath(),
               QStringLiteral("[Options]\n"
                              "m_SmtpServerName=%1\n"
                              "m_AlertEmailAddresses=ops@example.com; web@example.com\n"
                              "m_AlertApplicationName=%2 %3 \"two words\" %N\n")
                   .arg(smtp.Address(), QStringLiteral(CORVANE_RECORD_ARGS), recorded)
                   .toUtf8());

    CTask failing = GetTask(QStringLiteral("Old page"), QStringLiteral("/gone"));
    failing.m_AlertSettings.m_AlertMethods = eAlertEmail | eAlertApplication;
    failing.m_AlertSettings.m_bUseDefaultAlertMethods = true;
    const CRun run = RunOnce(WriteTasks({failing}));
    EXPECT_EQ(run.m_nExitCode, 1) << run.m_Errors.toStdString();

    const QList<CReceivedMail> mails = smtp.WaitForMessages(1);
    ASSERT_EQ(mails.size(), 1) << run.m_Lines.join(u'\n').toStdString();
    EXPECT_EQ(mails.first().m_RcptTos,
              (QStringList {QStringLiteral("ops@example.com"), QStringLiteral("web@example.com")}));
    EXPECT_EQ(ReadBytes(recorded), QByteArray("two words\0Old page\0", 19)) << run.m_Lines.join(u'\n').toStdString();
}
