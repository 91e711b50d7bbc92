// The metrics page and the address it is served on, as Prometheus and a user's setting see
// them. The whole program is scraped in tests/e2e/MetricsHeadlessTest.cpp.
#include "core/metrics/MetricsExposition.h"
#include "core/metrics/MetricsAddress.h"
#include "core/tasks/Task.h"
#include "support/QtPrinters.h"

#include <gtest/gtest.h>

namespace {

CMetricsTask TaskWith(const QString& name, const CCheckResult& result, quint64 runs, quint64 failures)
{
    CMetricsTask task;
    task.m_Name = name;
    task.m_Key = QStringLiteral("k-") + name.left(1);
    task.m_bHasResult = true;
    task.m_Last = result;
    task.m_Runs = runs;
    task.m_Failures = failures;
    return task;
}

QStringList SamplesOf(const QByteArray& page, const QByteArray& metric)
{
    QStringList samples;
    for (const QByteArray& line : page.split('\n')) {
        if (line.startsWith(metric + '{'))
            samples << QString::fromUtf8(line);
    }
    return samples;
}

} // namespace

TEST(MetricsAddress, ReadsTheFormsAUserWritesAndTellsLoopbackFromTheRest)
{
    struct CCase
    {
        const char* m_Text;
        const char* m_Host;
        int m_Port;
        bool m_bIpv6;
        bool m_bLoopback;
    };
    const CCase cases[] = {
        {"9100", "127.0.0.1", 9100, false, true},
        {":9100", "127.0.0.1", 9100, false, true},
        {" localhost:0 ", "127.0.0.1", 0, false, true},
        {"127.0.0.2:80", "127.0.0.2", 80, false, true},
        {"[::1]:9100", "::1", 9100, true, true},
        {"[0:0:0:0:0:0:0:1]:9100", "::1", 9100, true, true},
        {"[::ffff:127.0.0.1]:9100", "::ffff:127.0.0.1", 9100, true, true},
        {"0.0.0.0:9100", "0.0.0.0", 9100, false, false},
        {"192.168.1.5:9100", "192.168.1.5", 9100, false, false},
        {"[::]:9100", "::", 9100, true, false},
        {"[2001:db8::1]:65535", "2001:db8::1", 65535, true, false},
    };
    for (const CCase& c : cases) {
        SCOPED_TRACE(c.m_Text);
        CMetricsAddress address;
        QString error;
        ASSERT_TRUE(ParseMetricsAddress(QString::fromLatin1(c.m_Text), address, &error)) << error.toStdString();
        EXPECT_EQ(address.m_Host, QString::fromLatin1(c.m_Host));
        EXPECT_EQ(address.m_Port, c.m_Port);
        EXPECT_EQ(address.m_bIpv6, c.m_bIpv6);
        EXPECT_EQ(address.IsLoopback(), c.m_bLoopback);
    }
    CMetricsAddress v6;
    ASSERT_TRUE(ParseMetricsAddress(QStringLiteral("[::1]:9100"), v6, nullptr));
    EXPECT_EQ(v6.ToString(), QStringLiteral("[::1]:9100"));
}

TEST(MetricsAddress, RefusesWhatIsNoAddressAndPortWithAReason)
{
    for (const char* text : {"", "nine", "127.0.0.1", "127.0.0.1:", "127.0.0.1:65536", "127.0.0.1:-1", "::1:9100",
                             "[::1]", "[::1]9100", "[127.0.0.1]:9100", "256.1.1.1:9100", "example.com:9100"}) {
        SCOPED_TRACE(text);
        CMetricsAddress address;
        address.m_Port = 4242;
        QString error;
        EXPECT_FALSE(ParseMetricsAddress(QString::fromLatin1(text), address, &error));
        EXPECT_FALSE(error.isEmpty());
        EXPECT_EQ(address.m_Port, 4242); // left as it was
    }
}

TEST(MetricsExposition, LabelValuesCarryQuotesBackslashesLineFeedsAndNonAsciiAsTheFormatWants)
{
    EXPECT_EQ(EscapeLabelValue(QStringLiteral(u"a\"b\\c\nd \u00fc\u2013")),
              QByteArray("a\\\"b\\\\c\\nd \xc3\xbc\xe2\x80\x93"));
    CCheckResult result;
    result.m_Verdict = eVerdict::eSuccess;
    result.m_CheckKind = eCheckPing;
    result.m_DurationUs = 1500;
    const QByteArray page = FormatMetrics({TaskWith(QStringLiteral("Line\none \"x\""), result, 1, 0)});
    EXPECT_EQ(SamplesOf(page, "probe_success"),
              QStringList {QStringLiteral("probe_success{task=\"Line\\none \\\"x\\\"\",task_key=\"k-L\"} 1")});
    // Every line of the page is a comment or a sample: a raw line feed would split one.
    for (const QByteArray& line : page.split('\n'))
        EXPECT_TRUE(line.isEmpty() || line.startsWith('#') || line.contains("{task=\"")) << line.toStdString();
}

