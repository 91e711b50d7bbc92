#include "core/engine/FetchTransfer.h"

#include "Version.h"
#include "core/shell/AppSettings.h"
#include "core/support/Curl.h"

#include <QDateTime>
#include <QList>

#include <openssl/asn1.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <algorithm>
#include <ctime>
#include <limits>

static_assert(CURL_ERROR_SIZE <= 256, "the error buffer of CFetchTransfer is too small");

namespace {
constexpr long kMaxRedirects = 10;

const char kEstablishFailed[] = "' Unable to establish the internet connection because of this error: %1";
const char kReadFailed[] = "' Unable to get the file from the server because of this error: %1";

long ClampToLong(qint64 value)
{
    return long(std::clamp<qint64>(value, 1, std::numeric_limits<long>::max()));
}

QString TrimEnd(QString text)
{
    qsizetype end = text.size();
    while (end > 0 && text.at(end - 1).isSpace()) {
        --end;
    }
    text.truncate(end);
    return text;
}

QString SizeText(qint64 bytes)
{
    constexpr qint64 mebibyte = 1024 * 1024;
    if (bytes >= mebibyte && bytes % mebibyte == 0) {
        return QStringLiteral("%1 MiB").arg(bytes / mebibyte);
    }
    return QStringLiteral("%1 bytes").arg(bytes);
}

bool HeaderIs(const QByteArray& line, const char* name, QByteArray& value)
{
    const qsizetype nameLength = qsizetype(qstrlen(name));
    if (line.size() <= nameLength || line.at(nameLength) != ':' || qstrnicmp(line.constData(), name, nameLength) != 0) {
        return false;
    }
    value = line.mid(nameLength + 1).trimmed();
    return true;
}

struct CCurlUrlDeleter
{
    void operator()(CURLU* url) const { curl_url_cleanup(url); }
};

// A URL libcurl would take, and with a scheme of its own: libcurl would otherwise guess
// "http" for a bare name and look it up.
bool IsWellFormedUrl(const QByteArray& url)
{
    std::unique_ptr<CURLU, CCurlUrlDeleter> parsed(curl_url());
    return parsed && curl_url_set(parsed.get(), CURLUPART_URL, url.constData(), 0) == CURLUE_OK;
}

struct CX509Deleter
{
    void operator()(X509* certificate) const { X509_free(certificate); }
};

// The notAfter of the certificate the server showed on the connection the transfer uses now,
// in ms since 1970 UTC; -1 over plain http. The TLS session is asked rather than libcurl's
// certificate list, which is filled on a new handshake only, not on a kept-alive connection;
// and it must be asked during the transfer, since the connection leaves the handle at its end.
qint64 PeerCertificateExpiryMs(CURL* easy)
{
    const curl_tlssessioninfo* session = nullptr;
    if (curl_easy_getinfo(easy, CURLINFO_TLS_SSL_PTR, &session) != CURLE_OK || !session
        || session->backend != CURLSSLBACKEND_OPENSSL || !session->internals) {
        return -1;
    }
    auto* ssl = static_cast<SSL*>(session->internals);
#if OPENSSL_VERSION_NUMBER >= 0x30000000L
    const std::unique_ptr<X509, CX509Deleter> certificate(SSL_get1_peer_certificate(ssl));
#else
    const std::unique_ptr<X509, CX509Deleter> certificate(SSL_get_peer_certificate(ssl));
#endif
    std::tm expiry {};
    if (!certificate || ASN1_TIME_to_tm(X509_get0_notAfter(certificate.get()), &expiry) != 1) {
        return -1;
    }
    const QDateTime utc(QDate(expiry.tm_year + 1900, expiry.tm_mon + 1, expiry.tm_mday),
                        QTime(expiry.tm_hour, expiry.tm_min, expiry.tm_sec), Qt::UTC);
    return utc.isValid() ? utc.toMSecsSinceEpoch() : -1;
}

qint64 TimeInfoUs(CURL* easy, CURLINFO info)
{
    curl_off_t value = -1;
    return curl_easy_getinfo(easy, info, &value) == CURLE_OK ? qint64(value) : -1;
}
} // namespace

