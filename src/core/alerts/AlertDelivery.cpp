#include "core/alerts/AlertDelivery.h"

#include "Version.h"
#include "core/engine/TcpProbe.h"
#include "core/shell/AppSettings.h"
#include "core/support/Curl.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QProcess>
#include <QUrl>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstring>
#include <limits>

namespace {

// One pass over text: a "%X" whose letter value() knows is replaced by what it gives, any
// other '%' stays. Values are never read again, so a placeholder inside one stays as it is.
template<typename Lookup> QString Substitute(const QString& text, Lookup value)
{
    QString result;
    result.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text.at(i) == u'%' && i + 1 < text.size()) {
            if (const std::optional<QString> replacement = value(text.at(i + 1))) {
                result += *replacement;
                ++i;
                continue;
            }
        }
        result += text.at(i);
    }
    return result;
}

QString Substitute(const QString& text, const QString& taskName, const QString& details)
{
    return Substitute(text, [&](QChar letter) -> std::optional<QString> {
        if (letter == u'N')
            return taskName;
        if (letter == u'E')
            return details;
        return std::nullopt;
    });
}

QString JsonStringContent(const QString& value)
{
    QString result;
    result.reserve(value.size());
    for (const QChar c : value) {
        if (c == u'"' || c == u'\\') {
            result += u'\\';
            result += c;
        } else if (c.unicode() < 0x20 || c.unicode() == 0x7f) {
            // As \uXXXX even for \n and \t: one rule that every JSON reader takes.
            result += QStringLiteral("\\u%1").arg(int(c.unicode()), 4, 16, QLatin1Char('0'));
        } else {
            result += c;
        }
    }
    return result;
}

QString Encoded(const QString& value, eAlertEncoding encoding)
{
    switch (encoding) {
    case eAlertEncoding::eUrl:
    case eAlertEncoding::eForm:
        return QString::fromLatin1(QUrl::toPercentEncoding(value));
    case eAlertEncoding::eJson:
        return JsonStringContent(value);
    case eAlertEncoding::eRaw:
        break;
    }
    return value;
}

bool IsPost(const QString& method)
{
    return method.trimmed().compare(QLatin1String("POST"), Qt::CaseInsensitive) == 0;
}

// The media type without parameters ("; charset=utf-8"), in lower case.
QString MediaType(const QString& contentType)
{
    return contentType.section(u';', 0, 0).trimmed().toLower();
}

eAlertEncoding BodyEncoding(const QString& contentType)
{
    const QString type = MediaType(contentType);
    if (type == u"application/json" || type.endsWith(u"+json"))
        return eAlertEncoding::eJson;
    if (type == u"application/x-www-form-urlencoded")
        return eAlertEncoding::eForm;
    return eAlertEncoding::eRaw;
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

// Enough of an answer to show what the server said; the rest is thrown away as it comes.
constexpr qsizetype kMaxAnswerBytes = 500;

size_t KeepBodyStart(char* data, size_t size, size_t count, void* kept)
{
    auto* start = static_cast<QByteArray*>(kept);
    const size_t bytes = size * count;
    const qsizetype room = kMaxAnswerBytes - start->size();
    if (room > 0)
        start->append(data, std::min<qsizetype>(room, qsizetype(bytes)));
    return bytes;
}

int CheckAbort(void* abort, curl_off_t, curl_off_t, curl_off_t, curl_off_t)
{
    const auto* flag = static_cast<const std::atomic<bool>*>(abort);
    return flag && flag->load() ? 1 : 0;
}

} // namespace

namespace {

template<typename Substitution>
std::optional<CAlertCommand> PrepareCommand(const QString& command, Substitution substitute)
{
    QStringList words = QProcess::splitCommand(command);
    if (words.isEmpty() || words.first().isEmpty())
        return std::nullopt;
    CAlertCommand prepared;
    prepared.m_Program = words.takeFirst();
    for (const QString& word : std::as_const(words))
        prepared.m_Arguments << substitute(word);
    return prepared;
}

} // namespace

std::optional<CAlertCommand> PrepareAlertCommand(const QString& command, const QString& taskName,
                                                 const QString& details)
{
    return PrepareCommand(command, [&](const QString& word) { return Substitute(word, taskName, details); });
}

std::optional<CAlertCommand> PrepareAlertCommand(const QString& command, const CAlertFields& fields)
{
    return PrepareCommand(
        command, [&](const QString& word) { return SubstituteAlertFields(word, fields, eAlertEncoding::eRaw); });
}

QString PrepareAlertUrl(const QString& urlTemplate, const QString& taskName, const QString& details)
{
    return Substitute(urlTemplate.trimmed(), QString::fromLatin1(QUrl::toPercentEncoding(taskName)),
                      QString::fromLatin1(QUrl::toPercentEncoding(details)));
}

bool SendHttpAlert(const QString& url, int timeoutSec, const std::atomic<bool>* abort, QString& error)
{
    CHttpAlert alert;
    alert.m_Url = url;
    return SendHttpAlert(alert, timeoutSec, abort, error);
}

