#include "core/support/Curl.h"

#include <QByteArray>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QHash>

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

namespace {

// The bundle libcurl trusts when nothing else is named: CURL_CA_BUNDLE as the curl tool and
// the page fetcher take it, else the one libcurl was built with, else Debian's.
QString DefaultCaBundle()
{
    const QString fromEnvironment = QString::fromLocal8Bit(qgetenv("CURL_CA_BUNDLE"));
    if (!fromEnvironment.isEmpty())
        return fromEnvironment;
    const curl_version_info_data* info = curl_version_info(CURLVERSION_NOW);
    if (info && info->age >= CURLVERSION_SEVENTH && info->cainfo && *info->cainfo)
        return QString::fromLocal8Bit(info->cainfo);
    return QStringLiteral("/etc/ssl/certs/ca-certificates.crt");
}

struct CTrustBlob
{
    QDateTime m_Modified;
    qint64 m_nSize = -1;
    QString m_Bundle;
    QByteArray m_Pem;
};

} // namespace

bool ApplyTlsTrust(CURL* handle, const QString& caFile, QString& error)
{
    if (caFile.trimmed().isEmpty())
        return true;
    const QString path = caFile.trimmed();
    const QFileInfo info(path);
    if (!info.isFile()) {
        error = QStringLiteral("The trusted certificates file \"%1\" does not exist.").arg(path);
        return false;
    }
    // A check or an alert opens a connection each time; reading and joining two PEM files at
    // every one would cost more than the request. The file's time and size tell a change.
    static std::mutex lock;
    static QHash<QString, CTrustBlob> cache;
    const QString bundle = DefaultCaBundle();
    QByteArray pem;
    {
        std::lock_guard<std::mutex> guard(lock);
        const auto found = cache.constFind(path);
        if (found != cache.constEnd() && found->m_Modified == info.lastModified() && found->m_nSize == info.size()
            && found->m_Bundle == bundle) {
            pem = found->m_Pem;
        }
    }
    if (pem.isEmpty()) {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly)) {
            error = QStringLiteral("The trusted certificates file \"%1\" cannot be read: %2")
                        .arg(path, file.errorString());
            return false;
        }
        const QByteArray extra = file.readAll();
        if (!extra.contains("-----BEGIN CERTIFICATE-----")) {
            error = QStringLiteral("The trusted certificates file \"%1\" holds no PEM certificate "
                                   "(\"-----BEGIN CERTIFICATE-----\").")
                        .arg(path);
            return false;
        }
        // CURLOPT_CAINFO_BLOB replaces the default bundle rather than adding to it, so the
        // system's certificates go into the blob too. A missing system bundle leaves the
        // extra ones alone, which is still what was asked for.
        QFile system(bundle);
        if (system.open(QIODevice::ReadOnly)) {
            pem = system.readAll();
            if (!pem.endsWith('\n'))
                pem += '\n';
        }
        pem += extra;
        std::lock_guard<std::mutex> guard(lock);
        cache.insert(path, CTrustBlob {info.lastModified(), info.size(), bundle, pem});
    }
    curl_blob blob {};
    blob.data = pem.data();
    blob.len = size_t(pem.size());
    blob.flags = CURL_BLOB_COPY;
    const CURLcode code = curl_easy_setopt(handle, CURLOPT_CAINFO_BLOB, &blob);
    if (code != CURLE_OK) {
        error = QStringLiteral("The trusted certificates file \"%1\" cannot be used: %2").arg(path, CurlMessage(code));
        return false;
    }
    return true;
}
