#include "core/alerts/AlertDelivery.h"
#include "AlertFixture.h"
#include "support/HttpTestServer.h"
#include "support/QtPrinters.h"
#include "support/TestFiles.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QUrlQuery>

#include <limits>

using namespace std::chrono_literals;

namespace {

// The arguments record_args was started with, once it has written them.
QStringList RecordedArguments(const QString& path, std::chrono::milliseconds timeout = 10s)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!QFile::exists(path) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(10ms);
    QStringList arguments;
    const QByteArray bytes = ReadBytes(path);
    for (const QByteArray& argument : bytes.split('\0'))
        arguments << QString::fromUtf8(argument);
    if (!arguments.isEmpty())
        arguments.removeLast(); // after the last NUL
    return arguments;
}

QString Quoted(const QString& path)
{
    return QLatin1Char('"') + path + QLatin1Char('"');
}

} // namespace

TEST(AlertCommand, SplitsFirstThenPutsEachTextIntoItsArgument)
{
    const QString name = QStringLiteral("Shop \"front\" %E");
    const QString details = QStringLiteral("Line one; \"two\"\nline %N three");
    const auto prepared
        = PrepareAlertCommand(QStringLiteral("  \"/opt/my tools/notify\" --task=%N  %E \"a b\" "), name, details);
    ASSERT_TRUE(prepared);
    EXPECT_EQ(prepared->m_Program, u"/opt/my tools/notify");
    EXPECT_EQ(prepared->m_Arguments, (QStringList {QStringLiteral("--task=") + name, details, QStringLiteral("a b")}));

    // Case-sensitive placeholders; a lone or other percent sign stays.
    EXPECT_EQ(
        PrepareAlertCommand(QStringLiteral("run %n %e 100% %%N"), name, details)->m_Arguments,
        (QStringList {QStringLiteral("%n"), QStringLiteral("%e"), QStringLiteral("100%"), QStringLiteral("%") + name}));
    // An unclosed quote runs to the end.
    EXPECT_EQ(PrepareAlertCommand(QStringLiteral("\"/opt/x y/z %N"), name, details)->m_Program,
              QStringLiteral("/opt/x y/z %N"));
    EXPECT_FALSE(PrepareAlertCommand(QStringLiteral("   "), name, details));
    EXPECT_FALSE(PrepareAlertCommand(QString(), name, details));
}

TEST(AlertUrl, EncodesBothTextsSoTheyCannotChangeTheUrl)
{
    EXPECT_EQ(PrepareAlertUrl(QStringLiteral(" http://h/alert?task=%N&why=%E "), QStringLiteral("a&b c"),
                              QStringLiteral("x=1/2?#\u00e9\n")),
              QStringLiteral("http://h/alert?task=a%26b%20c&why=x%3D1%2F2%3F%23%C3%A9%0A"));
}

TEST_F(AlertThread, StartsTheProgramWithEachTextAsOneArgument)
{
    // The program lives in a folder with a blank in its name.
    QTemporaryDir dir;
    const QString folder = dir.filePath(QStringLiteral("alert tools"));
    ASSERT_TRUE(QDir().mkpath(folder));
    const QString program = folder + QStringLiteral("/record args");
    ASSERT_TRUE(QFile::copy(QStringLiteral(CORVANE_RECORD_ARGS), program));
    const QString output = dir.filePath(QStringLiteral("args.bin"));

    CTask task = AlertingTask(eAlertApplication, QStringLiteral("Shop \"front\" 'door'"));
    task.m_AlertSettings.m_AlertApplicationName
        = Quoted(program) + QLatin1Char(' ') + Quoted(output) + QStringLiteral(" %N --why=%E");
    const QString details = QStringLiteral("Error retrieving 'http://h/a b'; \"quoted\"\nsecond line");
    EXPECT_EQ(Deliver(Request(task, eTaskFailure, details)),
              QStringList {QStringLiteral("4 -1 External application for QI Shop \"front\" 'door' executed "
                                          "successfully")});
    EXPECT_EQ(RecordedArguments(output), (QStringList {task.m_Name, QStringLiteral("--why=") + details}));
}

TEST_F(AlertThread, ProgramsThatCannotStart)
{
    CTask task = AlertingTask(eAlertApplication);
    task.m_AlertSettings.m_AlertApplicationName = QStringLiteral(" \t ");
    EXPECT_EQ(
        Deliver(Request(task, eTaskFailure, QStringLiteral("x"))),
        QStringList {QStringLiteral("3 -1 Application name is not set. Unable to execute external application.")});
    task.m_AlertSettings.m_AlertApplicationName = QStringLiteral("/nonexistent/corvane-alert %N");
    EXPECT_EQ(Deliver(Request(task, eTaskFailure, QStringLiteral("x"))),
              QStringList {QStringLiteral("3 -1 Failed to execute the external application for QI Shop front")});
}

