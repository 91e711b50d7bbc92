#include "support/PostgresTestServer.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QVersionNumber>

#include <memory>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// The newest installed server: Debian keeps each major version in its own folder.
QString FindBinDir()
{
    QString best;
    QVersionNumber bestVersion;
    const QDir root(QStringLiteral("/usr/lib/postgresql"));
    for (const QString& version : root.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        const QString bin = root.filePath(version + QStringLiteral("/bin"));
        const QVersionNumber number = QVersionNumber::fromString(version);
        if (QFileInfo::exists(bin + QStringLiteral("/initdb")) && (best.isEmpty() || number > bestVersion)) {
            best = bin;
            bestVersion = number;
        }
    }
    return best;
}

// A port nobody listens on right now (the server takes it a moment later).
int FreeLoopbackPort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return -1;
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    int port = -1;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0
        && ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    ::close(fd);
    return port;
}

} // namespace

CPostgresTestServer::~CPostgresTestServer()
{
    if (m_bRunning) {
        Run(m_BinDir + QStringLiteral("/pg_ctl"),
            {QStringLiteral("-D"), m_DataDir, QStringLiteral("-m"), QStringLiteral("immediate"), QStringLiteral("-w"),
             QStringLiteral("stop")},
            30000);
    }
}

CPostgresTestServer* CPostgresTestServer::Shared(QString* whyNot)
{
    static std::unique_ptr<CPostgresTestServer> server;
    static QString failure;
    static bool tried = false;
    if (!tried) {
        tried = true;
        auto candidate = std::make_unique<CPostgresTestServer>();
        if (candidate->Start())
            server = std::move(candidate);
        else
            failure = candidate->Error();
    }
    if (!server && whyNot)
        *whyNot = failure;
    return server.get();
}

bool CPostgresTestServer::Run(const QString& program, const QStringList& arguments, int timeoutMs)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    if (m_bAsPostgres) {
        process.setProgram(QStringLiteral("runuser"));
        process.setArguments(
            QStringList {QStringLiteral("-u"), QStringLiteral("postgres"), QStringLiteral("--"), program} + arguments);
    } else {
        process.setProgram(program);
        process.setArguments(arguments);
    }
    process.start();
    if (!process.waitForStarted(10000)) {
        m_Error = QStringLiteral("%1 did not start: %2").arg(process.program(), process.errorString());
        return false;
    }
    if (!process.waitForFinished(timeoutMs)) {
        process.kill();
        process.waitForFinished(3000);
        m_Error = QStringLiteral("%1 did not finish in time").arg(QFileInfo(program).fileName());
        return false;
    }
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        m_Error = QStringLiteral("%1 failed: %2")
                      .arg(QFileInfo(program).fileName(), QString::fromLocal8Bit(process.readAll()).trimmed());
        return false;
    }
    return true;
}

bool CPostgresTestServer::Start()
{
    m_BinDir = FindBinDir();
    if (m_BinDir.isEmpty()) {
        m_Error = QStringLiteral("no PostgreSQL server is installed under /usr/lib/postgresql");
        return false;
    }
    if (!QSqlDatabase::isDriverAvailable(QStringLiteral("QPSQL"))) {
        m_Error = QStringLiteral("Qt's PostgreSQL driver (QPSQL) is not installed");
        return false;
    }
    if (!m_Folder.isValid()) {
        m_Error = QStringLiteral("no temporary folder");
        return false;
    }
    m_bAsPostgres = ::geteuid() == 0;
    if (m_bAsPostgres) {
        const passwd* account = ::getpwnam("postgres");
        if (!account) {
            m_Error = QStringLiteral("running as root and there is no \"postgres\" account for initdb");
            return false;
        }
        if (::chown(QFile::encodeName(m_Folder.path()).constData(), account->pw_uid, account->pw_gid) != 0) {
            m_Error = QStringLiteral("cannot hand the temporary folder to the postgres account");
            return false;
        }
    }
    m_DataDir = m_Folder.filePath(QStringLiteral("data"));
    if (!Run(m_BinDir + QStringLiteral("/initdb"),
             {QStringLiteral("-D"), m_DataDir, QStringLiteral("-U"), QStringLiteral("corvane"), QStringLiteral("-A"),
              QStringLiteral("trust"), QStringLiteral("-E"), QStringLiteral("UTF8"), QStringLiteral("--locale=C"),
              QStringLiteral("--no-sync")},
             120000))
        return false;
    m_nPort = FreeLoopbackPort();
    if (m_nPort <= 0) {
        m_Error = QStringLiteral("no free loopback port");
        return false;
    }
    // Durability settings off: a test cluster is thrown away, and they make it much faster.
    const QString options = QStringLiteral("-p %1 -k %2 -c listen_addresses=127.0.0.1 -c fsync=off -c "
                                           "synchronous_commit=off -c full_page_writes=off")
                                .arg(m_nPort)
                                .arg(m_Folder.path());
    if (!Run(m_BinDir + QStringLiteral("/pg_ctl"),
             {QStringLiteral("-D"), m_DataDir, QStringLiteral("-l"), m_Folder.filePath(QStringLiteral("server.log")),
              QStringLiteral("-o"), options, QStringLiteral("-w"), QStringLiteral("-t"), QStringLiteral("60"),
              QStringLiteral("start")},
             90000))
        return false;
    m_bRunning = true;
    return true;
}

bool CPostgresTestServer::Stop()
{
    if (!Run(m_BinDir + QStringLiteral("/pg_ctl"),
             {QStringLiteral("-D"), m_DataDir, QStringLiteral("-m"), QStringLiteral("fast"), QStringLiteral("-w"),
              QStringLiteral("stop")},
             60000))
        return false;
    m_bRunning = false;
    return true;
}

bool CPostgresTestServer::Restart()
{
    // restart takes the options of the last start from postmaster.opts.
    if (!Run(m_BinDir + QStringLiteral("/pg_ctl"),
             {QStringLiteral("-D"), m_DataDir, QStringLiteral("-l"), m_Folder.filePath(QStringLiteral("server.log")),
              QStringLiteral("-m"), QStringLiteral("fast"), QStringLiteral("-w"), QStringLiteral("-t"),
              QStringLiteral("60"), QStringLiteral("restart")},
             90000))
        return false;
    m_bRunning = true;
    return true;
}

QString CPostgresTestServer::CreateDatabase()
{
    const QString name = QStringLiteral("history_%1").arg(++m_nDatabases);
    const QString connection = QStringLiteral("postgres-test-admin");
    bool ok = false;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), connection);
        db.setHostName(QStringLiteral("127.0.0.1"));
        db.setPort(m_nPort);
        db.setUserName(QStringLiteral("corvane"));
        db.setDatabaseName(QStringLiteral("postgres"));
        if (!db.open()) {
            m_Error = db.lastError().text();
        } else {
            QSqlQuery query(db);
            ok = query.exec(QStringLiteral("CREATE DATABASE %1").arg(name));
            if (!ok)
                m_Error = query.lastError().text();
        }
        db.close();
    }
    QSqlDatabase::removeDatabase(connection);
    if (!ok)
        return QString();
    return QStringLiteral("postgresql://corvane@127.0.0.1:%1/%2").arg(m_nPort).arg(name);
}
