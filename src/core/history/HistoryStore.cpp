#include "core/history/HistoryStore.h"

#include "core/history/HistoryPrivate.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSqlDriver>
#include <QStandardPaths>
#include <QUrl>
#include <QUrlQuery>

#include <atomic>
#include <filesystem>
#include <system_error>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

using namespace history;

namespace {

// Every store has its own connection, so stores on several threads never share one.
QString NewConnectionName()
{
    static std::atomic<int> counter {0};
    return QStringLiteral("corvane-history-%1").arg(++counter);
}

bool ValidOptionKey(const QString& key)
{
    if (key.isEmpty())
        return false;
    for (const QChar c : key) {
        if (!((c >= u'a' && c <= u'z') || c == u'_'))
            return false;
    }
    return true;
}

// Qt's PostgreSQL driver turns ';' into the spaces between libpq's key=value pairs, so a value
// must not hold what would start another pair or a quoted value.
bool ValidOptionValue(const QString& value)
{
    for (const QChar c : value) {
        if (c.isSpace() || c == u';' || c == u'\'' || c == u'"' || c == u'\\')
            return false;
    }
    return !value.isEmpty();
}

#ifdef Q_OS_UNIX
QString ErrnoText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}
#endif

// Creates the folder and what is missing above it, private to the user: the history says
// what the user monitors and when it failed.
bool MakePrivateFolder(const QString& folder, QString* error)
{
    namespace fs = std::filesystem;
    const fs::path path(folder.toStdString());
    QList<fs::path> created;
    for (fs::path p = path; !p.empty() && !fs::exists(p); p = p.parent_path()) {
        created.prepend(p);
        if (p == p.parent_path())
            break;
    }
    std::error_code ec;
    fs::create_directories(path, ec);
    if (ec || !fs::is_directory(path)) {
        if (error) {
            *error = QStringLiteral("Cannot create the folder %1 for the result history: %2")
                         .arg(QDir::toNativeSeparators(folder),
                              ec ? QString::fromStdString(ec.message()) : QStringLiteral("a file is in the way"));
        }
        return false;
    }
    for (const fs::path& p : created)
        fs::permissions(p, fs::perms::owner_all, fs::perm_options::replace, ec);
    return true;
}

// The file is made before SQLite opens it so that it is private from the first byte; SQLite
// gives its -wal and -shm files the database file's permissions.
bool MakePrivateFile(const QString& path, QString* error)
{
    const QFileInfo info(path);
    if (info.isDir()) {
        if (error)
            *error
                = QStringLiteral("The history database %1 is a folder, not a file").arg(QDir::toNativeSeparators(path));
        return false;
    }
    if (info.exists())
        return true;
    if (!MakePrivateFolder(info.absolutePath(), error))
        return false;
#ifdef Q_OS_UNIX
    const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0 && errno != EEXIST) {
        if (error)
            *error = QStringLiteral("Cannot create the history database %1: %2").arg(path, ErrnoText(errno));
        return false;
    }
    if (fd >= 0)
        ::close(fd);
#else
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly) && !file.exists()) {
        if (error) {
            *error = QStringLiteral("Cannot create the history database %1: %2")
                         .arg(QDir::toNativeSeparators(path), file.errorString());
        }
        return false;
    }
    file.close();
    file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
#endif
    return true;
}

} // namespace

