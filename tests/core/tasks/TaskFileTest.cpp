#include "core/tasks/TaskFile.h"
#include "core/shell/AppSettings.h"
#include "core/support/Clock.h"
#include "core/tasks/IniFile.h"
#include "core/tasks/VigrelDoc.h"
#include "support/QtPrinters.h"
#include "support/TempSettings.h"
#include "support/TestFiles.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QStringDecoder>
#include <QStringEncoder>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

class TaskFile : public ::testing::Test
{
protected:
    void SetUp() override
    {
        SetClockForTesting([] { return qint64(1700000000); });
    }
    void TearDown() override { SetClockForTesting({}); }

    QString Path(const QString& name) const { return m_Dir.filePath(name); }

    // Reads bytes as a task file; the tasks must exist.
    QList<CTask> Parse(const QByteArray& bytes)
    {
        QList<CTask> tasks;
        ParseTaskFile(bytes, tasks);
        return tasks;
    }

    CTempSettings m_Settings;
    QTemporaryDir m_Dir;
};

// The document of tests/data/two-tasks.cvn, built by hand.
void BuildTwoTaskDocument(CVigrelDoc& doc)
{
    CTask home;
    home.m_Name = QStringLiteral("Home page");
    home.m_PingInterval = 3600;
    home.m_HttpGetURL = QStringLiteral("http://127.0.0.1:8080/index.html");
    home.m_ExpectedPattern = QStringLiteral("Welcome");
    home.m_CheckAction = eCheckHttpGetPattern;
    home.m_SpiderUrl = QStringLiteral("http://127.0.0.1:8080/");
    home.m_bSpiderLimitPageNumber = true;
    home.m_bSpiderLimitDepth = true;
    home.m_SpiderMaxPageNumber = 50;
    home.m_SpiderMaxDepth = 3;
    home.m_bAlertAboutFailuresOnly = false;
    home.m_bAlertOnRecovery = false; // new tasks take it on; the file predates it
    home.m_CertWarnDays = 0; // the same
    home.m_FailCount = 7; // run-time fields never reach the file
    home.m_LastRunTime = 1600000000;
    home.m_AlertSettings.m_AlertDetails = QStringLiteral("not stored");
    home.m_TaskGuid = QStringLiteral("C84E0B17-29F3-4D6A-9E52-71B3A0D4F6E8"); // written in lower case

    CTask ping;
    ping.m_Name = QStringLiteral("Server ping");
    ping.m_Description = QStringLiteral("Main server\r\nrack 4");
    ping.m_PingHost = QStringLiteral("127.0.0.1");
    ping.m_TimeoutSec = 3;
    ping.m_PingInterval = 300;
    ping.m_CheckAction = eCheckPing;
    ping.m_MaxFailCount = 2;
    ping.m_bTaskScheduled = true;
    ping.m_AlertSettings.m_AlertMethods = eAlertEmail | eAlertApplication;
    ping.m_AlertSettings.m_AlertEmailAddresses = QStringLiteral("ops@example.com;dev@example.com");
    ping.m_AlertSettings.m_AlertApplicationName = QStringLiteral("\"/opt/alert tools/notify\" %N %E");
    ping.m_AlertSettings.m_bUseDefaultAlertMethods = false;
    ping.m_bAlertOnRecovery = false;
    ping.m_CertWarnDays = 0;
    ping.m_TaskGuid = QStringLiteral("{3f1c2a94-7d5e-4b08-a6c1-0e9d8b7f5a21}");

    doc.AddTask(ping); // id 1: saved first
    doc.AddTask(home); // id 2
}

} // namespace

TEST_F(TaskFile, SavesByteForByteInTheTaskFileLayout)
{
    CVigrelDoc doc;
    BuildTwoTaskDocument(doc);
    QString error;
    ASSERT_TRUE(doc.OnSaveDocument(Path(QStringLiteral("two.cvn")), &error)) << error.toStdString();
    const QByteArray written = ReadBytes(Path(QStringLiteral("two.cvn")));
    const QByteArray golden = ReadBytes(TestDataPath(QStringLiteral("two-tasks.cvn")));
    ASSERT_FALSE(golden.isEmpty());
    EXPECT_EQ(written.toStdString(), golden.toStdString());
    EXPECT_FALSE(doc.IsModified());
}

