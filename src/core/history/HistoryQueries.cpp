// Reading the history: a task's state, statistics, chart series, incidents, crawls, raw results.
#include "core/history/HistoryPrivate.h"

#include "core/tasks/Task.h"

#include <algorithm>
#include <map>
#include <vector>

using namespace history;

QString CHistoryStore::CPrivate::ResultColumns()
{
    return QStringLiteral("kind, verdict, duration_us, name_id, text_id, status, bytes, lookup_us, connect_us, tls_us, "
                          "first_byte_us, total_us, final_url_id, cert_expiry_id, round_trip_us, pages, links");
}

bool CHistoryStore::CPrivate::ReadResult(QSqlQuery& q, int c, qint64 startMs, CCheckResult& r)
{
    r.m_StartMs = startMs;
    r.m_CheckKind = q.value(c + 0).toInt();
    r.m_Verdict = eVerdict(q.value(c + 1).toInt());
    r.m_DurationUs = q.value(c + 2).toLongLong();
    r.m_TaskName = StringText(q.value(c + 3));
    r.m_Text = StringText(q.value(c + 4));
    r.m_StatusCode = int(FigureAt(q, c + 5));
    r.m_Bytes = FigureAt(q, c + 6);
    DecodePhases(q, c + 7, r);
    r.m_FinalUrl = StringText(q.value(c + 12));
    r.m_CertExpiryMs = q.isNull(c + 13) ? -1 : StringText(q.value(c + 13)).toLongLong();
    r.m_RoundTripUs = FigureAt(q, c + 14);
    r.m_PagesFetched = int(FigureAt(q, c + 15));
    r.m_BrokenLinks.clear();
    return FigureAt(q, c + 16) > 0;
}

// Called once the query that found the result has finished: a driver that streams rows
// (PostgreSQL's) runs one statement at a time.
bool CHistoryStore::CPrivate::ReadLinks(qint64 taskId, int seq, CCheckResult& r)
{
    QSqlQuery* links
        = Prepare(QStringLiteral("SELECT url_id, referrer_id, error_id FROM broken_links WHERE task = ? AND "
                                 "started_ms = ? AND seq = ? ORDER BY n"),
                  &m_LastError);
    if (!links)
        return false;
    links->bindValue(0, qlonglong(taskId));
    links->bindValue(1, qlonglong(r.m_StartMs));
    links->bindValue(2, seq);
    if (!Exec(*links, QStringLiteral("Cannot read the history database"), &m_LastError))
        return false;
    QList<std::tuple<QVariant, QVariant, QVariant>> ids;
    while (links->next())
        ids.append({links->value(0), links->value(1), links->value(2)});
    links->finish();
    for (const auto& [url, referrer, text] : ids)
        r.m_BrokenLinks.append(CBrokenLink {StringText(url), StringText(referrer), StringText(text)});
    return true;
}

CTaskStatus CHistoryStore::GetStatus(const QString& taskKey)
{
    CTaskStatus status;
    d->m_LastError.clear();
    if (!d->m_bOpen)
        return status;
    const qint64 taskId = d->TaskId(taskKey, false, &d->m_LastError);
    if (taskId < 0)
        return status;
    QSqlQuery* state = d->Prepare(
        QStringLiteral("SELECT health, since_ms, last_started_ms, last_seq FROM task_state WHERE task = ?"),
        &d->m_LastError);
    if (!state)
        return status;
    state->bindValue(0, qlonglong(taskId));
    if (!d->Exec(*state, QStringLiteral("Cannot read the history database"), &d->m_LastError) || !state->next())
        return status;
    status.m_Health = eTaskHealth(state->value(0).toInt());
    status.m_SinceMs = state->value(1).toLongLong();
    const qint64 lastStartedMs = state->value(2).toLongLong();
    const int lastSeq = state->value(3).toInt();
    state->finish();
    if (lastSeq < 0)
        return status;
    QSqlQuery* last = d->Prepare(QStringLiteral("SELECT %1 FROM results WHERE task = ? AND started_ms = ? AND seq = ?")
                                     .arg(CPrivate::ResultColumns()),
                                 &d->m_LastError);
    if (!last)
        return status;
    last->bindValue(0, qlonglong(taskId));
    last->bindValue(1, qlonglong(lastStartedMs));
    last->bindValue(2, lastSeq);
    if (!d->Exec(*last, QStringLiteral("Cannot read the history database"), &d->m_LastError))
        return status;
    if (!last->next())
        return status;
    CCheckResult result;
    result.m_TaskKey = taskKey;
    const bool hasLinks = d->ReadResult(*last, 0, lastStartedMs, result);
    last->finish();
    if (!hasLinks || d->ReadLinks(taskId, lastSeq, result))
        status.m_LastResult = result;
    return status;
}

