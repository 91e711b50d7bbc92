// The result history from the console: what headless runs record, as --history reports it.
#include "ProgramRun.h"
#include "support/HttpTestServer.h"
#include "support/QtPrinters.h"
#include "support/TempSettings.h"

#include <QDateTime>
#include <QFile>
#include <QProcess>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

using namespace std::chrono_literals;

namespace {

struct CRun
{
    int m_nExitCode = -1;
    QByteArray m_Output;
    QString m_Errors;
};

// The records of an RFC 4180 text: quoted fields may hold commas, quotes and line ends.
QList<QStringList> ParseCsv(const QString& text)
{
    QList<QStringList> records;
    QStringList record;
    QString field;
    bool quoted = false;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (quoted) {
            if (c == u'"' && i + 1 < text.size() && text.at(i + 1) == u'"') {
                field += u'"';
                ++i;
            } else if (c == u'"') {
                quoted = false;
            } else {
                field += c;
            }
        } else if (c == u'"') {
            quoted = true;
        } else if (c == u',') {
            record << field;
            field.clear();
        } else if (c == u'\r' && i + 1 < text.size() && text.at(i + 1) == u'\n') {
            record << field;
            field.clear();
            records << record;
            record.clear();
            ++i;
        } else {
            field += c;
        }
    }
    EXPECT_TRUE(field.isEmpty() && record.isEmpty()) << "the last record has no CR LF";
    return records;
}

qint64 UtcMs(const QString& iso)
{
    const QDateTime time = QDateTime::fromString(iso, Qt::ISODateWithMs);
    EXPECT_TRUE(time.isValid() && time.timeSpec() == Qt::UTC) << iso.toStdString();
    return time.toMSecsSinceEpoch();
}

QString LocalTime(qint64 ms)
{
    return QDateTime::fromMSecsSinceEpoch(ms).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
}

class HistoryHeadless : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_Server.Get("/up", [](const httplib::Request&, httplib::Response& response) {
            response.set_content("<html>fine</html>", "text/html");
        });
        m_Server.Get("/order", [this](const httplib::Request&, httplib::Response& response) {
            response.status = m_bFailing ? 500 : 200;
            response.set_content("<html>order</html>", "text/html");
        });
        ASSERT_TRUE(m_Server.Start());
        m_HistoryPath = m_Dir.filePath(QStringLiteral("history.sqlite"));
        // Nothing of the user's: the settings and the history are the test's own files.
        SaveSettings([&](CAppSettings& settings) { settings.m_HistoryDatabase = m_HistoryPath; });
        m_TaskFile = WriteTasks(m_Dir,
                                {Get(QStringLiteral("Front page"), QStringLiteral("/up")),
                                 Get(QStringLiteral("Order form"), QStringLiteral("/order"))});
    }

    CTask Get(const QString& name, const QString& path) const
    {
        CTask task;
        task.m_Name = name;
        task.m_CheckAction = eCheckHttpGet;
        task.m_TimeoutSec = 5;
        task.m_HttpGetURL = m_Server.Url(path);
        task.m_AlertSettings.m_AlertMethods = 0;
        return task;
    }

    CRun Run(const QStringList& arguments) const
    {
        QProcess process;
        process.setProcessEnvironment(ProgramEnvironment());
        process.start(QStringLiteral(CORVANE_PROGRAM),
                      QStringList {QStringLiteral("--settings"), m_Settings.IniPath()} + arguments);
        EXPECT_TRUE(process.waitForStarted());
        CRun run;
        EXPECT_TRUE(process.waitForFinished(60000));
        run.m_nExitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
        run.m_Output = process.readAllStandardOutput();
        run.m_Errors = QString::fromUtf8(process.readAllStandardError());
        return run;
    }

    int RunOnce() const
    {
        return Run({QStringLiteral("--headless"), QStringLiteral("--once"), m_TaskFile}).m_nExitCode;
    }

    QStringList Report() const
    {
        const CRun run = Run({QStringLiteral("--history"), m_TaskFile});
        EXPECT_EQ(run.m_nExitCode, 0) << run.m_Errors.toStdString();
        return OutputLines(run.m_Output);
    }

    // Start times (UTC milliseconds) of the task's runs, in order, from the CSV export.
    QList<qint64> Starts(const QString& name) const
    {
        const CRun run
            = Run({QStringLiteral("--history"), QStringLiteral("--format"), QStringLiteral("csv"), m_TaskFile});
        EXPECT_EQ(run.m_nExitCode, 0) << run.m_Errors.toStdString();
        const QList<QStringList> records = ParseCsv(QString::fromUtf8(run.m_Output));
        EXPECT_FALSE(records.isEmpty());
        QList<qint64> starts;
        if (records.isEmpty())
            return starts;
        const QStringList header = records.first();
        EXPECT_EQ(header.mid(0, 10),
                  QStringList({"task_key", "task_name", "kind", "start", "duration_ms", "verdict", "status", "bytes",
                               "response_ms", "text"}));
        for (const QStringList& record : records.mid(1)) {
            EXPECT_EQ(record.size(), header.size());
            EXPECT_EQ(record.value(2), QStringLiteral("http_get"));
            if (record.value(1) != name)
                continue;
            starts << UtcMs(record.value(3));
            const bool failed = record.value(5) == QStringLiteral("failure");
            EXPECT_EQ(record.value(6), failed ? QStringLiteral("500") : QStringLiteral("200"));
        }
        return starts;
    }

    CTempSettings m_Settings;
    QTemporaryDir m_Dir;
    CHttpTestServer m_Server;
    std::atomic<bool> m_bFailing {true};
    QString m_HistoryPath;
    QString m_TaskFile;
};

} // namespace