TEST_F(TaskFile, ReadsBackEveryStoredField)
{
    QList<CTask> tasks;
    QString error;
    ASSERT_TRUE(ReadTaskFile(TestDataPath(QStringLiteral("two-tasks.cvn")), tasks, &error));
    ASSERT_EQ(tasks.size(), 2);
    const CTask& ping = tasks[0];
    EXPECT_EQ(ping.m_TaskId, 0);
    EXPECT_EQ(ping.m_Name, u"Server ping");
    EXPECT_EQ(ping.m_Description, u"Main server\r\nrack 4");
    EXPECT_EQ(ping.m_AlertSettings.m_AlertMethods, 3);
    EXPECT_EQ(ping.m_AlertSettings.m_AlertApplicationName, u"\"/opt/alert tools/notify\" %N %E");
    EXPECT_FALSE(ping.m_AlertSettings.m_bUseDefaultAlertMethods);
    EXPECT_EQ(ping.m_TimeoutSec, 3);
    EXPECT_EQ(ping.m_MaxFailCount, 2);
    EXPECT_TRUE(ping.m_bTaskScheduled);
    EXPECT_EQ(ping.m_NextRunTime, 1700000000 + 300) << "due one interval after reading";
    EXPECT_EQ(ping.m_LastRunTime, 0);
    const CTask& home = tasks[1];
    EXPECT_EQ(home.m_TaskId, 1);
    EXPECT_EQ(home.m_CheckAction, eCheckHttpGetPattern);
    EXPECT_EQ(home.m_ExpectedPattern, u"Welcome");
    EXPECT_EQ(home.m_SpiderMaxPageNumber, 50);
    EXPECT_TRUE(home.m_bSpiderLimitDepth);
    EXPECT_FALSE(home.m_bAlertAboutFailuresOnly);
    EXPECT_EQ(home.m_NextRunTime, 1700000000 + 3600) << "unscheduled tasks get a next run time too";
    EXPECT_EQ(ping.m_TaskGuid, u"3f1c2a94-7d5e-4b08-a6c1-0e9d8b7f5a21");
    EXPECT_EQ(home.m_TaskGuid, u"c84e0b17-29f3-4d6a-9e52-71b3a0d4f6e8");

    // And what was read is written again unchanged.
    ASSERT_TRUE(WriteTaskFile(Path(QStringLiteral("again.cvn")), tasks, &error));
    EXPECT_EQ(ReadBytes(Path(QStringLiteral("again.cvn"))), ReadBytes(TestDataPath(QStringLiteral("two-tasks.cvn"))));
}

TEST_F(TaskFile, FilesWithoutTaskKeysReadAsBeforeAndKeepTheirLayout)
{
    // New tasks would take these; a file from before the keys existed must not.
    CAppSettings settings = GetAppSettings();
    settings.m_bAlertOnRecovery = true;
    settings.m_AlertHttpMethod = QStringLiteral("POST");
    settings.m_AlertHttpBody = QStringLiteral("{\"text\": \"%N %E\"}");
    settings.m_AlertHttpContentType = QStringLiteral("application/json");
    SetAppSettings(settings);

    // The same file as an older version writes it: the 21 keys, no task key.
    QByteArray old = ReadBytes(TestDataPath(QStringLiteral("two-tasks.cvn")));
    ASSERT_EQ(old.count("\r\nm_TaskGuid="), 2);
    static const QRegularExpression keyLine(QStringLiteral("m_TaskGuid=[^\r]*\r\n"));
    old = QString::fromUtf8(old).remove(keyLine).toUtf8();
    ASSERT_FALSE(old.contains("m_TaskGuid"));

    QList<CTask> withKeys;
    QList<CTask> without;
    ASSERT_TRUE(ParseTaskFile(ReadBytes(TestDataPath(QStringLiteral("two-tasks.cvn"))), withKeys));
    ASSERT_TRUE(ParseTaskFile(old, without));
    ASSERT_EQ(without.size(), 2);
    for (qsizetype i = 0; i < without.size(); ++i) {
        EXPECT_TRUE(without[i].m_TaskGuid.isEmpty());
        without[i].m_TaskGuid = withKeys[i].m_TaskGuid;
        // No recovery alert and a plain GET, as the file meant when it was written.
        EXPECT_FALSE(without[i].m_bAlertOnRecovery) << i;
        const CAlertSettings& alert = without[i].m_AlertSettings;
        EXPECT_EQ(alert.m_AlertHttpMethod, u"GET") << i;
        EXPECT_TRUE(alert.m_AlertHttpBody.isEmpty()) << i;
        EXPECT_TRUE(alert.m_AlertHttpContentType.isEmpty()) << i;
    }
    // Everything else is as it was, and the 21 keys are written byte for byte as before,
    // each section followed by its key.
    EXPECT_EQ(FormatTaskFile(without), FormatTaskFile(withKeys));
    EXPECT_EQ(QString::fromUtf8(FormatTaskFile(without)).remove(keyLine).toUtf8(), old);
}

