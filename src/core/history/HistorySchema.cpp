// The history's one schema, its upgrades, and the small tables every write goes through
// (tasks, the string dictionary).
#include "core/history/HistoryPrivate.h"

#include <QDateTime>

#include <cmath>

using namespace history;

namespace history {

int BucketOf(qint64 us)
{
    if (us < 1)
        return 0;
    return 1 + int(std::floor(std::log(double(us)) / std::log(1.05)));
}

qint64 BucketValue(int bucket)
{
    if (bucket <= 0)
        return 0;
    return qint64(std::llround(std::pow(1.05, double(bucket) - 0.5)));
}

std::array<QVariant, 5> EncodePhases(const CCheckResult& r)
{
    const std::array<qint64, 5> phases = {r.m_LookupUs, r.m_ConnectUs, r.m_TlsUs, r.m_FirstByteUs, r.m_TotalUs};
    std::array<QVariant, 5> stored;
    qint64 base = 0;
    for (size_t i = 0; i < phases.size(); ++i) {
        if (phases[i] == -1)
            continue;
        stored[i] = qlonglong(phases[i] - base);
        base = phases[i];
    }
    return stored;
}

void DecodePhases(const QSqlQuery& q, int firstColumn, CCheckResult& r)
{
    std::array<qint64*, 5> phases = {&r.m_LookupUs, &r.m_ConnectUs, &r.m_TlsUs, &r.m_FirstByteUs, &r.m_TotalUs};
    qint64 base = 0;
    for (int i = 0; i < 5; ++i) {
        if (q.isNull(firstColumn + i)) {
            *phases[i] = -1;
            continue;
        }
        *phases[i] = base + q.value(firstColumn + i).toLongLong();
        base = *phases[i];
    }
}

QByteArray EncodeHistogram(const CHistogram& histogram)
{
    QByteArray bytes;
    const auto put = [&bytes](quint64 value) {
        do {
            const quint8 low = value & 0x7f;
            value >>= 7;
            bytes.append(char(value ? low | 0x80 : low));
        } while (value);
    };
    int previous = 0;
    for (const auto& [bucket, count] : histogram) {
        if (count <= 0)
            continue;
        put(quint64(bucket - previous));
        put(quint64(count));
        previous = bucket;
    }
    return bytes;
}

void AddHistogram(CHistogram& histogram, const QByteArray& stored)
{
    qsizetype at = 0;
    const auto get = [&](quint64& value) {
        value = 0;
        for (int shift = 0; at < stored.size() && shift < 64; shift += 7) {
            const quint8 byte = quint8(stored[at++]);
            value |= quint64(byte & 0x7f) << shift;
            if (!(byte & 0x80))
                return true;
        }
        return false;
    };
    int bucket = 0;
    quint64 delta = 0;
    quint64 count = 0;
    while (at < stored.size() && get(delta) && get(count)) {
        bucket += int(delta);
        histogram[bucket] += qint64(count);
    }
}

qint64 HistogramP95(const CHistogram& histogram, qint64 minUs, qint64 maxUs)
{
    qint64 total = 0;
    for (const auto& [bucket, count] : histogram)
        total += count;
    if (total <= 0)
        return -1;
    const qint64 rank = (95 * total + 99) / 100; // ceil(0.95 * total)
    qint64 seen = 0;
    qint64 value = maxUs;
    for (const auto& [bucket, count] : histogram) {
        seen += count;
        if (seen >= rank) {
            value = BucketValue(bucket);
            break;
        }
    }
    if (minUs >= 0)
        value = std::max(value, minUs);
    if (maxUs >= 0)
        value = std::min(value, maxUs);
    return value;
}

} // namespace history

namespace {

// Texts are looked up by a hash that is the same in every process (qHash is seeded), so the
// dictionary needs no unique index that would hold each (possibly long crawl report) text twice.
qint64 StableHash(const QString& text)
{
    quint64 hash = 1469598103934665603ULL; // FNV-1a
    const QByteArray bytes = text.toUtf8();
    for (const char c : bytes) {
        hash ^= quint8(c);
        hash *= 1099511628211ULL;
    }
    return qint64(hash);
}

} // namespace

