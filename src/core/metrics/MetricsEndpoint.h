#pragma once

#include "core/history/CheckResult.h"
#include "core/metrics/MetricsAddress.h"

#include <QByteArray>
#include <QHash>
#include <QObject>
#include <QTimer>

#include <memory>

class CHub;
struct MHD_Daemon;

// The Prometheus endpoint: GET /metrics and /healthz on one address, served from the HTTP
// library's own thread. The monitor's side (the UI thread) keeps every task's latest result
// and counters and writes the page anew when they change; the server thread only copies the
// finished page under a lock, so a slow or hostile client can never hold up a check, and a
// check never waits for a client. Each connection is bounded in time and size.
class CMetricsEndpoint : public QObject
{
    Q_OBJECT

public:
    // Longest a connection may stay silent, and the most a request's head may take.
    static constexpr unsigned kIdleTimeoutSec = 1;
    static constexpr size_t kRequestMemoryBytes = 8 * 1024;
    static constexpr unsigned kMaxConnections = 64;

    explicit CMetricsEndpoint(CHub* hub, QObject* parent = nullptr);
    ~CMetricsEndpoint() override;

    // Parses the address and starts serving there; a non-loopback address only with
    // allowRemote. False with the reason when the address is bad, refused, or cannot be
    // listened on (in use, not on this machine).
    bool Start(const QString& listen, bool allowRemote, QString* error);
    void Stop();
    bool IsServing() const { return m_pDaemon != nullptr; }
    // Where it listens, with the port the system picked for port 0: "http://127.0.0.1:9100".
    QString BaseUrl() const;

    // The page as the server hands it out now (tests, and the server thread).
    QByteArray Page() const;

    struct CShared;

private:
    struct CCounters
    {
        bool m_bHasResult = false;
        CCheckResult m_Last;
        quint64 m_Runs = 0;
        quint64 m_Failures = 0;
    };

    void OnResult(const CCheckResult& result);
    // Takes the latest verdict the result history holds of every task not heard of since
    // the start, so a scrape right after a restart shows the state the monitor was in; the
    // run counters start from nothing, as Prometheus expects of a restart.
    void AskHistory();
    void Render();

    CHub* m_pHub;
    QHash<QString, CCounters> m_Tasks; // by task key
    QTimer m_Debounce; // folds a burst of changes (a task file read) into one new page
    QTimer m_AskDebounce; // and the tasks a burst added into one question to the history
    std::shared_ptr<CShared> m_pShared;
    MHD_Daemon* m_pDaemon = nullptr;
    CMetricsAddress m_Address;
};