TEST_F(TaskFile, CrawlConnectionsAndOtherSitesTravelOnlyWhenSet)
{
    // At their defaults the file stays the golden one, byte for byte (the layout test above);
    // set, each is one key after the task key of its own section, and reads back.
    CVigrelDoc doc;
    BuildTwoTaskDocument(doc);
    QList<CTask> tasks = doc.GetTasks();
    ASSERT_EQ(tasks.size(), 2);
    EXPECT_EQ(FormatTaskFile(tasks), ReadBytes(TestDataPath(QStringLiteral("two-tasks.cvn"))));
    tasks[1].m_SpiderConnections = 16;
    tasks[1].m_bSpiderCheckExternal = true;
    const QByteArray bytes = FormatTaskFile(tasks);
    EXPECT_TRUE(bytes.endsWith(
        "m_TaskGuid=c84e0b17-29f3-4d6a-9e52-71b3a0d4f6e8\r\nm_SpiderConnections=16\r\nm_bSpiderCheckExternal=1\r\n"))
        << bytes.toStdString();
    EXPECT_EQ(bytes.count("m_SpiderConnections"), 1);
    EXPECT_EQ(bytes.count("m_bSpiderCheckExternal"), 1);

    const QList<CTask> back = Parse(bytes);
    ASSERT_EQ(back.size(), 2);
    EXPECT_EQ(back[0].m_SpiderConnections, 0);
    EXPECT_FALSE(back[0].m_bSpiderCheckExternal);
    EXPECT_EQ(back[1].m_SpiderConnections, 16);
    EXPECT_TRUE(back[1].m_bSpiderCheckExternal);
    EXPECT_EQ(FormatTaskFile(back), bytes);

    // Back at their defaults, the keys go again.
    QList<CTask> reset = back;
    reset[1].m_SpiderConnections = 0;
    reset[1].m_bSpiderCheckExternal = false;
    EXPECT_EQ(FormatTaskFile(reset), ReadBytes(TestDataPath(QStringLiteral("two-tasks.cvn"))));
}

