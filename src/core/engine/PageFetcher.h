#pragma once

#include "core/tasks/CheckOptions.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QtGlobal>

#include <atomic>
#include <chrono>
#include <memory>
#include <optional>

// The outcome of one RetrieveFile call. The values are shared with the checks that switch on
// them, so they never change.
enum eFileRetrieveStatus
{
    eFileRetrieved = 0, // the whole body was read
    eFileRetrieveError = 1, // no usable answer; the error text says why
    eFileNotText = 2, // an HTTP answer that is not text/html; its body was not downloaded
};

// Bounds that keep one transfer from holding the engine, whatever the server does. The
// defaults are the product's; tests shrink them to reach a bound quickly.
struct CFetchLimits
{
    qint64 m_MaxBytes = qint64(64) * 1024 * 1024;
    // One transfer may take max(m_MinTransferMs, m_TransferTimeFactor x the time-out).
    qint64 m_MinTransferMs = 60 * 1000;
    qint64 m_TransferTimeFactor = 10;
    // The body of a refused answer (a bad status, not HTML) up to this size is read and
    // dropped, so that its connection serves the next page; a larger one closes it.
    qint64 m_MaxDrainBytes = 256 * 1024;
    // A crawl told to come back later (429 or 503 with Retry-After) waits at most this many
    // times the task's time-out: a site may ask for an hour, but a check must end.
    qint64 m_RetryWaitFactor = 2;
};

// What one RetrieveFile measured, for the result history; the error texts stay as they are.
// A figure the transfer did not reach stays at -1 (or empty).
struct CFetchFigures
{
    int m_StatusCode = -1; // of the last answer that arrived
    qint64 m_Bytes = -1; // body bytes read; a body that was not read counts 0
    // libcurl's phase times in microseconds, as it reports them; m_TlsUs stays -1 over http.
    qint64 m_LookupUs = -1;
    qint64 m_ConnectUs = -1;
    qint64 m_TlsUs = -1;
    qint64 m_FirstByteUs = -1;
    qint64 m_TotalUs = -1;
    QString m_FinalUrl; // where the redirects led, also when the answer was refused
    qint64 m_CertExpiryMs = -1; // notAfter of the server's certificate, ms since 1970 UTC
};

// What a task asks of its requests beyond the page. The defaults ask what every check always
// asked: an answer is accepted with a 2xx status, and no header of the task's is sent.
struct CFetchOptions
{
    std::optional<CStatusList> m_AcceptedStatus; // nothing: 200-299
    // Sent with every request; a name the fetcher sends itself (Cache-Control, Pragma) is
    // then sent as given here instead.
    QList<CHeaderLine> m_Headers;
};

class CCurlMulti;
class CFetchTransfer;

// Fetches pages over HTTP and HTTPS for the GET check and the spider. One fetcher keeps one
// connection cache, so consecutive pages of a site share a kept-alive connection; it belongs
// to one thread at a time.
class CPageFetcher
{
public:
    // stopRequested, when given, is watched during every transfer: once it is set the
    // transfer is abandoned within about a tenth of a second. The flag is only read here.
    explicit CPageFetcher(const std::atomic<bool>* stopRequested = nullptr, const CFetchLimits& limits = {});
    ~CPageFetcher();
    CPageFetcher(const CPageFetcher&) = delete;
    CPageFetcher& operator=(const CPageFetcher&) = delete;

    // Fetches url and appends its body to content. On eFileRetrieveError, error is set to a
    // text that starts with the quoted URL and content keeps what was read before the
    // failure; otherwise error is left alone. On eFileNotText content is left alone too.
    eFileRetrieveStatus RetrieveFile(const QString& url, quint32 timeoutMs, QString& error, QByteArray& content);
    // RetrieveFile for a crawl, which answers a site that asks it to come back later (429 or
    // 503 with Retry-After): it waits as long as asked, within CFetchLimits' bound, and asks
    // once more; that second answer is the page's. A stop ends the wait at once.
    eFileRetrieveStatus RetrievePage(const QString& url, quint32 timeoutMs, QString& error, QByteArray& content);

    // For the transfers from now on, until it is set again.
    void SetOptions(const CFetchOptions& options);

    // True when the last RetrieveFile ended with eFileRetrieveError because the stop flag
    // was set: the caller reports a stop, not a failure.
    bool WasStopped() const;

    // After eFileRetrieved: the URL the body came from, after any redirects (the URL asked
    // for when there were none), and the Content-Type header of that answer.
    const QString& GetEffectiveUrl() const;
    const QByteArray& GetContentType() const;
    // After every RetrieveFile, whatever its outcome.
    const CFetchFigures& GetFigures() const;

private:
    // Drives the prepared transfer to its end, or until it must be abandoned. Returns
    // libcurl's CURLcode, kept out of this header.
    int RunTransfer();

    const std::atomic<bool>* m_pStopRequested;
    std::unique_ptr<CCurlMulti> m_pMulti;
    std::unique_ptr<CFetchTransfer> m_pTransfer;
};
