// Writing the history: results with their summaries, incidents and task states in one
// transaction per batch; retention; clearing.
#include "core/history/HistoryPrivate.h"

#include <algorithm>
#include <array>
#include <map>
#include <tuple>

using namespace history;

namespace {

struct CSummary
{
    qint64 m_Runs = 0;
    qint64 m_Failures = 0;
    qint64 m_Measured = 0;
    qint64 m_SumUs = 0;
    qint64 m_MinUs = -1;
    qint64 m_MaxUs = -1;
    CHistogram m_Histogram;
};

// (task, period, start)
using CSummaryKey = std::tuple<qint64, int, qint64>;

const QString kWriteFailed = QStringLiteral("Cannot write the result history to");
const QString kNotOpen = QStringLiteral("The result history is not open");

} // namespace

bool CHistoryStore::Record(const QList<CCheckResult>& results, QString* error)
{
    if (!d->m_bOpen)
        return d->Failed(kNotOpen, error);
    QString why;
    const auto fail = [&]() {
        d->Rollback();
        return d->Failed(why, error);
    };
    if (results.isEmpty())
        return true;
    // Another store on the same database may have cleared it since: task ids are looked up
    // once per batch. (Cached strings are checked by the write that marks them used.)
    d->m_TaskIds.clear();
    if (!d->Begin(&why)) {
        d->m_LastError = why;
        if (error)
            *error = why;
        return false;
    }

    // Each task's results in order of start: the state machine below needs it, and the
    // inserts then walk the table's key in order.
    QList<int> order(results.size());
    for (int i = 0; i < results.size(); ++i)
        order[i] = i;
    std::stable_sort(order.begin(), order.end(), [&results](int a, int b) {
        const CCheckResult& x = results[a];
        const CCheckResult& y = results[b];
        return std::tie(x.m_TaskKey, x.m_StartMs) < std::tie(y.m_TaskKey, y.m_StartMs);
    });

    // Strings are marked used up to the batch's latest start: one write per string and batch.
    qint64 latestMs = results.front().m_StartMs;
    for (const CCheckResult& r : results)
        latestMs = std::max(latestMs, r.m_StartMs);

    std::map<CSummaryKey, CSummary> summaries;

    QSqlQuery* insert = d->Prepare(
        QStringLiteral("INSERT INTO results (task, started_ms, seq, kind, verdict, duration_us, name_id, text_id, "
                       "status, bytes, lookup_us, connect_us, tls_us, first_byte_us, total_us, final_url_id, "
                       "cert_expiry_id, round_trip_us, pages, links) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, "
                       "?, ?, ?, ?, ?, ?) ON CONFLICT (task, started_ms, seq) DO NOTHING"),
        &why);
    QSqlQuery* insertLink = d->Prepare(
        QStringLiteral(
            "INSERT INTO broken_links (task, started_ms, seq, n, url_id, referrer_id, error_id) VALUES (?, ?, "
            "?, ?, ?, ?, ?)"),
        &why);
    QSqlQuery* ensureState = d->Prepare(
        QStringLiteral("INSERT INTO task_state (task, health, since_ms, verdict_ms, last_started_ms, last_seq) VALUES "
                       "(?, 0, 0, 0, 0, -1) ON CONFLICT (task) DO NOTHING"),
        &why);
    // On a shared server two probes may write the same task: the row is held until commit.
    QSqlQuery* readState = d->Prepare(
        QStringLiteral(
            "SELECT health, since_ms, verdict_ms, last_started_ms, last_seq FROM task_state WHERE task = ?%1")
            .arg(d->m_bPostgres ? QStringLiteral(" FOR UPDATE") : QString()),
        &why);
    QSqlQuery* writeState = d->Prepare(
        QStringLiteral(
            "UPDATE task_state SET health = ?, since_ms = ?, verdict_ms = ?, last_started_ms = ?, last_seq = ? "
            "WHERE task = ?"),
        &why);
    QSqlQuery* openIncident = d->Prepare(
        QStringLiteral("INSERT INTO incidents (task, start_ms, end_ms, text_id) VALUES (?, ?, NULL, ?) ON CONFLICT "
                       "(task, start_ms) DO NOTHING"),
        &why);
    QSqlQuery* closeIncident = d->Prepare(
        QStringLiteral("UPDATE incidents SET end_ms = ? WHERE task = ? AND start_ms = ? AND end_ms IS NULL"), &why);
    QSqlQuery* pinString = d->Prepare(QStringLiteral("UPDATE strings SET last_ms = ? WHERE id = ?"), &why);
    if (!insert || !insertLink || !ensureState || !readState || !writeState || !openIncident || !closeIncident
        || !pinString)
        return fail();

    int next = 0;
    while (next < order.size()) {
        // One task's run of results.
        const QString& taskKey = results[order[next]].m_TaskKey;
        int end = next;
        while (end < order.size() && results[order[end]].m_TaskKey == taskKey)
            ++end;
        const qint64 taskId = d->TaskId(taskKey, true, &why);
        if (taskId < 0)
            return fail();

        ensureState->bindValue(0, qlonglong(taskId));
        if (!d->Exec(*ensureState, kWriteFailed, &why))
            return fail();
        readState->bindValue(0, qlonglong(taskId));
        if (!d->Exec(*readState, kWriteFailed, &why) || !readState->next()) {
            if (why.isEmpty())
                why = QStringLiteral("%1 %2: a task's state row is missing").arg(kWriteFailed, d->Where());
            return fail();
        }
        int health = readState->value(0).toInt();
        qint64 sinceMs = readState->value(1).toLongLong();
        qint64 verdictMs = readState->value(2).toLongLong();
        qint64 lastStartedMs = readState->value(3).toLongLong();
        int lastSeq = readState->value(4).toInt();
        readState->finish();

        qint64 previousStart = 0;
        int seq = -1;
        for (int i = next; i < end; ++i) {
            const CCheckResult& r = results[order[i]];
            const qint64 nameId = d->StringId(r.m_TaskName, latestMs, &why);
            const qint64 textId = d->StringId(r.m_Text, latestMs, &why);
            const qint64 urlId = d->StringId(r.m_FinalUrl, latestMs, &why);
            const qint64 certId
                = r.m_CertExpiryMs == -1 ? -1 : d->StringId(QString::number(r.m_CertExpiryMs), latestMs, &why);
            if (nameId < -1 || textId < -1 || urlId < -1 || certId < -1)
                return fail();

            // Two results of one task may start in the same millisecond (two probes on one
            // server): seq tells them apart.
            seq = (i > next && r.m_StartMs == previousStart) ? seq + 1 : 0;
            previousStart = r.m_StartMs;
            insert->bindValue(0, qlonglong(taskId));
            insert->bindValue(1, qlonglong(r.m_StartMs));
            insert->bindValue(3, r.m_CheckKind);
            insert->bindValue(4, int(r.m_Verdict));
            insert->bindValue(5, qlonglong(r.m_DurationUs));
            insert->bindValue(6, Id(nameId));
            insert->bindValue(7, Id(textId));
            insert->bindValue(8, Figure(r.m_StatusCode));
            insert->bindValue(9, Figure(r.m_Bytes));
            const std::array<QVariant, 5> phases = EncodePhases(r);
            for (int phase = 0; phase < 5; ++phase)
                insert->bindValue(10 + phase, phases[phase]);
            insert->bindValue(15, Id(urlId));
            insert->bindValue(16, Id(certId));
            insert->bindValue(17, Figure(r.m_RoundTripUs));
            insert->bindValue(18, Figure(r.m_PagesFetched));
            insert->bindValue(19, r.m_BrokenLinks.isEmpty() ? QVariant() : QVariant(int(r.m_BrokenLinks.size())));
            for (;; ++seq) {
                insert->bindValue(2, seq);
                if (!d->Exec(*insert, kWriteFailed, &why))
                    return fail();
                if (insert->numRowsAffected() > 0)
                    break;
                if (seq > 100000) {
                    why = QStringLiteral("%1 %2: too many results start at %3")
                              .arg(kWriteFailed, d->Where())
                              .arg(r.m_StartMs);
                    return fail();
                }
            }
            for (int n = 0; n < r.m_BrokenLinks.size(); ++n) {
                const CBrokenLink& link = r.m_BrokenLinks[n];
                const qint64 linkUrl = d->StringId(link.m_Url, latestMs, &why);
                const qint64 referrer = d->StringId(link.m_Referrer, latestMs, &why);
                const qint64 linkError = d->StringId(link.m_Error, latestMs, &why);
                if (linkUrl < -1 || referrer < -1 || linkError < -1)
                    return fail();
                insertLink->bindValue(0, qlonglong(taskId));
                insertLink->bindValue(1, qlonglong(r.m_StartMs));
                insertLink->bindValue(2, seq);
                insertLink->bindValue(3, n);
                insertLink->bindValue(4, Id(linkUrl));
                insertLink->bindValue(5, Id(referrer));
                insertLink->bindValue(6, Id(linkError));
                if (!d->Exec(*insertLink, kWriteFailed, &why))
                    return fail();
            }

            if (lastSeq < 0 || std::tie(r.m_StartMs, seq) > std::tie(lastStartedMs, lastSeq)) {
                lastStartedMs = r.m_StartMs;
                lastSeq = seq;
            }
            if (r.m_Verdict == eVerdict::eStopped)
                continue; // neither a run nor a change of state

            const bool failed = r.m_Verdict != eVerdict::eSuccess;
            const qint64 responseUs = r.ResponseUs();
            for (const int period : {kHourly, kDaily}) {
                const qint64 start = AlignDown(r.m_StartMs, period * kHourMs);
                CSummary& s = summaries[CSummaryKey(taskId, period, start)];
                ++s.m_Runs;
                s.m_Failures += failed ? 1 : 0;
                if (responseUs >= 0) {
                    ++s.m_Measured;
                    s.m_SumUs += responseUs;
                    s.m_MinUs = s.m_MinUs < 0 ? responseUs : std::min(s.m_MinUs, responseUs);
                    s.m_MaxUs = std::max(s.m_MaxUs, responseUs);
                    ++s.m_Histogram[BucketOf(responseUs)];
                }
            }

            // A result older than the latest verdict applied (a late batch from another
            // probe) is history, not news: it changes no state.
            if (health != int(eTaskHealth::eUnknown) && r.m_StartMs < verdictMs)
                continue;
            verdictMs = r.m_StartMs;
            if (failed && health != int(eTaskHealth::eDown)) {
                health = int(eTaskHealth::eDown);
                sinceMs = r.m_StartMs;
                openIncident->bindValue(0, qlonglong(taskId));
                openIncident->bindValue(1, qlonglong(r.m_StartMs));
                openIncident->bindValue(2, Id(textId));
                if (!d->Exec(*openIncident, kWriteFailed, &why))
                    return fail();
                if (textId >= 0) {
                    // Incidents are kept for good, and so is their text.
                    pinString->bindValue(0, qlonglong(kPinnedMs));
                    pinString->bindValue(1, qlonglong(textId));
                    if (!d->Exec(*pinString, kWriteFailed, &why))
                        return fail();
                    const auto cached = d->m_Strings.find(r.m_Text);
                    if (cached != d->m_Strings.end())
                        cached->m_LastMs = kPinnedMs;
                }
            } else if (!failed && health != int(eTaskHealth::eUp)) {
                if (health == int(eTaskHealth::eDown)) {
                    closeIncident->bindValue(0, qlonglong(r.m_StartMs));
                    closeIncident->bindValue(1, qlonglong(taskId));
                    closeIncident->bindValue(2, qlonglong(sinceMs));
                    if (!d->Exec(*closeIncident, kWriteFailed, &why))
                        return fail();
                }
                health = int(eTaskHealth::eUp);
                sinceMs = r.m_StartMs;
            }
        }
        writeState->bindValue(0, health);
        writeState->bindValue(1, qlonglong(sinceMs));
        writeState->bindValue(2, qlonglong(verdictMs));
        writeState->bindValue(3, qlonglong(lastStartedMs));
        writeState->bindValue(4, lastSeq);
        writeState->bindValue(5, qlonglong(taskId));
        if (!d->Exec(*writeState, kWriteFailed, &why))
            return fail();
        next = end;
    }

    // Additive upserts: two probes adding to the same hour on one server both count. The
    // upsert holds the row until commit, so the histogram merged from what it returns is
    // written back with no other writer in between.
    QSqlQuery* upsertSummary = d->Prepare(
        QStringLiteral(
            "INSERT INTO summaries (task, period, start_ms, runs, failures, measured, sum_us, min_us, max_us) "
            "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?) ON CONFLICT (task, period, start_ms) DO UPDATE SET runs = "
            "summaries.runs + excluded.runs, failures = summaries.failures + excluded.failures, measured = "
            "summaries.measured + excluded.measured, sum_us = summaries.sum_us + excluded.sum_us, min_us = "
            "%1(COALESCE(summaries.min_us, excluded.min_us), COALESCE(excluded.min_us, summaries.min_us)), "
            "max_us = %2(COALESCE(summaries.max_us, excluded.max_us), COALESCE(excluded.max_us, "
            "summaries.max_us)) RETURNING hist")
            .arg(d->Min2(), d->Max2()),
        &why);
    QSqlQuery* writeHist = d->Prepare(
        QStringLiteral("UPDATE summaries SET hist = ? WHERE task = ? AND period = ? AND start_ms = ?"), &why);
    if (!upsertSummary || !writeHist)
        return fail();
    for (auto& [key, s] : summaries) {
        upsertSummary->bindValue(0, qlonglong(std::get<0>(key)));
        upsertSummary->bindValue(1, std::get<1>(key));
        upsertSummary->bindValue(2, qlonglong(std::get<2>(key)));
        upsertSummary->bindValue(3, qlonglong(s.m_Runs));
        upsertSummary->bindValue(4, qlonglong(s.m_Failures));
        upsertSummary->bindValue(5, qlonglong(s.m_Measured));
        upsertSummary->bindValue(6, qlonglong(s.m_SumUs));
        upsertSummary->bindValue(7, Figure(s.m_MinUs));
        upsertSummary->bindValue(8, Figure(s.m_MaxUs));
        if (!d->Exec(*upsertSummary, kWriteFailed, &why))
            return fail();
        if (s.m_Histogram.empty()) {
            upsertSummary->finish();
            continue;
        }
        if (upsertSummary->next())
            AddHistogram(s.m_Histogram, upsertSummary->value(0).toByteArray());
        upsertSummary->finish();
        writeHist->bindValue(0, EncodeHistogram(s.m_Histogram));
        writeHist->bindValue(1, qlonglong(std::get<0>(key)));
        writeHist->bindValue(2, std::get<1>(key));
        writeHist->bindValue(3, qlonglong(std::get<2>(key)));
        if (!d->Exec(*writeHist, kWriteFailed, &why))
            return fail();
    }
    if (!d->Commit(&why)) {
        d->m_LastError = why;
        if (error)
            *error = why;
        return false;
    }
    d->m_LastError.clear();
    return true;
}

