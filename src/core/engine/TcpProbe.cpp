#include "core/engine/TcpProbe.h"

#include "core/support/Curl.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <memory>

#include <poll.h>

namespace {
// How often a wait looks at the stop flag: a stop must end the check within a tenth of a second.
constexpr int kSliceMs = 50;

QString HostWithoutBrackets(const QString& host)
{
    const QString trimmed = host.trimmed();
    if (trimmed.size() >= 2 && trimmed.startsWith(u'[') && trimmed.endsWith(u']'))
        return trimmed.mid(1, trimmed.size() - 2);
    return trimmed;
}

QString TimedOutText(quint32 timeoutMs)
{
    return QStringLiteral("Timed out after %1 s").arg(double(timeoutMs) / 1000.0);
}

qint64 TimeInfoUs(CURL* easy, CURLINFO info)
{
    curl_off_t value = -1;
    return curl_easy_getinfo(easy, info, &value) == CURLE_OK ? qint64(value) : -1;
}

struct CCurlUrlDeleter
{
    void operator()(CURLU* url) const { curl_url_cleanup(url); }
};

// Keeps the easy handle in the multi handle for as long as the connection is used:
// curl_easy_send and curl_easy_recv find a CONNECT_ONLY connection through it.
class CAttachedHandle
{
public:
    CAttachedHandle(CURLM* multi, CURL* easy)
        : m_pMulti(multi)
        , m_pEasy(easy)
        , m_bAdded(curl_multi_add_handle(multi, easy) == CURLM_OK)
    { }
    ~CAttachedHandle()
    {
        if (m_bAdded)
            curl_multi_remove_handle(m_pMulti, m_pEasy);
    }
    CAttachedHandle(const CAttachedHandle&) = delete;
    CAttachedHandle& operator=(const CAttachedHandle&) = delete;
    bool IsAdded() const { return m_bAdded; }

private:
    CURLM* m_pMulti;
    CURL* m_pEasy;
    bool m_bAdded;
};

// Why a connection could not be made, in the words a user knows from other tools.
QString ConnectFailure(CURL* easy, CURLcode code, const char* detail, quint32 timeoutMs)
{
    switch (code) {
    case CURLE_COULDNT_RESOLVE_HOST:
        return QStringLiteral("Host name not found");
    case CURLE_OPERATION_TIMEDOUT:
        return TimedOutText(timeoutMs);
    case CURLE_COULDNT_CONNECT: {
        long osError = 0;
        if (curl_easy_getinfo(easy, CURLINFO_OS_ERRNO, &osError) == CURLE_OK && osError != 0)
            return qt_error_string(int(osError));
        break;
    }
    default:
        break;
    }
    return CurlMessage(code, detail);
}
} // namespace

QString TcpTargetText(const QString& host, int port)
{
    const QString bare = HostWithoutBrackets(host);
    const QString shown = bare.contains(u':') ? QLatin1Char('[') + bare + QLatin1Char(']') : bare;
    return shown + QLatin1Char(':') + QString::number(port);
}

CTcpProbe::CTcpProbe(const std::atomic<bool>* stopRequested)
    : m_pStopRequested(stopRequested)
{ }

bool CTcpProbe::StopRequested() const
{
    return m_pStopRequested && m_pStopRequested->load(std::memory_order_relaxed);
}

CTcpProbeResult CTcpProbe::Run(const QString& host, int port, quint32 timeoutMs, const QByteArray& send,
                               const QByteArray& expect)
{
    using Clock = std::chrono::steady_clock;
    const Clock::time_point started = Clock::now();
    const auto elapsedUs = [started] {
        return qint64(std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - started).count());
    };
    CTcpProbeResult result;
    const auto fail = [&result, &elapsedUs](const QString& reason) {
        result.m_Outcome = CTcpProbeResult::eConnectFailed;
        result.m_Reason = reason;
        result.m_TotalUs = elapsedUs();
        return result;
    };
    const auto stopped = [&result, &elapsedUs] {
        result.m_Outcome = CTcpProbeResult::eStopped;
        result.m_TotalUs = elapsedUs();
        return result;
    };

    const QString bareHost = HostWithoutBrackets(host);
    if (bareHost.isEmpty())
        return fail(QStringLiteral("No host name given"));
    if (port < 1 || port > 65535)
        return fail(QStringLiteral("The port must be from 1 to 65535"));
    // The URL only carries the host and port to libcurl: with CONNECT_ONLY no request is sent,
    // whatever its scheme. Built part by part, so a host cannot smuggle in a path or a user.
    std::unique_ptr<CURLU, CCurlUrlDeleter> url(curl_url());
    const QByteArray urlHost
        = (bareHost.contains(u':') ? QLatin1Char('[') + bareHost + QLatin1Char(']') : bareHost).toUtf8();
    if (!url || curl_url_set(url.get(), CURLUPART_SCHEME, "http", 0) != CURLUE_OK
        || curl_url_set(url.get(), CURLUPART_HOST, urlHost.constData(), 0) != CURLUE_OK
        || curl_url_set(url.get(), CURLUPART_PORT, QByteArray::number(port).constData(), 0) != CURLUE_OK)
        return fail(QStringLiteral("Not a valid host name"));

    CCurlEasy easyHandle;
    CCurlMulti multiHandle;
    if (!easyHandle || !multiHandle)
        return fail(CurlMessage(CURLE_FAILED_INIT));
    CURL* easy = easyHandle.Get();
    std::array<char, CURL_ERROR_SIZE> detail {};
    curl_easy_setopt(easy, CURLOPT_CURLU, url.get());
    curl_easy_setopt(easy, CURLOPT_CONNECT_ONLY, 1L);
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    // The port itself is checked, never a proxy on the way to it.
    curl_easy_setopt(easy, CURLOPT_PROXY, "");
    curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, long(timeoutMs));
    curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, detail.data());
