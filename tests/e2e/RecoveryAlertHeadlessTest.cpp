#include "ProgramRun.h"
#include "core/shell/AppSettings.h"
#include "support/HttpTestServer.h"
#include "support/QtPrinters.h"
#include "support/SmtpTestServer.h"
#include "support/TempSettings.h"
#include "support/TestFiles.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>

#include <csignal>

using namespace std::chrono_literals;

namespace {

QStringList RecordedArguments(const QString& path)
{
    QStringList arguments;
    for (const QByteArray& argument : ReadBytes(path).split('\0'))
        arguments << QString::fromUtf8(argument);
    if (!arguments.isEmpty())
        arguments.removeLast(); // after the last NUL
    return arguments;
}

} // namespace

TEST(RecoveryAlertHeadless, AnOutageRaisesOneFailureAlertAndOneRecoveryAlertByEveryMethod)
{
    if (const QString missing = CSmtpTestServer::MissingPrerequisite(); !missing.isEmpty())
        GTEST_SKIP() << missing.toStdString();
    CSmtpTestServer smtp;
    ASSERT_TRUE(smtp.Start()) << smtp.Error().toStdString();

    // The page fails three times, then is back for good.
    CHttpTestServer server;
    std::atomic<int> checks {0};
    server.Get("/shop", [&](const httplib::Request&, httplib::Response& response) {
        if (++checks <= 3)
            response.status = 500;
        else
            response.set_content("open", "text/plain");
    });
    std::mutex lock;
    std::vector<QByteArray> posts;
    server.Server().Post("/hook", [&](const httplib::Request& request, httplib::Response& response) {
        std::lock_guard guard(lock);
        posts.push_back(QByteArray::fromStdString(request.body));
        response.status = 204;
    });
    ASSERT_TRUE(server.Start());

    CTempSettings settings;
    QTemporaryDir dir;
    SaveSettings([&](CAppSettings& s) { s.m_SmtpServerName = smtp.Address(); });

    CTask task;
    task.m_Name = QStringLiteral("Shop front door");
    task.m_CheckAction = eCheckHttpGet;
    task.m_HttpGetURL = server.Url(QStringLiteral("/shop"));
    task.m_TimeoutSec = 5;
    task.m_bTaskScheduled = true;
    task.m_PingInterval = 1;
    // The third failure in a row alerts.
    task.m_MaxFailCount = 2;
    task.m_bAlertAboutFailuresOnly = true;
    task.m_bAlertOnRecovery = true;
    CAlertSettings& alert = task.m_AlertSettings;
    alert.m_AlertMethods = eAlertEmail | eAlertApplication | eAlertHttpGet;
    alert.m_bUseDefaultAlertMethods = false;
    alert.m_AlertEmailAddresses = QStringLiteral("ops@example.com");
    alert.m_AlertApplicationName
        = QStringLiteral("\"%1\" \"%2\" %N %S %E %D")
              .arg(QStringLiteral(CORVANE_RECORD_ARGS), dir.filePath(QStringLiteral("%S.args")));
    alert.m_AlertHttpUrl = server.Url(QStringLiteral("/hook"));
    alert.m_AlertHttpMethod = QStringLiteral("POST");
    alert.m_AlertHttpBody = QStringLiteral("{\"name\": \"%N\", \"text\": \"%E\", \"state\": \"%S\", \"downtime\": "
                                           "\"%D\", \"url\": \"%U\", \"time\": \"%T\"}");
    const QString taskFile = WriteTasks(dir, {task});

    QProcess process;
    process.setProcessEnvironment(ProgramEnvironment());
    process.start(QStringLiteral(CORVANE_PROGRAM),
                  {QStringLiteral("--settings"), settings.IniPath(), QStringLiteral("--headless"), taskFile});
    ASSERT_TRUE(process.waitForStarted());
    // Both alerts delivered by all three methods, and two more checks after the recovery, so
    // that a second alert would have had its chance.
    QByteArray output;
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    while (std::chrono::steady_clock::now() < deadline
           && (output.count("sent successfully") < 4 || output.count("executed successfully") < 2 || checks < 6)) {
        process.waitForReadyRead(200);
        output += process.readAllStandardOutput();
    }
    ::kill(pid_t(process.processId()), SIGTERM);
    ASSERT_TRUE(process.waitForFinished(20000));
    output += process.readAllStandardOutput();
    const QString log = QString::fromUtf8(output);

    const QString failure = QStringLiteral("'%1' Bad status code for the GET operation received from the server: 500")
                                .arg(task.m_HttpGetURL);
    EXPECT_EQ(log.count(QStringLiteral("Alert E-mail message for task Shop front door sent successfully")), 2)
        << log.toStdString();
    EXPECT_EQ(log.count(QStringLiteral("HTTP alert for task Shop front door sent successfully")), 2)
        << log.toStdString();
    EXPECT_EQ(log.count(QStringLiteral("External application for QI Shop front door executed successfully")), 2)
        << log.toStdString();

    const QList<CReceivedMail> mails = smtp.WaitForMessages(2, 1s);
    ASSERT_EQ(mails.size(), 2);
    EXPECT_TRUE(mails.at(0).m_Data.contains("Subject: Corvane: Task 'Shop front door' failed.\r\n"));
    EXPECT_TRUE(mails.at(1).m_Data.contains("Subject: Corvane: Task 'Shop front door' recovered.\r\n"))
        << mails.at(1).m_Data.toStdString();
    EXPECT_TRUE(mails.at(1).m_Data.contains("successfully again. It was down for "));
    EXPECT_TRUE(mails.at(1).m_Data.contains(failure.toUtf8())) << mails.at(1).m_Data.toStdString();

    EXPECT_EQ(RecordedArguments(dir.filePath(QStringLiteral("failed.args"))),
              (QStringList {task.m_Name, QStringLiteral("failed"), failure, QString()}));
    const QStringList recovered = RecordedArguments(dir.filePath(QStringLiteral("recovered.args")));
    ASSERT_EQ(recovered.size(), 4) << recovered.join(u'|').toStdString();
    EXPECT_EQ(recovered.at(0), task.m_Name);
    EXPECT_EQ(recovered.at(1), u"recovered");
    EXPECT_FALSE(recovered.at(3).isEmpty());

    std::lock_guard guard(lock);
    ASSERT_EQ(posts.size(), 2u);
    QList<QJsonObject> bodies;
    for (const QByteArray& post : posts) {
        QJsonParseError error;
        bodies << QJsonDocument::fromJson(post, &error).object();
        ASSERT_EQ(error.error, QJsonParseError::NoError) << post.toStdString();
    }
    EXPECT_EQ(bodies.at(0).value(u"name").toString(), task.m_Name);
    EXPECT_EQ(bodies.at(0).value(u"state").toString(), u"failed");
    EXPECT_EQ(bodies.at(0).value(u"text").toString(), failure);
    EXPECT_EQ(bodies.at(0).value(u"downtime").toString(), QString());
    EXPECT_EQ(bodies.at(0).value(u"url").toString(), task.m_HttpGetURL);
    EXPECT_EQ(bodies.at(1).value(u"state").toString(), u"recovered");
    EXPECT_EQ(bodies.at(1).value(u"name").toString(), task.m_Name);
    EXPECT_FALSE(bodies.at(1).value(u"downtime").toString().isEmpty());
    EXPECT_FALSE(bodies.at(1).value(u"time").toString().isEmpty());
}
