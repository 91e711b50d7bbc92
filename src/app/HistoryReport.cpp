#include "HistoryReport.h"

#include "core/history/HistoryStore.h"
#include "core/shell/AppSettings.h"
#include "core/tasks/Task.h"
#include "core/tasks/VigrelDoc.h"

#include <QDateTime>
#include <QFileInfo>
#include <QRegularExpression>

#include <algorithm>
#include <cstdio>

namespace {

constexpr qint64 kMinuteMs = 60 * 1000;
constexpr qint64 kHourMs = 60 * kMinuteMs;
constexpr qint64 kDayMs = 24 * kHourMs;

QString LocalTime(qint64 ms)
{
    return QDateTime::fromMSecsSinceEpoch(ms).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
}

QString UtcTime(qint64 ms)
{
    return QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC).toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzzZ"));
}

// "3 d 4 h", "2 h 5 min", "4 min 10 s", "12 s": the two largest units are enough to read.
QString Duration(qint64 ms)
{
    const qint64 seconds = std::max<qint64>(0, ms / 1000);
    const qint64 days = seconds / 86400;
    const qint64 hours = seconds / 3600 % 24;
    const qint64 minutes = seconds / 60 % 60;
    const qint64 rest = seconds % 60;
    if (days > 0)
        return QStringLiteral("%1 d %2 h").arg(days).arg(hours);
    if (hours > 0)
        return QStringLiteral("%1 h %2 min").arg(hours).arg(minutes);
    if (minutes > 0)
        return QStringLiteral("%1 min %2 s").arg(minutes).arg(rest);
    return QStringLiteral("%1 s").arg(rest);
}

QString Range(qint64 ms)
{
    if (ms % kDayMs == 0)
        return QStringLiteral("%1 d").arg(ms / kDayMs);
    if (ms % kHourMs == 0)
        return QStringLiteral("%1 h").arg(ms / kHourMs);
    return QStringLiteral("%1 min").arg(ms / kMinuteMs);
}

QString Uptime(const CTaskStatistics& statistics)
{
    const double percent = statistics.UptimePercent();
    return percent < 0 ? QStringLiteral("-") : QString::number(percent, 'f', 1) + u'%';
}

// A loopback ping takes some microseconds, a crawl some seconds: decimals as the size needs.
QString Milliseconds(qint64 us)
{
    if (us < 0)
        return QStringLiteral("-");
    const int decimals = us < 1000 ? 3 : us < 100000 ? 1 : 0;
    return QString::number(double(us) / 1000.0, 'f', decimals) + QStringLiteral(" ms");
}

QString KindName(int kind)
{
    const QString key = CheckActionKey(kind);
    return key.isEmpty() ? QString::number(kind) : key;
}

// A field as RFC 4180 writes it: quoted when it holds a comma, a quote or a line end.
QString CsvField(const QString& value)
{
    if (!value.contains(u',') && !value.contains(u'"') && !value.contains(u'\n') && !value.contains(u'\r'))
        return value;
    QString quoted = value;
    quoted.replace(QStringLiteral("\""), QStringLiteral("\"\""));
    return u'"' + quoted + u'"';
}

QString Number(qint64 value)
{
    return value < 0 ? QString() : QString::number(value);
}

// Microseconds as milliseconds with their three decimals; empty when not measured.
QString MsField(qint64 us)
{
    return us < 0 ? QString() : QString::number(double(us) / 1000.0, 'f', 3);
}

const QStringList kCsvHeader = {
    QStringLiteral("task_key"),     QStringLiteral("task_name"),     QStringLiteral("kind"),
    QStringLiteral("start"),        QStringLiteral("duration_ms"),   QStringLiteral("verdict"),
    QStringLiteral("status"),       QStringLiteral("bytes"),         QStringLiteral("response_ms"),
    QStringLiteral("text"),         QStringLiteral("final_url"),     QStringLiteral("lookup_ms"),
    QStringLiteral("connect_ms"),   QStringLiteral("tls_ms"),        QStringLiteral("first_byte_ms"),
    QStringLiteral("total_ms"),     QStringLiteral("round_trip_ms"), QStringLiteral("pages"),
    QStringLiteral("broken_links"), QStringLiteral("cert_expiry"),
};

QString CsvLine(const CCheckResult& result)
{
    const QStringList fields = {
        result.m_TaskKey,
        result.m_TaskName,
        KindName(result.m_CheckKind),
        UtcTime(result.m_StartMs),
        MsField(result.m_DurationUs),
        VerdictKey(result.m_Verdict),
        Number(result.m_StatusCode),
        Number(result.m_Bytes),
        MsField(result.ResponseUs()),
        result.m_Text,
        result.m_FinalUrl,
        MsField(result.m_LookupUs),
        MsField(result.m_ConnectUs),
        MsField(result.m_TlsUs),
        MsField(result.m_FirstByteUs),
        MsField(result.m_TotalUs),
        MsField(result.m_RoundTripUs),
        Number(result.m_PagesFetched),
        result.m_CheckKind == eCheckSpider ? QString::number(result.m_BrokenLinks.size()) : QString(),
        result.m_CertExpiryMs < 0 ? QString() : UtcTime(result.m_CertExpiryMs),
    };
    QStringList quoted;
    for (const QString& field : fields)
        quoted << CsvField(field);
    return quoted.join(u',');
}

// A crawl's verdict lists every page it fetched: the line keeps what it begins with.
QString Abridged(const QString& text)
{
    constexpr qsizetype kMaxChars = 160;
    const QString line = text.simplified();
    return line.size() <= kMaxChars ? line : line.left(kMaxChars - 3) + QStringLiteral("...");
}