TEST_F(TaskFile, CheckOptionsTravelAfterTheOlderKeysOnlyWhenSet)
{
    CVigrelDoc doc;
    BuildTwoTaskDocument(doc);
    QList<CTask> tasks = doc.GetTasks();
    ASSERT_EQ(tasks.size(), 2);
    CTask& port = tasks[0];
    port.m_CheckAction = eCheckTcp;
    port.m_TcpPort = 6379;
    port.m_TcpSend = QStringLiteral("PING");
    port.m_TcpExpect = QStringLiteral("+PONG\r\n");
    port.m_MaxResponseMs = 250;
    CTask& shop = tasks[1];
    shop.m_CertWarnDays = 21;
    shop.m_UnwantedPattern = QStringLiteral("Sold out; \"100%\"");
    shop.m_AcceptedStatus = QStringLiteral("200-299, 401");
    shop.m_HttpHeaders = QStringLiteral("Authorization: Bearer abc\r\nAccept-Language: de");
    shop.m_bSpiderCheckExternal = true;
    const QByteArray bytes = FormatTaskFile(tasks);
    EXPECT_TRUE(bytes.contains("m_TaskGuid=3f1c2a94-7d5e-4b08-a6c1-0e9d8b7f5a21\r\nm_MaxResponseMs=250\r\n"
                               "m_TcpPort=6379\r\nm_TcpSend=PING\r\nm_TcpExpect=+PONG<ENTER>\r\n"))
        << bytes.toStdString();
    EXPECT_TRUE(bytes.endsWith("m_TaskGuid=c84e0b17-29f3-4d6a-9e52-71b3a0d4f6e8\r\nm_bSpiderCheckExternal=1\r\n"
                               "m_CertWarnDays=21\r\nm_UnwantedPattern=Sold out; \"100%\"\r\n"
                               "m_AcceptedStatus=200-299, 401\r\n"
                               "m_HttpHeaders=Authorization: Bearer abc<ENTER>Accept-Language: de\r\n"))
        << bytes.toStdString();

    const QList<CTask> back = Parse(bytes);
    ASSERT_EQ(back.size(), 2);
    for (qsizetype i = 0; i < back.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(back[i].m_CheckAction, tasks[i].m_CheckAction);
        EXPECT_EQ(back[i].m_CertWarnDays, tasks[i].m_CertWarnDays);
        EXPECT_EQ(back[i].m_MaxResponseMs, tasks[i].m_MaxResponseMs);
        EXPECT_EQ(back[i].m_TcpPort, tasks[i].m_TcpPort);
        EXPECT_EQ(back[i].m_TcpSend, tasks[i].m_TcpSend);
        EXPECT_EQ(back[i].m_TcpExpect, tasks[i].m_TcpExpect);
        EXPECT_EQ(back[i].m_UnwantedPattern, tasks[i].m_UnwantedPattern);
        EXPECT_EQ(back[i].m_AcceptedStatus, tasks[i].m_AcceptedStatus);
        EXPECT_EQ(back[i].m_HttpHeaders, tasks[i].m_HttpHeaders);
    }
    EXPECT_EQ(FormatTaskFile(back), bytes);

    // A file without the keys means every option off, whatever a new task would start with.
    const QList<CTask> old = Parse(ReadBytes(TestDataPath(QStringLiteral("two-tasks.cvn"))));
    ASSERT_EQ(old.size(), 2);
    EXPECT_EQ(old[1].m_CertWarnDays, 0);
    EXPECT_EQ(old[1].m_AcceptedStatus, u"200-299");
    EXPECT_EQ(FormatTaskFile(old), ReadBytes(TestDataPath(QStringLiteral("two-tasks.cvn"))));
}

TEST_F(TaskFile, DescriptionLineBreaksTravelAsEnterMarks)
{
    CTask task;
    task.m_Description = QStringLiteral("first line\r\nsecond line\nthird after a bare LF");
    const QByteArray bytes = FormatTaskFile({task});
    EXPECT_TRUE(bytes.contains("m_Description=first line<ENTER>second line<ENTER>third after a bare LF\r\n"));

    EXPECT_EQ(Parse(bytes).value(0).m_Description, u"first line\r\nsecond line\r\nthird after a bare LF");
    // A typed "<ENTER>" cannot be told from a stored line break.
    task.m_Description = QStringLiteral("press <ENTER> to go on");
    EXPECT_EQ(Parse(FormatTaskFile({task})).value(0).m_Description, u"press \r\n to go on");
}

