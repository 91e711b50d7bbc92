#include "core/output/LogFile.h"

#include "core/support/Clock.h"
#include "support/QtPrinters.h"
#include "support/TestFiles.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <chrono>
#include <clocale>
#include <ctime>
#include <ostream>
#include <string>

namespace {

// 2023-11-14 22:13:20 UTC and one second and a day later.
constexpr qint64 kNow = 1700000000;
constexpr qint64 kLater = 1700086401;

CLogMessage Message(int code, const QString& text, qint64 time)
{
    CLogMessage message(CSeverity(code), text);
    message.m_Time = time;
    return message;
}

// Exact lines need a known clock, time zone and LC_TIME; each test gets its own folder.
class LogFileTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_Dir.isValid());
        const char* locale = std::setlocale(LC_TIME, nullptr);
        m_SavedLocale = locale ? locale : "C";
        std::setlocale(LC_TIME, "C");
        m_bHadTimeZone = qEnvironmentVariableIsSet("TZ");
        m_SavedTimeZone = qgetenv("TZ");
        qputenv("TZ", "UTC");
        tzset();
        SetClockForTesting([] { return kNow; });
    }

    void TearDown() override
    {
        SetClockForTesting({});
        if (m_bHadTimeZone)
            qputenv("TZ", m_SavedTimeZone);
        else
            qunsetenv("TZ");
        tzset();
        std::setlocale(LC_TIME, m_SavedLocale.c_str());
    }

    QString Path(const QString& name) const { return m_Dir.filePath(name); }

    QTemporaryDir m_Dir;
    std::string m_SavedLocale;
    bool m_bHadTimeZone = false;
    QByteArray m_SavedTimeZone;
};

// Opens as the hub does: the open report is shown and, like every shown message, written.
void OpenAndLog(CLogFile& log, const QString& path)
{
    const auto opened = log.Open(true, path);
    ASSERT_TRUE(opened.has_value());
    ASSERT_EQ(opened->m_Severity.GetCode(), eActionSucceeded) << opened->m_Text.toStdString();
    EXPECT_FALSE(log.Write(*opened).has_value());
}

} // namespace

TEST_F(LogFileTest, LineFormatForEveryKindOfText)
{
    EXPECT_EQ(CLogFile::FormatLine(Message(eTaskSuccess, QStringLiteral("Ping operation succeeded"), kNow)),
              "Tue Nov 14 22:13:20 2023\tTask Success\tPing operation succeeded\n");
    // A new second must give a new stamp, not the one remembered from the line before.
    EXPECT_EQ(CLogFile::FormatLine(Message(eInformational, QStringLiteral("Task run started"), kLater)),
              "Wed Nov 15 22:13:21 2023\tInformational\tTask run started\n");
    // Only the first line of a multi-line text carries the stamp; every line ends alike.
    EXPECT_EQ(
        CLogFile::FormatLine(Message(
            eSpiderMessage, QStringLiteral("Scanned 3 page(s)\nhttp://a.test/ OK\nhttp://a.test/x Not Found"), kNow)),
        "Tue Nov 14 22:13:20 2023\tSpider Message\tScanned 3 page(s)\nhttp://a.test/ OK\n"
        "http://a.test/x Not Found\n");
    EXPECT_EQ(CLogFile::FormatLine(Message(eTaskFailure, QStringLiteral("Prüfung fehlgeschlagen: 東京 ✓"), kNow)),
              QByteArray("Tue Nov 14 22:13:20 2023\tTask Failure\tPr\xC3\xBC"
                         "fung fehlgeschlagen: \xE6\x9D\xB1\xE4\xBA\xAC \xE2\x9C\x93\n"));
    EXPECT_EQ(CLogFile::FormatLine(Message(42, QString(), kNow)), "Tue Nov 14 22:13:20 2023\tUnknown Severity\t\n");
}