namespace {

// Raw ranges no longer than this are answered exactly from raw results (when retention still
// has them all); ranges up to kHourlyUpTo from hourly summaries, longer ones from daily.
constexpr qint64 kRawUpTo = 2 * kDayMs;
constexpr qint64 kHourlyUpTo = 60 * kDayMs;

const QString kReadFailed = QStringLiteral("Cannot read the history database");
const QString kPhases = QStringLiteral("lookup_us, connect_us, tls_us, first_byte_us, total_us");

// What the statistics need of a raw row, to ask CCheckResult::ResponseUs() rather than
// repeat its rule in SQL.
CCheckResult Measured(const QSqlQuery& q, int c)
{
    CCheckResult r;
    r.m_CheckKind = q.value(c).toInt();
    r.m_Verdict = eVerdict(q.value(c + 1).toInt());
    r.m_DurationUs = q.value(c + 2).toLongLong();
    r.m_RoundTripUs = FigureAt(q, c + 3);
    DecodePhases(q, c + 4, r);
    return r;
}

} // namespace

// Statistics over [fromMs, toMs). Exact (raw results, nearest-rank 95th percentile) for ranges
// of up to two days that retention has not reached. Longer ranges, or older ones, come from
// summaries aligned to UTC hours (ranges up to 60 days) or UTC days: the range widens to the
// whole hours or days it touches, so it may take in up to one period more at either end, and
// the 95th percentile is the middle of its ~5% histogram bucket, clamped to the range's min and max.
CTaskStatistics CHistoryStore::GetStatistics(const QString& taskKey, qint64 fromMs, qint64 toMs)
{
    CTaskStatistics stats;
    d->m_LastError.clear();
    if (!d->m_bOpen || fromMs >= toMs)
        return stats;
    const qint64 taskId = d->TaskId(taskKey, false, &d->m_LastError);
    if (taskId < 0)
        return stats;
    if (toMs - fromMs <= kRawUpTo && fromMs >= d->RawSinceMs()) {
        QSqlQuery* raw = d->Prepare(QStringLiteral("SELECT kind, verdict, duration_us, round_trip_us, %1 FROM "
                                                   "results WHERE task = ? AND started_ms >= ? AND started_ms < ?")
                                        .arg(kPhases),
                                    &d->m_LastError);
        if (!raw)
            return stats;
        raw->bindValue(0, qlonglong(taskId));
        raw->bindValue(1, qlonglong(fromMs));
        raw->bindValue(2, qlonglong(toMs));
        if (!d->Exec(*raw, kReadFailed, &d->m_LastError))
            return stats;
        std::vector<qint64> times;
        qint64 sum = 0;
        while (raw->next()) {
            const CCheckResult r = Measured(*raw, 0);
            if (r.m_Verdict == eVerdict::eStopped)
                continue;
            ++stats.m_Runs;
            stats.m_Failures += r.m_Verdict == eVerdict::eSuccess ? 0 : 1;
            const qint64 us = r.ResponseUs();
            if (us >= 0) {
                times.push_back(us);
                sum += us;
            }
        }
        raw->finish();
        if (!times.empty()) {
            std::sort(times.begin(), times.end());
            stats.m_MinUs = times.front();
            stats.m_MaxUs = times.back();
            stats.m_MeanUs = sum / qint64(times.size());
            stats.m_P95Us = times[(95 * times.size() + 99) / 100 - 1];
        }
        return stats;
    }
    const int period = toMs - fromMs <= kHourlyUpTo ? kHourly : kDaily;
    const qint64 from = AlignDown(fromMs, period * kHourMs);
    const qint64 to = AlignUp(toMs, period * kHourMs);
    // One pass over the summaries, summed here: a year of daily rows or 60 days of hourly
    // ones is at most ~1,500 rows.
    QSqlQuery* rows = d->Prepare(QStringLiteral("SELECT runs, failures, measured, sum_us, min_us, max_us, hist FROM "
                                                "summaries WHERE task = ? AND period = ? AND start_ms >= ? AND "
                                                "start_ms < ?"),
                                 &d->m_LastError);
    if (!rows)
        return stats;
    rows->bindValue(0, qlonglong(taskId));
    rows->bindValue(1, period);
    rows->bindValue(2, qlonglong(from));
    rows->bindValue(3, qlonglong(to));
    if (!d->Exec(*rows, kReadFailed, &d->m_LastError))
        return stats;
    qint64 measured = 0;
    qint64 sum = 0;
    CHistogram histogram;
    while (rows->next()) {
        stats.m_Runs += rows->value(0).toLongLong();
        stats.m_Failures += rows->value(1).toLongLong();
        const qint64 rowMeasured = rows->value(2).toLongLong();
        if (rowMeasured <= 0)
            continue;
        measured += rowMeasured;
        sum += rows->value(3).toLongLong();
        const qint64 minUs = FigureAt(*rows, 4);
        const qint64 maxUs = FigureAt(*rows, 5);
        stats.m_MinUs = stats.m_MinUs < 0 ? minUs : std::min(stats.m_MinUs, minUs);
        stats.m_MaxUs = std::max(stats.m_MaxUs, maxUs);
        AddHistogram(histogram, rows->value(6).toByteArray());
    }
    rows->finish();
    if (measured > 0) {
        stats.m_MeanUs = sum / measured;
        stats.m_P95Us = HistogramP95(histogram, stats.m_MinUs, stats.m_MaxUs);
    }
    return stats;
}