TEST_F(TaskFile, EveryTextComesBackExactlyAsSaved)
{
    const QStringList texts {
        QStringLiteral("\"/opt/my tools/notify\" \"%N\""), // what the browse button gives
        QStringLiteral("'ready'"),
        QStringLiteral("  two blanks each side  "),
        QStringLiteral("\ttabbed\t"),
        QStringLiteral("\""),
        QStringLiteral("''"),
        QStringLiteral("\"\"\"triple\"\"\""),
        QStringLiteral("'mixed\""),
        QStringLiteral("ends with a quote'"),
        QStringLiteral(" "),
    };
    for (const QString& text : texts) {
        CTask task;
        task.m_Name = text;
        task.m_Description = text;
        task.m_PingHost = text;
        task.m_HttpGetURL = text;
        task.m_ExpectedPattern = text;
        task.m_SpiderUrl = text;
        task.m_AlertSettings.m_AlertEmailAddresses = text;
        task.m_AlertSettings.m_AlertHttpUrl = text;
        task.m_AlertSettings.m_AlertApplicationName = text;
        const QList<CTask> tasks = Parse(FormatTaskFile({task}));
        ASSERT_EQ(tasks.size(), 1);
        const CTask& back = tasks[0];
        const QString shown = QStringLiteral("[%1]").arg(text);
        EXPECT_EQ(back.m_Name, text) << shown.toStdString();
        EXPECT_EQ(back.m_Description, text) << shown.toStdString();
        EXPECT_EQ(back.m_PingHost, text) << shown.toStdString();
        EXPECT_EQ(back.m_HttpGetURL, text) << shown.toStdString();
        EXPECT_EQ(back.m_ExpectedPattern, text) << shown.toStdString();
        EXPECT_EQ(back.m_SpiderUrl, text) << shown.toStdString();
        EXPECT_EQ(back.m_AlertSettings.m_AlertEmailAddresses, text) << shown.toStdString();
        EXPECT_EQ(back.m_AlertSettings.m_AlertHttpUrl, text) << shown.toStdString();
        EXPECT_EQ(back.m_AlertSettings.m_AlertApplicationName, text) << shown.toStdString();
    }

    // Values that read back unchanged are written as they are, quotes inside included.
    CTask plain;
    plain.m_Name = QStringLiteral("say \"hi\" now");
    plain.m_AlertSettings.m_AlertApplicationName = QStringLiteral("\"/opt/alert tools/notify\" %N %E");
    plain.m_ExpectedPattern = QStringLiteral("'half");
    const QByteArray bytes = FormatTaskFile({plain});
    EXPECT_TRUE(bytes.contains("\r\nm_Name=say \"hi\" now\r\n")) << bytes.toStdString();
    EXPECT_TRUE(bytes.contains("\r\nm_AlertApplicationName=\"/opt/alert tools/notify\" %N %E\r\n"));
    EXPECT_TRUE(bytes.contains("\r\nm_ExpectedPattern='half\r\n"));
    EXPECT_TRUE(bytes.contains("\r\nm_PingHost=\r\n"));
}

TEST_F(TaskFile, LineBreaksInOtherTextsCannotSplitTheFile)
{
    CTask task;
    task.m_Name = QStringLiteral("evil\r\nm_CheckAction=4");
    task.m_CheckAction = eCheckPing;
    const QList<CTask> tasks = Parse(FormatTaskFile({task}));
    ASSERT_EQ(tasks.size(), 1);
    EXPECT_EQ(tasks[0].m_Name, u"evil m_CheckAction=4");
    EXPECT_EQ(tasks[0].m_CheckAction, eCheckPing);
}

TEST_F(TaskFile, LongValuesAndUnicodeAreReadWhole)
{
    CTask task;
    task.m_HttpGetURL = QStringLiteral("http://127.0.0.1/") + QString(283, u'x');
    ASSERT_EQ(task.m_HttpGetURL.size(), 300);
    task.m_Name = QStringLiteral("Café – 東京");
    const QList<CTask> tasks = Parse(FormatTaskFile({task}));
    EXPECT_EQ(tasks.value(0).m_HttpGetURL, task.m_HttpGetURL);
    EXPECT_EQ(tasks.value(0).m_Name, task.m_Name);
}