bool SendHttpAlert(const CHttpAlert& alert, int timeoutSec, const std::atomic<bool>* abort, QString& error,
                   QString* answer)
{
    const qint64 timeoutMs = std::clamp<qint64>(qint64(timeoutSec) * 1000, 1000, kMaxTimeoutMs);
    CCurlEasy easy;
    if (!easy) {
        error = CurlMessage(CURLE_FAILED_INIT);
        return false;
    }
    CURL* handle = easy.Get();
    const QByteArray urlBytes = alert.m_Url.toUtf8();
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
    QByteArray answerStart;
    if (answer) {
        curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, &KeepBodyStart);
        curl_easy_setopt(handle, CURLOPT_WRITEDATA, &answerStart);
    } else {
        curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, &DiscardBody);
    }
    curl_easy_setopt(handle, CURLOPT_XFERINFOFUNCTION, &CheckAbort);
    curl_easy_setopt(handle, CURLOPT_XFERINFODATA, abort);
    curl_easy_setopt(handle, CURLOPT_NOPROGRESS, 0L);
    if (!ApplyTlsTrust(handle, GetAppSettingsSnapshot().m_TlsCaFile, error))
        return false;

    // libcurl borrows the body and the headers: they live until the transfer is done.
    CCurlStringList headers;
    if (IsPost(alert.m_Method)) {
        curl_easy_setopt(handle, CURLOPT_POST, 1L);
        curl_easy_setopt(handle, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(alert.m_Body.size()));
        curl_easy_setopt(handle, CURLOPT_POSTFIELDS, alert.m_Body.constData());
        // The type comes from the settings, not from a task's texts; still, a line break from a
        // hand-edited file must not start a header of its own.
        QString contentType = alert.m_ContentType;
        contentType.remove(u'\r').remove(u'\n');
        if (!contentType.isEmpty())
            headers.Append((QByteArrayLiteral("Content-Type: ") + contentType.toUtf8()).constData());
        // Otherwise a larger body first waits for a "100 Continue" that many hooks never send.
        headers.Append("Expect:");
        curl_easy_setopt(handle, CURLOPT_HTTPHEADER, headers.Get());
    }

    const CURLcode result = curl_easy_perform(handle);
    if (result != CURLE_OK) {
        error = CurlMessage(result, detail.data());
        return false;
    }
    long status = 0;
    curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status);
    if (answer) {
        *answer = QStringLiteral("HTTP %1").arg(status);
        const QString start = QString::fromUtf8(answerStart).trimmed();
        if (!start.isEmpty())
            *answer += QStringLiteral("\n") + start;
    }
    if (status < 200 || status > 299) {
        error = QStringLiteral("Bad status code received from the server: %1").arg(status);
        return false;
    }
    return true;
}

QString SubstituteAlertFields(const QString& text, const CAlertFields& fields, eAlertEncoding encoding)
{
    return Substitute(text, [&](QChar letter) -> std::optional<QString> {
        switch (letter.unicode()) {
        case u'N':
            return Encoded(fields.m_Name, encoding);
        case u'E':
            return Encoded(fields.m_Text, encoding);
        case u'S':
            return Encoded(fields.m_State, encoding);
        case u'T':
            return Encoded(fields.m_Time, encoding);
        case u'D':
            return Encoded(fields.m_Downtime, encoding);
        case u'U':
            return Encoded(fields.m_Target, encoding);
        default:
            return std::nullopt;
        }
    });
}

QString EffectiveAlertContentType(const QString& bodyTemplate, const QString& contentType)
{
    if (!contentType.trimmed().isEmpty())
        return contentType.trimmed();
    const QString body = bodyTemplate.trimmed();
    return body.startsWith(u'{') || body.startsWith(u'[') ? QStringLiteral("application/json")
                                                          : QStringLiteral("application/x-www-form-urlencoded");
}

CHttpAlert PrepareHttpAlert(const QString& method, const QString& urlTemplate, const QString& bodyTemplate,
                            const QString& contentType, const CAlertFields& fields)
{
    CHttpAlert alert;
    alert.m_Url = SubstituteAlertFields(urlTemplate.trimmed(), fields, eAlertEncoding::eUrl);
    if (IsPost(method)) {
        alert.m_Method = QStringLiteral("POST");
        alert.m_ContentType = EffectiveAlertContentType(bodyTemplate, contentType);
        alert.m_Body = SubstituteAlertFields(bodyTemplate, fields, BodyEncoding(alert.m_ContentType)).toUtf8();
    }
    return alert;
}

CAlertFields SampleAlertFields()
{
    CAlertFields fields;
    fields.m_Name = QStringLiteral("Shop front");
    fields.m_Text = QStringLiteral("Unable to establish the internet connection because of this error: "
                                   "Couldn't connect to server");
    fields.m_State = AlertStateName(eAlertState::eRecovered);
    fields.m_Time = AlertTimeText(QDateTime::currentSecsSinceEpoch());
    fields.m_Downtime = FormatDowntime(12 * 60);
    fields.m_Target = QStringLiteral("https://www.example.com/");
    return fields;
}

