#pragma once

#include "core/history/CheckResult.h"

#include <QList>
#include <QString>
#include <QtGlobal>

#include <memory>
#include <optional>

// Where the history lives, as m_HistoryDatabase names it.
struct CHistoryLocation
{
    enum eKind
    {
        eSqlite,
        ePostgres,
    };
    eKind m_Kind = eSqlite;
    QString m_Path; // SQLite: the file
    // PostgreSQL, from postgresql://[user@]host[:port]/database[?...]; the password comes
    // from libpq (~/.pgpass, PGPASSFILE), never from the settings.
    QString m_Host;
    int m_Port = 5432;
    QString m_Database;
    QString m_User;
    QString m_Options; // the URI's query, handed to libpq as connection options

    // Empty: the SQLite file "history.sqlite" under QStandardPaths::AppDataLocation. False,
    // with the reason, for a URI that cannot be read.
    static bool Parse(const QString& setting, CHistoryLocation& location, QString* error);
    // For messages: the file's path, or postgresql://user@host:port/database.
    QString Describe() const;
};

// Up or down, and since when: a task's state changes only with a success or a failure, a
// stopped run leaves it as it was.
enum class eTaskHealth
{
    eUnknown = 0, // no success or failure recorded yet
    eUp = 1,
    eDown = 2,
};

struct CTaskStatus
{
    std::optional<CCheckResult> m_LastResult; // the latest run of any verdict
    eTaskHealth m_Health = eTaskHealth::eUnknown;
    qint64 m_SinceMs = 0; // the start of the first run of the present state
};

// Runs and response times over a time range. Response figures are over the runs that
// measured one (CCheckResult::ResponseUs() >= 0); -1 when none did.
struct CTaskStatistics
{
    qint64 m_Runs = 0; // successes and failures; stopped runs do not count
    qint64 m_Failures = 0;
    double UptimePercent() const { return m_Runs > 0 ? 100.0 * double(m_Runs - m_Failures) / double(m_Runs) : -1.0; }
    qint64 m_MinUs = -1;
    qint64 m_MeanUs = -1;
    qint64 m_MaxUs = -1;
    qint64 m_P95Us = -1;
};

// One point of a chart: the runs whose start falls in [m_StartMs, m_StartMs + resolution).
struct CSeriesPoint
{
    qint64 m_StartMs = 0;
    qint64 m_Runs = 0;
    qint64 m_Failures = 0;
    qint64 m_MeanUs = -1;
    qint64 m_MaxUs = -1;
};

// A time the task was down: from its first failure to the start of the success that
// ended it (m_EndMs -1 while it goes on).
struct CIncident
{
    qint64 m_StartMs = 0;
    qint64 m_EndMs = -1;
    QString m_Text; // the first failure's text
    qint64 DurationMs(qint64 nowMs) const { return (m_EndMs >= 0 ? m_EndMs : nowMs) - m_StartMs; }
};

// The broken links of a task's latest crawl and of the one before it, for comparison.
struct CCrawlComparison
{
    std::optional<qint64> m_LatestStartMs;
    QList<CBrokenLink> m_Latest;
    std::optional<qint64> m_PreviousStartMs;
    QList<CBrokenLink> m_Previous;
};

// The result history on one database connection, SQLite or PostgreSQL, with one schema.
// Synchronous: it belongs to one thread at a time (the history thread in the program, the
// caller in tests and in the console's history report). Every task name and text reaches
// the database as a bound value only.
class CHistoryStore
{
public:
    CHistoryStore();
    ~CHistoryStore();
    CHistoryStore(const CHistoryStore&) = delete;
    CHistoryStore& operator=(const CHistoryStore&) = delete;

    // Opens (an SQLite file is created private to the user, in WAL mode) and creates or
    // upgrades the schema. False, with a message that says what failed, when the database
    // cannot be reached or written, is damaged, or was made by a newer version (which is
    // then left untouched).
    bool Open(const CHistoryLocation& location, QString* error);
    void Close();
    bool IsOpen() const;
    // Whether the connection still answers; for PostgreSQL after a restart.
    bool IsAlive();

    // Writes the results in one transaction, with their summaries and incidents. All or
    // nothing: false (with the reason) leaves the database as it was.
    bool Record(const QList<CCheckResult>& results, QString* error);
    // Deletes raw results (and their broken links) that started before nowMs - days; their
    // summaries and incidents stay. days <= 0 keeps everything.
    bool ApplyRetention(int days, qint64 nowMs, QString* error);
    // Forgets everything recorded.
    bool Clear(QString* error);

    // Queries. fromMs inclusive, toMs exclusive.
    CTaskStatus GetStatus(const QString& taskKey);
    // Exact for ranges of up to two days whose raw results are kept; otherwise from hourly
    // (ranges up to 60 days) or daily summaries, the range widened to the whole UTC hours or
    // days it touches, the 95th percentile within ~2.5%.
    CTaskStatistics GetStatistics(const QString& taskKey, qint64 fromMs, qint64 toMs);
    // Points at multiples of the resolution since 1970 UTC, only those with runs; from
    // summaries at a resolution of an hour or more, from raw results below that.
    QList<CSeriesPoint> GetSeries(const QString& taskKey, qint64 fromMs, qint64 toMs, qint64 resolutionMs);
    // Incidents that overlap the range, oldest first.
    QList<CIncident> GetIncidents(const QString& taskKey, qint64 fromMs, qint64 toMs);
    // Stopped crawls are left out: they saw only part of the site.
    CCrawlComparison GetLastTwoCrawls(const QString& taskKey);
    // Raw results in order of start; an empty key gives every task's.
    QList<CCheckResult> GetResults(const QString& taskKey, qint64 fromMs, qint64 toMs);

    // The last error of a query, empty when it succeeded.
    QString GetLastError() const;

    // The schema version this program writes.
    static int SchemaVersion();

    // How long an SQLite write waits for another writer's lock before it fails (default 5 s);
    // takes effect at the next Open.
    void SetBusyTimeoutMs(int ms);

private:
    struct CPrivate;
    std::unique_ptr<CPrivate> d;
};
