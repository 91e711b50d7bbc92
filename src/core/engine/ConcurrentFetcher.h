#pragma once

#include "core/engine/FetchTransfer.h"
#include "core/engine/PageFetcher.h"

#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include <atomic>
#include <chrono>
#include <memory>
#include <vector>

class CCurlMulti;
class CFetchTransfer;

// One page fetched by CConcurrentFetcher: what CPageFetcher's RetrieveFile and its accessors
// would have told of the same URL, with the key it was submitted under.
struct CCompletedFetch
{
    quint64 m_Key = 0;
    QString m_Url;
    eFileRetrieveStatus m_Status = eFileRetrieveError;
    bool m_bStopped = false;
    QString m_Error; // set when m_Status is eFileRetrieveError
    QByteArray m_Content;
    QString m_EffectiveUrl;
    QByteArray m_ContentType;
    CFetchFigures m_Figures;
};

// Fetches up to a fixed number of pages at once for the spider, on one libcurl multi handle:
// one connection cache, kept-alive HTTP/1.1 connections (at most that number to one host) and
// HTTP/2 streams side by side where the server offers it. Each page is fetched and judged as
// CPageFetcher fetches it, with the same bounds. It belongs to one thread at a time.
//
// It is a good citizen of the one site it serves: an answer that asks the client to come back
// later (429 or 503 with Retry-After) holds every transfer not yet started for as long as
// asked (within CFetchLimits' bound), then that page is asked for once more, and from then on
// half as many transfers (at least one) are let in flight. The page is handed back once, with
// the second answer.
class CConcurrentFetcher
{
public:
    // stopRequested, when given, is watched as in CPageFetcher: once it is set every
    // transfer in flight ends as stopped within about a tenth of a second.
    explicit CConcurrentFetcher(int maxTransfers, const std::atomic<bool>* stopRequested = nullptr,
                                const CFetchLimits& limits = {});
    ~CConcurrentFetcher();
    CConcurrentFetcher(const CConcurrentFetcher&) = delete;
    CConcurrentFetcher& operator=(const CConcurrentFetcher&) = delete;

    // What Submit lets in flight now: the number asked for, or less once the site asked for
    // patience.
    int GetMaxTransfers() const { return m_nMaxTransfers; }
    // Pages submitted and not yet handed back by WaitForAny.
    int InFlightCount() const { return m_nInFlight; }

    // Starts fetching url; false, with nothing started, when the fetcher is full. A URL that
    // fails before any transfer (it does not parse, a stop) comes back from the next
    // WaitForAny like any other.
    bool Submit(quint64 key, const QString& url, quint32 timeoutMs, eFetchRequest request = eFetchRequest::ePage);
    // For the transfers submitted from now on.
    void SetOptions(const CFetchOptions& options);
    // For transfers spread over many hosts: fewer connections to any one of them than there
    // are transfers. Transfers beyond that wait for a connection of their host.
    void LimitHostConnections(int maxPerHost);
    // Drives the transfers until at least one has ended, and hands back every page that has,
    // in the order they ended. Empty when nothing is in flight, or when maxWaitMs (when not
    // negative) passed first: the transfers then go on.
    std::vector<CCompletedFetch> WaitForAny(int maxWaitMs = -1);
    // Abandons every transfer in flight at once, closing their connections; none of them is
    // handed back.
    void AbortAll();

private:
    struct CSlot;

    CSlot* FreeSlot();
    // Starts the transfer of slot, or holds it while the site asked for a pause.
    void Start(CSlot& slot, std::vector<CCompletedFetch>& done);
    // Starts the held transfers once the pause is over; ends them all on a stop.
    void StartHeld(std::vector<CCompletedFetch>& done);
    // Hands the page of slot back, or, when the site asked to be asked again later and
    // mayRetry, holds it for one more transfer.
    void Complete(CSlot& slot, int curlResult, std::vector<CCompletedFetch>& done, bool mayRetry = true);
    bool RetryLater(CSlot& slot);
    bool AnyRunning() const;
    bool StopRequested() const;

    int m_nMaxTransfers;
    const std::atomic<bool>* m_pStopRequested;
    CFetchLimits m_Limits;
    CFetchOptions m_Options;
    std::unique_ptr<CCurlMulti> m_pMulti;
    std::vector<std::unique_ptr<CSlot>> m_Slots;
    std::vector<CCompletedFetch> m_Ready; // ended at Submit, not yet handed back
    int m_nInFlight = 0;
    // No transfer starts before this time, which a site's Retry-After sets.
    std::chrono::steady_clock::time_point m_PauseUntil;
    // Counts the reductions of m_nMaxTransfers: a refusal lowers it only when its request went
    // out after the last reduction, so one burst of refusals halves it once, not once each.
    int m_nGeneration = 0;
};