TEST_F(HistoryHeadless, RunsAreRecordedAndReportedWithTheirStateUptimeAndDownTimes)
{
    ASSERT_EQ(RunOnce(), 1);
    // The runs of the second start fall in another second, so "since" tells them apart.
    std::this_thread::sleep_for(1100ms);
    ASSERT_EQ(RunOnce(), 1);

    const QList<qint64> failures = Starts(QStringLiteral("Order form"));
    ASSERT_EQ(failures.size(), 2);
    ASSERT_EQ(Starts(QStringLiteral("Front page")).size(), 2);
    QStringList lines = Report();
    ASSERT_EQ(lines.size(), 3) << lines.join(u'\n').toStdString();
    EXPECT_TRUE(lines[0].startsWith(QStringLiteral("Front page: Up since "))) << lines[0].toStdString();
    EXPECT_TRUE(lines[0].contains(QStringLiteral("uptime 24 h 100.0%, 7 d 100.0%, 30 d 100.0%; last 30 d: 2 runs, "
                                                 "0 failures, mean ")))
        << lines[0].toStdString();
    EXPECT_TRUE(lines[1].startsWith(QStringLiteral("Order form: Down since %1; uptime 24 h 0.0%, 7 d 0.0%, 30 d "
                                                   "0.0%; last 30 d: 2 runs, 2 failures, mean ")
                                        .arg(LocalTime(failures[0]))))
        << lines[1].toStdString();
    EXPECT_TRUE(lines[2].startsWith(QStringLiteral("    Down from %1 still down (").arg(LocalTime(failures[0]))))
        << lines[2].toStdString();

    m_bFailing = false;
    std::this_thread::sleep_for(1100ms);
    ASSERT_EQ(RunOnce(), 0);
    const QList<qint64> starts = Starts(QStringLiteral("Order form"));
    ASSERT_EQ(starts.size(), 3);
    lines = Report();
    ASSERT_EQ(lines.size(), 3) << lines.join(u'\n').toStdString();
    EXPECT_TRUE(lines[0].contains(QStringLiteral("3 runs, 0 failures"))) << lines[0].toStdString();
    EXPECT_TRUE(lines[1].startsWith(QStringLiteral("Order form: Up since %1; uptime 24 h 33.3%, 7 d 33.3%, 30 d "
                                                   "33.3%; last 30 d: 3 runs, 2 failures, mean ")
                                        .arg(LocalTime(starts[2]))))
        << lines[1].toStdString();
    EXPECT_TRUE(lines[2].startsWith(QStringLiteral("    Down from %1 to %2 (%3 s): ")
                                        .arg(LocalTime(starts[0]), LocalTime(starts[2]))
                                        .arg((starts[2] - starts[0]) / 1000)))
        << lines[2].toStdString();

    // --since sets the range of the run figures; every run here is less than a minute old.
    const CRun shortRange
        = Run({QStringLiteral("--history"), QStringLiteral("--since"), QStringLiteral("1m"), m_TaskFile});
    EXPECT_EQ(shortRange.m_nExitCode, 0);
    EXPECT_TRUE(OutputLines(shortRange.m_Output).value(1).contains(QStringLiteral("last 1 min: 3 runs, 2 failures")));
}

TEST_F(HistoryHeadless, AReportOfAFileOrHistoryThatCannotBeReadEndsWithCodeTwo)
{
    CRun run = Run({QStringLiteral("--history"), m_Dir.filePath(QStringLiteral("missing.cvn"))});
    EXPECT_EQ(run.m_nExitCode, 2);
    EXPECT_TRUE(run.m_Output.isEmpty());
    EXPECT_FALSE(run.m_Errors.isEmpty());

    QFile garbage(m_HistoryPath);
    ASSERT_TRUE(garbage.open(QIODevice::WriteOnly));
    garbage.write(QByteArray(8192, 'x'));
    garbage.close();
    run = Run({QStringLiteral("--history"), m_TaskFile});
    EXPECT_EQ(run.m_nExitCode, 2);
    EXPECT_TRUE(run.m_Output.isEmpty());
    EXPECT_TRUE(run.m_Errors.contains(m_HistoryPath)) << run.m_Errors.toStdString();
}