TEST_F(LogFileTest, WritesEveryMessageWithoutFilterAndKeepsOldLinesAcrossOpens)
{
    const QString path = Path(QStringLiteral("corvane.log"));
    WriteBytes(path, "a line from an earlier run\n");

    CLogFile log;
    EXPECT_FALSE(log.IsOpen());
    OpenAndLog(log, path);
    EXPECT_TRUE(log.IsOpen());
    // The log file knows no severity filter: whatever the window hides still reaches it.
    QByteArray expected = "a line from an earlier run\n"
                          "Tue Nov 14 22:13:20 2023\tAction Succeeded\tLogging output to file '"
        + path.toUtf8() + "'\n";
    for (int code = eInformational; code <= eTaskStopped + 1; ++code) {
        const CLogMessage message = Message(code, QStringLiteral("message %1").arg(code), kNow);
        EXPECT_FALSE(log.Write(message).has_value());
        expected += CLogFile::FormatLine(message);
    }
    // Written at once, not when the file is closed: a crash must lose nothing.
    EXPECT_EQ(ReadBytes(path), expected);

    // The options confirmed again: the open file is closed and reopened (its own lock must not
    // stand in the way), the old lines stay and the open is logged once more.
    OpenAndLog(log, path);
    EXPECT_FALSE(log.Write(Message(eTaskStopped, QStringLiteral("Task execution stopped"), kNow)).has_value());
    log.Close();
    expected += "Tue Nov 14 22:13:20 2023\tAction Succeeded\tLogging output to file '" + path.toUtf8()
        + "'\nTue Nov 14 22:13:20 2023\tTask Stopped\tTask execution stopped\n";
    EXPECT_EQ(ReadBytes(path), expected);

    // Turning logging off closes the file, reports nothing and writes nothing more.
    OpenAndLog(log, path);
    EXPECT_FALSE(log.Open(false, path).has_value());
    EXPECT_FALSE(log.IsOpen());
    EXPECT_FALSE(log.Write(Message(eTaskFailure, QStringLiteral("not logged"), kNow)).has_value());
    EXPECT_FALSE(ReadBytes(path).contains("not logged"));
}

TEST_F(LogFileTest, OpenFailuresAreReportedAndLeaveLoggingOff)
{
    const auto expectFailure = [](const QString& name) {
        CLogFile log;
        const auto opened = log.Open(true, name);
        ASSERT_TRUE(opened.has_value());
        EXPECT_EQ(opened->m_Severity.GetCode(), eApplicationFailure);
        EXPECT_EQ(opened->m_Text, QStringLiteral("Unable to open log file '%1'").arg(name));
        EXPECT_EQ(opened->m_Time, kNow);
        EXPECT_EQ(opened->m_TaskId, -1);
        EXPECT_FALSE(log.IsOpen());
        EXPECT_FALSE(log.Write(Message(eTaskSuccess, QStringLiteral("dropped"), kNow)).has_value());
    };

    expectFailure(QString()); // nothing between the quotes
    const QString inMissingFolder = Path(QStringLiteral("missing/corvane.log"));
    expectFailure(inMissingFolder);
    EXPECT_FALSE(QDir(Path(QStringLiteral("missing"))).exists()); // no folder made behind the user's back
    expectFailure(m_Dir.path()); // a folder, not a file

    // Logging off reports nothing at all, whatever the name.
    CLogFile log;
    EXPECT_FALSE(log.Open(false, QString()).has_value());
    EXPECT_FALSE(log.IsOpen());
}

TEST_F(LogFileTest, SecondWriterIsRefusedWhileTheFirstHoldsTheFile)
{
    const QString path = Path(QStringLiteral("shared.log"));
    CLogFile first;
    OpenAndLog(first, path);

    CLogFile second;
    const auto refused = second.Open(true, path);
    ASSERT_TRUE(refused.has_value());
    EXPECT_EQ(refused->m_Severity.GetCode(), eApplicationFailure);
    EXPECT_EQ(refused->m_Text, QStringLiteral("Unable to open log file '%1'").arg(path));
    EXPECT_FALSE(second.IsOpen());
    // The refused open must not have disturbed the holder.
    EXPECT_FALSE(first.Write(Message(eTaskSuccess, QStringLiteral("still mine"), kNow)).has_value());

    // Another process asking for the lock is refused too (util-linux flock exits 75 here when
    // the lock is taken); Close must let go of it.
    const QString flockTool = QStandardPaths::findExecutable(QStringLiteral("flock"));
    const auto otherProcessLocks = [&] {
        return QProcess::execute(
            flockTool,
            {QStringLiteral("-n"), QStringLiteral("-E"), QStringLiteral("75"), path, QStringLiteral("true")});
    };
    if (!flockTool.isEmpty()) {
        EXPECT_EQ(otherProcessLocks(), 75);
    }

    first.Close();
    if (!flockTool.isEmpty()) {
        EXPECT_EQ(otherProcessLocks(), 0);
    }
    OpenAndLog(second, path);
    const QByteArray content = ReadBytes(path);
    EXPECT_TRUE(content.endsWith("Tue Nov 14 22:13:20 2023\tAction Succeeded\tLogging output to file '" + path.toUtf8()
                                 + "'\n"));
    EXPECT_TRUE(content.contains("\tstill mine\n"));
}