bool CHistoryStore::CPrivate::PrepareSchema(int version, QString* error)
{
    // An SQLite file at this version needs nothing: opening it must not wait for (or fail on)
    // another writer's lock. On PostgreSQL the version is read again under a lock.
    if (version == CHistoryStore::SchemaVersion() && !m_bPostgres)
        return true;
    if (!Begin(error))
        return false;
    if (m_bPostgres) {
        // Two probes starting on one new database must not both create or upgrade the tables.
        if (!ExecText(QStringLiteral("SELECT pg_advisory_xact_lock(7305198633)"), QStringLiteral("Cannot lock"),
                      error)) {
            Rollback();
            return false;
        }
        bool exists = false;
        version = ReadSchemaVersion(&exists, error);
        if (version < 0 || version > CHistoryStore::SchemaVersion()) {
            Rollback();
            return false;
        }
    }
    // Upgrades run in place, one version at a time, inside this transaction: a failure leaves
    // the database at the version it had.
    bool ok = version > 0 || CreateSchema(error);
    for (int from = version > 0 ? version : CHistoryStore::SchemaVersion(); ok && from < CHistoryStore::SchemaVersion();
         ++from)
        ok = UpgradeSchema(from, error);
    if (!ok) {
        Rollback();
        return false;
    }
    return Commit(error);
}

bool CHistoryStore::CPrivate::UpgradeSchema(int from, QString* error)
{
    // Each later version adds its step here (ALTER TABLE, new tables, data moves), then
    // stores the new number.
    QSqlQuery* version = Prepare(QStringLiteral("UPDATE meta SET value = ? WHERE name = 'schema_version'"), error);
    if (!version)
        return false;
    version->bindValue(0, QString::number(from + 1));
    return Exec(*version, QStringLiteral("Cannot upgrade the history database"), error);
}

bool CHistoryStore::CPrivate::CreateSchema(QString* error)
{
    const QString id = m_bPostgres ? QStringLiteral("BIGINT GENERATED BY DEFAULT AS IDENTITY PRIMARY KEY")
                                   : QStringLiteral("INTEGER PRIMARY KEY");
    // SQLite keeps these tables in their key's order with no separate row id: the raw results
    // are most of the file, and their key is how every query reaches them.
    const QString clustered = m_bPostgres ? QString() : QStringLiteral(" WITHOUT ROWID");
    const QStringList statements = {
        QStringLiteral("CREATE TABLE meta (name TEXT PRIMARY KEY, value TEXT NOT NULL)"),
        QStringLiteral("CREATE TABLE tasks (id %1, task_key TEXT NOT NULL UNIQUE)").arg(id),
        // Repeated texts (names, verdict texts, final URLs, link errors) once each; last_ms is
        // the latest result start that uses one, so retention can drop the unused.
        QStringLiteral("CREATE TABLE strings (id %1, hash BIGINT NOT NULL, last_ms BIGINT NOT NULL, body TEXT NOT "
                       "NULL)")
            .arg(id),
        QStringLiteral("CREATE INDEX strings_by_hash ON strings (hash)"),
        // Figures in microseconds (bytes, ms since 1970 where named); NULL where not measured.
        // The phase times (lookup_us .. total_us) are each stored as the time since the phase
        // before that was measured (see EncodePhases); the certificate's notAfter, which repeats
        // from run to run, is a dictionary text of its ms since 1970.
        QStringLiteral("CREATE TABLE results (task INTEGER NOT NULL, started_ms BIGINT NOT NULL, seq INTEGER NOT "
                       "NULL, kind INTEGER NOT NULL, verdict INTEGER NOT NULL, duration_us BIGINT NOT NULL, name_id "
                       "BIGINT, text_id BIGINT, status INTEGER, bytes BIGINT, lookup_us BIGINT, connect_us BIGINT, "
                       "tls_us BIGINT, first_byte_us BIGINT, total_us BIGINT, final_url_id BIGINT, cert_expiry_id "
                       "BIGINT, round_trip_us BIGINT, pages INTEGER, links INTEGER, PRIMARY KEY (task, started_ms, "
                       "seq))%1")
            .arg(clustered),
        QStringLiteral("CREATE TABLE broken_links (task INTEGER NOT NULL, started_ms BIGINT NOT NULL, seq INTEGER NOT "
                       "NULL, n INTEGER NOT NULL, url_id BIGINT, referrer_id BIGINT, error_id BIGINT, PRIMARY KEY "
                       "(task, started_ms, seq, n))%1")
            .arg(clustered),
        // period: the summary's length in hours (1 or 24), start_ms aligned to it in UTC;
        // hist: the response-time histogram (EncodeHistogram), for percentiles over any run of them.
        QStringLiteral("CREATE TABLE summaries (task INTEGER NOT NULL, period INTEGER NOT NULL, start_ms BIGINT NOT "
                       "NULL, runs BIGINT NOT NULL, failures BIGINT NOT NULL, measured BIGINT NOT NULL, sum_us BIGINT "
                       "NOT NULL, min_us BIGINT, max_us BIGINT, hist %2, PRIMARY KEY (task, period, start_ms))%1")
            .arg(clustered, m_bPostgres ? QStringLiteral("BYTEA") : QStringLiteral("BLOB")),
        QStringLiteral("CREATE TABLE incidents (task INTEGER NOT NULL, start_ms BIGINT NOT NULL, end_ms BIGINT, "
                       "text_id BIGINT, PRIMARY KEY (task, start_ms))%1")
            .arg(clustered),
        // health: eTaskHealth; verdict_ms: the start of the latest success or failure applied;
        // last_seq -1 while no result is recorded.
        QStringLiteral("CREATE TABLE task_state (task INTEGER PRIMARY KEY, health INTEGER NOT NULL, since_ms BIGINT "
                       "NOT NULL, verdict_ms BIGINT NOT NULL, last_started_ms BIGINT NOT NULL, last_seq INTEGER NOT "
                       "NULL)"),
    };
    for (const QString& sql : statements) {
        if (!ExecText(sql, QStringLiteral("Cannot create the tables of"), error))
            return false;
    }
    QSqlQuery* version = Prepare(QStringLiteral("INSERT INTO meta (name, value) VALUES ('schema_version', ?)"), error);
    if (!version)
        return false;
    version->bindValue(0, QString::number(CHistoryStore::SchemaVersion()));
    QSqlQuery* created = Prepare(QStringLiteral("INSERT INTO meta (name, value) VALUES ('created_ms', ?)"), error);
    if (!Exec(*version, QStringLiteral("Cannot create the tables of the history database"), error) || !created)
        return false;
    created->bindValue(0, QString::number(QDateTime::currentMSecsSinceEpoch()));
    return Exec(*created, QStringLiteral("Cannot create the tables of the history database"), error);
}