bool CHistoryStore::ApplyRetention(int days, qint64 nowMs, QString* error)
{
    if (!d->m_bOpen)
        return d->Failed(kNotOpen, error);
    QString why;
    const auto fail = [&]() {
        d->Rollback();
        return d->Failed(why, error);
    };
    if (days <= 0)
        return true;
    const qint64 cutoff = nowMs - qint64(days) * kDayMs;
    if (!d->Begin(&why)) {
        d->m_LastError = why;
        if (error)
            *error = why;
        return false;
    }
    const QString failed = QStringLiteral("Cannot remove old results from");
    // Each task's latest result stays, however old, so its status still shows what it was.
    QSqlQuery* states = d->Prepare(QStringLiteral("SELECT t.id, s.last_started_ms, s.last_seq FROM tasks t LEFT JOIN "
                                                  "task_state s ON s.task = t.id"),
                                   &why);
    if (!states || !d->Exec(*states, failed, &why))
        return fail();
    QList<std::tuple<qint64, qint64, int>> tasks;
    while (states->next())
        tasks.append({states->value(0).toLongLong(), states->isNull(1) ? 0 : states->value(1).toLongLong(),
                      states->isNull(2) ? -1 : states->value(2).toInt()});
    states->finish();
    QSqlQuery* dropLinks
        = d->Prepare(QStringLiteral("DELETE FROM broken_links WHERE task = ? AND started_ms < ? AND NOT "
                                    "(started_ms = ? AND seq = ?)"),
                     &why);
    QSqlQuery* dropResults = d->Prepare(QStringLiteral("DELETE FROM results WHERE task = ? AND started_ms < ? AND NOT "
                                                       "(started_ms = ? AND seq = ?)"),
                                        &why);
    // The strings the kept latest results use must outlive the pruning below.
    QSqlQuery* keepStrings = d->Prepare(
        QStringLiteral(
            "UPDATE strings SET last_ms = %1(last_ms, ?) WHERE id IN (SELECT name_id FROM results WHERE task = "
            "? AND started_ms = ? AND seq = ? UNION SELECT text_id FROM results WHERE task = ? AND started_ms "
            "= ? AND seq = ? UNION SELECT final_url_id FROM results WHERE task = ? AND started_ms = ? AND seq "
            "= ? UNION SELECT url_id FROM broken_links WHERE task = ? AND started_ms = ? AND seq = ? UNION "
            "SELECT referrer_id FROM broken_links WHERE task = ? AND started_ms = ? AND seq = ? UNION SELECT "
            "error_id FROM broken_links WHERE task = ? AND started_ms = ? AND seq = ?)")
            .arg(d->Max2()),
        &why);
    if (!dropLinks || !dropResults || !keepStrings)
        return fail();
    for (const auto& [task, lastStartedMs, lastSeq] : std::as_const(tasks)) {
        for (QSqlQuery* q : {dropLinks, dropResults}) {
            q->bindValue(0, qlonglong(task));
            q->bindValue(1, qlonglong(cutoff));
            q->bindValue(2, qlonglong(lastStartedMs));
            q->bindValue(3, lastSeq);
            if (!d->Exec(*q, failed, &why))
                return fail();
        }
        if (lastSeq >= 0 && lastStartedMs < cutoff) {
            keepStrings->bindValue(0, qlonglong(cutoff));
            for (int i = 0; i < 7; ++i) {
                keepStrings->bindValue(1 + 3 * i, qlonglong(task));
                keepStrings->bindValue(2 + 3 * i, qlonglong(lastStartedMs));
                keepStrings->bindValue(3 + 3 * i, lastSeq);
            }
            if (!d->Exec(*keepStrings, failed, &why))
                return fail();
        }
    }
    QSqlQuery* dropStrings = d->Prepare(QStringLiteral("DELETE FROM strings WHERE last_ms < ?"), &why);
    // Statistics over older ranges come from summaries from now on.
    QSqlQuery* since = d->Prepare(
        QStringLiteral("INSERT INTO meta (name, value) VALUES ('raw_since_ms', ?) ON CONFLICT (name) DO UPDATE SET "
                       "value = excluded.value"),
        &why);
    if (!dropStrings || !since)
        return fail();
    dropStrings->bindValue(0, qlonglong(cutoff));
    since->bindValue(0, QString::number(std::max(cutoff, d->RawSinceMs())));
    if (!d->Exec(*dropStrings, failed, &why) || !d->Exec(*since, failed, &why))
        return fail();
    if (!d->Commit(&why)) {
        d->m_LastError = why;
        if (error)
            *error = why;
        return false;
    }
    d->m_Strings.clear();
    d->m_StringTexts.clear();
    d->m_CachedChars = 0;
    if (!d->m_bPostgres) {
        // Hands the freed pages back to the file system (the file was made with
        // auto_vacuum = INCREMENTAL); a failure here loses nothing.
        d->Vacuum();
    }
    d->m_LastError.clear();
    return true;
}

bool CHistoryStore::Clear(QString* error)
{
    QString why;
    if (!d->m_bOpen) {
        why = kNotOpen;
    } else if (d->Begin(&why)) {
        bool ok = true;
        for (const char* table :
             {"broken_links", "results", "summaries", "incidents", "task_state", "strings", "tasks"}) {
            if (!d->ExecText(QStringLiteral("DELETE FROM %1").arg(QLatin1String(table)), QStringLiteral("Cannot clear"),
                             &why)) {
                ok = false;
                break;
            }
        }
        if (ok)
            ok = d->ExecText(QStringLiteral("DELETE FROM meta WHERE name = 'raw_since_ms'"),
                             QStringLiteral("Cannot clear"), &why);
        if (!ok)
            d->Rollback();
        else if (d->Commit(&why)) {
            d->ForgetCaches();
            if (!d->m_bPostgres) {
                d->Vacuum();
            }
            d->m_LastError.clear();
            return true;
        }
    }
    return d->Failed(why, error);
}
