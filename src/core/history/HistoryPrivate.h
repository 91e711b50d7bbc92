#pragma once

#include "core/history/HistoryStore.h"

#include <QHash>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QString>
#include <QVariant>

#include <array>
#include <limits>
#include <map>
#include <memory>
#include <unordered_map>

// The history store's insides, shared by its source files (connection and schema, recording,
// queries). Nothing outside src/core/history includes this.

namespace history {

constexpr qint64 kHourMs = 3600000;
constexpr qint64 kDayMs = 24 * kHourMs;
// Summary periods are stored as their length in hours.
constexpr int kHourly = 1;
constexpr int kDaily = 24;
// A string that an incident refers to is never pruned: its last use is "forever".
constexpr qint64 kPinnedMs = std::numeric_limits<qint64>::max();

// Response-time histogram buckets, about 5% wide on a log scale, so a 95th percentile over any
// run of summaries is within ~2.5% of the exact one. The bucket numbers are stored: the formula
// never changes. Bucket 0 holds 0 us; bucket b >= 1 holds [1.05^(b-1), 1.05^b).
int BucketOf(qint64 us);
qint64 BucketValue(int bucket); // the bucket's geometric middle

// Floor division for time alignment (start times before 1970 are negative).
inline qint64 AlignDown(qint64 ms, qint64 step)
{
    const qint64 q = ms / step;
    return (ms % step != 0 && ms < 0 ? q - 1 : q) * step;
}
inline qint64 AlignUp(qint64 ms, qint64 step)
{
    const qint64 down = AlignDown(ms, step);
    return down == ms ? ms : down + step;
}

// NULL stands for "not measured" (-1) and for an absent string.
inline QVariant Figure(qint64 value)
{
    return value == -1 ? QVariant() : QVariant(qlonglong(value));
}
inline QVariant Id(qint64 id)
{
    return id < 0 ? QVariant() : QVariant(qlonglong(id));
}
inline qint64 FigureAt(const QSqlQuery& query, int column)
{
    return query.isNull(column) ? -1 : query.value(column).toLongLong();
}

// libcurl's phase times (lookup, connect, TLS, first byte, total) each count from the start of
// the request, so each is stored as its distance from the phase before it that was measured:
// smaller numbers, fewer bytes in every raw row. NULL (-1) for a phase not measured.
std::array<QVariant, 5> EncodePhases(const CCheckResult& result);
void DecodePhases(const QSqlQuery& query, int firstColumn, CCheckResult& result);

// A summary's histogram: bucket -> runs. Stored in the summary row as pairs of varints (the
// bucket's distance from the one before, its runs), a few bytes per bucket.
using CHistogram = std::map<int, qint64>;
QByteArray EncodeHistogram(const CHistogram& histogram);
void AddHistogram(CHistogram& histogram, const QByteArray& stored); // adds the stored counts

// The nearest-rank 95th percentile of a histogram, clamped to the range's exact minimum and
// maximum.
qint64 HistogramP95(const CHistogram& histogram, qint64 minUs, qint64 maxUs);

} // namespace history

struct CHistoryStore::CPrivate
{
    struct CStringEntry
    {
        qint64 m_Id = -1;
        qint64 m_LastMs = 0; // the latest use this store has written
        quint64 m_Batch = 0; // the batch that last saw it in the database
    };
    quint64 m_Batch = 0; // counts Record calls

    CHistoryLocation m_Location;
    QString m_ConnectionName;
    QSqlDatabase m_Db;
    bool m_bPostgres = false;
    bool m_bOpen = false;
    int m_BusyTimeoutMs = 5000;
    QString m_LastError;

    // Ids are stable once committed; what a rolled-back transaction added is taken out again.
    QHash<QString, qint64> m_TaskIds;
    QHash<QString, CStringEntry> m_Strings;
    QHash<qint64, QString> m_StringTexts; // for reading
    QList<QString> m_NewTasks; // added in the open transaction
    QList<QString> m_NewStrings;
    qint64 m_CachedChars = 0;

    std::unordered_map<QString, std::unique_ptr<QSqlQuery>> m_Statements;

    QString Where() const { return m_Location.Describe(); }
    QString Min2() const { return m_bPostgres ? QStringLiteral("LEAST") : QStringLiteral("min"); }
    QString Max2() const { return m_bPostgres ? QStringLiteral("GREATEST") : QStringLiteral("max"); }

    // A statement prepared once per connection; values are bound by position.
    QSqlQuery* Prepare(const QString& sql, QString* error);
    bool Exec(QSqlQuery& query, const QString& what, QString* error);
    bool ExecText(const QString& sql, const QString& what, QString* error); // no bound values
    QString Failure(const QString& what, const QSqlError& sqlError) const;

    bool Begin(QString* error);
    bool Commit(QString* error);
    void Rollback();
    // Keeps why as the last error, hands it to error when asked, and returns false.
    bool Failed(const QString& why, QString* error)
    {
        m_LastError = why;
        if (error)
            *error = why;
        return false;
    }

    // -1 when unknown (and not created).
    qint64 TaskId(const QString& taskKey, bool create, QString* error);
    // Resolves a string for a result that started at usedMs; -1 for an empty one. Call inside
    // a transaction.
    qint64 StringId(const QString& text, qint64 usedMs, QString* error);
    QString StringText(const QVariant& id);
    void ForgetCaches();

    bool OpenSqlite(QString* error);
    bool OpenPostgres(QString* error);
    bool PrepareSchema(int version, QString* error); // 0: a new database
    bool UpgradeSchema(int from, QString* error);
    int ReadSchemaVersion(bool* exists, QString* error);
    bool CreateSchema(QString* error);
    qint64 RawSinceMs();
    // SQLite: hands the free pages to the file system.
    void Vacuum();

    // Reading raw rows: ResultColumns() from firstColumn on. True when the result has broken
    // links, which ReadLinks adds once the query has finished.
    static QString ResultColumns();
    bool ReadResult(QSqlQuery& query, int firstColumn, qint64 startMs, CCheckResult& result);
    bool ReadLinks(qint64 taskId, int seq, CCheckResult& result);
};
