#include "EngineFixture.h"
#include "core/shell/AppSettings.h"
#include "support/QtPrinters.h"

#include <QDateTime>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <openssl/asn1.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <memory>

using namespace std::chrono_literals;

namespace {

// A self-signed certificate for 127.0.0.1 with a lifetime the test chooses, written as PEM
// files beside its key.
struct CShortLivedCertificate
{
    QString m_CertificateFile;
    QString m_KeyFile;
    qint64 m_NotAfterMs = -1;
};

bool WritePem(const QString& path, const std::function<int(FILE*)>& write)
{
    FILE* file = std::fopen(path.toLocal8Bit().constData(), "w");
    if (!file)
        return false;
    const bool ok = write(file) == 1;
    return std::fclose(file) == 0 && ok;
}

bool AddExtension(X509* certificate, int nid, const char* value)
{
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, certificate, certificate, nullptr, nullptr, 0);
    X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value);
    const bool ok = extension && X509_add_ext(certificate, extension, -1) == 1;
    X509_EXTENSION_free(extension);
    return ok;
}

bool MakeCertificate(const QString& folder, long secondsValid, CShortLivedCertificate& out)
{
    const std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(EVP_EC_gen("P-256"), EVP_PKEY_free);
    const std::unique_ptr<X509, decltype(&X509_free)> certificate(X509_new(), X509_free);
    if (!key || !certificate)
        return false;
    X509* c = certificate.get();
    X509_set_version(c, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(c), 1);
    X509_gmtime_adj(X509_getm_notBefore(c), -3600);
    X509_gmtime_adj(X509_getm_notAfter(c), secondsValid);
    X509_set_pubkey(c, key.get());
    X509_NAME* name = X509_get_subject_name(c);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("127.0.0.1"), -1, -1,
                               0);
    X509_set_issuer_name(c, name);
    if (!AddExtension(c, NID_basic_constraints, "critical,CA:TRUE")
        || !AddExtension(c, NID_subject_alt_name, "IP:127.0.0.1") || X509_sign(c, key.get(), EVP_sha256()) <= 0)
        return false;

    ASN1_TIME* epoch = ASN1_TIME_set(nullptr, 0);
    int days = 0;
    int seconds = 0;
    const bool measured = ASN1_TIME_diff(&days, &seconds, epoch, X509_get0_notAfter(c)) == 1;
    ASN1_TIME_free(epoch);
    if (!measured)
        return false;
    out.m_NotAfterMs = (qint64(days) * 86400 + seconds) * 1000;
    out.m_CertificateFile = folder + QStringLiteral("/short.crt");
    out.m_KeyFile = folder + QStringLiteral("/short.key");
    return WritePem(out.m_CertificateFile, [c](FILE* f) { return PEM_write_X509(f, c); })
        && WritePem(out.m_KeyFile, [&key](FILE* f) {
               return PEM_write_PrivateKey(f, key.get(), nullptr, nullptr, 0, nullptr, nullptr);
           });
}

void TrustCertificateFile(const QString& path)
{
    CAppSettings settings = GetAppSettingsSnapshot();
    settings.m_TlsCaFile = path;
    SetAppSettings(settings);
}

} // namespace

TEST_F(Engine, ACertificateThatRunsOutWithinTheWarningFailsGetAndCrawl)
{
    QTemporaryDir folder;
    CShortLivedCertificate certificate;
    // Three days and an hour: three whole days left while the test runs.
    ASSERT_TRUE(MakeCertificate(folder.path(), 3 * 86400 + 3600, certificate));
    TrustCertificateFile(certificate.m_CertificateFile);
    CHttpTestServer server(certificate.m_CertificateFile.toStdString(), certificate.m_KeyFile.toStdString());
    Serve(server, {{"/", {"text/html", "<a href=\"/about\">About</a> Order Now"}}, {"/about", {"text/html", "hi"}}});
    ASSERT_TRUE(server.Start());
    const QString date = QDateTime::fromMSecsSinceEpoch(certificate.m_NotAfterMs, Qt::UTC).toString(u"yyyy-MM-dd");
    const QString warning = QStringLiteral("Certificate for '127.0.0.1' expires on %1 (3 days)").arg(date);

    CTask get = MakeTask(41, QStringLiteral("Shop"), eCheckHttpGetPattern);
    get.m_HttpGetURL = server.Url(QStringLiteral("/"));
    get.m_ExpectedPattern = QStringLiteral("Order Now");
    get.m_CertWarnDays = 14;
    EXPECT_EQ(Verdict(Run(get), 41), QStringLiteral("2 41 ") + warning);
    ASSERT_EQ(m_Host.Results().size(), 1);
    EXPECT_EQ(m_Host.Results().first().m_CertExpiryMs, certificate.m_NotAfterMs);

    get.m_CertWarnDays = 2;
    EXPECT_EQ(Verdict(Run(get), 41), QStringLiteral("1 41 Expected pattern found."));
    get.m_CertWarnDays = 0;
    EXPECT_EQ(Verdict(Run(get), 41), QStringLiteral("1 41 Expected pattern found."));

    // The crawl still reports the pages it checked, under the warning.
    CTask crawl = MakeTask(42, QStringLiteral("Site"), eCheckSpider);
    crawl.m_SpiderUrl = server.Url(QStringLiteral("/"));
    crawl.m_CertWarnDays = 14;
    const QString verdict = Verdict(Run(crawl), 42);
    EXPECT_TRUE(verdict.startsWith(QStringLiteral("2 42 Spider operation failed. ") + warning
                                   + QStringLiteral("\n\nThe following links were checked:\n\n")))
        << verdict.toStdString();
    EXPECT_TRUE(
        verdict.contains(QStringLiteral("Succesfully retrieved '%1'").arg(server.Url(QStringLiteral("/about")))))
        << verdict.toStdString();
}