TEST_F(TaskFile, ReadsOddFilesTheWayTheProfileFunctionsDo)
{
    const QByteArray odd = "\xEF\xBB\xBF"
                           "; written by hand\n"
                           "[gLoBaL]\n"
                           "  entrycount = 3 tasks \n"
                           "[ TASK 0 ]\r\n"
                           "M_NAME =   'Quoted name'  \r\n"
                           "m_name=second m_Name is ignored\r\n"
                           "m_PingHost=\"  spaced host  \"\r\n"
                           "m_TimeoutSec=abc\r\n"
                           "m_PingInterval=120s\r\n"
                           "m_MaxFailCount=-2\r\n"
                           "m_SpiderMaxDepth=\r\n"
                           "m_ExpectedPattern='half quoted\r\n"
                           "not a key line\r\n"
                           "[Task 0]\r\n"
                           "m_CheckAction=4\r\n"
                           "[Task 2]\r\n"
                           "m_Name=Third\r\n"
                           "[Task 3]\r\n"
                           "m_Name=Beyond EntryCount\r\n";
    const QList<CTask> tasks = Parse(odd);
    ASSERT_EQ(tasks.size(), 3);
    EXPECT_EQ(tasks[0].m_Name, u"Quoted name");
    EXPECT_EQ(tasks[0].m_PingHost, u"  spaced host  ");
    EXPECT_EQ(tasks[0].m_TimeoutSec, 0) << "a value that is not a number reads as 0";
    EXPECT_EQ(tasks[0].m_PingInterval, 120);
    EXPECT_EQ(tasks[0].m_MaxFailCount, -2);
    EXPECT_EQ(tasks[0].m_SpiderMaxDepth, 2) << "an empty number keeps the initial value";
    EXPECT_EQ(tasks[0].m_ExpectedPattern, u"'half quoted");
    EXPECT_EQ(tasks[0].m_CheckAction, eCheckNone) << "a repeated section is ignored";
    EXPECT_EQ(tasks[1].m_Name, u"Unnamed") << "a missing section gives a default task";
    EXPECT_EQ(tasks[1].m_TaskId, 1);
    EXPECT_EQ(tasks[2].m_Name, u"Third");
}

TEST_F(TaskFile, AHugeSectionIsReadWholeAndTheFirstOfRepeatedKeysWins)
{
    QByteArray bytes = "[Global]\r\nEntryCount=2\r\n[Task 0]\r\nm_Name=First\r\n";
    for (int i = 0; i < 100000; ++i)
        bytes += "m_Extra" + QByteArray::number(i) + "=" + QByteArray::number(i) + "\r\n";
    bytes += "M_NAME=Later\r\nm_PingHost=host\r\nm_extra5=again\r\nm_TimeoutSec=9\r\nm_timeoutsec=1\r\n";
    bytes += "[Task 1]\r\nm_Name=Second\r\n";
    QString text;
    ASSERT_TRUE(CIniReader::Decode(bytes, text));
    const CIniReader ini(text);
    EXPECT_EQ(ini.ReadString(QStringLiteral("task 0"), QStringLiteral("M_EXTRA5"), {}), u"5");
    EXPECT_EQ(ini.ReadString(QStringLiteral("Task 0"), QStringLiteral("m_Extra99999"), {}), u"99999");
    const QList<CTask> tasks = Parse(bytes);
    ASSERT_EQ(tasks.size(), 2);
    EXPECT_EQ(tasks[0].m_Name, u"First");
    EXPECT_EQ(tasks[0].m_PingHost, u"host");
    EXPECT_EQ(tasks[0].m_TimeoutSec, 9);
    EXPECT_EQ(tasks[1].m_Name, u"Second");
}

TEST_F(TaskFile, MissingKeysKeepTheApplicationDefaults)
{
    CAppSettings settings = GetAppSettings();
    settings.m_AlertMethods = eAlertEmail;
    settings.m_AlertEmailAddresses = QStringLiteral("ops@example.com");
    settings.m_MaxFailCount = 5;
    SetAppSettings(settings);

    const QList<CTask> tasks = Parse("[Global]\r\nEntryCount=2\r\n[Task 0]\r\nm_Name=Without alert keys\r\n");
    ASSERT_EQ(tasks.size(), 2);
    for (const CTask& task : tasks) {
        EXPECT_EQ(task.m_AlertSettings.m_AlertMethods, eAlertEmail);
        EXPECT_EQ(task.m_AlertSettings.m_AlertEmailAddresses, u"ops@example.com");
        EXPECT_EQ(task.m_MaxFailCount, 5);
        EXPECT_EQ(task.m_TimeoutSec, 5);
    }
    EXPECT_EQ(tasks[1].m_Name, u"Unnamed");
}