qint64 CHistoryStore::CPrivate::TaskId(const QString& taskKey, bool create, QString* error)
{
    const auto found = m_TaskIds.constFind(taskKey);
    if (found != m_TaskIds.constEnd())
        return *found;
    QSqlQuery* select = Prepare(QStringLiteral("SELECT id FROM tasks WHERE task_key = ?"), error);
    if (!select)
        return -1;
    select->bindValue(0, taskKey);
    if (!Exec(*select, QStringLiteral("Cannot read the history database"), error))
        return -1;
    if (select->next()) {
        const qint64 id = select->value(0).toLongLong();
        select->finish();
        m_TaskIds.insert(taskKey, id);
        return id;
    }
    select->finish();
    if (!create)
        return -1;
    // Another probe on the same server may add the task at the same moment.
    QSqlQuery* insert
        = Prepare(QStringLiteral("INSERT INTO tasks (task_key) VALUES (?) ON CONFLICT (task_key) DO NOTHING"), error);
    if (!insert)
        return -1;
    insert->bindValue(0, taskKey);
    if (!Exec(*insert, QStringLiteral("Cannot write to"), error))
        return -1;
    select->bindValue(0, taskKey);
    if (!Exec(*select, QStringLiteral("Cannot read the history database"), error))
        return -1;
    if (!select->next()) {
        if (error)
            *error = QStringLiteral("Cannot write to %1: a task just added is missing").arg(Where());
        return -1;
    }
    const qint64 id = select->value(0).toLongLong();
    select->finish();
    m_TaskIds.insert(taskKey, id);
    m_NewTasks.append(taskKey);
    return id;
}

