#include "support/HttpTestServer.h"

#include <QByteArray>

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {
const char kLoopback[] = "127.0.0.1";

// Tests talk to their own servers only. A proxy named in the developer's environment would
// otherwise receive, or refuse, every request meant for the loopback server.
void BypassProxiesForLoopback()
{
    for (const char* name : {"no_proxy", "NO_PROXY"}) {
        QByteArray value = qgetenv(name);
        if (!value.contains("127.0.0.1")) {
            value += value.isEmpty() ? "127.0.0.1,::1,localhost" : ",127.0.0.1,::1,localhost";
            qputenv(name, value);
        }
    }
}

QString LoopbackUrl(int port, const QString& path)
{
    return QStringLiteral("http://%1:%2").arg(QLatin1String(kLoopback)).arg(port) + path;
}

// A TCP socket bound to the loopback address on a port the system picks; -1 on failure.
int BindLoopbackSocket(int& port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) {
        return -1;
    }
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_port = 0;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0
        || ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        ::close(fd);
        return -1;
    }
    port = ntohs(address.sin_port);
    return fd;
}
std::unique_ptr<httplib::Server> MakeServer(CHttpTestServer::eScheme scheme)
{
    if (scheme == CHttpTestServer::eHttpsSelfSigned) {
        const std::string folder = CORVANE_TEST_DATA_DIR "/tls/";
        return std::make_unique<httplib::SSLServer>((folder + "loopback.crt").c_str(),
                                                    (folder + "loopback.key").c_str());
    }
    return std::make_unique<httplib::Server>();
}
} // namespace

CHttpTestServer::CHttpTestServer(const std::string& certificateFile, const std::string& keyFile)
    : CHttpTestServer(std::make_unique<httplib::SSLServer>(certificateFile.c_str(), keyFile.c_str()), eHttpsSelfSigned)
{ }

CHttpTestServer::CHttpTestServer(eScheme scheme)
    : CHttpTestServer(MakeServer(scheme), scheme)
{ }

CHttpTestServer::CHttpTestServer(std::unique_ptr<httplib::Server> server, eScheme scheme)
    : m_pServer(std::move(server))
    , m_Scheme(scheme)
{
    BypassProxiesForLoopback();
    // A client that keeps a connection open holds one server thread until this runs out,
    // and the destructor waits for that thread.
    m_pServer->set_keep_alive_timeout(2);
    m_pServer->set_pre_routing_handler([this](const httplib::Request& request, httplib::Response&) {
        std::lock_guard lock(m_Lock);
        ++m_nRequests;
        m_Connections.emplace(request.remote_addr, request.remote_port);
        m_Paths.push_back(request.path);
        m_LastHeaders = request.headers;
        return httplib::Server::HandlerResponse::Unhandled;
    });
    m_nPort = m_pServer->bind_to_any_port(kLoopback);
}

CHttpTestServer::~CHttpTestServer()
{
    m_bStopping = true;
    m_pServer->stop();
    if (m_Thread.joinable()) {
        m_Thread.join();
    }
}

void CHttpTestServer::Get(const std::string& pattern, httplib::Server::Handler handler)
{
    m_pServer->Get(pattern, std::move(handler));
}

bool CHttpTestServer::Start()
{
    if (m_nPort <= 0 || m_Thread.joinable()) {
        return false;
    }
    m_Thread = std::thread([this] { m_pServer->listen_after_bind(); });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!m_pServer->is_running()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

QString CHttpTestServer::BaseUrl() const
{
    const QString url = LoopbackUrl(m_nPort, QString());
    return m_Scheme == eHttp ? url : QStringLiteral("https") + url.mid(4);
}

QString CHttpTestServer::Url(const QString& path) const
{
    return BaseUrl() + path;
}

int CHttpTestServer::RequestCount() const
{
    std::lock_guard lock(m_Lock);
    return m_nRequests;
}

int CHttpTestServer::ConnectionCount() const
{
    std::lock_guard lock(m_Lock);
    return int(m_Connections.size());
}

std::vector<std::string> CHttpTestServer::RequestedPaths() const
{
    std::lock_guard lock(m_Lock);
    return m_Paths;
}

httplib::Headers CHttpTestServer::LastRequestHeaders() const
{
    std::lock_guard lock(m_Lock);
    return m_LastHeaders;
}

bool CHttpTestServer::Pause(std::chrono::milliseconds duration) const
{
    const auto deadline = std::chrono::steady_clock::now() + duration;
    while (!m_bStopping) {
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline) {
            return true;
        }
        std::this_thread::sleep_for(
            std::min<std::chrono::steady_clock::duration>(deadline - now, std::chrono::milliseconds(10)));
    }
    return false;
}

CSilentListener::CSilentListener()
{
    int port = -1;
    m_nSocket = BindLoopbackSocket(port);
    if (m_nSocket >= 0 && ::listen(m_nSocket, 16) == 0) {
        m_nPort = port;
    }
}

CSilentListener::~CSilentListener()
{
    if (m_nSocket >= 0) {
        ::close(m_nSocket);
    }
}

