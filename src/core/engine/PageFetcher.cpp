#include "core/engine/PageFetcher.h"

#include "core/engine/FetchTransfer.h"
#include "core/support/Curl.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace {
// How often a transfer regains control while nothing arrives, to look at the stop flag
// and the clock. libcurl on its own would call back about once a second only.
constexpr int kWatchIntervalMs = 100;
// How often a wait the server asked for looks at the stop flag; a stop must end it at once.
constexpr std::chrono::milliseconds kStopCheckInterval(20);
} // namespace

CPageFetcher::CPageFetcher(const std::atomic<bool>* stopRequested, const CFetchLimits& limits)
    : m_pStopRequested(stopRequested)
    , m_pMulti(std::make_unique<CCurlMulti>())
    , m_pTransfer(std::make_unique<CFetchTransfer>(stopRequested, limits))
{ }

CPageFetcher::~CPageFetcher() = default;

eFileRetrieveStatus CPageFetcher::RetrieveFile(const QString& url, quint32 timeoutMs, QString& error,
                                               QByteArray& content)
{
    if (m_pTransfer->Prepare(url, timeoutMs, content)) {
        m_pTransfer->Finish(RunTransfer());
    }
    if (m_pTransfer->GetStatus() == eFileRetrieveError) {
        error = m_pTransfer->GetError();
    }
    return m_pTransfer->GetStatus();
}

eFileRetrieveStatus CPageFetcher::RetrievePage(const QString& url, quint32 timeoutMs, QString& error,
                                               QByteArray& content)
{
    const qsizetype contentBefore = content.size();
    const eFileRetrieveStatus status = RetrieveFile(url, timeoutMs, error, content);
    const qint64 delayMs = m_pTransfer->GetRetryDelayMs();
    if (delayMs < 0) {
        return status;
    }
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(delayMs);
    for (;;) {
        if (m_pStopRequested && m_pStopRequested->load(std::memory_order_relaxed)) {
            m_pTransfer->Cancel();
            error = m_pTransfer->GetError();
            return m_pTransfer->GetStatus();
        }
        const auto now = std::chrono::steady_clock::now();
        if (now >= until) {
            break;
        }
        std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(until - now, kStopCheckInterval));
    }
    // The refused answer leaves nothing behind: the page is what the second one says.
    content.truncate(contentBefore);
    error.clear();
    return RetrieveFile(url, timeoutMs, error, content);
}

void CPageFetcher::SetOptions(const CFetchOptions& options)
{
    m_pTransfer->SetOptions(options);
}

int CPageFetcher::RunTransfer()
{
    // The multi interface rather than curl_easy_perform: this loop then regains control
    // often enough to honour a stop at once, and to apply the stall and whole-transfer
    // bounds itself. libcurl's low-speed check averages over several seconds, so after a
    // burst of data it would notice a stall only seconds past the time-out.
    if (!m_pTransfer->AddTo(*m_pMulti)) {
        return CURLE_FAILED_INIT;
    }
    CURLM* multi = m_pMulti->Get();
    CURLcode result = CURLE_FAILED_INIT;
    for (;;) {
        int running = 0;
        if (curl_multi_perform(multi, &running) != CURLM_OK) {
            break;
        }
        bool done = false;
        int queued = 0;
        while (CURLMsg* message = curl_multi_info_read(multi, &queued)) {
            if (message->msg == CURLMSG_DONE && m_pTransfer->IsHandle(message->easy_handle)) {
                result = message->data.result;
                done = true;
            }
        }
        if (done || running == 0 || !m_pTransfer->Watch(std::chrono::steady_clock::now())) {
            break;
        }
        if (curl_multi_poll(multi, nullptr, 0, kWatchIntervalMs, nullptr) != CURLM_OK) {
            break;
        }
    }
    m_pTransfer->RemoveFrom(*m_pMulti);
    return result;
}

bool CPageFetcher::WasStopped() const
{
    return m_pTransfer->WasStopped();
}

const QString& CPageFetcher::GetEffectiveUrl() const
{
    return m_pTransfer->GetEffectiveUrl();
}

const QByteArray& CPageFetcher::GetContentType() const
{
    return m_pTransfer->GetContentType();
}

const CFetchFigures& CPageFetcher::GetFigures() const
{
    return m_pTransfer->GetFigures();
}