qint64 CHistoryStore::CPrivate::StringId(const QString& text, qint64 usedMs, QString* error)
{
    if (text.isEmpty())
        return -1;
    auto found = m_Strings.find(text);
    if (found != m_Strings.end()) {
        if (found->m_Batch == m_Batch && found->m_LastMs >= usedMs)
            return found->m_Id;
        // Keeps the string through retention; 0 rows means another probe's retention removed
        // it since it was cached: then it is added again.
        QSqlQuery* touch
            = Prepare(QStringLiteral("UPDATE strings SET last_ms = %1(last_ms, ?) WHERE id = ?").arg(Max2()), error);
        if (!touch)
            return -2;
        touch->bindValue(0, qlonglong(usedMs));
        touch->bindValue(1, qlonglong(found->m_Id));
        if (!Exec(*touch, QStringLiteral("Cannot write to"), error))
            return -2;
        if (touch->numRowsAffected() > 0) {
            found->m_LastMs = std::max(found->m_LastMs, usedMs);
            found->m_Batch = m_Batch;
            return found->m_Id;
        }
        m_StringTexts.remove(found->m_Id);
        m_Strings.erase(found);
    }
    const qint64 hash = StableHash(text);
    QSqlQuery* select = Prepare(QStringLiteral("SELECT id, body, last_ms FROM strings WHERE hash = ?"), error);
    if (!select)
        return -2;
    select->bindValue(0, qlonglong(hash));
    if (!Exec(*select, QStringLiteral("Cannot read the history database"), error))
        return -2;
    qint64 id = -1;
    qint64 lastMs = 0;
    while (select->next()) {
        if (select->value(1).toString() == text) {
            id = select->value(0).toLongLong();
            lastMs = select->value(2).toLongLong();
            break;
        }
    }
    select->finish();
    if (id >= 0 && lastMs < usedMs) {
        QSqlQuery* touch
            = Prepare(QStringLiteral("UPDATE strings SET last_ms = %1(last_ms, ?) WHERE id = ?").arg(Max2()), error);
        if (!touch)
            return -2;
        touch->bindValue(0, qlonglong(usedMs));
        touch->bindValue(1, qlonglong(id));
        if (!Exec(*touch, QStringLiteral("Cannot write to"), error))
            return -2;
        lastMs = usedMs;
    }
    if (id < 0) {
        QSqlQuery* insert
            = Prepare(QStringLiteral("INSERT INTO strings (hash, last_ms, body) VALUES (?, ?, ?) RETURNING id"), error);
        if (!insert)
            return -2;
        insert->bindValue(0, qlonglong(hash));
        insert->bindValue(1, qlonglong(usedMs));
        insert->bindValue(2, text);
        if (!Exec(*insert, QStringLiteral("Cannot write to"), error))
            return -2;
        if (!insert->next()) {
            if (error)
                *error = QStringLiteral("Cannot write to %1: a text just added has no id").arg(Where());
            return -2;
        }
        id = insert->value(0).toLongLong();
        insert->finish();
        lastMs = usedMs;
        m_NewStrings.append(text);
    }
    // Crawl reports can be long and are rarely repeated: the cache stays bounded.
    if (m_CachedChars > 4 * 1024 * 1024) {
        m_Strings.clear();
        m_StringTexts.clear();
        m_CachedChars = 0;
    }
    m_Strings.insert(text, CStringEntry {id, lastMs, m_Batch});
    m_StringTexts.insert(id, text);
    m_CachedChars += text.size();
    return id;
}

QString CHistoryStore::CPrivate::StringText(const QVariant& idValue)
{
    if (idValue.isNull())
        return QString();
    const qint64 id = idValue.toLongLong();
    const auto found = m_StringTexts.constFind(id);
    if (found != m_StringTexts.constEnd())
        return *found;
    QSqlQuery* select = Prepare(QStringLiteral("SELECT body FROM strings WHERE id = ?"), nullptr);
    if (!select)
        return QString();
    select->bindValue(0, qlonglong(id));
    if (!select->exec() || !select->next())
        return QString();
    const QString text = select->value(0).toString();
    select->finish();
    if (m_CachedChars > 4 * 1024 * 1024) {
        m_Strings.clear();
        m_StringTexts.clear();
        m_CachedChars = 0;
    }
    m_StringTexts.insert(id, text);
    m_CachedChars += text.size();
    return text;
}

qint64 CHistoryStore::CPrivate::RawSinceMs()
{
    QSqlQuery* select = Prepare(QStringLiteral("SELECT value FROM meta WHERE name = 'raw_since_ms'"), nullptr);
    if (!select || !select->exec())
        return std::numeric_limits<qint64>::min();
    const qint64 since = select->next() ? select->value(0).toString().toLongLong() : std::numeric_limits<qint64>::min();
    select->finish();
    return since;
}

void CHistoryStore::CPrivate::Vacuum()
{
    if (m_bPostgres)
        return;
    // Qt steps a statement once, and each step of incremental_vacuum frees one page.
    QSqlQuery count(m_Db);
    if (!count.exec(QStringLiteral("PRAGMA freelist_count")) || !count.next())
        return;
    const qint64 pages = count.value(0).toLongLong();
    count.finish();
    QSqlQuery* vacuum = Prepare(QStringLiteral("PRAGMA incremental_vacuum"), nullptr);
    for (qint64 i = 0; vacuum && i < pages; ++i) {
        if (!vacuum->exec())
            break;
    }
    // An unfinished statement would keep the next transaction from committing.
    if (vacuum)
        vacuum->finish();
}