TEST_F(Engine, AnAnswerSlowerThanTheLimitFailsAfterItsStatusWasJudged)
{
    CHttpTestServer server;
    server.Get("/slow", [&server](const httplib::Request&, httplib::Response& response) {
        server.Pause(300ms);
        response.set_content("<p>late</p>", "text/html");
    });
    server.Get("/slow-gone", [&server](const httplib::Request&, httplib::Response& response) {
        server.Pause(300ms);
        response.status = 404;
        response.set_content("<p>gone</p>", "text/html");
    });
    ASSERT_TRUE(server.Start());
    CTask task = MakeTask(43, QStringLiteral("Slow"), eCheckHttpGet);
    task.m_HttpGetURL = server.Url(QStringLiteral("/slow"));
    task.m_MaxResponseMs = 100;
    const QString verdict = Verdict(Run(task), 43);
    const QRegularExpression expected(QStringLiteral("^2 43 '%1' answered in (\\d+) ms, more than the limit of 100 ms$")
                                          .arg(QRegularExpression::escape(task.m_HttpGetURL)));
    const QRegularExpressionMatch match = expected.match(verdict);
    ASSERT_TRUE(match.hasMatch()) << verdict.toStdString();
    EXPECT_GE(match.captured(1).toInt(), 300);

    task.m_MaxResponseMs = 0;
    EXPECT_EQ(Verdict(Run(task), 43), QStringLiteral("1 43 HTTP GET operation succeeded"));

    // A refused answer is refused for its status, however long it took.
    task.m_HttpGetURL = server.Url(QStringLiteral("/slow-gone"));
    task.m_MaxResponseMs = 100;
    EXPECT_EQ(Verdict(Run(task), 43),
              QStringLiteral("2 43 '%1' Bad status code for the GET operation received from the server: 404")
                  .arg(task.m_HttpGetURL));
}

TEST_F(Engine, UnwantedTextFailsAPageThatHoldsIt)
{
    CHttpTestServer server;
    Serve(
        server,
        {{"/shop", {"text/html; charset=utf-8", "<p>Order Now</p><p>Sold out</p>"}}, {"/logo", {"image/png", "PNG"}}});
    ASSERT_TRUE(server.Start());
    struct Case
    {
        int action;
        const char* path;
        const char* expected;
        const char* unwanted;
        const char* verdict;
    };
    const Case cases[] = {
        {eCheckHttpGet, "/shop", "", "Sold out", "2 44 Unwanted text 'Sold out' found."},
        {eCheckHttpGet, "/shop", "", "Closed", "1 44 HTTP GET operation succeeded"},
        {eCheckHttpGetPattern, "/shop", "Order Now", "Sold out", "2 44 Unwanted text 'Sold out' found."},
        // The expected text is judged first.
        {eCheckHttpGetPattern, "/shop", "Cart", "Sold out", "2 44 Expected pattern not found."},
        {eCheckHttpGetPattern, "/shop", "Order Now", "Closed", "1 44 Expected pattern found."},
        {eCheckHttpGet, "/logo", "", "Sold out", "2 44 File is not textual. Unable to perform substring search."},
        {eCheckHttpGet, "/logo", "", "", "1 44 HTTP GET operation succeeded"},
    };
    for (const Case& c : cases) {
        CTask task = MakeTask(44, QStringLiteral("Shop"), c.action);
        task.m_HttpGetURL = server.Url(QString::fromUtf8(c.path));
        task.m_ExpectedPattern = QString::fromUtf8(c.expected);
        task.m_UnwantedPattern = QString::fromUtf8(c.unwanted);
        EXPECT_EQ(Verdict(Run(task), 44), QString::fromUtf8(c.verdict)) << c.path << " " << c.unwanted;
    }
}

