#include "support/HttpTestServer.h"

#include <QByteArray>

#include <arpa/inet.h>
#include <netinet/in.h>
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

CHttpTestServer::CHttpTestServer(eScheme scheme)
    : m_pServer(MakeServer(scheme))
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