// Points start at multiples of the resolution since 1970 UTC; only points with runs are
// listed. At a resolution of an hour or more the points are made of hourly summaries (daily
// ones when the resolution is whole days), each counted in the point its start falls in.
QList<CSeriesPoint> CHistoryStore::GetSeries(const QString& taskKey, qint64 fromMs, qint64 toMs, qint64 resolutionMs)
{
    QList<CSeriesPoint> points;
    d->m_LastError.clear();
    if (!d->m_bOpen || fromMs >= toMs || resolutionMs <= 0)
        return points;
    const qint64 taskId = d->TaskId(taskKey, false, &d->m_LastError);
    if (taskId < 0)
        return points;
    struct CPoint
    {
        qint64 m_Runs = 0;
        qint64 m_Failures = 0;
        qint64 m_Measured = 0;
        qint64 m_SumUs = 0;
        qint64 m_MaxUs = -1;
    };
    std::map<qint64, CPoint> buckets;
    if (resolutionMs >= kHourMs) {
        const int period = resolutionMs % kDayMs == 0 ? kDaily : kHourly;
        QSqlQuery* q = d->Prepare(QStringLiteral("SELECT start_ms, runs, failures, measured, sum_us, max_us FROM "
                                                 "summaries WHERE task = ? AND period = ? AND start_ms >= ? AND "
                                                 "start_ms < ? ORDER BY start_ms"),
                                  &d->m_LastError);
        if (!q)
            return points;
        q->bindValue(0, qlonglong(taskId));
        q->bindValue(1, period);
        q->bindValue(2, qlonglong(AlignDown(fromMs, period * kHourMs)));
        q->bindValue(3, qlonglong(toMs));
        if (!d->Exec(*q, kReadFailed, &d->m_LastError))
            return points;
        while (q->next()) {
            CPoint& p = buckets[AlignDown(q->value(0).toLongLong(), resolutionMs)];
            p.m_Runs += q->value(1).toLongLong();
            p.m_Failures += q->value(2).toLongLong();
            p.m_Measured += q->value(3).toLongLong();
            p.m_SumUs += q->value(4).toLongLong();
            p.m_MaxUs = std::max(p.m_MaxUs, FigureAt(*q, 5));
        }
        q->finish();
    } else {
        QSqlQuery* q
            = d->Prepare(QStringLiteral("SELECT started_ms, kind, verdict, duration_us, round_trip_us, %1 FROM "
                                        "results WHERE task = ? AND started_ms >= ? AND "
                                        "started_ms < ? ORDER BY started_ms")
                             .arg(kPhases),
                         &d->m_LastError);
        if (!q)
            return points;
        q->bindValue(0, qlonglong(taskId));
        q->bindValue(1, qlonglong(fromMs));
        q->bindValue(2, qlonglong(toMs));
        if (!d->Exec(*q, kReadFailed, &d->m_LastError))
            return points;
        while (q->next()) {
            const CCheckResult r = Measured(*q, 1);
            if (r.m_Verdict == eVerdict::eStopped)
                continue;
            CPoint& p = buckets[AlignDown(q->value(0).toLongLong(), resolutionMs)];
            ++p.m_Runs;
            p.m_Failures += r.m_Verdict == eVerdict::eSuccess ? 0 : 1;
            const qint64 us = r.ResponseUs();
            if (us >= 0) {
                ++p.m_Measured;
                p.m_SumUs += us;
                p.m_MaxUs = std::max(p.m_MaxUs, us);
            }
        }
        q->finish();
    }
    for (const auto& [start, p] : buckets) {
        if (p.m_Runs <= 0)
            continue;
        points.append(
            CSeriesPoint {start, p.m_Runs, p.m_Failures, p.m_Measured > 0 ? p.m_SumUs / p.m_Measured : -1, p.m_MaxUs});
    }
    return points;
}

