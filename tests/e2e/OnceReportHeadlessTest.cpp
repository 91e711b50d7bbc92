// `corvane --headless --once --format json|junit` as a CI job runs it: the report on standard
// output is read by another program, so it must parse whatever the task names hold, and say
// what the log lines say.
#include "ProgramRun.h"
#include "core/tasks/TaskFile.h"
#include "support/HttpTestServer.h"
#include "support/QtPrinters.h"
#include "support/TempSettings.h"
#include "support/TestFiles.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QXmlStreamReader>

#include <gtest/gtest.h>

namespace {

constexpr int kPatienceMs = 120000; // an upper bound for "it did not hang", never a speed test

const QString kPassingKey = QStringLiteral("0f9d1c52-3b7e-4a51-9d2c-6a1f0e7b8c01");
const QString kCrawlKey = QStringLiteral("7c2e4b90-1d3a-4f6e-8b5c-2e9a7d4f3b02");

struct CRun
{
    int m_nExitCode = -1;
    QByteArray m_Output;
    QString m_Errors;
};

// The elements of a report in document order, with their attributes and text.
struct CXmlElement
{
    QString m_Name;
    QMap<QString, QString> m_Attributes;
    QString m_Text;
    QString m_CaseName; // the name of the <testcase> it lies in
};

QList<CXmlElement> ReadElements(const QByteArray& xml)
{
    QList<CXmlElement> elements;
    QXmlStreamReader reader(xml);
    QList<qsizetype> open;
    while (!reader.atEnd()) {
        reader.readNext();
        if (reader.isStartElement()) {
            CXmlElement element;
            element.m_Name = reader.name().toString();
            for (const QXmlStreamAttribute& attribute : reader.attributes())
                element.m_Attributes[attribute.name().toString()] = attribute.value().toString();
            for (const qsizetype outer : open) {
                if (elements.at(outer).m_Name == u"testcase")
                    element.m_CaseName = elements.at(outer).m_Attributes.value(QStringLiteral("name"));
            }
            elements.append(element);
            open.append(elements.size() - 1);
        } else if (reader.isCharacters() && !open.isEmpty()) {
            elements[open.last()].m_Text += reader.text();
        } else if (reader.isEndElement() && !open.isEmpty()) {
            open.removeLast();
        }
    }
    EXPECT_FALSE(reader.hasError()) << reader.errorString().toStdString();
    return elements;
}

class OnceReport : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_Server.Get("/ok", [](const httplib::Request&, httplib::Response& response) {
            response.set_content("<html>all fine</html>", "text/html");
        });
        m_Server.Get("/site/index.html", [](const httplib::Request&, httplib::Response& response) {
            response.set_content("<a href='about.html'>about</a> <a href='gone.html'>old</a>", "text/html");
        });
        m_Server.Get("/site/about.html", [](const httplib::Request&, httplib::Response& response) {
            response.set_content("<a href='index.html'>home</a>", "text/html");
        });
        ASSERT_TRUE(m_Server.Start());
    }

    // A page that answers and a crawl that finds one broken link.
    QString WritePassingAndFailingTasks()
    {
        CTask passing;
        passing.m_Name = QStringLiteral("Front page");
        passing.m_CheckAction = eCheckHttpGet;
        passing.m_HttpGetURL = m_Server.Url(QStringLiteral("/ok"));
        passing.m_TaskGuid = kPassingKey;
        passing.m_AlertSettings.m_AlertMethods = 0;
        CTask crawl;
        crawl.m_Name = QStringLiteral("Site");
        crawl.m_CheckAction = eCheckSpider;
        crawl.m_SpiderUrl = m_Server.Url(QStringLiteral("/site/index.html"));
        crawl.m_TaskGuid = kCrawlKey;
        crawl.m_AlertSettings.m_AlertMethods = 0;
        return WriteTasks(m_Dir, {passing, crawl});
    }

    CRun Run(const QStringList& arguments)
    {
        QProcess process;
        process.setProcessEnvironment(ProgramEnvironment());
        process.start(QStringLiteral(CORVANE_PROGRAM),
                      QStringList {QStringLiteral("--settings"), m_Settings.IniPath()} + arguments);
        EXPECT_TRUE(process.waitForStarted());
        EXPECT_TRUE(process.waitForFinished(kPatienceMs));
        CRun run;
        run.m_nExitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
        run.m_Output = process.readAllStandardOutput();
        run.m_Errors = QString::fromUtf8(process.readAllStandardError());
        return run;
    }

    CRun RunReport(const QString& format, const QString& taskFile)
    {
        return Run(
            {QStringLiteral("--headless"), QStringLiteral("--once"), QStringLiteral("--format"), format, taskFile});
    }

    // The parsers other programs use accept the whole of standard output: nothing but the
    // report was printed there.
    void ExpectJsonParses(const QByteArray& output)
    {
        const QString python = QStandardPaths::findExecutable(QStringLiteral("python3"));
        if (python.isEmpty())
            GTEST_SKIP() << "python3 is not installed";
        ExpectToolAccepts(python, {QStringLiteral("-c"), QStringLiteral("import json, sys; json.load(sys.stdin)")},
                          output);
    }

    void ExpectXmlParses(const QByteArray& output)
    {
        const QString xmllint = QStandardPaths::findExecutable(QStringLiteral("xmllint"));
        if (xmllint.isEmpty())
            GTEST_SKIP() << "xmllint is not installed (Debian package libxml2-utils)";
        ExpectToolAccepts(xmllint, {QStringLiteral("--noout"), QStringLiteral("-")}, output);
    }

    static void ExpectToolAccepts(const QString& program, const QStringList& arguments, const QByteArray& input)
    {
        QProcess tool;
        tool.start(program, arguments);
        ASSERT_TRUE(tool.waitForStarted());
        tool.write(input);
        tool.closeWriteChannel();
        ASSERT_TRUE(tool.waitForFinished(kPatienceMs));
        EXPECT_EQ(tool.exitCode(), 0) << tool.readAllStandardError().toStdString() << "\n" << input.toStdString();
    }

    CTempSettings m_Settings;
    QTemporaryDir m_Dir;
    CHttpTestServer m_Server;
};

} // namespace

