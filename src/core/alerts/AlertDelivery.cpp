#include "core/alerts/AlertDelivery.h"

#include "Version.h"
#include "core/support/Curl.h"

#include <QProcess>
#include <QUrl>

#include <algorithm>
#include <array>
#include <limits>

namespace {

QString Substitute(const QString& text, const QString& taskName, const QString& details)
{
    QString result;
    result.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text.at(i) == u'%' && i + 1 < text.size()) {
            const QChar next = text.at(i + 1);
            if (next == u'N' || next == u'E') {
                result += next == u'N' ? taskName : details;
                ++i;
                continue;
            }
        }
        result += text.at(i);
    }
    return result;
}

// A day: far beyond any useful wait, and small enough that ten times it in milliseconds
// still fits the 32-bit long that libcurl's options take on some systems.
constexpr qint64 kMaxTimeoutMs = 24 * 3600 * 1000;

long ClampToLong(qint64 value)
{
    return long(std::clamp<qint64>(value, 1, std::numeric_limits<long>::max()));
}

size_t DiscardBody(char*, size_t size, size_t count, void*)
{
    return size * count;
}

int CheckAbort(void* abort, curl_off_t, curl_off_t, curl_off_t, curl_off_t)
{
    const auto* flag = static_cast<const std::atomic<bool>*>(abort);
    return flag && flag->load() ? 1 : 0;
}

} // namespace

std::optional<CAlertCommand> PrepareAlertCommand(const QString& command, const QString& taskName,
                                                 const QString& details)
{
    QStringList words = QProcess::splitCommand(command);
    if (words.isEmpty() || words.first().isEmpty())
        return std::nullopt;
    CAlertCommand prepared;
    prepared.m_Program = words.takeFirst();
    for (const QString& word : std::as_const(words))
        prepared.m_Arguments << Substitute(word, taskName, details);
    return prepared;
}

QString PrepareAlertUrl(const QString& urlTemplate, const QString& taskName, const QString& details)
{
    return Substitute(urlTemplate.trimmed(), QString::fromLatin1(QUrl::toPercentEncoding(taskName)),
                      QString::fromLatin1(QUrl::toPercentEncoding(details)));
}

bool SendHttpAlert(const QString& url, int timeoutSec, const std::atomic<bool>* abort, QString& error)
{
    const qint64 timeoutMs = std::clamp<qint64>(qint64(timeoutSec) * 1000, 1000, kMaxTimeoutMs);
    CCurlEasy easy;
    if (!easy) {
        error = CurlMessage(CURLE_FAILED_INIT);
        return false;
    }
    CURL* handle = easy.Get();
    const QByteArray urlBytes = url.toUtf8();
    std::array<char, CURL_ERROR_SIZE> detail {};
    const qint64 transferLimitMs = std::max<qint64>(60000, 10 * timeoutMs);
    curl_easy_setopt(handle, CURLOPT_URL, urlBytes.constData());
    curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(handle, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(handle, CURLOPT_MAXREDIRS, 10L);
    curl_easy_setopt(handle, CURLOPT_USERAGENT, CORVANE_PRODUCT_NAME "/" CORVANE_VERSION);
    curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, detail.data());
    curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT_MS, ClampToLong(timeoutMs));
    curl_easy_setopt(handle, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(handle, CURLOPT_LOW_SPEED_TIME, ClampToLong((timeoutMs + 999) / 1000));
    curl_easy_setopt(handle, CURLOPT_TIMEOUT_MS, ClampToLong(transferLimitMs));
    curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, &DiscardBody);
    curl_easy_setopt(handle, CURLOPT_XFERINFOFUNCTION, &CheckAbort);
    curl_easy_setopt(handle, CURLOPT_XFERINFODATA, abort);
    curl_easy_setopt(handle, CURLOPT_NOPROGRESS, 0L);

    const CURLcode result = curl_easy_perform(handle);
    if (result != CURLE_OK) {
        error = CurlMessage(result, detail.data());
        return false;
    }
    long status = 0;
    curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status);
    if (status < 200 || status > 299) {
        error = QStringLiteral("Bad status code received from the server: %1").arg(status);
        return false;
    }
    return true;
}

QString SubstituteAlertFields(const QString& text, const CAlertFields& fields, eAlertEncoding)
{
    return Substitute(text, fields.m_Name, fields.m_Text);
}

QString EffectiveAlertContentType(const QString& bodyTemplate, const QString& contentType)
{
    if (!contentType.trimmed().isEmpty())
        return contentType.trimmed();
    const QString body = bodyTemplate.trimmed();
    return body.startsWith(u'{') || body.startsWith(u'[') ? QStringLiteral("application/json")
                                                          : QStringLiteral("application/x-www-form-urlencoded");
}

CHttpAlert PrepareHttpAlert(const QString&, const QString& urlTemplate, const QString&, const QString&,
                            const CAlertFields& fields)
{
    CHttpAlert alert;
    alert.m_Url = PrepareAlertUrl(urlTemplate, fields.m_Name, fields.m_Text);
    return alert;
}

QString CheckHttpAlertTemplates(const QString&, const QString&, const QString&, const QString&)
{
    return {};
}

bool SendHttpAlert(const CHttpAlert& alert, int timeoutSec, const std::atomic<bool>* abort, QString& error,
                   QString*)
{
    return SendHttpAlert(alert.m_Url, timeoutSec, abort, error);
}
