#pragma once

#include <QString>
#include <QStringList>
#include <QTemporaryDir>

// A real PostgreSQL server for tests: a cluster made by initdb in a temporary folder, run
// by pg_ctl on a loopback port the system picks, with trust authentication for local
// connections (user "corvane"). initdb refuses to run as root: then the cluster belongs to
// the "postgres" account and its programs run through runuser. The destructor stops it.
class CPostgresTestServer
{
public:
    CPostgresTestServer() = default;
    ~CPostgresTestServer();
    CPostgresTestServer(const CPostgresTestServer&) = delete;
    CPostgresTestServer& operator=(const CPostgresTestServer&) = delete;

    // One server per test program, started on first use; nullptr (with the reason) when
    // it cannot run here.
    static CPostgresTestServer* Shared(QString* whyNot);

    bool Start();
    bool Stop();
    bool Restart();
    QString Error() const { return m_Error; }
    int Port() const { return m_nPort; }

    // A new empty database; its postgresql:// URI, empty (with Error()) on failure.
    QString CreateDatabase();

private:
    bool Run(const QString& program, const QStringList& arguments, int timeoutMs);

    QTemporaryDir m_Folder;
    QString m_BinDir;
    QString m_DataDir;
    bool m_bAsPostgres = false;
    bool m_bRunning = false;
    int m_nPort = -1;
    int m_nDatabases = 0;
    QString m_Error;
};
