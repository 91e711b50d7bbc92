#pragma once

#include "core/engine/PageFetcher.h"

#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include <array>
#include <atomic>
#include <chrono>
#include <memory>

class CCurlEasy;
class CCurlMulti;
class CCurlStringList;

// What a transfer asks of the server: a page, judged and read as the checks read pages, or
// only whether a link answers. A link answers when its final status is 2xx, whatever it holds,
// and its body is never read: a HEAD has none, and after a GET the body is dropped.
enum class eFetchRequest
{
    ePage,
    eLinkHead,
    eLinkGet,
};

// One page transfer on its own easy handle: the request it sends, the bounds it keeps and the
// verdict on the answer. Whoever drives the multi handle (CPageFetcher for one page at a time,
// CConcurrentFetcher for several) goes through this class, so a page is judged alike however
// many are fetched at once. The handle is reused from one transfer to the next.
class CFetchTransfer
{
public:
    CFetchTransfer(const std::atomic<bool>* stopRequested, const CFetchLimits& limits);
    ~CFetchTransfer();
    CFetchTransfer(const CFetchTransfer&) = delete;
    CFetchTransfer& operator=(const CFetchTransfer&) = delete;

    // Readies a transfer of url whose body is appended to content, which must outlive it.
    // False when the outcome is known already (a stop, a URL that does not parse, unusable
    // trusted certificates): the accessors below then hold it and nothing is to be driven.
    bool Prepare(const QString& url, quint32 timeoutMs, QByteArray& content,
                 eFetchRequest request = eFetchRequest::ePage);
    // For the transfers prepared from now on.
    void SetOptions(const CFetchOptions& options);
    // Lets the HTTPS transfers of a concurrent crawl wait for a connection that may carry
    // them beside others (HTTP/2), rather than each opening its own.
    void WaitForMultiplexing();

    bool AddTo(CCurlMulti& multi);
    void RemoveFrom(CCurlMulti& multi);
    bool IsHandle(const void* easy) const;
    // To be called between turns of the multi handle: false once the transfer must be
    // abandoned (a stop, a stall, the bound on one transfer), the reason then recorded.
    bool Watch(std::chrono::steady_clock::time_point now);
    // Judges the transfer after it left the multi handle. curlResult is libcurl's CURLcode
    // for a transfer that ended by itself; any failing code for one that was abandoned.
    void Finish(int curlResult);

    eFileRetrieveStatus GetStatus() const { return m_Status; }
    // Set when the status is eFileRetrieveError: the quoted URL and the reason.
    const QString& GetError() const { return m_Error; }
    bool WasStopped() const { return m_bStopped; }
    const QString& GetEffectiveUrl() const { return m_EffectiveUrl; }
    const QByteArray& GetContentType() const { return m_ContentType; }
    const CFetchFigures& GetFigures() const { return m_Figures; }
    // After Finish: how long the server asked the client to wait before asking again (a 429
    // or 503 with a Retry-After it could read), bounded by CFetchLimits; -1 for any other
    // answer.
    qint64 GetRetryDelayMs() const { return m_nRetryDelayMs; }
    // Ends a transfer that was prepared but never added to a multi handle, as stopped.
    void Cancel();

private:
    enum class eAbort
    {
        eNone,
        eStopped,
        eNoStatusCode,
        eBadStatus,
        eNoContentType,
        eNotText,
        eTooLarge,
        eStalled,
        eTooLong,
        eLinkAnswered, // a link check had its answer; the body is not wanted
    };

    static size_t OnHeader(char* data, size_t size, size_t count, void* transfer);
    static size_t OnBody(char* data, size_t size, size_t count, void* transfer);
    static int OnProgress(void* transfer, qint64 downTotal, qint64 downNow, qint64 upTotal, qint64 upNow);

    void NoteReceipt();
    bool HeaderLine(const QByteArray& line);
    bool BodyData(const char* data, size_t length);
    // Judges the status and the content type of the answer now at hand; eNone lets it be read.
    eAbort JudgeAnswer();
    // After a refused answer: true when its body is to be read and dropped, which keeps the
    // connection for the next page.
    bool StartDraining();
    // Ends the transfer for reason, unless a verdict was reached already and only its body
    // is being drained: that verdict stands.
    bool Abandon(eAbort reason);
    bool StopRequested() const;
    void ResetTransferState();
    void ApplyHeaders();
    void RecordFigures();
    qint64 RetryDelayMs() const;
    eFileRetrieveStatus Fail(const char* format, const QString& reason);

    const std::atomic<bool>* m_pStopRequested;
    CFetchLimits m_Limits;
    std::unique_ptr<CCurlEasy> m_pEasy;
    std::unique_ptr<CCurlStringList> m_pRequestHeaders;
    // The fixed headers joined with the task's, when it has any.
    std::unique_ptr<CCurlStringList> m_pTaskHeaders;
    CFetchOptions m_Options;
    bool m_bOptionsChanged = false; // the header list is rebuilt at the next Prepare
    std::array<char, 256> m_ErrorDetail {}; // CURL_ERROR_SIZE, kept out of this header
    bool m_bWaitForMultiplexing = false;

    // The outcome, valid after Prepare returned false or after Finish.
    eFileRetrieveStatus m_Status = eFileRetrieved;
    QString m_Error;
    bool m_bStopped = false;
    QString m_EffectiveUrl;
    CFetchFigures m_Figures;
    qint64 m_nRetryDelayMs = -1;

    // State of the transfer in progress, reset by every Prepare.
    QString m_Url;
    eFetchRequest m_Request = eFetchRequest::ePage;
    quint32 m_nTimeoutMs = 0;
    qint64 m_nTransferLimitMs = 0;
    std::chrono::steady_clock::time_point m_Started;
    QByteArray* m_pContent = nullptr;
    qint64 m_nBodyBytes = 0;
    long m_nStatusCode = 0;
    QByteArray m_ContentType;
    bool m_bHasContentType = false;
    qint64 m_nContentLength = -1;
    QByteArray m_RetryAfter;
    bool m_bHasRetryAfter = false;
    bool m_bAnswerArrived = false; // the headers of the final answer are complete
    bool m_bReceivedAny = false;
    std::chrono::steady_clock::time_point m_LastReceipt;
    qint64 m_nProgressBytes = 0;
    bool m_bDraining = false;
    qint64 m_nDrainedBytes = 0;
    eAbort m_Abort = eAbort::eNone;
};