QList<CIncident> CHistoryStore::GetIncidents(const QString& taskKey, qint64 fromMs, qint64 toMs)
{
    QList<CIncident> incidents;
    d->m_LastError.clear();
    if (!d->m_bOpen || fromMs >= toMs)
        return incidents;
    const qint64 taskId = d->TaskId(taskKey, false, &d->m_LastError);
    if (taskId < 0)
        return incidents;
    QSqlQuery* q = d->Prepare(QStringLiteral("SELECT start_ms, end_ms, text_id FROM incidents WHERE task = ? AND "
                                             "start_ms < ? AND (end_ms IS NULL OR end_ms > ?) ORDER BY start_ms"),
                              &d->m_LastError);
    if (!q)
        return incidents;
    q->bindValue(0, qlonglong(taskId));
    q->bindValue(1, qlonglong(toMs));
    q->bindValue(2, qlonglong(fromMs));
    if (!d->Exec(*q, kReadFailed, &d->m_LastError))
        return incidents;
    QList<QVariant> texts;
    while (q->next()) {
        incidents.append(CIncident {q->value(0).toLongLong(), FigureAt(*q, 1), QString()});
        texts.append(q->value(2));
    }
    q->finish();
    for (int i = 0; i < incidents.size(); ++i)
        incidents[i].m_Text = d->StringText(texts[i]);
    return incidents;
}