namespace {
// Qt's JSON reader is more lenient than JSON: it takes an unknown escape (a backslash before
// "%") as the character itself and a raw control character inside a string as that character, where a
// hook's stricter reader refuses the whole body. In a body Qt has read, finds the first such
// place in a string: its byte offset and the reason, or -1.
qsizetype FirstNonJsonInString(const QByteArray& body, QString& reason)
{
    bool inString = false;
    for (qsizetype i = 0; i < body.size(); ++i) {
        const auto c = static_cast<unsigned char>(body[i]);
        if (!inString) {
            inString = c == '"';
        } else if (c == '"') {
            inString = false;
        } else if (c < 0x20) {
            reason = QStringLiteral("a control character that must be written as an escape");
            return i;
        } else if (c == '\\') {
            const char next = i + 1 < body.size() ? body[i + 1] : '\0';
            bool valid = next != '\0' && std::strchr("\"\\/bfnrtu", next) != nullptr;
            for (qsizetype k = i + 2; valid && next == 'u' && k < i + 6; ++k)
                valid = k < body.size() && std::isxdigit(static_cast<unsigned char>(body[k]));
            if (!valid) {
                reason = QStringLiteral("an escape sequence that JSON does not have");
                return i;
            }
            ++i;
        }
    }
    return -1;
}
} // namespace

QString CheckHttpAlertTemplates(const QString& method, const QString& urlTemplate, const QString& bodyTemplate,
                                const QString& contentType)
{
    const QString verb = method.trimmed().toUpper();
    if (verb != u"GET" && verb != u"POST")
        return QStringLiteral("The HTTP alert method must be GET or POST, not \"%1\".").arg(method.trimmed());
    if (verb != u"POST")
        return {};
    if (urlTemplate.trimmed().isEmpty())
        return QStringLiteral("A POST request needs a URL to send it to.");
    const QString type = EffectiveAlertContentType(bodyTemplate, contentType);
    if (BodyEncoding(type) != eAlertEncoding::eJson)
        return {};
    const QByteArray body
        = PrepareHttpAlert(method, urlTemplate, bodyTemplate, contentType, SampleAlertFields()).m_Body;
    QJsonParseError parseError;
    QJsonDocument::fromJson(body, &parseError);
    QString reason;
    qsizetype offset = -1;
    if (parseError.error != QJsonParseError::NoError) {
        reason = parseError.errorString();
        offset = parseError.offset;
    } else {
        offset = FirstNonJsonInString(body, reason);
        if (offset < 0)
            return {};
    }
    // The offset counts bytes of UTF-8; characters are what the user sees.
    const qsizetype at = QString::fromUtf8(body.left(offset)).size();
    return QStringLiteral("The body is not valid JSON after the placeholders are filled in: %1 at character %2.")
        .arg(reason)
        .arg(at);
}

QString FormatDowntime(qint64 seconds)
{
    seconds = std::max<qint64>(0, seconds);
    if (seconds < 60)
        return QStringLiteral("%1 s").arg(seconds);
    const qint64 minutes = seconds / 60;
    if (minutes < 60)
        return QStringLiteral("%1 min").arg(minutes);
    const qint64 hours = minutes / 60;
    if (hours < 24)
        return minutes % 60 ? QStringLiteral("%1 h %2 min").arg(hours).arg(minutes % 60)
                            : QStringLiteral("%1 h").arg(hours);
    const qint64 days = hours / 24;
    return hours % 24 ? QStringLiteral("%1 d %2 h").arg(days).arg(hours % 24) : QStringLiteral("%1 d").arg(days);
}

QString AlertTimeText(qint64 time)
{
    const QDateTime local = QDateTime::fromSecsSinceEpoch(time);
    return local.toOffsetFromUtc(local.offsetFromUtc()).toString(Qt::ISODate);
}

CAlertFields AlertFieldsOf(const CAlertRequest& request)
{
    const CTask& task = request.m_Task;
    CAlertFields fields;
    fields.m_Name = task.m_Name;
    fields.m_Text = task.m_AlertSettings.m_AlertDetails;
    fields.m_State = AlertStateName(request.m_State);
    fields.m_Time = AlertTimeText(request.m_ResultTime);
    if (request.m_State == eAlertState::eRecovered)
        fields.m_Downtime = FormatDowntime(request.m_DowntimeSec);
    switch (task.m_CheckAction) {
    case eCheckPing:
        fields.m_Target = task.m_PingHost;
        break;
    case eCheckHttpGet:
    case eCheckHttpGetPattern:
        fields.m_Target = task.m_HttpGetURL;
        break;
    case eCheckSpider:
        fields.m_Target = task.m_SpiderUrl;
        break;
    case eCheckTcp:
        fields.m_Target = TcpTargetText(task.m_PingHost, task.m_TcpPort);
        break;
    default:
        break;
    }
    return fields;
}