#if LIBCURL_VERSION_NUM >= 0x075700
    // A stop during the name look-up must not wait for the resolver thread to return: the
    // thread is left to end by itself.
    curl_easy_setopt(easy, CURLOPT_QUICK_EXIT, 1L);
#endif

    CURLM* multi = multiHandle.Get();
    CAttachedHandle attached(multi, easy);
    if (!attached.IsAdded())
        return fail(CurlMessage(CURLE_FAILED_INIT));
    // libcurl bounds the connect itself; this only keeps a fault of its from holding the engine.
    const Clock::time_point connectBound = started + std::chrono::milliseconds(timeoutMs) + std::chrono::seconds(1);
    CURLcode connectResult = CURLE_OPERATION_TIMEDOUT;
    for (bool done = false; !done;) {
        if (StopRequested())
            return stopped();
        int running = 0;
        if (curl_multi_perform(multi, &running) != CURLM_OK)
            return fail(CurlMessage(CURLE_FAILED_INIT));
        int queued = 0;
        while (CURLMsg* message = curl_multi_info_read(multi, &queued)) {
            if (message->msg == CURLMSG_DONE && message->easy_handle == easy) {
                connectResult = message->data.result;
                done = true;
            }
        }
        if (done)
            break;
        if (running == 0 || Clock::now() >= connectBound)
            break;
        if (curl_multi_poll(multi, nullptr, 0, kSliceMs, nullptr) != CURLM_OK)
            return fail(CurlMessage(CURLE_FAILED_INIT));
    }
    result.m_LookupUs = TimeInfoUs(easy, CURLINFO_NAMELOOKUP_TIME_T);
    if (connectResult != CURLE_OK)
        return fail(ConnectFailure(easy, connectResult, detail.data(), timeoutMs));
    result.m_ConnectUs = TimeInfoUs(easy, CURLINFO_CONNECT_TIME_T);
    result.m_Outcome = CTcpProbeResult::eConnected;

    curl_socket_t socket = CURL_SOCKET_BAD;
    if (curl_easy_getinfo(easy, CURLINFO_ACTIVESOCKET, &socket) != CURLE_OK || socket == CURL_SOCKET_BAD)
        return fail(CurlMessage(CURLE_FAILED_INIT));
    // The exchange has the task's time-out of its own, from the moment the connection stood.
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    // Waits in short slices for the socket; false once the time is up or a stop came.
    const auto waitFor = [&](short events) {
        for (;;) {
            if (StopRequested())
                return false;
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0)
                return false;
            pollfd entry {socket, events, 0};
            const int ready = ::poll(&entry, 1, int(std::min<qint64>(left, kSliceMs)));
            if (ready > 0)
                return true;
            if (ready < 0 && errno != EINTR)
                return false;
        }
    };

    if (!send.isEmpty()) {
        const QByteArray line = send + "\r\n";
        qsizetype sent = 0;
        while (sent < line.size()) {
            size_t n = 0;
            const CURLcode code = curl_easy_send(easy, line.constData() + sent, size_t(line.size() - sent), &n);
            if (code == CURLE_OK) {
                sent += qsizetype(n);
            } else if (code != CURLE_AGAIN) {
                return fail(CurlMessage(code));
            } else if (!waitFor(POLLOUT)) {
                return StopRequested() ? stopped() : fail(TimedOutText(timeoutMs));
            }
        }
    }

    if (!expect.isEmpty()) {
        QByteArray answer;
        std::array<char, 4096> buffer {};
        bool found = false;
        while (!found && answer.size() < kMaxAnswerBytes) {
            size_t n = 0;
            const size_t room = size_t(std::min<qsizetype>(qsizetype(buffer.size()), kMaxAnswerBytes - answer.size()));
            const CURLcode code = curl_easy_recv(easy, buffer.data(), room, &n);
            if (code == CURLE_AGAIN) {
                if (!waitFor(POLLIN)) {
                    if (StopRequested())
                        return stopped();
                    break;
                }
                continue;
            }
            // The peer closed, or the connection broke: what came is all there is.
            if (code != CURLE_OK || n == 0)
                break;
            // Looked at again from a little before the new bytes, for a text split between reads.
            const qsizetype from = std::max<qsizetype>(0, answer.size() - expect.size() + 1);
            answer.append(buffer.data(), qsizetype(n));
            found = answer.indexOf(expect, from) >= 0;
        }
        if (!found)
            result.m_Outcome = CTcpProbeResult::eExpectedNotFound;
    }
    result.m_TotalUs = elapsedUs();
    return result;
}
