#include "core/support/Curl.h"

#include <mutex>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/socket.h>
#endif

namespace {

// libcurl opens its sockets without close-on-exec, so every program started meanwhile (an
// alert program, a browser) would hold our connections open, and a server would not see
// them close. Opened here instead, atomically marked, so no start on another thread can
// slip in between.
curl_socket_t OpenSocket(void*, curlsocktype, curl_sockaddr* address)
{
#if defined(_WIN32)
    return WSASocketW(address->family, address->socktype, address->protocol, nullptr, 0,
                      WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
#elif defined(SOCK_CLOEXEC)
    return ::socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
#else
    const curl_socket_t fd = ::socket(address->family, address->socktype, address->protocol);
    if (fd != CURL_SOCKET_BAD)
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    return fd;
#endif
}

} // namespace

void EnsureCurlGlobalInit()
{
    // curl_global_init is not thread-safe in every build of libcurl, and the engine and the
    // alert thread may both reach for a handle first. The matching cleanup is left to the
    // end of the process: some other thread may still hold a handle during shutdown.
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

CCurlEasy::CCurlEasy()
{
    EnsureCurlGlobalInit();
    m_pHandle = curl_easy_init();
    if (m_pHandle)
        curl_easy_setopt(m_pHandle, CURLOPT_OPENSOCKETFUNCTION, &OpenSocket);
}

CCurlEasy::~CCurlEasy()
{
    if (m_pHandle) {
        curl_easy_cleanup(m_pHandle);
    }
}

CCurlMulti::CCurlMulti()
{
    EnsureCurlGlobalInit();
    // libcurl's own wake-up socket pair is opened without close-on-exec and no option reaches
    // it; alert programs are started with every descriptor beyond the standard three marked.
    m_pHandle = curl_multi_init();
}

CCurlMulti::~CCurlMulti()
{
    if (m_pHandle) {
        curl_multi_cleanup(m_pHandle);
    }
}

CCurlStringList::~CCurlStringList()
{
    curl_slist_free_all(m_pList);
}

bool CCurlStringList::Append(const char* text)
{
    curl_slist* longer = curl_slist_append(m_pList, text);
    if (!longer) {
        return false;
    }
    m_pList = longer;
    return true;
}

QString CurlMessage(CURLcode code, const char* detail)
{
    QString text = QString::fromUtf8(curl_easy_strerror(code));
    const QString more = QString::fromUtf8(detail).trimmed();
    if (!more.isEmpty() && more != text)
        text += QStringLiteral(" (") + more + QLatin1Char(')');
    return text;
}

bool ApplyTlsTrust(CURL*, const QString&, QString&)
{
    return true;
}