TEST_F(AlertThread, TheDestinationsComeFromTheSettingsWhenTheTaskUsesTheDefaults)
{
    QTemporaryDir dir;
    const QString output = dir.filePath(QStringLiteral("args.bin"));
    ChangeSettings([&](CAppSettings& settings) {
        settings.m_AlertApplicationName
            = Quoted(QStringLiteral(CORVANE_RECORD_ARGS)) + QLatin1Char(' ') + Quoted(output) + QStringLiteral(" %E");
        settings.m_AlertMethods = eAlertEmail | eAlertApplication | eAlertHttpGet;
    });
    CTask task = AlertingTask(eAlertApplication);
    task.m_AlertSettings.m_bUseDefaultAlertMethods = true;
    task.m_AlertSettings.m_AlertApplicationName = QStringLiteral("/nonexistent/own-program");
    EXPECT_EQ(Deliver(Request(task, eTaskSuccess, QStringLiteral("Ping operation succeeded"))),
              QStringList {QStringLiteral("4 -1 External application for QI Shop front executed successfully")});
    EXPECT_EQ(RecordedArguments(output), QStringList {QStringLiteral("Ping operation succeeded")});

    // The methods are always the task's own: none means nothing, whatever the defaults say.
    task.m_AlertSettings.m_AlertMethods = 0;
    EXPECT_EQ(Deliver(Request(task, eTaskFailure, QStringLiteral("x"))), QStringList {});
}

TEST_F(AlertThread, HttpAlertCallsTheUrlWithBothTextsEncoded)
{
    CHttpTestServer server;
    std::mutex lock;
    httplib::Params received;
    server.Get("/alert", [&](const httplib::Request& request, httplib::Response& response) {
        std::lock_guard guard(lock);
        received = request.params;
        response.status = 204;
    });
    server.Get("/broken", [](const httplib::Request&, httplib::Response& response) { response.status = 500; });
    ASSERT_TRUE(server.Start());

    CTask task = AlertingTask(eAlertHttpGet, QStringLiteral("Shop & co"));
    task.m_AlertSettings.m_AlertHttpUrl = server.Url(QStringLiteral("/alert?task=%N&text=%E"));
    const QString details = QStringLiteral("Expected pattern not found.\n#1 = 100%");
    EXPECT_EQ(Deliver(Request(task, eTaskFailure, details)),
              QStringList {QStringLiteral("4 -1 HTTP alert for task Shop & co sent successfully")});
    {
        std::lock_guard guard(lock);
        ASSERT_EQ(received.size(), 2u);
        EXPECT_EQ(received.find("task")->second, "Shop & co");
        EXPECT_EQ(QString::fromStdString(received.find("text")->second), details);
    }

    task.m_AlertSettings.m_AlertHttpUrl = server.Url(QStringLiteral("/broken"));
    EXPECT_EQ(Deliver(Request(task, eTaskFailure, details)),
              QStringList {QStringLiteral("3 -1 Unable to send HTTP alert for task Shop & co. Bad status code "
                                          "received from the server: 500")});
    CRefusingPort refusing;
    task.m_AlertSettings.m_AlertHttpUrl = refusing.Url(QStringLiteral("/"));
    const QStringList events = Deliver(Request(task, eTaskFailure, details));
    ASSERT_EQ(events.size(), 1);
    EXPECT_TRUE(events.first().startsWith(u"3 -1 Unable to send HTTP alert for task Shop & co. Couldn't connect"))
        << events.first().toStdString();
    task.m_AlertSettings.m_AlertHttpUrl = QStringLiteral("  ");
    EXPECT_EQ(Deliver(Request(task, eTaskFailure, details)),
              QStringList {QStringLiteral("3 -1 HTTP alert URL is not set. Unable to send HTTP alert.")});
}

TEST_F(AlertThread, AWakeUpWithNothingQueuedDoesNothing)
{
    m_Host.Clear();
    m_Alerts.PostSendAlert();
    m_Alerts.PostSendAlert();
    QTemporaryDir dir;
    const QString output = dir.filePath(QStringLiteral("args.bin"));
    CTask task = AlertingTask(eAlertApplication);
    task.m_AlertSettings.m_AlertApplicationName
        = Quoted(QStringLiteral(CORVANE_RECORD_ARGS)) + QLatin1Char(' ') + Quoted(output);
    EXPECT_EQ(Deliver(Request(task, eTaskFailure, QStringLiteral("x"))).size(), 1);
    EXPECT_EQ(m_Alerts.GetPendingCount(), 0);
}

TEST_F(AlertThread, AHugeTimeOutFromAHandEditedFileDoesNotWrapIntoAShortOne)
{
    CHttpTestServer server;
    server.Get("/slow", [&](const httplib::Request&, httplib::Response& response) {
        server.Pause(1500ms);
        response.status = 204;
    });
    ASSERT_TRUE(server.Start());
    CTask task = AlertingTask(eAlertHttpGet);
    task.m_AlertSettings.m_AlertHttpUrl = server.Url(QStringLiteral("/slow"));
    // In milliseconds, these overflow 32 bits: 4294968 s came out as 704 ms.
    for (const int timeoutSec : {4294968, std::numeric_limits<int>::max()}) {
        task.m_TimeoutSec = timeoutSec;
        EXPECT_EQ(Deliver(Request(task, eTaskFailure, QStringLiteral("x"))),
                  QStringList {QStringLiteral("4 -1 HTTP alert for task Shop front sent successfully")})
            << timeoutSec;
    }
}