bool CHistoryLocation::Parse(const QString& setting, CHistoryLocation& location, QString* error)
{
    location = CHistoryLocation();
    const QString text = setting.trimmed();
    if (text.isEmpty()) {
        location.m_Path
            = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation) + QStringLiteral("/history.sqlite");
        return true;
    }
    const auto fail = [&](const QString& why) {
        if (error)
            *error = QStringLiteral("The history database \"%1\" cannot be used: %2").arg(text, why);
        return false;
    };
    if (text.startsWith(QStringLiteral("postgresql://"), Qt::CaseInsensitive)
        || text.startsWith(QStringLiteral("postgres://"), Qt::CaseInsensitive)) {
        const QUrl url(text, QUrl::StrictMode);
        if (!url.isValid())
            return fail(url.errorString());
        if (!url.password().isEmpty())
            return fail(QStringLiteral("a password does not belong in the setting; put it in ~/.pgpass (or the file "
                                       "PGPASSFILE names)"));
        if (url.host().isEmpty())
            return fail(QStringLiteral("it names no server"));
        location.m_Kind = ePostgres;
        location.m_Host = url.host();
        location.m_Port = url.port(5432);
        location.m_User = url.userName();
        location.m_Database = url.path().mid(1);
        if (location.m_Database.isEmpty() || location.m_Database.contains(u'/'))
            return fail(QStringLiteral("it names no database (postgresql://[user@]host[:port]/database)"));
        QStringList options;
        const QUrlQuery query(url);
        for (const auto& [key, value] : query.queryItems(QUrl::FullyDecoded)) {
            if (key == QStringLiteral("password"))
                return fail(QStringLiteral("a password does not belong in the setting; put it in ~/.pgpass (or the "
                                           "file PGPASSFILE names)"));
            if (!ValidOptionKey(key) || !ValidOptionValue(value))
                return fail(QStringLiteral("the option \"%1\" cannot be handed to the server").arg(key));
            options.append(key + u'=' + value);
        }
        location.m_Options = options.join(u';');
        return true;
    }
    if (text.contains(QStringLiteral("://")))
        return fail(QStringLiteral("only a file or a postgresql:// address can hold the history"));
    location.m_Path = QDir::cleanPath(QFileInfo(text).absoluteFilePath());
    return true;
}

QString CHistoryLocation::Describe() const
{
    if (m_Kind == eSqlite)
        return QDir::toNativeSeparators(m_Path);
    const QString host = m_Host.contains(u':') ? u'[' + m_Host + u']' : m_Host;
    return QStringLiteral("postgresql://%1%2:%3/%4")
        .arg(m_User.isEmpty() ? QString() : m_User + u'@', host)
        .arg(m_Port)
        .arg(m_Database);
}

CHistoryStore::CHistoryStore()
    : d(std::make_unique<CPrivate>())
{ }

CHistoryStore::~CHistoryStore()
{
    Close();
}

int CHistoryStore::SchemaVersion()
{
    return 1;
}

bool CHistoryStore::IsOpen() const
{
    return d->m_bOpen;
}

QString CHistoryStore::GetLastError() const
{
    return d->m_LastError;
}

void CHistoryStore::SetBusyTimeoutMs(int ms)
{
    d->m_BusyTimeoutMs = ms;
}

bool CHistoryStore::Open(const CHistoryLocation& location, QString* error)
{
    Close();
    d->m_Location = location;
    d->m_bPostgres = location.m_Kind == CHistoryLocation::ePostgres;
    d->m_ConnectionName = NewConnectionName();
    QString why;
    const bool ok = d->m_bPostgres ? d->OpenPostgres(&why) : d->OpenSqlite(&why);
    if (!ok) {
        d->m_LastError = why;
        if (error)
            *error = why;
        Close();
        d->m_LastError = why;
        return false;
    }
    d->m_bOpen = true;
    d->m_LastError.clear();
    return true;
}

void CHistoryStore::Close()
{
    d->ForgetCaches();
    if (!d->m_ConnectionName.isEmpty()) {
        // Statements go first: each is freed on the server (in vain, with a warning from Qt,
        // after a lost connection).
        d->m_Statements.clear();
        if (d->m_Db.isOpen())
            d->m_Db.close();
        d->m_Db = QSqlDatabase();
        QSqlDatabase::removeDatabase(d->m_ConnectionName);
        d->m_ConnectionName.clear();
    }
    d->m_Statements.clear();
    d->m_bOpen = false;
}

bool CHistoryStore::IsAlive()
{
    if (!d->m_bOpen)
        return false;
    QSqlQuery query(d->m_Db);
    if (!query.exec(QStringLiteral("SELECT 1")) || !query.next()) {
        d->m_LastError = d->Failure(QStringLiteral("Lost the connection to the history database"), query.lastError());
        return false;
    }
    return true;
}