TEST_F(TaskFile, EntryCountDecidesHowManyTasksThereAre)
{
    EXPECT_TRUE(Parse("").isEmpty());
    EXPECT_TRUE(Parse("[Task 0]\r\nm_Name=No global section\r\n").isEmpty());
    EXPECT_TRUE(Parse("[Global]\r\nEntryCount=-3\r\n").isEmpty());
    EXPECT_EQ(Parse("[Global]\r\nEntryCount=2\r\n").size(), 2);
}

TEST_F(TaskFile, AnsiFilesAreReadAsLatin1)
{
    const QList<CTask> tasks = Parse("[Global]\r\nEntryCount=1\r\n[Task 0]\r\nm_Name=Caf\xE9\r\n");
    EXPECT_EQ(tasks.value(0).m_Name, u"Café");
}

TEST_F(TaskFile, FilesWithAByteOrderMarkAreReadAsTheyWereEncoded)
{
    QList<CTask> written(2);
    written[0].m_Name = QStringLiteral("Café – 東京 🌐");
    written[1].m_Name = QStringLiteral("Second");
    written[1].m_PingInterval = 300;
    const QString text = QString::fromUtf8(FormatTaskFile(written));
    const QStringConverter::Encoding encodings[] {QStringConverter::Utf16LE, QStringConverter::Utf16BE,
                                                  QStringConverter::Utf8};
    for (const auto encoding : encodings) {
        QStringEncoder encoder(encoding, QStringEncoder::Flag::WriteBom);
        const QByteArray bytes = encoder.encode(text);
        QList<CTask> tasks;
        QString reason;
        ASSERT_TRUE(ParseTaskFile(bytes, tasks, &reason)) << reason.toStdString();
        ASSERT_EQ(tasks.size(), 2) << QStringConverter::nameForEncoding(encoding);
        EXPECT_EQ(tasks[0].m_Name, written[0].m_Name);
        EXPECT_EQ(tasks[1].m_Name, u"Second");
        EXPECT_EQ(tasks[1].m_PingInterval, 300);
    }
}

TEST_F(TaskFile, BinaryContentIsRefusedWithTheReason)
{
    const QByteArray valid = FormatTaskFile({CTask()});
    QStringEncoder utf16(QStringConverter::Utf16LE); // no byte-order mark
    const QByteArray cases[] {
        utf16.encode(QString::fromUtf8(valid)),
        valid
            + QByteArray("\x7F"
                         "ELF\x02\x01\x01\0\0\0",
                         10),
        QByteArray("\xFF\xFE\0\0[\0\0\0", 8), // UTF-32 reads as UTF-16 with NULs
    };
    for (const QByteArray& bytes : cases) {
        QList<CTask> tasks;
        QString reason;
        EXPECT_FALSE(ParseTaskFile(bytes, tasks, &reason)) << bytes.toHex().toStdString();
        EXPECT_TRUE(reason.contains(u"not a text file")) << reason.toStdString();
        EXPECT_TRUE(tasks.isEmpty());
    }

    QList<CTask> tasks;
    QString error;
    const QString binary = Path(QStringLiteral("image.cvn"));
    WriteBytes(binary, cases[1]);
    EXPECT_FALSE(ReadTaskFile(binary, tasks, &error));
    EXPECT_TRUE(error.contains(u"image.cvn")) << error.toStdString();
}

