#include "core/engine/ConcurrentFetcher.h"

#include "core/engine/FetchTransfer.h"
#include "core/support/Curl.h"

#include <algorithm>
#include <chrono>
#include <utility>

namespace {
// As in CPageFetcher: how often the transfers regain control while nothing arrives, to look
// at the stop flag and the clock.
constexpr int kWatchIntervalMs = 100;
// Idle connections kept beyond one per transfer: for the other hosts a redirect leads to.
constexpr long kSpareConnections = 4;
} // namespace

struct CConcurrentFetcher::CSlot
{
    std::unique_ptr<CFetchTransfer> m_pTransfer;
    quint64 m_Key = 0;
    QString m_Url;
    quint32 m_nTimeoutMs = 0;
    eFetchRequest m_Request = eFetchRequest::ePage;
    QByteArray m_Content;
    bool m_bRunning = false; // holds a page not yet handed back, in flight or held
    bool m_bStarted = false; // on the multi handle
    bool m_bRetried = false;
    int m_nGeneration = 0; // of the fetcher when the request went out
};

CConcurrentFetcher::CConcurrentFetcher(int maxTransfers, const std::atomic<bool>* stopRequested,
                                       const CFetchLimits& limits)
    : m_nMaxTransfers(std::max(maxTransfers, 1))
    , m_pStopRequested(stopRequested)
    , m_Limits(limits)
    , m_pMulti(std::make_unique<CCurlMulti>())
{
    if (!*m_pMulti) {
        return;
    }
    CURLM* multi = m_pMulti->Get();
    // A crawl is one site: as many connections to it as transfers, never more, so a site
    // sees the load the user chose.
    curl_multi_setopt(multi, CURLMOPT_MAX_HOST_CONNECTIONS, long(m_nMaxTransfers));
    // libcurl sizes its cache by the transfers added at the moment, so a moment with few in
    // flight would close the idle connections that the next burst needs.
    curl_multi_setopt(multi, CURLMOPT_MAXCONNECTS, long(m_nMaxTransfers) + kSpareConnections);
}

CConcurrentFetcher::~CConcurrentFetcher()
{
    // The easy handles must leave the multi handle before either goes.
    AbortAll();
}

CConcurrentFetcher::CSlot* CConcurrentFetcher::FreeSlot()
{
    for (const std::unique_ptr<CSlot>& slot : m_Slots) {
        if (!slot->m_bRunning) {
            return slot.get();
        }
    }
    auto slot = std::make_unique<CSlot>();
    slot->m_pTransfer = std::make_unique<CFetchTransfer>(m_pStopRequested, m_Limits);
    slot->m_pTransfer->WaitForMultiplexing();
    slot->m_pTransfer->SetOptions(m_Options);
    m_Slots.push_back(std::move(slot));
    return m_Slots.back().get();
}

void CConcurrentFetcher::SetOptions(const CFetchOptions& options)
{
    m_Options = options;
    for (const std::unique_ptr<CSlot>& slot : m_Slots) {
        slot->m_pTransfer->SetOptions(options);
    }
}

void CConcurrentFetcher::LimitHostConnections(int maxPerHost)
{
    if (*m_pMulti) {
        curl_multi_setopt(m_pMulti->Get(), CURLMOPT_MAX_HOST_CONNECTIONS, long(std::max(maxPerHost, 1)));
    }
}

bool CConcurrentFetcher::Submit(quint64 key, const QString& url, quint32 timeoutMs, eFetchRequest request)
{
    if (m_nInFlight >= m_nMaxTransfers) {
        return false;
    }
    ++m_nInFlight;
    CSlot* slot = FreeSlot();
    slot->m_Key = key;
    slot->m_Url = url;
    slot->m_nTimeoutMs = timeoutMs;
    slot->m_Request = request;
    slot->m_bRetried = false;
    slot->m_Content.clear();
    if (!slot->m_pTransfer->Prepare(url, timeoutMs, slot->m_Content, request)) {
        Complete(*slot, -1, m_Ready);
        return true;
    }
    slot->m_bRunning = true;
    Start(*slot, m_Ready);
    return true;
}

void CConcurrentFetcher::Start(CSlot& slot, std::vector<CCompletedFetch>& done)
{
    if (std::chrono::steady_clock::now() < m_PauseUntil) {
        slot.m_bStarted = false;
        return;
    }
    slot.m_bStarted = true;
    slot.m_nGeneration = m_nGeneration;
    if (!slot.m_pTransfer->AddTo(*m_pMulti)) {
        Complete(slot, CURLE_FAILED_INIT, done, false);
    }
}

void CConcurrentFetcher::StartHeld(std::vector<CCompletedFetch>& done)
{
    const bool stop = StopRequested();
    const bool pauseOver = std::chrono::steady_clock::now() >= m_PauseUntil;
    for (const std::unique_ptr<CSlot>& slot : m_Slots) {
        if (!slot->m_bRunning || slot->m_bStarted) {
            continue;
        }
        if (stop) {
            slot->m_pTransfer->Cancel();
            Complete(*slot, -1, done);
        } else if (pauseOver) {
            Start(*slot, done);
        }
    }
}