QString CSilentListener::Url(const QString& path) const
{
    return LoopbackUrl(m_nPort, path);
}

bool CSilentListener::WaitForConnection(int timeoutMs) const
{
    // A listening socket reads as readable while a connection waits to be accepted.
    pollfd listening {m_nSocket, POLLIN, 0};
    return m_nSocket >= 0 && ::poll(&listening, 1, timeoutMs) == 1;
}

CRefusingPort::CRefusingPort()
{
    m_nSocket = BindLoopbackSocket(m_nPort);
}

CRefusingPort::~CRefusingPort()
{
    if (m_nSocket >= 0) {
        ::close(m_nSocket);
    }
}

QString CRefusingPort::Url(const QString& path) const
{
    return LoopbackUrl(m_nPort, path);
}

CScriptedHttpServer::CScriptedHttpServer(Handler handler, int closeAfter)
    : m_Handler(std::move(handler))
    , m_nCloseAfter(closeAfter)
{
    BypassProxiesForLoopback();
    int port = -1;
    m_nSocket = BindLoopbackSocket(port);
    if (m_nSocket >= 0 && ::listen(m_nSocket, 128) == 0) {
        m_nPort = port;
        m_AcceptThread = std::thread([this] { AcceptLoop(); });
    }
}

CScriptedHttpServer::~CScriptedHttpServer()
{
    m_bStopping = true;
    if (m_AcceptThread.joinable()) {
        m_AcceptThread.join();
    }
    // No thread is added once the accepting one has ended.
    for (std::thread& thread : m_ConnectionThreads) {
        thread.join();
    }
    if (m_nSocket >= 0) {
        ::close(m_nSocket);
    }
}

QString CScriptedHttpServer::Url(const QString& path) const
{
    return LoopbackUrl(m_nPort, path);
}

std::vector<std::string> CScriptedHttpServer::RequestedPaths() const
{
    std::lock_guard lock(m_Lock);
    return m_Paths;
}

int CScriptedHttpServer::ConnectionCount() const
{
    std::lock_guard lock(m_Lock);
    return m_nConnections;
}

bool CScriptedHttpServer::WaitReadable(int socket) const
{
    // In short steps, so that the destructor never waits long for a quiet client.
    while (!m_bStopping) {
        pollfd entry {socket, POLLIN, 0};
        const int ready = ::poll(&entry, 1, 20);
        if (ready > 0) {
            return true;
        }
        if (ready < 0 && errno != EINTR) {
            return false;
        }
    }
    return false;
}

void CScriptedHttpServer::AcceptLoop()
{
    while (WaitReadable(m_nSocket)) {
        const int connection = ::accept(m_nSocket, nullptr, nullptr);
        if (connection < 0) {
            continue;
        }
        std::lock_guard lock(m_Lock);
        ++m_nConnections;
        m_ConnectionThreads.emplace_back([this, connection] {
            Serve(connection);
            ::close(connection);
        });
    }
}

void CScriptedHttpServer::Serve(int socket)
{
    std::string received;
    int answered = 0;
    for (;;) {
        size_t end = received.find("\r\n\r\n");
        while (end == std::string::npos) {
            char buffer[4096];
            if (!WaitReadable(socket)) {
                return;
            }
            const ssize_t count = ::recv(socket, buffer, sizeof(buffer), 0);
            if (count <= 0) {
                return;
            }
            received.append(buffer, size_t(count));
            end = received.find("\r\n\r\n");
        }
        // Requests without a body only: the request line names all a test needs.
        const std::string head = received.substr(0, end);
        received.erase(0, end + 4);
        const size_t methodEnd = head.find(' ');
        const size_t pathEnd = head.find(' ', methodEnd + 1);
        if (methodEnd == std::string::npos || pathEnd == std::string::npos) {
            return;
        }
        const std::string method = head.substr(0, methodEnd);
        const std::string path = head.substr(methodEnd + 1, pathEnd - methodEnd - 1);
        {
            std::lock_guard lock(m_Lock);
            m_Paths.push_back(path);
        }
        const CAnswer answer = m_Handler(path);
        if (answer.m_bDrop) {
            return;
        }
        std::string response = "HTTP/1.1 " + std::to_string(answer.m_nStatus) + " Scripted\r\n";
        response += "Content-Type: " + answer.m_ContentType + "\r\n";
        response += "Content-Length: " + std::to_string(answer.m_Body.size()) + "\r\n";
        for (const auto& [name, value] : answer.m_Headers) {
            response += name + ": " + value + "\r\n";
        }
        response += "\r\n";
        if (method != "HEAD") {
            response += answer.m_Body;
        }
        for (size_t sent = 0; sent < response.size();) {
            const ssize_t count = ::send(socket, response.data() + sent, response.size() - sent, MSG_NOSIGNAL);
            if (count <= 0) {
                return;
            }
            sent += size_t(count);
        }
        if (m_nCloseAfter > 0 && ++answered >= m_nCloseAfter) {
            return;
        }
    }
}