bool CHistoryStore::CPrivate::OpenSqlite(QString* error)
{
    if (m_Location.m_Path.isEmpty()) {
        *error = QStringLiteral("No file is named for the history database");
        return false;
    }
    if (!MakePrivateFile(m_Location.m_Path, error))
        return false;
    m_Db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_ConnectionName);
    m_Db.setDatabaseName(m_Location.m_Path);
    m_Db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=%1").arg(m_BusyTimeoutMs));
    if (!m_Db.open()) {
        *error = Failure(QStringLiteral("Cannot open the history database"), m_Db.lastError());
        return false;
    }
    // The version is read before anything is set: a database of a newer version is left
    // exactly as it was, journal mode included.
    bool exists = false;
    const int version = ReadSchemaVersion(&exists, error);
    if (version < 0)
        return false;
    if (version > CHistoryStore::SchemaVersion())
        return false; // error set by ReadSchemaVersion
    if (!exists) {
        // Must precede the first table; lets retention hand freed pages back to the disk.
        if (!ExecText(QStringLiteral("PRAGMA auto_vacuum = INCREMENTAL"), QStringLiteral("Cannot set up"), error))
            return false;
    }
    QSqlQuery mode(m_Db);
    if (!mode.exec(QStringLiteral("PRAGMA journal_mode = WAL")) || !mode.next()) {
        *error = Failure(QStringLiteral("Cannot set up the history database"), mode.lastError());
        return false;
    }
    if (mode.value(0).toString().compare(QStringLiteral("wal"), Qt::CaseInsensitive) != 0) {
        *error = QStringLiteral("Cannot set up the history database %1: it cannot be put in WAL mode").arg(Where());
        return false;
    }
    mode.finish();
    // NORMAL in WAL mode: a power cut may lose the last transactions, never the database.
    if (!ExecText(QStringLiteral("PRAGMA synchronous = NORMAL"), QStringLiteral("Cannot set up"), error)
        || !ExecText(QStringLiteral("PRAGMA journal_size_limit = 8388608"), QStringLiteral("Cannot set up"), error))
        return false;
    return PrepareSchema(version, error);
}

bool CHistoryStore::CPrivate::OpenPostgres(QString* error)
{
    m_Db = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), m_ConnectionName);
    m_Db.setHostName(m_Location.m_Host);
    m_Db.setPort(m_Location.m_Port);
    m_Db.setDatabaseName(m_Location.m_Database);
    if (!m_Location.m_User.isEmpty())
        m_Db.setUserName(m_Location.m_User);
    QString options = m_Location.m_Options;
    // A server that does not answer must not hold the history thread for libpq's default
    // of forever.
    if (!options.contains(QStringLiteral("connect_timeout=")))
        options
            = options.isEmpty() ? QStringLiteral("connect_timeout=5") : options + QStringLiteral(";connect_timeout=5");
    if (!options.contains(QStringLiteral("application_name=")))
        options += QStringLiteral(";application_name=corvane");
    m_Db.setConnectOptions(options);
    if (!m_Db.open()) {
        *error = Failure(QStringLiteral("Cannot connect to the history database"), m_Db.lastError());
        return false;
    }
    bool exists = false;
    const int version = ReadSchemaVersion(&exists, error);
    if (version < 0 || version > CHistoryStore::SchemaVersion())
        return false;
    return PrepareSchema(version, error);
}

int CHistoryStore::CPrivate::ReadSchemaVersion(bool* exists, QString* error)
{
    QSqlQuery tables(m_Db);
    const QString listSql = m_bPostgres
        ? QStringLiteral("SELECT table_name FROM information_schema.tables WHERE table_schema = current_schema()")
        : QStringLiteral("SELECT name FROM sqlite_master WHERE type = 'table'");
    if (!tables.exec(listSql)) {
        *error = Failure(QStringLiteral("Cannot read the history database"), tables.lastError());
        if (!m_bPostgres)
            *error += QStringLiteral(". The file may be damaged or not an SQLite database; move it away to start a "
                                     "new history");
        return -1;
    }
    bool hasMeta = false;
    bool hasOthers = false;
    while (tables.next()) {
        if (tables.value(0).toString() == QStringLiteral("meta"))
            hasMeta = true;
        else
            hasOthers = true;
    }
    tables.finish();
    *exists = hasMeta;
    if (!hasMeta) {
        // A file of someone else's tables is not ours to add to; a shared server's database
        // may well hold other tables.
        if (hasOthers && !m_bPostgres) {
            *error = QStringLiteral("The file %1 is an SQLite database but not a Corvane history; choose another file")
                         .arg(Where());
            return -1;
        }
        return 0;
    }
    QSqlQuery query(m_Db);
    if (!query.exec(QStringLiteral("SELECT value FROM meta WHERE name = 'schema_version'")) || !query.next()) {
        *error = Failure(QStringLiteral("Cannot read the schema version of the history database"), query.lastError());
        return -1;
    }
    bool ok = false;
    const int version = query.value(0).toString().toInt(&ok);
    query.finish();
    if (!ok || version < 1) {
        *error = QStringLiteral("The history database %1 holds an unreadable schema version \"%2\"")
                     .arg(Where(), query.value(0).toString());
        return -1;
    }
    if (version > CHistoryStore::SchemaVersion()) {
        *error = QStringLiteral("The history database %1 was written by a newer version of Corvane (schema %2); this "
                                "version reads schema %3. Use the newer version, or choose another history database; "
                                "this one was left unchanged.")
                     .arg(Where())
                     .arg(version)
                     .arg(CHistoryStore::SchemaVersion());
    }
    return version;
}