TEST(MetricsExposition, EachFamilyStandsTogetherAndShowsOnlyWhatTheRunsMeasured)
{
    CCheckResult https;
    https.m_Verdict = eVerdict::eSuccess;
    https.m_CheckKind = eCheckHttpGet;
    https.m_DurationUs = 2345678;
    https.m_StatusCode = 200;
    https.m_LookupUs = 1000;
    https.m_ConnectUs = 3000;
    https.m_TlsUs = 10000;
    https.m_FirstByteUs = 15000;
    https.m_TotalUs = 15500;
    https.m_CertExpiryMs = 1900000000123;
    CCheckResult refused; // an http check that got no answer at all
    refused.m_Verdict = eVerdict::eFailure;
    refused.m_CheckKind = eCheckHttpGet;
    refused.m_DurationUs = 700;
    CCheckResult crawl;
    crawl.m_Verdict = eVerdict::eFailure;
    crawl.m_CheckKind = eCheckSpider;
    crawl.m_StatusCode = 200;
    crawl.m_BrokenLinks = {{QStringLiteral("http://a/x"), QStringLiteral("http://a/"), QStringLiteral("404")}};
    CMetricsTask fresh; // not run yet: counters only
    fresh.m_Name = QStringLiteral("Fresh");
    fresh.m_Key = QStringLiteral("k-F");
    const QByteArray page = FormatMetrics({TaskWith(QStringLiteral("Https"), https, 3, 1),
                                           TaskWith(QStringLiteral("Refused"), refused, 2, 2),
                                           TaskWith(QStringLiteral("Crawl"), crawl, 1, 1), fresh});

    EXPECT_EQ(SamplesOf(page, "probe_duration_seconds").value(0),
              QStringLiteral("probe_duration_seconds{task=\"Https\",task_key=\"k-H\"} 2.345678"));
    EXPECT_EQ(
        SamplesOf(page, "probe_http_duration_seconds"),
        (QStringList {
            QStringLiteral("probe_http_duration_seconds{task=\"Https\",task_key=\"k-H\",phase=\"resolve\"} 0.001000"),
            QStringLiteral("probe_http_duration_seconds{task=\"Https\",task_key=\"k-H\",phase=\"connect\"} 0.002000"),
            QStringLiteral("probe_http_duration_seconds{task=\"Https\",task_key=\"k-H\",phase=\"tls\"} 0.007000"),
            QStringLiteral(
                "probe_http_duration_seconds{task=\"Https\",task_key=\"k-H\",phase=\"processing\"} 0.005000"),
            QStringLiteral("probe_http_duration_seconds{task=\"Https\",task_key=\"k-H\",phase=\"transfer\"} 0.000500"),
        }));
    EXPECT_EQ(SamplesOf(page, "probe_http_status_code"),
              (QStringList {QStringLiteral("probe_http_status_code{task=\"Https\",task_key=\"k-H\"} 200"),
                            QStringLiteral("probe_http_status_code{task=\"Refused\",task_key=\"k-R\"} 0"),
                            QStringLiteral("probe_http_status_code{task=\"Crawl\",task_key=\"k-C\"} 200")}));
    EXPECT_EQ(
        SamplesOf(page, "probe_ssl_earliest_cert_expiry"),
        QStringList {QStringLiteral("probe_ssl_earliest_cert_expiry{task=\"Https\",task_key=\"k-H\"} 1900000000")});
    EXPECT_EQ(SamplesOf(page, "corvane_crawl_broken_links"),
              QStringList {QStringLiteral("corvane_crawl_broken_links{task=\"Crawl\",task_key=\"k-C\"} 1")});
    EXPECT_EQ(SamplesOf(page, "probe_success").size(), 3); // the task that never ran has no verdict to show
    EXPECT_EQ(SamplesOf(page, "corvane_task_runs_total"),
              (QStringList {QStringLiteral("corvane_task_runs_total{task=\"Https\",task_key=\"k-H\"} 3"),
                            QStringLiteral("corvane_task_runs_total{task=\"Refused\",task_key=\"k-R\"} 2"),
                            QStringLiteral("corvane_task_runs_total{task=\"Crawl\",task_key=\"k-C\"} 1"),
                            QStringLiteral("corvane_task_runs_total{task=\"Fresh\",task_key=\"k-F\"} 0")}));
    EXPECT_FALSE(page.contains("probe_icmp_duration_seconds")); // no ping here: the family is left out

    // HELP, TYPE, then the family's samples, and no family twice: the format allows nothing else.
    QStringList families;
    QByteArray current;
    for (const QByteArray& line : page.split('\n')) {
        if (line.startsWith("# HELP ")) {
            current = line.split(' ').value(2);
            EXPECT_FALSE(families.contains(QString::fromLatin1(current))) << line.toStdString();
            families << QString::fromLatin1(current);
        } else if (!line.isEmpty() && !line.startsWith('#')) {
            EXPECT_TRUE(line.startsWith(current + '{')) << line.toStdString();
        }
    }
    EXPECT_EQ(families.first(), QStringLiteral("probe_success"));
    EXPECT_TRUE(page.endsWith('\n'));
}