TEST_F(Engine, AcceptedStatusesJudgeTheFinalAnswerOfGetsAndCrawls)
{
    CHttpTestServer server;
    // Ahead of the site's catch-all handler, which would answer it with a 404.
    server.Get("/moved",
               [](const httplib::Request&, httplib::Response& response) { response.set_redirect("/page", 301); });
    Serve(server,
          {{"/", {"text/html", "<a href=\"/gone\">old</a><a href=\"/moved\">moved</a>"}},
           {"/page", {"text/html", "<p>here</p>"}}});
    ASSERT_TRUE(server.Start());
    const QString gone = server.Url(QStringLiteral("/gone"));
    const QString refused
        = QStringLiteral("'%1' Bad status code for the GET operation received from the server: 404").arg(gone);
    struct Case
    {
        const char* accepted;
        const char* path;
        QString verdict;
    };
    const Case cases[] = {
        {"200-299, 404", "/gone", QStringLiteral("1 45 HTTP GET operation succeeded")},
        {"200-299", "/gone", QStringLiteral("2 45 ") + refused},
        // A list only a hand-edited file can hold means the default.
        {"200-", "/gone", QStringLiteral("2 45 ") + refused},
        // Redirects are followed; only where they lead is judged.
        {"200-299", "/moved", QStringLiteral("1 45 HTTP GET operation succeeded")},
        {"404", "/moved",
         QStringLiteral("2 45 '%1' Bad status code for the GET operation received from the server: 200")
             .arg(server.Url(QStringLiteral("/moved")))},
    };
    for (const Case& c : cases) {
        CTask task = MakeTask(45, QStringLiteral("Shop"), eCheckHttpGet);
        task.m_HttpGetURL = server.Url(QString::fromUtf8(c.path));
        task.m_AcceptedStatus = QString::fromUtf8(c.accepted);
        EXPECT_EQ(Verdict(Run(task), 45), c.verdict) << c.accepted << " " << c.path;
    }

    CTask crawl = MakeTask(46, QStringLiteral("Site"), eCheckSpider);
    crawl.m_SpiderUrl = server.Url(QStringLiteral("/"));
    crawl.m_AcceptedStatus = QStringLiteral("200-299, 404");
    for (const int connections : {1, 4}) {
        crawl.m_SpiderConnections = connections;
        const QString verdict = Verdict(Run(crawl), 46);
        EXPECT_TRUE(verdict.startsWith(u"1 46 Spider operation succeeded.")) << verdict.toStdString();
        EXPECT_TRUE(verdict.contains(QStringLiteral("Succesfully retrieved '%1'").arg(gone))) << verdict.toStdString();
    }
    crawl.m_AcceptedStatus = QStringLiteral("200-299");
    const QString verdict = Verdict(Run(crawl), 46);
    EXPECT_TRUE(verdict.startsWith(u"2 46 Spider operation failed.")) << verdict.toStdString();
    EXPECT_TRUE(verdict.contains(QStringLiteral("Error retrieving ") + refused)) << verdict.toStdString();
}

TEST_F(Engine, RequestHeadersReachTheServerAndNeverTheLog)
{
    CHttpTestServer server;
    Serve(server, {{"/api", {"text/html", "<p>ok</p>"}}});
    ASSERT_TRUE(server.Start());
    CTask task = MakeTask(47, QStringLiteral("Api"), eCheckHttpGetPattern);
    task.m_HttpGetURL = server.Url(QStringLiteral("/api"));
    task.m_ExpectedPattern = QStringLiteral("missing");
    task.m_HttpHeaders = QStringLiteral("Authorization: Bearer s3cr3t-t0ken\r\nHost: shop.example\r\n"
                                        "no colon here\r\nCache-Control: max-age=0");
    EXPECT_EQ(Verdict(Run(task), 47), QStringLiteral("2 47 Expected pattern not found."));
    const httplib::Headers sent = server.LastRequestHeaders();
    const auto header = [&sent](const char* name) {
        const auto found = sent.find(name);
        return found == sent.end() ? std::string("(none)") : found->second;
    };
    EXPECT_EQ(header("Authorization"), "Bearer s3cr3t-t0ken");
    EXPECT_EQ(header("Host"), "shop.example");
    EXPECT_EQ(sent.count("Cache-Control"), 1u);
    EXPECT_EQ(header("Cache-Control"), "max-age=0");
    EXPECT_EQ(header("Pragma"), "no-cache");
    for (const auto& [name, value] : sent)
        EXPECT_EQ(name.find("colon"), std::string::npos) << name;
    for (const CLogMessage& message : m_Host.Messages())
        EXPECT_FALSE(message.m_Text.contains(u"s3cr3t")) << message.m_Text.toStdString();
    for (const CCheckResult& result : m_Host.Results())
        EXPECT_FALSE(result.m_Text.contains(u"s3cr3t") || result.m_FinalUrl.contains(u"s3cr3t"));

    // The headers were the task's: the next check sends none of them.
    CTask other = MakeTask(48, QStringLiteral("Other"), eCheckHttpGet);
    other.m_HttpGetURL = task.m_HttpGetURL;
    EXPECT_EQ(Verdict(Run(other), 48), QStringLiteral("1 48 HTTP GET operation succeeded"));
    EXPECT_EQ(server.LastRequestHeaders().count("Authorization"), 0u);
    EXPECT_EQ(server.LastRequestHeaders().find("Cache-Control")->second, "no-cache");
}
