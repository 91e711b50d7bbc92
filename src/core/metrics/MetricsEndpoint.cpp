#include "core/metrics/MetricsEndpoint.h"

#include "core/history/HistoryStore.h"
#include "core/history/HistoryThread.h"
#include "core/metrics/MetricsExposition.h"
#include "core/shell/Hub.h"
#include "core/tasks/VigrelDoc.h"

#include <microhttpd.h>

#include <cerrno>
#include <cstring>
#include <mutex>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

// What the server thread reads: the latest page, swapped in whole under the lock.
struct CMetricsEndpoint::CShared
{
    mutable std::mutex m_Lock;
    QByteArray m_Page;
};

namespace {

MHD_Result Reply(MHD_Connection* connection, unsigned status, const QByteArray& body, const char* contentType,
                 const char* allow = nullptr)
{
    MHD_Response* response = MHD_create_response_from_buffer(size_t(body.size()), const_cast<char*>(body.constData()),
                                                             MHD_RESPMEM_MUST_COPY);
    if (!response)
        return MHD_NO;
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, contentType);
    if (allow)
        MHD_add_response_header(response, MHD_HTTP_HEADER_ALLOW, allow);
    const MHD_Result queued = MHD_queue_response(connection, status, response);
    MHD_destroy_response(response);
    return queued;
}

// On the server's thread. Answers at the first call, before any request body is read: no
// path takes one, and a body sent anyway is not waited for (the connection is closed after
// the answer).
MHD_Result Answer(void* cls, MHD_Connection* connection, const char* url, const char* method, const char*, const char*,
                  size_t*, void**)
{
    const auto* shared = static_cast<const CMetricsEndpoint::CShared*>(cls);
    const bool metrics = std::strcmp(url, "/metrics") == 0;
    const bool health = std::strcmp(url, "/healthz") == 0;
    if (!metrics && !health)
        return Reply(connection, MHD_HTTP_NOT_FOUND, "Not found; try /metrics\n", "text/plain; charset=utf-8");
    // HEAD is GET without the body, which the library leaves out by itself.
    if (std::strcmp(method, MHD_HTTP_METHOD_GET) != 0 && std::strcmp(method, MHD_HTTP_METHOD_HEAD) != 0)
        return Reply(connection, MHD_HTTP_METHOD_NOT_ALLOWED, "Only GET and HEAD\n", "text/plain; charset=utf-8",
                     "GET, HEAD");
    if (health)
        return Reply(connection, MHD_HTTP_OK, "ok\n", "text/plain; charset=utf-8");
    QByteArray page;
    {
        std::lock_guard guard(shared->m_Lock);
        page = shared->m_Page; // shares the bytes; the copy is made by the library outside the lock
    }
    return Reply(connection, MHD_HTTP_OK, page, kMetricsContentType);
}

// The listening socket is made here rather than by the library, so that a port in use or an
// address not on this machine is reported with the system's reason.
int OpenListener(const CMetricsAddress& address, int& boundPort, QString* error)
{
    sockaddr_storage storage {};
    socklen_t length = 0;
    const QByteArray host = address.m_Host.toLatin1();
    if (address.m_bIpv6) {
        auto* v6 = reinterpret_cast<sockaddr_in6*>(&storage);
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(quint16(address.m_Port));
        inet_pton(AF_INET6, host.constData(), &v6->sin6_addr);
        length = sizeof(sockaddr_in6);
    } else {
        auto* v4 = reinterpret_cast<sockaddr_in*>(&storage);
        v4->sin_family = AF_INET;
        v4->sin_port = htons(quint16(address.m_Port));
        inet_pton(AF_INET, host.constData(), &v4->sin_addr);
        length = sizeof(sockaddr_in);
    }
    // Close-on-exec: an alert program started later must not inherit the port.
    const int fd = ::socket(storage.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *error = QString::fromLocal8Bit(std::strerror(errno));
        return -1;
    }
    const int on = 1;
    // A restart right after a stop finds the port free although old connections linger.
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (address.m_bIpv6) {
        // "[::]" takes IPv4 clients as well, as a user who names every address expects.
        const int v6Only = IN6_IS_ADDR_UNSPECIFIED(&reinterpret_cast<sockaddr_in6*>(&storage)->sin6_addr) ? 0 : 1;
        ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &v6Only, sizeof v6Only);
    }
    if (::bind(fd, reinterpret_cast<sockaddr*>(&storage), length) != 0 || ::listen(fd, 16) != 0) {
        const int code = errno;
        ::close(fd);
        *error = code == EADDRINUSE ? QStringLiteral("the port is in use by another program")
            : code == EADDRNOTAVAIL ? QStringLiteral("the address is not one of this machine's")
                                    : QString::fromLocal8Bit(std::strerror(code));
        return -1;
    }
    sockaddr_storage bound {};
    socklen_t boundLength = sizeof bound;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &boundLength);
    boundPort = ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                                                  : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
    return fd;
}

} // namespace

