// The extra trusted certificates of the settings, as an https check of the console program
// meets them: a site signed by a company's own authority passes once its certificate is
// named, the environment's CA bundle keeps working beside them, and a file that cannot be
// used fails the check with its name rather than being passed over.
#include "ProgramRun.h"
#include "core/shell/AppSettings.h"
#include "core/tasks/TaskFile.h"
#include "support/HttpTestServer.h"
#include "support/QtPrinters.h"
#include "support/TempSettings.h"

#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

const QString kLoopbackCertificate = QStringLiteral(CORVANE_TEST_DATA_DIR "/tls/loopback.crt");
const QString kEstablishFailed
    = QStringLiteral("' Unable to establish the internet connection because of this error: ");

} // namespace

TEST(TlsTrustHeadless, HttpsChecksTrustTheExtraCertificatesOfTheSettings)
{
    CHttpTestServer server(CHttpTestServer::eHttpsSelfSigned);
    server.Get("/", [](const httplib::Request&, httplib::Response& response) {
        response.set_content("<html>intranet</html>", "text/html");
    });
    ASSERT_TRUE(server.Start());
    const QString url = server.Url(QStringLiteral("/"));
    QTemporaryDir dir;
    CTask task;
    task.m_Name = QStringLiteral("Intranet");
    task.m_CheckAction = eCheckHttpGet;
    task.m_HttpGetURL = url;
    task.m_TimeoutSec = 5;
    task.m_AlertSettings.m_AlertMethods = 0;
    const QString taskFile = WriteTasks(dir, {task});
    const QString missing = dir.filePath(QStringLiteral("no-such-ca.pem"));
    // Any real bundle that lacks the test's certificate: with it as the settings' file, the
    // site passes only if the environment's bundle was kept beside it.
    const QString otherBundle = QStringLiteral("/etc/ssl/certs/ca-certificates.crt");

    struct CCase
    {
        const char* m_Name;
        QString m_CaFile;
        QString m_EnvironmentBundle;
        QString m_Verdict;
    };
    const QString success = QStringLiteral("Task Success\tHTTP GET operation succeeded");
    for (const CCase& c : {
             CCase {"nothing trusted", QString(), QString(),
                    QStringLiteral("Task Failure\t'") + url + kEstablishFailed
                        + QStringLiteral("SSL peer certificate or SSH remote key was not OK")},
             CCase {"the certificate in the settings", kLoopbackCertificate, QString(), success},
             CCase {"the certificate in CURL_CA_BUNDLE", QString(), kLoopbackCertificate, success},
             CCase {"CURL_CA_BUNDLE and other certificates in the settings", otherBundle, kLoopbackCertificate,
                    success},
             CCase {"a settings file that does not exist", missing, kLoopbackCertificate,
                    QStringLiteral("Task Failure\t'") + url + kEstablishFailed
                        + QStringLiteral("The trusted certificates file \"%1\" does not exist.").arg(missing)},
         }) {
        SCOPED_TRACE(c.m_Name);
        // Without a system bundle there is no other real bundle to name; the case says nothing then.
        if (c.m_CaFile == otherBundle && !QFileInfo::exists(otherBundle))
            continue;
        CTempSettings settings;
        SaveSettings([&](CAppSettings& s) { s.m_TlsCaFile = c.m_CaFile; });
        QProcessEnvironment environment = ProgramEnvironment();
        environment.remove(QStringLiteral("CURL_CA_BUNDLE"));
        if (!c.m_EnvironmentBundle.isEmpty())
            environment.insert(QStringLiteral("CURL_CA_BUNDLE"), c.m_EnvironmentBundle);

        QProcess process;
        process.setProcessEnvironment(environment);
        process.start(QStringLiteral(CORVANE_PROGRAM),
                      {QStringLiteral("--settings"), settings.IniPath(), QStringLiteral("--headless"),
                       QStringLiteral("--once"), taskFile});
        ASSERT_TRUE(process.waitForFinished(60000));
        const QStringList lines = WithoutTime(OutputLines(process.readAllStandardOutput()));
        const QString verdict = lines.value(lines.indexOf(QStringLiteral("Informational\tStarting task Intranet")) + 1);
        EXPECT_TRUE(verdict.startsWith(c.m_Verdict)) << verdict.toStdString();
        EXPECT_EQ(process.exitCode(), c.m_Verdict == success ? 0 : 1) << process.readAllStandardError().toStdString();
    }
}