TEST_F(TaskFile, OversizedFilesAreRefusedBeforeTheyAreRead)
{
    const QByteArray valid = FormatTaskFile({CTask()});
    QList<CTask> tasks;
    QString error;
    // A sparse file: a gigabyte long, refused before anything is read.
    const QString huge = Path(QStringLiteral("huge.cvn"));
    WriteBytes(huge, valid);
    ASSERT_TRUE(QFile::resize(huge, qint64(1) << 30));
    EXPECT_FALSE(ReadTaskFile(huge, tasks, &error));
    EXPECT_TRUE(error.contains(u"huge.cvn")) << error.toStdString();
    EXPECT_TRUE(error.contains(u"larger than 64 MB")) << error.toStdString();
    ASSERT_TRUE(QFile::resize(huge, kMaxTaskFileBytes));
    EXPECT_FALSE(ReadTaskFile(huge, tasks, &error)) << "the bound itself holds NULs here";
    EXPECT_TRUE(error.contains(u"not a text file")) << error.toStdString();
    ASSERT_TRUE(QFile::resize(huge, kMaxTaskFileBytes + 1));
    EXPECT_FALSE(ReadTaskFile(huge, tasks, &error));
    EXPECT_TRUE(error.contains(u"larger than 64 MB")) << error.toStdString();
}

TEST_F(TaskFile, FilesThatCannotBeReadAreErrorsWithTheReason)
{
    QList<CTask> tasks;
    QString error;
    EXPECT_FALSE(ReadTaskFile(Path(QStringLiteral("missing.cvn")), tasks, &error));
    EXPECT_TRUE(error.contains(u"missing.cvn")) << error.toStdString();
    EXPECT_TRUE(error.contains(u"does not exist")) << error.toStdString();

    QDir(m_Dir.path()).mkdir(QStringLiteral("folder.cvn"));
    EXPECT_FALSE(ReadTaskFile(Path(QStringLiteral("folder.cvn")), tasks, &error));
    EXPECT_TRUE(error.contains(u"folder")) << error.toStdString();

    WriteBytes(Path(QStringLiteral("huge.cvn")), "[Global]\r\nEntryCount=2000000000\r\n");
    EXPECT_FALSE(ReadTaskFile(Path(QStringLiteral("huge.cvn")), tasks, &error));
    EXPECT_TRUE(error.contains(u"2000000000")) << error.toStdString();
    EXPECT_TRUE(tasks.isEmpty());
}

TEST_F(TaskFile, SavingOverALongerFileLeavesNoTrace)
{
    const QString path = Path(QStringLiteral("tasks.cvn"));
    QList<CTask> many(5);
    for (qsizetype i = 0; i < many.size(); ++i)
        many[i].m_Name = QStringLiteral("Task number %1").arg(i);
    QString error;
    ASSERT_TRUE(WriteTaskFile(path, many, &error));
    ASSERT_TRUE(WriteTaskFile(path, many.mid(0, 1), &error));
    EXPECT_EQ(ReadBytes(path), FormatTaskFile(many.mid(0, 1)));
    EXPECT_EQ(QDir(m_Dir.path()).entryList(QDir::Files), QStringList {QStringLiteral("tasks.cvn")})
        << "no temporary file is left behind";
}

TEST_F(TaskFile, AFailedSaveReportsWhyAndKeepsTheOldFile)
{
    const QString blocker = Path(QStringLiteral("plain-file"));
    WriteBytes(blocker, "old content");
    QString error;
    // A path under a regular file cannot be created, even by root.
    EXPECT_FALSE(WriteTaskFile(blocker + QStringLiteral("/tasks.cvn"), {CTask()}, &error));
    EXPECT_TRUE(error.contains(u"tasks.cvn")) << error.toStdString();
    EXPECT_FALSE(WriteTaskFile(Path(QStringLiteral("no-such-folder/tasks.cvn")), {CTask()}, &error));
    EXPECT_TRUE(error.startsWith(u"Cannot save the task file")) << error.toStdString();
    EXPECT_EQ(ReadBytes(blocker), "old content");

    // Through the document: the old file stays, and so do the unsaved changes.
    const QString path = Path(QStringLiteral("kept.cvn"));
    WriteBytes(path, FormatTaskFile({CTask()}));
    const QByteArray before = ReadBytes(path);
    CVigrelDoc doc;
    ASSERT_TRUE(doc.OnOpenDocument(path));
    doc.AddTask(CTask());
    EXPECT_FALSE(doc.OnSaveDocument(Path(QStringLiteral("no-such-folder/kept.cvn")), &error));
    EXPECT_TRUE(doc.IsModified());
    EXPECT_EQ(doc.GetPathName(), path);
    EXPECT_EQ(ReadBytes(path), before);
}