CMetricsEndpoint::CMetricsEndpoint(CHub* hub, QObject* parent)
    : QObject(parent)
    , m_pHub(hub)
    , m_pShared(std::make_shared<CShared>())
{
    connect(hub, &CHub::CheckResultReady, this, &CMetricsEndpoint::OnResult);
    m_Debounce.setSingleShot(true);
    m_Debounce.setInterval(0);
    connect(&m_Debounce, &QTimer::timeout, this, &CMetricsEndpoint::Render);
    m_AskDebounce.setSingleShot(true);
    m_AskDebounce.setInterval(0);
    connect(&m_AskDebounce, &QTimer::timeout, this, &CMetricsEndpoint::AskHistory);
    // The history may open after the server started (the headless program checks its address
    // before anything runs), and again when the settings change.
    connect(hub, &CHub::HistoryOpened, this, [this] {
        if (IsServing())
            m_AskDebounce.start();
    });
    if (CVigrelDoc* document = hub->GetDocument()) {
        // The page follows the task list: names as they are now, removed tasks gone.
        const auto changed = [this] {
            m_Debounce.start();
        };
        connect(document, &CVigrelDoc::TaskAdded, this, [this] {
            m_Debounce.start();
            if (IsServing())
                m_AskDebounce.start();
        });
        connect(document, &CVigrelDoc::TaskChanged, this, changed);
        connect(document, &CVigrelDoc::TaskRemoved, this, changed);
        connect(document, &CVigrelDoc::TasksCleared, this, changed);
    }
    Render();
}

CMetricsEndpoint::~CMetricsEndpoint()
{
    Stop();
}

bool CMetricsEndpoint::Start(const QString& listen, bool allowRemote, QString* error)
{
    Stop();
    QString reason;
    CMetricsAddress address;
    if (!ParseMetricsAddress(listen, address, &reason)) {
        if (error)
            *error = reason;
        return false;
    }
    if (!address.IsLoopback() && !allowRemote) {
        if (error)
            *error = QStringLiteral("%1 is not a loopback address, so other machines could read the metrics; allow "
                                    "that explicitly with --metrics-allow-remote or the setting m_bMetricsAllowRemote")
                         .arg(address.m_Host);
        return false;
    }
    int port = 0;
    const int fd = OpenListener(address, port, &reason);
    if (fd < 0) {
        if (error)
            *error = QStringLiteral("cannot listen on %1: %2").arg(address.ToString(), reason);
        return false;
    }
    // One thread of the library's own polls every connection. No connection may be idle
    // for more than a second or bring a head larger than the memory it is given, so a
    // client that connects and says nothing, or sends headers without end, is cut off.
    unsigned flags = MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_AUTO;
    if (address.m_bIpv6)
        flags |= MHD_USE_IPv6;
    m_pDaemon = MHD_start_daemon(flags, 0, nullptr, nullptr, &Answer, m_pShared.get(), MHD_OPTION_LISTEN_SOCKET, fd,
                                 MHD_OPTION_CONNECTION_TIMEOUT, kIdleTimeoutSec, MHD_OPTION_CONNECTION_MEMORY_LIMIT,
                                 kRequestMemoryBytes, MHD_OPTION_CONNECTION_LIMIT, kMaxConnections, MHD_OPTION_END);
    if (!m_pDaemon) {
        ::close(fd);
        if (error)
            *error = QStringLiteral("cannot serve on %1: the HTTP server did not start").arg(address.ToString());
        return false;
    }
    m_Address = address;
    m_Address.m_Port = port;
    AskHistory();
    return true;
}