CFetchTransfer::CFetchTransfer(const std::atomic<bool>* stopRequested, const CFetchLimits& limits)
    : m_pStopRequested(stopRequested)
    , m_Limits(limits)
    , m_pEasy(std::make_unique<CCurlEasy>())
    , m_pRequestHeaders(std::make_unique<CCurlStringList>())
{
    if (!*m_pEasy) {
        return;
    }
    CURL* easy = m_pEasy->Get();
    // A monitor must see what the site serves now, not what a proxy on the way kept.
    m_pRequestHeaders->Append("Cache-Control: no-cache");
    m_pRequestHeaders->Append("Pragma: no-cache");

    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    // A task file comes from anywhere: never let its URL, or a redirect, read local files
    // or speak another protocol.
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(easy, CURLOPT_MAXREDIRS, kMaxRedirects);
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L);
    // As with the curl tool, a CA bundle named in the environment replaces the system's: for
    // sites signed by a private authority. The extra trusted certificates of the settings
    // (applied at each fetch) then join that bundle rather than the system's, so the two
    // combine: the environment chooses the base, the settings add to it.
    const QByteArray caBundle = qgetenv("CURL_CA_BUNDLE");
    if (!caBundle.isEmpty()) {
        curl_easy_setopt(easy, CURLOPT_CAINFO, caBundle.constData());
    }
    curl_easy_setopt(easy, CURLOPT_USERAGENT, CORVANE_PRODUCT_NAME "/" CORVANE_VERSION);
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, m_pRequestHeaders->Get());
    // The answer of a proxy to CONNECT is not the site's answer; keep it out of the header
    // callback so it is never judged as one.
    curl_easy_setopt(easy, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
    // Until the first byte comes, a stall is libcurl's to find: its average speed stays
    // at zero. Once bytes came, that average (over several seconds) would hide a stall for
    // seconds beyond the time-out, so Watch looks for it instead.
    curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &CFetchTransfer::OnHeader);
    curl_easy_setopt(easy, CURLOPT_HEADERDATA, this);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &CFetchTransfer::OnBody);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, this);
    curl_easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, &CFetchTransfer::OnProgress);
    curl_easy_setopt(easy, CURLOPT_XFERINFODATA, this);
    curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 0L);
}

CFetchTransfer::~CFetchTransfer() = default;

void CFetchTransfer::SetOptions(const CFetchOptions& options)
{
    // Only noted: a transfer in flight may still use the header list libcurl borrowed.
    m_Options = options;
    m_bOptionsChanged = true;
}

void CFetchTransfer::ApplyHeaders()
{
    if (!m_bOptionsChanged) {
        return;
    }
    m_bOptionsChanged = false;
    CURL* easy = m_pEasy->Get();
    if (m_Options.m_Headers.isEmpty()) {
        m_pTaskHeaders.reset();
        curl_easy_setopt(easy, CURLOPT_HTTPHEADER, m_pRequestHeaders->Get());
        return;
    }
    const auto given = [this](const char* name) {
        return std::any_of(m_Options.m_Headers.begin(), m_Options.m_Headers.end(), [name](const CHeaderLine& header) {
            return header.m_Name.compare(name, Qt::CaseInsensitive) == 0;
        });
    };
    auto headers = std::make_unique<CCurlStringList>();
    for (const char* fixed : {"Cache-Control: no-cache", "Pragma: no-cache"}) {
        const QByteArray line(fixed);
        if (!given(line.left(line.indexOf(':')).constData())) {
            headers->Append(fixed);
        }
    }
    for (const CHeaderLine& header : m_Options.m_Headers) {
        // libcurl sends "Name;" as a header with no value; "Name:" would remove the header.
        const QByteArray line = header.m_Value.isEmpty() ? header.m_Name + ';' : header.m_Name + ": " + header.m_Value;
        headers->Append(line.constData());
    }
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers->Get());
    m_pTaskHeaders = std::move(headers);
}

void CFetchTransfer::WaitForMultiplexing()
{
    m_bWaitForMultiplexing = true;
}

eFileRetrieveStatus CFetchTransfer::Fail(const char* format, const QString& reason)
{
    // The URL stays out of arg(): a percent-encoded "%1F" in it is no placeholder.
    m_Error = TrimEnd(QLatin1Char('\'') + m_Url + QString::fromLatin1(format).arg(reason));
    return eFileRetrieveError;
}

