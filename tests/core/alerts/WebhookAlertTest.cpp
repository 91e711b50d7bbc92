#include "AlertFixture.h"
#include "core/alerts/AlertDelivery.h"
#include "support/HttpTestServer.h"
#include "support/QtPrinters.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <mutex>

TEST_F(AlertThread, AJsonWebhookCarriesNameAndTextExactlyWhateverCharactersTheyHold)
{
    CHttpTestServer server;
    std::mutex lock;
    std::string body;
    std::string contentType;
    server.Server().Post("/hook", [&](const httplib::Request& request, httplib::Response& response) {
        std::lock_guard guard(lock);
        body = request.body;
        contentType = request.get_header_value("Content-Type");
        response.status = 200;
    });
    ASSERT_TRUE(server.Start());

    const QString name = QStringLiteral("Shop \"front\" C:\\door\r\n%E \u00e9");
    const QString text = QStringLiteral("Line \"one\"\\\r\nline\ttwo \x01 end \\u0041");
    CTask task = AlertingTask(eAlertHttpGet, name);
    task.m_AlertSettings.m_AlertHttpUrl = server.Url(QStringLiteral("/hook?from=%N"));
    task.m_AlertSettings.m_AlertHttpMethod = QStringLiteral("POST");
    task.m_AlertSettings.m_AlertHttpBody = QStringLiteral("{\"name\": \"%N\", \"text\": \"%E\", \"state\": \"%S\"}");
    EXPECT_EQ(Deliver(Request(task, eTaskFailure, text)),
              QStringList {QStringLiteral("4 -1 HTTP alert for task ") + name + QStringLiteral(" sent successfully")});

    std::lock_guard guard(lock);
    EXPECT_EQ(contentType, "application/json");
    QJsonParseError error;
    const QJsonObject json = QJsonDocument::fromJson(QByteArray::fromStdString(body), &error).object();
    ASSERT_EQ(error.error, QJsonParseError::NoError) << body;
    EXPECT_EQ(json.value(u"name").toString(), name);
    EXPECT_EQ(json.value(u"text").toString(), text);
    EXPECT_EQ(json.value(u"state").toString(), u"failed");
}

TEST(HttpAlertTemplates, BrokenTemplatesAreRefusedWithTheReason)
{
    const QString url = QStringLiteral("https://hooks.example.com/x");
    EXPECT_EQ(CheckHttpAlertTemplates(QStringLiteral("POST"), url,
                                      QStringLiteral("{\"text\": \"%N: %E\", \"state\": \"%S\"}"), QString()),
              QString());
    EXPECT_EQ(CheckHttpAlertTemplates(QStringLiteral("GET"), url, QString(), QString()), QString());
    // A placeholder outside quotes leaves a bare word once it is filled in.
    const QString broken
        = CheckHttpAlertTemplates(QStringLiteral("post"), url, QStringLiteral("{\"text\": %E}"), QString());
    EXPECT_TRUE(broken.startsWith(u"The body is not valid JSON after the placeholders are filled in: "))
        << broken.toStdString();
    EXPECT_TRUE(broken.contains(u" at character ")) << broken.toStdString();
    // What Qt's reader lets through and a hook's stricter one does not: an escape JSON lacks and
    // a raw control character in a string.
    EXPECT_EQ(CheckHttpAlertTemplates(QStringLiteral("POST"), url, QStringLiteral("{\"text\": \"\\%E\"}"), QString()),
              QStringLiteral("The body is not valid JSON after the placeholders are filled in: an escape sequence "
                             "that JSON does not have at character 10."));
    EXPECT_FALSE(CheckHttpAlertTemplates(QStringLiteral("POST"), url, QStringLiteral("{\"text\": \"%E\t\"}"), QString())
                     .isEmpty());
    // A form body is not JSON and is not judged as such.
    EXPECT_EQ(CheckHttpAlertTemplates(QStringLiteral("POST"), url, QStringLiteral("text=%E}"), QString()), QString());
    EXPECT_FALSE(CheckHttpAlertTemplates(QStringLiteral("POST"), QStringLiteral(" "), QStringLiteral("{}"), QString())
                     .isEmpty());
    EXPECT_FALSE(CheckHttpAlertTemplates(QStringLiteral("PUT"), url, QStringLiteral("{}"), QString()).isEmpty());
}