void CMetricsEndpoint::AskHistory()
{
    CHistoryThread* history = m_pHub->GetHistory();
    const CVigrelDoc* document = m_pHub->GetDocument();
    if (!history || !document)
        return;
    QStringList keys;
    for (const CTask& task : document->GetTasks()) {
        if (!task.m_TaskGuid.isEmpty() && !m_Tasks.value(task.m_TaskGuid).m_bHasResult)
            keys.append(task.m_TaskGuid);
    }
    if (keys.isEmpty())
        return;
    history->Query<QList<CCheckResult>>(
        [keys](CHistoryStore& store) {
            QList<CCheckResult> latest;
            for (const QString& key : keys) {
                const CTaskStatus status = store.GetStatus(key);
                if (status.m_LastResult && status.m_LastResult->m_Verdict != eVerdict::eStopped)
                    latest.append(*status.m_LastResult);
            }
            return latest;
        },
        this,
        [this](const QList<CCheckResult>& latest) {
            // A run that ended while the history was asked is newer than its answer.
            for (const CCheckResult& result : latest) {
                CCounters& counters = m_Tasks[result.m_TaskKey];
                if (counters.m_bHasResult)
                    continue;
                counters.m_bHasResult = true;
                counters.m_Last = result;
            }
            Render();
        });
}

void CMetricsEndpoint::Stop()
{
    // Waits for the server's thread; it closes the listening socket with it.
    if (m_pDaemon)
        MHD_stop_daemon(m_pDaemon);
    m_pDaemon = nullptr;
}

QString CMetricsEndpoint::BaseUrl() const
{
    return QStringLiteral("http://") + m_Address.ToString();
}

QByteArray CMetricsEndpoint::Page() const
{
    std::lock_guard guard(m_pShared->m_Lock);
    return m_pShared->m_Page;
}

void CMetricsEndpoint::OnResult(const CCheckResult& result)
{
    // A stopped run says nothing of the site: the latest verdict stands.
    if (result.m_Verdict == eVerdict::eStopped || result.m_TaskKey.isEmpty())
        return;
    CCounters& counters = m_Tasks[result.m_TaskKey];
    counters.m_bHasResult = true;
    counters.m_Last = result;
    ++counters.m_Runs;
    if (result.m_Verdict == eVerdict::eFailure)
        ++counters.m_Failures;
    // Written now rather than later: a scrape right after the verdict sees it.
    Render();
}

void CMetricsEndpoint::Render()
{
    m_Debounce.stop();
    QList<CMetricsTask> tasks;
    if (const CVigrelDoc* document = m_pHub->GetDocument()) {
        for (const CTask& task : document->GetTasks()) {
            CMetricsTask shown;
            shown.m_Name = task.m_Name;
            shown.m_Key = task.m_TaskGuid;
            if (const auto it = m_Tasks.constFind(task.m_TaskGuid); it != m_Tasks.cend()) {
                shown.m_bHasResult = it->m_bHasResult;
                shown.m_Last = it->m_Last;
                shown.m_Runs = it->m_Runs;
                shown.m_Failures = it->m_Failures;
            }
            tasks.append(shown);
        }
    }
    QByteArray page = FormatMetrics(tasks);
    std::lock_guard guard(m_pShared->m_Lock);
    std::swap(m_pShared->m_Page, page);
}