QString CHistoryStore::CPrivate::Failure(const QString& what, const QSqlError& sqlError) const
{
    QString reason = sqlError.databaseText().trimmed();
    if (reason.isEmpty())
        reason = sqlError.driverText().trimmed();
    if (reason.isEmpty())
        reason = sqlError.text().trimmed();
    if (reason.isEmpty())
        reason = QStringLiteral("unknown error");
    return QStringLiteral("%1 %2: %3").arg(what, Where(), reason);
}

QSqlQuery* CHistoryStore::CPrivate::Prepare(const QString& sql, QString* error)
{
    auto found = m_Statements.find(sql);
    if (found != m_Statements.end())
        return found->second.get();
    auto query = std::make_unique<QSqlQuery>(m_Db);
    // PostgreSQL: Qt streams a forward-only result row by row, and the connection then runs
    // nothing else until it is done; the readers look up texts while they walk their rows.
    query->setForwardOnly(!m_bPostgres);
    if (!query->prepare(sql)) {
        if (error)
            *error = Failure(QStringLiteral("Cannot use the history database"), query->lastError());
        return nullptr;
    }
    return m_Statements.emplace(sql, std::move(query)).first->second.get();
}

bool CHistoryStore::CPrivate::Exec(QSqlQuery& query, const QString& what, QString* error)
{
    if (query.exec())
        return true;
    if (error)
        *error = Failure(what, query.lastError());
    return false;
}

bool CHistoryStore::CPrivate::ExecText(const QString& sql, const QString& what, QString* error)
{
    QSqlQuery query(m_Db);
    if (query.exec(sql))
        return true;
    if (error)
        *error = Failure(what + QStringLiteral(" the history database"), query.lastError());
    return false;
}

bool CHistoryStore::CPrivate::Begin(QString* error)
{
    m_NewTasks.clear();
    m_NewStrings.clear();
    // IMMEDIATE takes the write lock at once, so a second writer waits in the busy handler
    // instead of failing half way when its read lock cannot be upgraded.
    return ExecText(m_bPostgres ? QStringLiteral("BEGIN") : QStringLiteral("BEGIN IMMEDIATE"),
                    QStringLiteral("Cannot write to"), error);
}

bool CHistoryStore::CPrivate::Commit(QString* error)
{
    if (ExecText(QStringLiteral("COMMIT"), QStringLiteral("Cannot write to"), error)) {
        m_NewTasks.clear();
        m_NewStrings.clear();
        return true;
    }
    Rollback();
    return false;
}

void CHistoryStore::CPrivate::Rollback()
{
    for (auto& [sql, query] : m_Statements)
        query->finish();
    QSqlQuery query(m_Db);
    query.exec(QStringLiteral("ROLLBACK"));
    for (const QString& key : std::as_const(m_NewTasks))
        m_TaskIds.remove(key);
    for (const QString& text : std::as_const(m_NewStrings)) {
        const auto found = m_Strings.constFind(text);
        if (found != m_Strings.constEnd()) {
            m_StringTexts.remove(found->m_Id);
            m_Strings.erase(found);
        }
    }
    // Touched entries may carry a last use that was never written.
    for (auto& entry : m_Strings)
        entry.m_LastMs = 0;
    m_NewTasks.clear();
    m_NewStrings.clear();
}

void CHistoryStore::CPrivate::ForgetCaches()
{
    m_TaskIds.clear();
    m_Strings.clear();
    m_StringTexts.clear();
    m_NewTasks.clear();
    m_NewStrings.clear();
    m_CachedChars = 0;
}