TEST_F(OnceReport, JsonHoldsEachTasksVerdictFiguresAndTheCrawlsBrokenLink)
{
    const CRun run = RunReport(QStringLiteral("json"), WritePassingAndFailingTasks());
    EXPECT_EQ(run.m_nExitCode, 1) << run.m_Errors.toStdString();
    ExpectJsonParses(run.m_Output);
    // The log lines still tell a person what happened, on standard error.
    EXPECT_TRUE(run.m_Errors.contains(QStringLiteral("\tTask Failure\tSpider operation failed.")))
        << run.m_Errors.toStdString();

    const QJsonObject report = QJsonDocument::fromJson(run.m_Output).object();
    const QJsonArray tasks = report.value(u"tasks").toArray();
    ASSERT_EQ(tasks.size(), 2) << run.m_Output.toStdString();
    const QJsonObject passing = tasks.at(0).toObject();
    EXPECT_EQ(passing.value(u"name").toString(), QStringLiteral("Front page"));
    EXPECT_EQ(passing.value(u"key").toString(), kPassingKey);
    EXPECT_EQ(passing.value(u"action").toString(), QStringLiteral("http_get"));
    EXPECT_EQ(passing.value(u"verdict").toString(), QStringLiteral("success"));
    EXPECT_EQ(passing.value(u"text").toString(), QStringLiteral("HTTP GET operation succeeded"));
    EXPECT_EQ(passing.value(u"statusCode").toInt(), 200);
    EXPECT_GT(passing.value(u"durationMs").toDouble(), 0.0);
    // A local answer's time: measured, and within the run that measured it.
    const double responseMs = passing.value(u"responseMs").toDouble(-1);
    EXPECT_GE(responseMs, 0.0);
    EXPECT_LE(responseMs, passing.value(u"durationMs").toDouble());
    EXPECT_EQ(passing.value(u"phasesMs").toObject().value(u"total").toDouble(), responseMs);

    const QJsonObject crawl = tasks.at(1).toObject();
    EXPECT_EQ(crawl.value(u"name").toString(), QStringLiteral("Site"));
    EXPECT_EQ(crawl.value(u"key").toString(), kCrawlKey);
    EXPECT_EQ(crawl.value(u"action").toString(), QStringLiteral("crawl"));
    EXPECT_EQ(crawl.value(u"verdict").toString(), QStringLiteral("failure"));
    EXPECT_TRUE(crawl.value(u"text").toString().startsWith(u"Spider operation failed."));
    EXPECT_EQ(crawl.value(u"pagesFetched").toInt(), 3);
    const QJsonArray broken = crawl.value(u"brokenLinks").toArray();
    ASSERT_EQ(broken.size(), 1);
    const QJsonObject link = broken.at(0).toObject();
    EXPECT_EQ(link.value(u"url").toString(), m_Server.Url(QStringLiteral("/site/gone.html")));
    EXPECT_EQ(link.value(u"referrer").toString(), m_Server.Url(QStringLiteral("/site/index.html")));
    EXPECT_TRUE(link.value(u"error").toString().endsWith(u": 404")) << link.value(u"error").toString().toStdString();

    const QJsonObject summary = report.value(u"summary").toObject();
    EXPECT_EQ(summary.value(u"success").toInt(), 1);
    EXPECT_EQ(summary.value(u"failure").toInt(), 1);
}