bool CFetchTransfer::Prepare(const QString& url, quint32 timeoutMs, QByteArray& content, eFetchRequest request)
{
    m_Status = eFileRetrieved;
    m_Error.clear();
    m_bStopped = false;
    m_Url = url;
    m_Request = request;
    m_EffectiveUrl = url;
    m_Figures = {};
    m_nRetryDelayMs = -1;
    ResetTransferState();

    if (StopRequested()) {
        m_bStopped = true;
        m_Status = Fail(kEstablishFailed, QStringLiteral("The transfer was stopped"));
        return false;
    }
    if (!*m_pEasy) {
        m_Status = Fail(kEstablishFailed, CurlMessage(CURLE_FAILED_INIT));
        return false;
    }
    const QByteArray urlBytes = url.toUtf8();
    if (!IsWellFormedUrl(urlBytes)) {
        m_Error = QLatin1Char('\'') + url
            + QStringLiteral("' Unable to establish the internet connection. URL parsing failed");
        m_Status = eFileRetrieveError;
        return false;
    }

    CURL* easy = m_pEasy->Get();
    ApplyHeaders();
    // Read at every fetch, so that a change in the Options reaches the next check; the
    // joined bundle is cached by the file's time and size, not read again each time. A file
    // that cannot be used fails the check: quietly trusting less than the user asked for
    // would show a company's own sites as down for a reason nobody could see.
    const QString caFile = GetAppSettingsSnapshot().m_TlsCaFile;
    if (caFile.trimmed().isEmpty()) {
        curl_easy_setopt(easy, CURLOPT_CAINFO_BLOB, nullptr);
    } else if (QString trustError; !ApplyTlsTrust(easy, caFile, trustError)) {
        m_Status = Fail(kEstablishFailed, trustError);
        return false;
    }
    // Only a TLS handshake (ALPN) tells at once whether a connection can carry several
    // transfers; over plain http libcurl knows it only from the first answer, so waiting
    // would hold every other transfer behind the first page.
    curl_easy_setopt(easy, CURLOPT_PIPEWAIT,
                     m_bWaitForMultiplexing && url.startsWith(QLatin1String("https:"), Qt::CaseInsensitive) ? 1L : 0L);
    // The handle is reused, so each transfer sets its method anew.
    if (request == eFetchRequest::eLinkHead) {
        curl_easy_setopt(easy, CURLOPT_NOBODY, 1L);
    } else {
        curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L);
    }
    m_ErrorDetail.fill('\0');
    m_nTimeoutMs = timeoutMs;
    m_nTransferLimitMs = std::max(m_Limits.m_MinTransferMs, m_Limits.m_TransferTimeFactor * qint64(timeoutMs));
    curl_easy_setopt(easy, CURLOPT_URL, urlBytes.constData());
    curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, m_ErrorDetail.data());
    curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, ClampToLong(timeoutMs));
    // libcurl counts a stall in whole seconds; round up so a short time-out is not zero,
    // which would switch the stall check off.
    curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME, ClampToLong((qint64(timeoutMs) + 999) / 1000));
    // Watch enforces the bound, so that its failure can say so; libcurl's own bound only
    // backs it up.
    curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, ClampToLong(m_nTransferLimitMs + 1000));
    m_pContent = &content;
    return true;
}

bool CFetchTransfer::AddTo(CCurlMulti& multi)
{
    m_Started = std::chrono::steady_clock::now();
    return *m_pEasy && multi && curl_multi_add_handle(multi.Get(), m_pEasy->Get()) == CURLM_OK;
}

void CFetchTransfer::RemoveFrom(CCurlMulti& multi)
{
    // Removing an unfinished transfer abandons it and closes its connection.
    curl_multi_remove_handle(multi.Get(), m_pEasy->Get());
}

bool CFetchTransfer::IsHandle(const void* easy) const
{
    return easy == m_pEasy->Get();
}

bool CFetchTransfer::Watch(std::chrono::steady_clock::time_point now)
{
    if (StopRequested()) {
        return Abandon(eAbort::eStopped);
    }
    if (m_bReceivedAny && now - m_LastReceipt > std::chrono::milliseconds(m_nTimeoutMs)) {
        return Abandon(eAbort::eStalled);
    }
    if (now - m_Started >= std::chrono::milliseconds(m_nTransferLimitMs)) {
        return Abandon(eAbort::eTooLong);
    }
    return true;
}

