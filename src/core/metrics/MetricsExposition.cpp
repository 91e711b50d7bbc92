#include "core/metrics/MetricsExposition.h"

#include "core/tasks/Task.h"

#include <functional>
#include <optional>

namespace {

// Whole microseconds as seconds, in decimal, so that no binary fraction adds digits that
// were never measured.
QByteArray Seconds(qint64 us)
{
    const qint64 whole = us / 1000000;
    const qint64 fraction = us % 1000000;
    return QByteArray::number(whole) + '.' + QByteArray::number(fraction).rightJustified(6, '0');
}

bool IsHttpCheck(int kind)
{
    return kind == eCheckHttpGet || kind == eCheckHttpGetPattern || kind == eCheckSpider;
}

// A phase of libcurl's times: from the end of the one before to its own end, as the
// blackbox exporter splits a request; absent when either end was not measured.
std::optional<qint64> Phase(qint64 from, qint64 to)
{
    if (from < 0 || to < 0 || to < from)
        return std::nullopt;
    return to - from;
}

class CWriter
{
public:
    // One family: its HELP and TYPE lines, then a sample of every task that has a value.
    // All of a family's samples must stand together, which is why the writer goes family
    // by family over the tasks rather than task by task.
    void Family(const char* name, const char* type, const char* help, const QList<CMetricsTask>& tasks,
                const std::function<void(const CMetricsTask&, CWriter&)>& samples)
    {
        QByteArray body;
        std::swap(body, m_Text);
        for (const CMetricsTask& task : tasks) {
            m_pTask = &task;
            samples(task, *this);
        }
        m_pTask = nullptr;
        std::swap(body, m_Text);
        if (body.isEmpty())
            return;
        m_Text += QByteArray("# HELP ") + name + ' ' + help + '\n';
        m_Text += QByteArray("# TYPE ") + name + ' ' + type + '\n';
        m_Text += body;
    }

    void Sample(const char* name, const QByteArray& value, const QByteArray& extraLabels = {})
    {
        m_Text += name;
        m_Text += "{task=\"" + EscapeLabelValue(m_pTask->m_Name) + "\",task_key=\"" + EscapeLabelValue(m_pTask->m_Key)
            + '"';
        m_Text += extraLabels;
        m_Text += "} " + value + '\n';
    }

    const QByteArray& Text() const { return m_Text; }

private:
    QByteArray m_Text;
    const CMetricsTask* m_pTask = nullptr;
};

} // namespace

QByteArray EscapeLabelValue(const QString& value)
{
    const QByteArray utf8 = value.toUtf8();
    QByteArray escaped;
    escaped.reserve(utf8.size());
    for (const char c : utf8) {
        if (c == '\\')
            escaped += "\\\\";
        else if (c == '"')
            escaped += "\\\"";
        else if (c == '\n')
            escaped += "\\n";
        else
            escaped += c;
    }
    return escaped;
}

QByteArray FormatMetrics(const QList<CMetricsTask>& tasks)
{
    CWriter out;
    const auto withResult = [](const std::function<void(const CMetricsTask&, CWriter&)>& samples) {
        return [samples](const CMetricsTask& task, CWriter& writer) {
            if (task.m_bHasResult)
                samples(task, writer);
        };
    };
    out.Family("probe_success", "gauge", "Whether the task's latest run succeeded (1) or failed (0).", tasks,
               withResult([](const CMetricsTask& task, CWriter& w) {
                   w.Sample("probe_success", task.m_Last.m_Verdict == eVerdict::eSuccess ? "1" : "0");
               }));
    out.Family("probe_duration_seconds", "gauge", "How long the task's latest run took, in seconds.", tasks,
               withResult([](const CMetricsTask& task, CWriter& w) {
                   w.Sample("probe_duration_seconds", Seconds(task.m_Last.m_DurationUs));
               }));
    out.Family("probe_http_status_code", "gauge",
               "The HTTP status of the latest run's final answer (a crawl's start page); 0 when none came.", tasks,
               withResult([](const CMetricsTask& task, CWriter& w) {
                   if (IsHttpCheck(task.m_Last.m_CheckKind))
                       w.Sample("probe_http_status_code", QByteArray::number(std::max(task.m_Last.m_StatusCode, 0)));
               }));
    out.Family(
        "probe_http_duration_seconds", "gauge", "The phases of the latest run's (last) HTTP request, in seconds.",
        tasks, withResult([](const CMetricsTask& task, CWriter& w) {
            const CCheckResult& r = task.m_Last;
            if (!IsHttpCheck(r.m_CheckKind))
                return;
            // Processing starts when the connection is ready for the request: after
            // the TLS handshake where there was one.
            const qint64 ready = r.m_TlsUs >= 0 ? r.m_TlsUs : r.m_ConnectUs;
            const std::pair<const char*, std::optional<qint64>> phases[] = {
                {"resolve", Phase(0, r.m_LookupUs)},
                {"connect", Phase(r.m_LookupUs, r.m_ConnectUs)},
                {"tls", Phase(r.m_ConnectUs, r.m_TlsUs)},
                {"processing", Phase(ready, r.m_FirstByteUs)},
                {"transfer", Phase(r.m_FirstByteUs, r.m_TotalUs)},
            };
            for (const auto& [name, duration] : phases) {
                if (duration)
                    w.Sample("probe_http_duration_seconds", Seconds(*duration), QByteArray(",phase=\"") + name + '"');
            }
        }));
    out.Family("probe_icmp_duration_seconds", "gauge", "The round trip of the latest ping's answer, in seconds.", tasks,
               withResult([](const CMetricsTask& task, CWriter& w) {
                   if (task.m_Last.m_CheckKind == eCheckPing && task.m_Last.m_RoundTripUs >= 0)
                       w.Sample("probe_icmp_duration_seconds", Seconds(task.m_Last.m_RoundTripUs), ",phase=\"rtt\"");
               }));
    out.Family("probe_ssl_earliest_cert_expiry", "gauge",
               "When the server certificate of the latest https answer expires, in seconds since 1970 UTC.", tasks,
               withResult([](const CMetricsTask& task, CWriter& w) {
                   if (task.m_Last.m_CertExpiryMs >= 0)
                       w.Sample("probe_ssl_earliest_cert_expiry",
                                QByteArray::number(task.m_Last.m_CertExpiryMs / 1000));
               }));
    out.Family("corvane_task_up", "gauge",
               "1 while the task is up, 0 while it is down, by its latest verdict (a stopped run changes nothing).",
               tasks, withResult([](const CMetricsTask& task, CWriter& w) {
                   w.Sample("corvane_task_up", task.m_Last.m_Verdict == eVerdict::eSuccess ? "1" : "0");
               }));
    out.Family("corvane_task_runs_total", "counter", "Runs of the task that gave a verdict since the program started.",
               tasks, [](const CMetricsTask& task, CWriter& w) {
                   w.Sample("corvane_task_runs_total", QByteArray::number(task.m_Runs));
               });
    out.Family("corvane_task_failures_total", "counter", "Runs of the task that failed since the program started.",
               tasks, [](const CMetricsTask& task, CWriter& w) {
                   w.Sample("corvane_task_failures_total", QByteArray::number(task.m_Failures));
               });
    out.Family("corvane_crawl_broken_links", "gauge", "Links the task's latest crawl could not fetch.", tasks,
               withResult([](const CMetricsTask& task, CWriter& w) {
                   if (task.m_Last.m_CheckKind == eCheckSpider)
                       w.Sample("corvane_crawl_broken_links", QByteArray::number(task.m_Last.m_BrokenLinks.size()));
               }));
    return out.Text();
}
