// Reading the history: a task's state, statistics, chart series, incidents, crawls, raw results.
#include "core/history/HistoryPrivate.h"

#include <algorithm>
#include <map>
#include <vector>

using namespace history;

QString CHistoryStore::CPrivate::ResultColumns()
{
    return QStringLiteral("kind, verdict, duration_us, name_id, text_id, status, bytes, lookup_us, connect_us, tls_us, "
                          "first_byte_us, total_us, final_url_id, cert_expiry_ms, round_trip_us, pages, links");
}

bool CHistoryStore::CPrivate::ReadResult(QSqlQuery& q, int c, qint64 taskId, qint64 startMs, int seq, CCheckResult& r)
{
    r.m_StartMs = startMs;
    r.m_CheckKind = q.value(c + 0).toInt();
    r.m_Verdict = eVerdict(q.value(c + 1).toInt());
    r.m_DurationUs = q.value(c + 2).toLongLong();
    r.m_TaskName = StringText(q.value(c + 3));
    r.m_Text = StringText(q.value(c + 4));
    r.m_StatusCode = int(FigureAt(q, c + 5));
    r.m_Bytes = FigureAt(q, c + 6);
    r.m_LookupUs = FigureAt(q, c + 7);
    r.m_ConnectUs = FigureAt(q, c + 8);
    r.m_TlsUs = FigureAt(q, c + 9);
    r.m_FirstByteUs = FigureAt(q, c + 10);
    r.m_TotalUs = FigureAt(q, c + 11);
    r.m_FinalUrl = StringText(q.value(c + 12));
    r.m_CertExpiryMs = FigureAt(q, c + 13);
    r.m_RoundTripUs = FigureAt(q, c + 14);
    r.m_PagesFetched = int(FigureAt(q, c + 15));
    r.m_BrokenLinks.clear();
    if (FigureAt(q, c + 16) <= 0)
        return true;
    // A separate statement: the caller's query is still positioned on its row.
    QSqlQuery* links
        = Prepare(QStringLiteral("SELECT url_id, referrer_id, error_id FROM broken_links WHERE task = ? AND "
                                 "started_ms = ? AND seq = ? ORDER BY n"),
                  &m_LastError);
    if (!links)
        return false;
    links->bindValue(0, qlonglong(taskId));
    links->bindValue(1, qlonglong(startMs));
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
    if (last->next()) {
        CCheckResult result;
        result.m_TaskKey = taskKey;
        if (d->ReadResult(*last, 0, taskId, lastStartedMs, lastSeq, result))
            status.m_LastResult = result;
    }
    last->finish();
    return status;
}

CTaskStatistics CHistoryStore::GetStatistics(const QString& taskKey, qint64 fromMs, qint64 toMs)
{
    Q_UNUSED(taskKey);
    Q_UNUSED(fromMs);
    Q_UNUSED(toMs);
    return CTaskStatistics();
}

QList<CSeriesPoint> CHistoryStore::GetSeries(const QString& taskKey, qint64 fromMs, qint64 toMs, qint64 resolutionMs)
{
    Q_UNUSED(taskKey);
    Q_UNUSED(fromMs);
    Q_UNUSED(toMs);
    Q_UNUSED(resolutionMs);
    return {};
}

QList<CIncident> CHistoryStore::GetIncidents(const QString& taskKey, qint64 fromMs, qint64 toMs)
{
    Q_UNUSED(taskKey);
    Q_UNUSED(fromMs);
    Q_UNUSED(toMs);
    return {};
}

CCrawlComparison CHistoryStore::GetLastTwoCrawls(const QString& taskKey)
{
    Q_UNUSED(taskKey);
    return {};
}

QList<CCheckResult> CHistoryStore::GetResults(const QString& taskKey, qint64 fromMs, qint64 toMs)
{
    Q_UNUSED(taskKey);
    Q_UNUSED(fromMs);
    Q_UNUSED(toMs);
    return {};
}

bool CHistoryStore::ApplyRetention(int days, qint64 nowMs, QString* error)
{
    Q_UNUSED(days);
    Q_UNUSED(nowMs);
    Q_UNUSED(error);
    return true;
}

bool CHistoryStore::Clear(QString* error)
{
    Q_UNUSED(error);
    return true;
}