bool CFetchTransfer::Abandon(eAbort reason)
{
    if (!m_bDraining) {
        m_Abort = reason;
    }
    return false;
}

void CFetchTransfer::Finish(int curlResult)
{
    const auto result = static_cast<CURLcode>(curlResult);
    CURL* easy = m_pEasy->Get();
    curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, nullptr);
    m_pContent = nullptr;
    RecordFigures();
    m_Status = eFileRetrieveError;

    // A transfer that completed may still have ended on an answer that was never judged:
    // a 3xx that was not followed, or an answer without a body.
    if (result == CURLE_OK && m_Abort == eAbort::eNone && !m_bAnswerArrived) {
        m_bAnswerArrived = true;
        m_Abort = JudgeAnswer();
    }
    const QString quotedUrl = QLatin1Char('\'') + m_Url;
    const char* failedCase = m_bAnswerArrived ? kReadFailed : kEstablishFailed;
    switch (m_Abort) {
    case eAbort::eNone:
        break;
    case eAbort::eStopped:
        m_bStopped = true;
        Fail(failedCase, QStringLiteral("The transfer was stopped"));
        return;
    case eAbort::eNoStatusCode:
        m_Error = quotedUrl + QStringLiteral("' Unable to get the status code from http file retrieval.");
        return;
    case eAbort::eBadStatus:
        m_nRetryDelayMs = RetryDelayMs();
        m_Error = quotedUrl
            + QStringLiteral("' Bad status code for the %1 operation received from the server: %2")
                  .arg(m_Request == eFetchRequest::eLinkHead ? QStringLiteral("HEAD") : QStringLiteral("GET"))
                  .arg(m_nStatusCode);
        return;
    case eAbort::eNoContentType:
        m_Error = quotedUrl + QStringLiteral("' Unable to get the content type from http file retrieval.");
        return;
    case eAbort::eNotText:
        m_Status = eFileNotText;
        return;
    case eAbort::eLinkAnswered:
        m_EffectiveUrl = m_Figures.m_FinalUrl;
        m_Status = eFileRetrieved;
        return;
    case eAbort::eStalled:
        Fail(failedCase,
             QStringLiteral("%1 (nothing received for %2 ms)")
                 .arg(CurlMessage(CURLE_OPERATION_TIMEDOUT))
                 .arg(m_nTimeoutMs));
        return;
    case eAbort::eTooLong:
        Fail(failedCase,
             QStringLiteral("The transfer took longer than %1 seconds, the most allowed for one page")
                 .arg(double(m_nTransferLimitMs) / 1000.0));
        return;
    case eAbort::eTooLarge:
        Fail(kReadFailed,
             QStringLiteral("The file is larger than %1, the most that is read for one page")
                 .arg(SizeText(m_Limits.m_MaxBytes)));
        return;
    }

    if (result == CURLE_OK) {
        const char* effectiveUrl = nullptr;
        if (curl_easy_getinfo(easy, CURLINFO_EFFECTIVE_URL, &effectiveUrl) == CURLE_OK && effectiveUrl) {
            m_EffectiveUrl = QString::fromUtf8(effectiveUrl);
        }
        m_Status = eFileRetrieved;
        return;
    }
    if (result == CURLE_URL_MALFORMAT) {
        m_Error = quotedUrl + QStringLiteral("' Unable to establish the internet connection. URL parsing failed");
        return;
    }
    Fail(failedCase, CurlMessage(result, m_ErrorDetail.data()));
}

size_t CFetchTransfer::OnHeader(char* data, size_t size, size_t count, void* transfer)
{
    const size_t length = size * count;
    const bool keepGoing = static_cast<CFetchTransfer*>(transfer)->HeaderLine(QByteArray(data, qsizetype(length)));
    return keepGoing ? length : 0;
}

size_t CFetchTransfer::OnBody(char* data, size_t size, size_t count, void* transfer)
{
    const size_t length = size * count;
    return static_cast<CFetchTransfer*>(transfer)->BodyData(data, length) ? length : 0;
}

int CFetchTransfer::OnProgress(void* transfer, qint64, qint64 downNow, qint64, qint64)
{
    auto* self = static_cast<CFetchTransfer*>(transfer);
    // Also counts the bodies of redirects, which libcurl reads without handing them over.
    if (downNow != self->m_nProgressBytes) {
        self->m_nProgressBytes = downNow;
        self->NoteReceipt();
    }
    if (self->StopRequested()) {
        self->Abandon(eAbort::eStopped);
        return 1;
    }
    return 0;
}

