#pragma once

#include <QString>

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

// A real HTTP server on 127.0.0.1, on a port the system picks, serving from its own threads.
// Register handlers with Get() (or on Server()) before Start(): httplib reads its handler
// table without a lock once it serves. The destructor stops the server and waits for it.
class CHttpTestServer
{
public:
    enum eScheme
    {
        eHttp,
        // HTTPS with the self-signed certificate of tests/data/tls, which no client trusts
        // unless told to: for checking that certificates are verified.
        eHttpsSelfSigned,
    };

    explicit CHttpTestServer(eScheme scheme = eHttp);
    // HTTPS with the certificate and key of the PEM files given, made by the test.
    CHttpTestServer(const std::string& certificateFile, const std::string& keyFile);
    ~CHttpTestServer();
    CHttpTestServer(const CHttpTestServer&) = delete;
    CHttpTestServer& operator=(const CHttpTestServer&) = delete;

    // For anything Get() does not cover. Leave the pre-routing handler alone: it counts.
    httplib::Server& Server() { return *m_pServer; }
    void Get(const std::string& pattern, httplib::Server::Handler handler);

    // Serves from a background thread; returns once requests are answered.
    bool Start();

    int Port() const { return m_nPort; }
    // "http://127.0.0.1:<port>" (or https), without a final "/".
    QString BaseUrl() const;
    // BaseUrl() followed by path, which starts with "/".
    QString Url(const QString& path) const;

    int RequestCount() const;
    // Client connections that sent at least one request: fewer than RequestCount() when
    // a client kept a connection alive.
    int ConnectionCount() const;
    // Paths of the requests so far (without the query), in arrival order.
    std::vector<std::string> RequestedPaths() const;
    // Headers of the last request, to check what a client sends.
    httplib::Headers LastRequestHeaders() const;

    // For handlers that take their time: sleeps for the duration, but returns false at
    // once when the server shuts down, so that no slow handler holds up the destructor.
    bool Pause(std::chrono::milliseconds duration) const;

private:
    CHttpTestServer(std::unique_ptr<httplib::Server> server, eScheme scheme);

    std::unique_ptr<httplib::Server> m_pServer;
    eScheme m_Scheme;
    int m_nPort = -1;
    std::thread m_Thread;
    std::atomic<bool> m_bStopping {false};

    mutable std::mutex m_Lock;
    int m_nRequests = 0;
    std::set<std::pair<std::string, int>> m_Connections;
    std::vector<std::string> m_Paths;
    httplib::Headers m_LastHeaders;
};

// A TCP socket on 127.0.0.1 that listens and never accepts or reads: connections complete
// in the kernel's backlog, but no byte ever comes back, as from a hung server.
class CSilentListener
{
public:
    CSilentListener();
    ~CSilentListener();
    CSilentListener(const CSilentListener&) = delete;
    CSilentListener& operator=(const CSilentListener&) = delete;

    bool IsListening() const { return m_nPort > 0; }
    int Port() const { return m_nPort; }
    QString Url(const QString& path) const;
    // True once a client's connection waits in the backlog (it is never accepted), within
    // `timeoutMs`.
    bool WaitForConnection(int timeoutMs) const;

private:
    int m_nSocket = -1;
    int m_nPort = -1;
};

// A loopback port that refuses connections: a socket is bound to it but never listens, so
// no other program can start listening there while the object lives.
class CRefusingPort
{
public:
    CRefusingPort();
    ~CRefusingPort();
    CRefusingPort(const CRefusingPort&) = delete;
    CRefusingPort& operator=(const CRefusingPort&) = delete;

    int Port() const { return m_nPort; }
    QString Url(const QString& path) const;

private:
    int m_nSocket = -1;
    int m_nPort = -1;
};

// A bare HTTP/1.1 server on 127.0.0.1 that answers as the test scripts it, for what a
// well-behaved server library never does: a connection closed with no answer at all, or a
// kept-alive connection closed without a word after a number of answers, as servers with a
// keep-alive request limit and load balancers do. One thread per connection, so clients that
// keep many connections open are all served at once.
class CScriptedHttpServer
{
public:
    struct CAnswer
    {
        bool m_bDrop = false; // the connection is closed instead of answering
        int m_nStatus = 200;
        std::string m_ContentType = "text/html";
        std::string m_Body;
        std::vector<std::pair<std::string, std::string>> m_Headers;
    };
    // Called on the connection's thread for each request, with its path (query included).
    using Handler = std::function<CAnswer(const std::string& path)>;

    // closeAfter, when above 0: every connection is closed once it has answered that many
    // requests, without "Connection: close" having told the client.
    explicit CScriptedHttpServer(Handler handler, int closeAfter = 0);
    ~CScriptedHttpServer();
    CScriptedHttpServer(const CScriptedHttpServer&) = delete;
    CScriptedHttpServer& operator=(const CScriptedHttpServer&) = delete;

    bool IsListening() const { return m_nPort > 0; }
    int Port() const { return m_nPort; }
    QString Url(const QString& path) const;

    // Paths (query included) of the requests so far, in arrival order, dropped ones too.
    std::vector<std::string> RequestedPaths() const;
    int ConnectionCount() const;

private:
    void AcceptLoop();
    void Serve(int socket);
    bool WaitReadable(int socket) const;

    Handler m_Handler;
    int m_nCloseAfter;
    int m_nSocket = -1;
    int m_nPort = -1;
    std::atomic<bool> m_bStopping {false};
    std::thread m_AcceptThread;

    mutable std::mutex m_Lock;
    std::vector<std::thread> m_ConnectionThreads;
    std::vector<std::string> m_Paths;
    int m_nConnections = 0;
};