TEST_F(LogFileTest, AFailedWriteIsReportedOnceRetriedAfterADelayAndTheGapCounted)
{
    // A real device on which every write fails with "no space left", as on a full disk. The log
    // path is a link to it; pointing the link at a plain file makes the disk "free" again.
    const QString full = QStringLiteral("/dev/full");
    if (!QFile::exists(full))
        GTEST_SKIP() << "no /dev/full on this system";
    const QString path = Path(QStringLiteral("corvane.log"));
    const QString plain = Path(QStringLiteral("plain.log"));
    const auto pointTo = [&](const QString& target) {
        QFile::remove(path);
        ASSERT_TRUE(QFile::link(target, path));
    };
    pointTo(full);

    CLogFile log;
    log.SetRetryDelay(std::chrono::hours(1));
    const auto opened = log.Open(true, path);
    ASSERT_TRUE(opened.has_value());
    ASSERT_EQ(opened->m_Severity.GetCode(), eActionSucceeded);

    const auto failed = log.Write(*opened);
    ASSERT_TRUE(failed.has_value());
    EXPECT_EQ(failed->m_Severity.GetCode(), eApplicationFailure);
    EXPECT_EQ(failed->m_TaskId, -1); // never drives the alert rule
    EXPECT_TRUE(failed->m_Text.startsWith(QStringLiteral("Unable to write to log file '%1'. ").arg(path)))
        << failed->m_Text.toStdString();
    EXPECT_TRUE(failed->m_Text.contains(QStringLiteral("No space left on device."))) << failed->m_Text.toStdString();
    EXPECT_FALSE(log.IsOpen());

    // A burst within the delay neither reports again nor tries the file again, even though it
    // would take the lines now.
    EXPECT_FALSE(log.Write(Message(eTaskSuccess, QStringLiteral("quiet"), kNow)).has_value());
    pointTo(plain);
    EXPECT_FALSE(log.Write(Message(eTaskSuccess, QStringLiteral("still quiet"), kNow)).has_value());
    EXPECT_FALSE(QFile::exists(plain));

    // Once the delay has passed, a message tries again; a try that fails is not reported again.
    log.SetRetryDelay(std::chrono::milliseconds(0));
    pointTo(full);
    EXPECT_FALSE(log.Write(Message(eTaskSuccess, QStringLiteral("retried, failed"), kNow)).has_value());
    EXPECT_FALSE(log.IsOpen());

    // The disk has room again: the next message is written, then the report of the gap, which
    // counts the open report, the failure report and the three messages since.
    pointTo(plain);
    const CLogMessage back = Message(eTaskFailure, QStringLiteral("back in the file"), kLater);
    const auto resumed = log.Write(back);
    ASSERT_TRUE(resumed.has_value());
    EXPECT_EQ(resumed->m_Severity.GetCode(), eActionSucceeded);
    EXPECT_EQ(resumed->m_TaskId, -1);
    EXPECT_EQ(
        resumed->m_Text,
        QStringLiteral("Logging output to file '%1' resumed. 5 message(s) were not written to the file.").arg(path));
    EXPECT_TRUE(log.IsOpen());
    EXPECT_FALSE(log.Write(Message(eInformational, QStringLiteral("and on"), kNow)).has_value());
    EXPECT_EQ(ReadBytes(plain),
              CLogFile::FormatLine(back) + CLogFile::FormatLine(*resumed)
                  + CLogFile::FormatLine(Message(eInformational, QStringLiteral("and on"), kNow)));

    // A new gap is reported again; an open (as after SIGHUP) that ends it owes the gap's
    // report too, after its own line.
    log.SetRetryDelay(std::chrono::hours(1));
    pointTo(full);
    ASSERT_TRUE(log.Open(true, path).has_value());
    EXPECT_TRUE(log.Write(Message(eTaskSuccess, QStringLiteral("lost"), kNow)).has_value());
    pointTo(plain);
    const auto reopened = log.Open(true, path);
    ASSERT_TRUE(reopened.has_value());
    ASSERT_EQ(reopened->m_Severity.GetCode(), eActionSucceeded);
    const auto owed = log.Write(*reopened);
    ASSERT_TRUE(owed.has_value());
    EXPECT_TRUE(owed->m_Text.endsWith(QStringLiteral("resumed. 2 message(s) were not written to the file.")))
        << owed->m_Text.toStdString();
    EXPECT_TRUE(ReadBytes(plain).endsWith(CLogFile::FormatLine(*reopened) + CLogFile::FormatLine(*owed)));

    // Turning logging off forgets the failure: no retry, no report.
    pointTo(full);
    log.SetRetryDelay(std::chrono::milliseconds(0));
    ASSERT_TRUE(log.Open(true, path).has_value());
    EXPECT_TRUE(log.Write(Message(eTaskSuccess, QStringLiteral("lost again"), kNow)).has_value());
    EXPECT_FALSE(log.Open(false, path).has_value());
    pointTo(plain);
    EXPECT_FALSE(log.Write(Message(eTaskSuccess, QStringLiteral("logging is off"), kNow)).has_value());
    EXPECT_FALSE(log.IsOpen());
    EXPECT_FALSE(ReadBytes(plain).contains("logging is off"));
}