void CFetchTransfer::NoteReceipt()
{
    m_bReceivedAny = true;
    m_LastReceipt = std::chrono::steady_clock::now();
}

bool CFetchTransfer::HeaderLine(const QByteArray& line)
{
    NoteReceipt();
    // libcurl hands over the headers of every answer: informational ones, each redirect,
    // then the final answer. Only the final answer's own headers may be judged.
    if (line.startsWith("HTTP/")) {
        const QList<QByteArray> parts = line.simplified().split(' ');
        m_nStatusCode = parts.size() >= 2 ? parts.at(1).toLong() : 0;
        // A redirect may lead to another server: the answer that counts is the last one.
        m_Figures.m_CertExpiryMs = PeerCertificateExpiryMs(m_pEasy->Get());
        m_ContentType.clear();
        m_bHasContentType = false;
        m_nContentLength = -1;
        m_RetryAfter.clear();
        m_bHasRetryAfter = false;
        m_bAnswerArrived = false;
        return true;
    }
    QByteArray value;
    if (HeaderIs(line, "Content-Type", value)) {
        m_ContentType = value;
        m_bHasContentType = true;
        return true;
    }
    if (HeaderIs(line, "Retry-After", value)) {
        m_RetryAfter = value;
        m_bHasRetryAfter = true;
        return true;
    }
    if (HeaderIs(line, "Content-Length", value)) {
        bool ok = false;
        const qint64 length = value.toLongLong(&ok);
        m_nContentLength = ok ? length : -1;
        return true;
    }
    const bool endOfHeaders = line.trimmed().isEmpty();
    // An informational answer is followed by the real one, and libcurl follows a redirect
    // by itself; a 3xx it does not follow is judged when its body or its end arrives.
    const bool finalAnswer = m_nStatusCode >= 200 && (m_nStatusCode < 300 || m_nStatusCode >= 400);
    if (!endOfHeaders || !finalAnswer || m_bAnswerArrived) {
        return true;
    }
    m_bAnswerArrived = true;
    m_Abort = JudgeAnswer();
    // The answer to a HEAD ends with its headers, whatever its Content-Length says.
    if (m_Request == eFetchRequest::eLinkHead) {
        return true;
    }
    if (m_Abort == eAbort::eNone && m_nContentLength > m_Limits.m_MaxBytes) {
        m_Abort = eAbort::eTooLarge;
    }
    return m_Abort == eAbort::eNone || StartDraining();
}

bool CFetchTransfer::StartDraining()
{
    // A broken link or an image costs a crawl one more handshake per page when its
    // connection is dropped; reading a small body to its end is cheaper. A body that may be
    // large is not worth its download: the connection goes, as before.
    const bool refused = m_Abort == eAbort::eBadStatus || m_Abort == eAbort::eNotText
        || m_Abort == eAbort::eNoContentType || m_Abort == eAbort::eLinkAnswered;
    m_bDraining = refused && m_nContentLength <= m_Limits.m_MaxDrainBytes && !StopRequested();
    m_nDrainedBytes = 0;
    return m_bDraining;
}

bool CFetchTransfer::BodyData(const char* data, size_t length)
{
    NoteReceipt();
    if (!m_bAnswerArrived) {
        m_bAnswerArrived = true;
        m_Abort = JudgeAnswer();
        if (m_Abort != eAbort::eNone && !StartDraining()) {
            return false;
        }
    }
    if (m_bDraining) {
        m_nDrainedBytes += qint64(length);
        return m_nDrainedBytes <= m_Limits.m_MaxDrainBytes && !StopRequested();
    }
    if (StopRequested()) {
        m_Abort = eAbort::eStopped;
        return false;
    }
    if (m_nBodyBytes + qint64(length) > m_Limits.m_MaxBytes) {
        m_Abort = eAbort::eTooLarge;
        return false;
    }
    m_nBodyBytes += qint64(length);
    m_pContent->append(data, qsizetype(length));
    return true;
}