// Stopped crawls are left out: what they found is only part of the site.
CCrawlComparison CHistoryStore::GetLastTwoCrawls(const QString& taskKey)
{
    CCrawlComparison comparison;
    d->m_LastError.clear();
    if (!d->m_bOpen)
        return comparison;
    const qint64 taskId = d->TaskId(taskKey, false, &d->m_LastError);
    if (taskId < 0)
        return comparison;
    QSqlQuery* q = d->Prepare(
        QStringLiteral("SELECT started_ms, seq, %1 FROM results WHERE task = ? AND kind = ? AND verdict <> ? ORDER BY "
                       "started_ms DESC, seq DESC LIMIT 2")
            .arg(CPrivate::ResultColumns()),
        &d->m_LastError);
    if (!q)
        return comparison;
    q->bindValue(0, qlonglong(taskId));
    q->bindValue(1, int(eCheckSpider));
    q->bindValue(2, int(eVerdict::eStopped));
    if (!d->Exec(*q, kReadFailed, &d->m_LastError))
        return comparison;
    QList<std::pair<qint64, int>> crawls;
    while (q->next())
        crawls.append({q->value(0).toLongLong(), q->value(1).toInt()});
    q->finish();
    // Read again row by row: the broken links need their own statement.
    QSqlQuery* one = d->Prepare(QStringLiteral("SELECT %1 FROM results WHERE task = ? AND started_ms = ? AND seq = ?")
                                    .arg(CPrivate::ResultColumns()),
                                &d->m_LastError);
    if (!one)
        return comparison;
    for (int i = 0; i < crawls.size(); ++i) {
        one->bindValue(0, qlonglong(taskId));
        one->bindValue(1, qlonglong(crawls[i].first));
        one->bindValue(2, crawls[i].second);
        if (!d->Exec(*one, kReadFailed, &d->m_LastError) || !one->next())
            return comparison;
        CCheckResult r;
        const bool hasLinks = d->ReadResult(*one, 0, crawls[i].first, r);
        one->finish();
        if (hasLinks && !d->ReadLinks(taskId, crawls[i].second, r))
            return comparison;
        if (i == 0) {
            comparison.m_LatestStartMs = r.m_StartMs;
            comparison.m_Latest = r.m_BrokenLinks;
        } else {
            comparison.m_PreviousStartMs = r.m_StartMs;
            comparison.m_Previous = r.m_BrokenLinks;
        }
    }
    return comparison;
}

QList<CCheckResult> CHistoryStore::GetResults(const QString& taskKey, qint64 fromMs, qint64 toMs)
{
    QList<CCheckResult> results;
    d->m_LastError.clear();
    if (!d->m_bOpen || fromMs >= toMs)
        return results;
    // Task keys by id, for every task or the one asked for.
    QHash<qint64, QString> keys;
    if (taskKey.isEmpty()) {
        QSqlQuery* q = d->Prepare(QStringLiteral("SELECT id, task_key FROM tasks"), &d->m_LastError);
        if (!q || !d->Exec(*q, kReadFailed, &d->m_LastError))
            return results;
        while (q->next())
            keys.insert(q->value(0).toLongLong(), q->value(1).toString());
        q->finish();
    } else {
        const qint64 taskId = d->TaskId(taskKey, false, &d->m_LastError);
        if (taskId < 0)
            return results;
        keys.insert(taskId, taskKey);
    }
    QSqlQuery* q = d->Prepare(
        taskKey.isEmpty()
            ? QStringLiteral("SELECT task, started_ms, seq, %1 FROM results WHERE started_ms >= ? AND started_ms < ? "
                             "ORDER BY started_ms, task, seq")
                  .arg(CPrivate::ResultColumns())
            : QStringLiteral("SELECT task, started_ms, seq, %1 FROM results WHERE task = ? AND started_ms >= ? AND "
                             "started_ms < ? ORDER BY started_ms, seq")
                  .arg(CPrivate::ResultColumns()),
        &d->m_LastError);
    if (!q)
        return results;
    int at = 0;
    if (!taskKey.isEmpty())
        q->bindValue(at++, qlonglong(keys.begin().key()));
    q->bindValue(at++, qlonglong(fromMs));
    q->bindValue(at++, qlonglong(toMs));
    if (!d->Exec(*q, kReadFailed, &d->m_LastError))
        return results;
    // Rows with broken links are completed after the scan, which must not share its statement.
    struct CPending
    {
        int m_Index;
        qint64 m_Task;
        int m_Seq;
    };
    QList<CPending> pending;
    while (q->next()) {
        CCheckResult r;
        const qint64 task = q->value(0).toLongLong();
        r.m_TaskKey = keys.value(task);
        const int seq = q->value(2).toInt();
        const bool hasLinks = d->ReadResult(*q, 3, q->value(1).toLongLong(), r);
        if (hasLinks)
            pending.append({int(results.size()), task, seq});
        results.append(r);
    }
    q->finish();
    for (const CPending& p : std::as_const(pending)) {
        if (!d->ReadLinks(p.m_Task, p.m_Seq, results[p.m_Index]))
            break;
    }
    return results;
}