TEST_F(OnceReport, JunitHasOneCasePerTaskAndListsTheBrokenLinksInTheFailure)
{
    const CRun run = RunReport(QStringLiteral("junit"), WritePassingAndFailingTasks());
    EXPECT_EQ(run.m_nExitCode, 1) << run.m_Errors.toStdString();
    ExpectXmlParses(run.m_Output);

    const QList<CXmlElement> elements = ReadElements(run.m_Output);
    QList<CXmlElement> suites, cases, failures;
    for (const CXmlElement& element : elements) {
        if (element.m_Name == u"testsuite")
            suites << element;
        else if (element.m_Name == u"testcase")
            cases << element;
        else if (element.m_Name == u"failure")
            failures << element;
    }
    ASSERT_EQ(suites.size(), 1) << run.m_Output.toStdString();
    EXPECT_EQ(suites.at(0).m_Attributes.value(QStringLiteral("tests")), QStringLiteral("2"));
    EXPECT_EQ(suites.at(0).m_Attributes.value(QStringLiteral("failures")), QStringLiteral("1"));
    ASSERT_EQ(cases.size(), 2);
    EXPECT_EQ(cases.at(0).m_Attributes.value(QStringLiteral("name")), QStringLiteral("Front page"));
    EXPECT_EQ(cases.at(1).m_Attributes.value(QStringLiteral("name")), QStringLiteral("Site"));
    // Only the crawl failed, and its failure names the broken link and where it was found.
    ASSERT_EQ(failures.size(), 1);
    EXPECT_EQ(failures.at(0).m_CaseName, QStringLiteral("Site"));
    EXPECT_EQ(failures.at(0).m_Attributes.value(QStringLiteral("message")), QStringLiteral("Spider operation failed."));
    const QString body = failures.at(0).m_Text;
    EXPECT_TRUE(body.contains(m_Server.Url(QStringLiteral("/site/gone.html")))) << body.toStdString();
    EXPECT_TRUE(body.contains(QStringLiteral("found on: ") + m_Server.Url(QStringLiteral("/site/index.html"))))
        << body.toStdString();
}

TEST_F(OnceReport, NamesWithQuotesLineBreaksControlsAndNonAsciiComeOutParseable)
{
    // Written by hand, as an editor can: a lone carriage return and control characters survive
    // the reading, since lines end only at a line feed.
    const QString name = QStringLiteral("Say \"hi\" \\ <b>&amp;\r\tnext line \x01\x1f Caf\u00e9 \u2713 \U0001F600");
    const QByteArray file = QByteArray("[Global]\r\nEntryCount=1\r\n[Task 0]\r\nm_Name=") + name.toUtf8()
        + "\r\nm_CheckAction=2\r\nm_HttpGetURL=" + m_Server.Url(QStringLiteral("/ok")).toUtf8()
        + "\r\nm_AlertMethods=0\r\nm_bUseDefaultAlertMethods=0\r\n";
    const QString path = m_Dir.filePath(QStringLiteral("odd names.cvn"));
    WriteBytes(path, file);

    const CRun json = RunReport(QStringLiteral("json"), path);
    EXPECT_EQ(json.m_nExitCode, 0) << json.m_Errors.toStdString();
    ExpectJsonParses(json.m_Output);
    const QJsonArray tasks = QJsonDocument::fromJson(json.m_Output).object().value(u"tasks").toArray();
    ASSERT_EQ(tasks.size(), 1) << json.m_Output.toStdString();
    EXPECT_EQ(tasks.at(0).toObject().value(u"name").toString(), name);

    const CRun junit = RunReport(QStringLiteral("junit"), path);
    EXPECT_EQ(junit.m_nExitCode, 0) << junit.m_Errors.toStdString();
    ExpectXmlParses(junit.m_Output);
    // XML cannot carry the two control characters at all; everything else comes back as it was.
    QString shown = name;
    shown.replace(QChar(0x01), QChar(QChar::ReplacementCharacter))
        .replace(QChar(0x1f), QChar(QChar::ReplacementCharacter));
    QStringList caseNames;
    for (const CXmlElement& element : ReadElements(junit.m_Output)) {
        if (element.m_Name == u"testcase")
            caseNames << element.m_Attributes.value(QStringLiteral("name"));
    }
    EXPECT_EQ(caseNames, QStringList {shown});
}

TEST_F(OnceReport, FormatIsCheckedAgainstWhatItShapes)
{
    const QString taskFile = WritePassingAndFailingTasks();
    const auto expectUsageError = [&](const QStringList& arguments, const QString& says) {
        const CRun run = Run(arguments + QStringList {taskFile});
        EXPECT_EQ(run.m_nExitCode, 2) << arguments.join(u' ').toStdString();
        EXPECT_TRUE(run.m_Errors.contains(says)) << run.m_Errors.toStdString();
        EXPECT_TRUE(run.m_Output.isEmpty()) << run.m_Output.toStdString();
    };
    expectUsageError(
        {QStringLiteral("--headless"), QStringLiteral("--once"), QStringLiteral("--format"), QStringLiteral("csv")},
        QStringLiteral("--format takes json or junit with --once"));
    expectUsageError({QStringLiteral("--history"), QStringLiteral("--format"), QStringLiteral("json")},
                     QStringLiteral("--format takes csv with --history"));
    expectUsageError({QStringLiteral("--headless"), QStringLiteral("--format"), QStringLiteral("json")},
                     QStringLiteral("--format needs --history (csv) or --headless --once (json, junit)"));
}