QString StateText(const CTaskStatus& status)
{
    switch (status.m_Health) {
    case eTaskHealth::eUp:
        return QStringLiteral("Up since ") + LocalTime(status.m_SinceMs);
    case eTaskHealth::eDown:
        return QStringLiteral("Down since ") + LocalTime(status.m_SinceMs);
    case eTaskHealth::eUnknown:
        break;
    }
    return QStringLiteral("No results");
}

// Each query's own error: the store keeps only the last one.
template<class R> R Ask(CHistoryStore& store, QString& error, R answer)
{
    if (error.isEmpty())
        error = store.GetLastError();
    return answer;
}

QString TaskLines(CHistoryStore& store, const CTask& task, qint64 nowMs, qint64 rangeMs, QString& error)
{
    const QString& key = task.m_TaskGuid;
    const qint64 to = nowMs + 1;
    const CTaskStatistics day = Ask(store, error, store.GetStatistics(key, nowMs - kDayMs, to));
    const CTaskStatistics week = Ask(store, error, store.GetStatistics(key, nowMs - 7 * kDayMs, to));
    const CTaskStatistics month = Ask(store, error, store.GetStatistics(key, nowMs - 30 * kDayMs, to));
    const CTaskStatistics range = Ask(store, error, store.GetStatistics(key, nowMs - rangeMs, to));
    const CTaskStatus status = Ask(store, error, store.GetStatus(key));
    const QList<CIncident> incidents = Ask(store, error, store.GetIncidents(key, nowMs - rangeMs, to));
    QString lines = QStringLiteral("%1: %2; uptime 24 h %3, 7 d %4, 30 d %5; last %6: %7 runs, %8 failures, mean %9, "
                                   "p95 %10\n")
                        .arg(task.m_Name, StateText(status), Uptime(day), Uptime(week), Uptime(month), Range(rangeMs))
                        .arg(range.m_Runs)
                        .arg(range.m_Failures)
                        .arg(Milliseconds(range.m_MeanUs), Milliseconds(range.m_P95Us));
    for (const CIncident& incident : incidents) {
        const QString until = incident.m_EndMs >= 0 ? QStringLiteral("to ") + LocalTime(incident.m_EndMs)
                                                    : QStringLiteral("still down");
        lines += QStringLiteral("    Down from %1 %2 (%3): %4\n")
                     .arg(LocalTime(incident.m_StartMs), until, Duration(incident.DurationMs(nowMs)),
                          Abridged(incident.m_Text));
    }
    return lines;
}

bool Print(const QString& text)
{
    const QByteArray bytes = text.toUtf8();
    return std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout) == size_t(bytes.size());
}

int Fail(const QString& text)
{
    std::fprintf(stderr, "corvane: %s\n", qUtf8Printable(text));
    return 2;
}

} // namespace

bool ParseReportRange(const QString& text, qint64& rangeMs)
{
    static const QRegularExpression pattern(QStringLiteral("^([0-9]{1,6})([dhm])$"));
    const QRegularExpressionMatch match = pattern.match(text.trimmed());
    if (!match.hasMatch())
        return false;
    const qint64 count = match.captured(1).toLongLong();
    if (count <= 0)
        return false;
    const QChar unit = match.captured(2).at(0);
    rangeMs = count * (unit == u'd' ? kDayMs : unit == u'h' ? kHourMs : kMinuteMs);
    return true;
}

int RunHistoryReport(const CHistoryReportOptions& options)
{
    // The document gives each task its key exactly as the monitor does when it opens the file.
    CVigrelDoc document;
    QString error;
    if (!document.OnOpenDocument(options.m_TaskFile, &error))
        return Fail(error);

    CHistoryLocation location;
    const QString setting = GetAppSettings().m_HistoryDatabase;
    if (!CHistoryLocation::Parse(setting, location, &error))
        return Fail(error);
    // Opening would make an empty history where there was none: a report only reads.
    if (location.m_Kind == CHistoryLocation::eSqlite && !QFileInfo::exists(location.m_Path))
        return Fail(QStringLiteral("there is no result history at %1").arg(location.Describe()));
    CHistoryStore store;
    if (!store.Open(location, &error))
        return Fail(QStringLiteral("unable to read the result history: %1").arg(error));
    error.clear();

    QList<CTask> tasks = document.GetTasks();
    // Ids follow the order of the file's sections.
    std::sort(tasks.begin(), tasks.end(), [](const CTask& a, const CTask& b) { return a.m_TaskId < b.m_TaskId; });
    const qint64 nowMs = QDateTime::currentMSecsSinceEpoch();

    // Read whole before a line is written, so a history that fails half-way prints nothing.
    QString report;
    if (options.m_bCsv) {
        QList<CCheckResult> results;
        for (const CTask& task : tasks)
            results += Ask(store, error, store.GetResults(task.m_TaskGuid, nowMs - options.m_RangeMs, nowMs + 1));
        std::stable_sort(results.begin(), results.end(),
                         [](const CCheckResult& a, const CCheckResult& b) { return a.m_StartMs < b.m_StartMs; });
        // RFC 4180 ends records with CR LF.
        report = kCsvHeader.join(u',') + QStringLiteral("\r\n");
        for (const CCheckResult& result : results)
            report += CsvLine(result) + QStringLiteral("\r\n");
    } else {
        for (const CTask& task : tasks)
            report += TaskLines(store, task, nowMs, options.m_RangeMs, error);
    }
    if (!error.isEmpty())
        return Fail(QStringLiteral("unable to read the result history: %1").arg(error));
    const bool written = Print(report);
    if (std::fflush(stdout) != 0 || !written)
        return Fail(QStringLiteral("unable to write the report to standard output"));
    return 0;
}
