#include "core/support/Curl.h"

#include <mutex>

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