bool CConcurrentFetcher::RetryLater(CSlot& slot)
{
    CFetchTransfer& transfer = *slot.m_pTransfer;
    const qint64 delayMs = transfer.GetRetryDelayMs();
    if (delayMs < 0 || slot.m_bRetried) {
        return false;
    }
    slot.m_bRetried = true;
    if (slot.m_nGeneration == m_nGeneration) {
        m_nMaxTransfers = std::max(m_nMaxTransfers / 2, 1);
        ++m_nGeneration;
    }
    m_PauseUntil = std::max(m_PauseUntil, std::chrono::steady_clock::now() + std::chrono::milliseconds(delayMs));
    // The refused answer leaves nothing behind: the page is what the second one says.
    slot.m_Content.clear();
    if (!transfer.Prepare(slot.m_Url, slot.m_nTimeoutMs, slot.m_Content, slot.m_Request)) {
        return false;
    }
    slot.m_bStarted = false;
    return true;
}

void CConcurrentFetcher::Complete(CSlot& slot, int curlResult, std::vector<CCompletedFetch>& done, bool mayRetry)
{
    CFetchTransfer& transfer = *slot.m_pTransfer;
    // -1: the outcome was settled before the transfer started.
    if (curlResult != -1) {
        transfer.RemoveFrom(*m_pMulti);
        transfer.Finish(curlResult);
        if (mayRetry && RetryLater(slot)) {
            return;
        }
    }
    slot.m_bRunning = false;
    slot.m_bStarted = false;
    CCompletedFetch page;
    page.m_Key = slot.m_Key;
    page.m_Url = std::move(slot.m_Url);
    page.m_Status = transfer.GetStatus();
    page.m_bStopped = transfer.WasStopped();
    if (page.m_Status == eFileRetrieveError) {
        page.m_Error = transfer.GetError();
    }
    page.m_Content = std::move(slot.m_Content);
    page.m_EffectiveUrl = transfer.GetEffectiveUrl();
    page.m_ContentType = transfer.GetContentType();
    page.m_Figures = transfer.GetFigures();
    slot.m_Content = QByteArray();
    done.push_back(std::move(page));
}

bool CConcurrentFetcher::StopRequested() const
{
    return m_pStopRequested && m_pStopRequested->load(std::memory_order_relaxed);
}

bool CConcurrentFetcher::AnyRunning() const
{
    return std::any_of(m_Slots.begin(), m_Slots.end(),
                       [](const std::unique_ptr<CSlot>& slot) { return slot->m_bRunning; });
}

std::vector<CCompletedFetch> CConcurrentFetcher::WaitForAny(int maxWaitMs)
{
    std::vector<CCompletedFetch> done;
    done.swap(m_Ready);
    CURLM* multi = m_pMulti->Get();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(std::max(maxWaitMs, 0));
    while (done.empty() && AnyRunning()) {
        // Before the multi handle is driven, so that what starts now is counted as running.
        StartHeld(done);
        int running = 0;
        const bool driven = curl_multi_perform(multi, &running) == CURLM_OK;
        // Collected first: a message does not outlive the removal of its handle.
        std::vector<std::pair<CURL*, CURLcode>> ended;
        int queued = 0;
        while (CURLMsg* message = curl_multi_info_read(multi, &queued)) {
            if (message->msg == CURLMSG_DONE) {
                ended.emplace_back(message->easy_handle, message->data.result);
            }
        }
        for (const auto& [easy, result] : ended) {
            for (const std::unique_ptr<CSlot>& slot : m_Slots) {
                if (slot->m_bRunning && slot->m_bStarted && slot->m_pTransfer->IsHandle(easy)) {
                    Complete(*slot, result, done);
                    break;
                }
            }
        }
        // All at once on a stop: each transfer sees the flag in the same turn.
        const auto now = std::chrono::steady_clock::now();
        for (const std::unique_ptr<CSlot>& slot : m_Slots) {
            if (slot->m_bRunning && slot->m_bStarted && (!driven || running == 0 || !slot->m_pTransfer->Watch(now))) {
                Complete(*slot, CURLE_FAILED_INIT, done);
            }
        }
        if (!done.empty()) {
            break;
        }
        int pollMs = kWatchIntervalMs;
        if (now < m_PauseUntil) {
            const auto pauseLeft = std::chrono::duration_cast<std::chrono::milliseconds>(m_PauseUntil - now).count();
            pollMs = int(std::clamp<qint64>(pauseLeft + 1, 1, pollMs));
        }
        if (maxWaitMs >= 0) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count();
            if (left <= 0) {
                break;
            }
            pollMs = int(std::min<qint64>(left, pollMs));
        }
        if (curl_multi_poll(multi, nullptr, 0, pollMs, nullptr) != CURLM_OK) {
            for (const std::unique_ptr<CSlot>& slot : m_Slots) {
                if (slot->m_bRunning && slot->m_bStarted) {
                    Complete(*slot, CURLE_FAILED_INIT, done, false);
                }
            }
        }
    }
    m_nInFlight -= int(done.size());
    return done;
}

void CConcurrentFetcher::AbortAll()
{
    std::vector<CCompletedFetch> dropped;
    for (const std::unique_ptr<CSlot>& slot : m_Slots) {
        if (slot->m_bRunning && slot->m_bStarted) {
            Complete(*slot, CURLE_FAILED_INIT, dropped, false);
        } else if (slot->m_bRunning) {
            slot->m_pTransfer->Cancel();
            Complete(*slot, -1, dropped);
        }
    }
    m_Ready.clear();
    m_nInFlight = 0;
}