CFetchTransfer::eAbort CFetchTransfer::JudgeAnswer()
{
    if (m_nStatusCode == 0) {
        return eAbort::eNoStatusCode;
    }
    // A link asks only whether it answers, which a 2xx says; a page may be told otherwise.
    const bool accepted = m_Request == eFetchRequest::ePage && m_Options.m_AcceptedStatus
        ? m_Options.m_AcceptedStatus->Accepts(int(m_nStatusCode))
        : m_nStatusCode >= 200 && m_nStatusCode <= 299;
    if (!accepted) {
        return eAbort::eBadStatus;
    }
    if (m_Request != eFetchRequest::ePage) {
        return eAbort::eLinkAnswered;
    }
    if (!m_bHasContentType) {
        return eAbort::eNoContentType;
    }
    return m_ContentType.toLower().contains("text/html") ? eAbort::eNone : eAbort::eNotText;
}

void CFetchTransfer::Cancel()
{
    m_pContent = nullptr;
    m_bStopped = true;
    m_Status = Fail(kEstablishFailed, QStringLiteral("The transfer was stopped"));
}

qint64 CFetchTransfer::RetryDelayMs() const
{
    // Only these two answers say "later": any other refusal is the site's verdict on the page.
    if ((m_nStatusCode != 429 && m_nStatusCode != 503) || !m_bHasRetryAfter || m_RetryAfter.isEmpty()) {
        return -1;
    }
    const qint64 boundMs = m_Limits.m_RetryWaitFactor * qint64(m_nTimeoutMs);
    qint64 delayMs = 0;
    if (std::all_of(m_RetryAfter.begin(), m_RetryAfter.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        // More digits than fit are a wait far beyond any bound, not a wrap to a short one.
        bool fits = false;
        const qint64 seconds = m_RetryAfter.toLongLong(&fits);
        delayMs = fits && seconds <= boundMs / 1000 + 1 ? seconds * 1000 : boundMs;
    } else {
        // libcurl reads all three date forms HTTP allows.
        const time_t when = curl_getdate(m_RetryAfter.constData(), nullptr);
        if (when == time_t(-1)) {
            return -1;
        }
        delayMs = std::max<qint64>(qint64(when) * 1000 - QDateTime::currentMSecsSinceEpoch(), 0);
    }
    return std::min(delayMs, boundMs);
}

void CFetchTransfer::RecordFigures()
{
    CURL* easy = m_pEasy->Get();
    const char* finalUrl = nullptr;
    if (curl_easy_getinfo(easy, CURLINFO_EFFECTIVE_URL, &finalUrl) == CURLE_OK && finalUrl) {
        m_Figures.m_FinalUrl = QString::fromUtf8(finalUrl);
    }
    // Without an answer the times would measure only the way to the failure, and a response
    // time that is none.
    if (m_nStatusCode <= 0) {
        return;
    }
    m_Figures.m_StatusCode = int(m_nStatusCode);
    m_Figures.m_Bytes = m_nBodyBytes;
    m_Figures.m_LookupUs = TimeInfoUs(easy, CURLINFO_NAMELOOKUP_TIME_T);
    m_Figures.m_ConnectUs = TimeInfoUs(easy, CURLINFO_CONNECT_TIME_T);
    // libcurl reports 0 for a handshake that plain http never makes.
    if (m_Figures.m_FinalUrl.startsWith(QLatin1String("https:"), Qt::CaseInsensitive)) {
        m_Figures.m_TlsUs = TimeInfoUs(easy, CURLINFO_APPCONNECT_TIME_T);
    }
    m_Figures.m_FirstByteUs = TimeInfoUs(easy, CURLINFO_STARTTRANSFER_TIME_T);
    m_Figures.m_TotalUs = TimeInfoUs(easy, CURLINFO_TOTAL_TIME_T);
}

bool CFetchTransfer::StopRequested() const
{
    return m_pStopRequested && m_pStopRequested->load(std::memory_order_relaxed);
}

void CFetchTransfer::ResetTransferState()
{
    m_pContent = nullptr;
    m_nBodyBytes = 0;
    m_nStatusCode = 0;
    m_ContentType.clear();
    m_bHasContentType = false;
    m_nContentLength = -1;
    m_RetryAfter.clear();
    m_bHasRetryAfter = false;
    m_bAnswerArrived = false;
    m_Abort = eAbort::eNone;
    m_bReceivedAny = false;
    m_nProgressBytes = 0;
    m_bDraining = false;
    m_nDrainedBytes = 0;
}
