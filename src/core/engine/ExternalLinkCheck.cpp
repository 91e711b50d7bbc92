#include "core/engine/ExternalLinkCheck.h"

#include "core/engine/ConcurrentFetcher.h"

#include <QUrl>

#include <utility>

namespace {
// How long the checking thread leaves the transfers to themselves before it looks at the
// stop and at links added meanwhile.
constexpr int kTurnMs = 50;
} // namespace

CExternalLinkCheck::CExternalLinkCheck(quint32 timeoutMs, const std::atomic<bool>* stopRequested)
    : m_nTimeoutMs(timeoutMs)
    , m_pStopRequested(stopRequested)
{ }

CExternalLinkCheck::~CExternalLinkCheck()
{
    if (!m_Thread.joinable())
        return;
    {
        std::lock_guard guard(m_Lock);
        m_bFinishing = true;
        m_bAbort = true;
    }
    m_Changed.notify_all();
    m_Thread.join();
}

void CExternalLinkCheck::Add(const QList<QString>& urls, const QString& referrer)
{
    bool added = false;
    {
        std::lock_guard guard(m_Lock);
        for (const QString& url : urls) {
            if (m_Seen.contains(url))
                continue;
            m_Seen.insert(url);
            CEntry entry;
            entry.m_Link.m_Url = url;
            entry.m_Link.m_Referrer = referrer;
            // Connections are shared out by host name: scheme and port make no other site.
            entry.m_Host = QUrl(url).host();
            m_Hosts[entry.m_Host].m_Waiting.push_back(m_Links.size());
            m_Links.push_back(std::move(entry));
            ++m_nWaiting;
            added = true;
        }
    }
    if (!added)
        return;
    // The thread comes with the first link, so a site without such links starts none.
    if (!m_Thread.joinable())
        m_Thread = std::thread([this] { Run(); });
    m_Changed.notify_all();
}

std::vector<CExternalLink> CExternalLinkCheck::Finish(bool abort, bool* cut)
{
    {
        std::lock_guard guard(m_Lock);
        m_bFinishing = true;
        m_bAbort = m_bAbort || abort;
    }
    m_Changed.notify_all();
    if (m_Thread.joinable())
        m_Thread.join();
    std::vector<CExternalLink> checked;
    for (CEntry& entry : m_Links) {
        if (!entry.m_bDone)
            break;
        checked.push_back(std::move(entry.m_Link));
    }
    if (cut)
        *cut = checked.size() < m_Links.size();
    return checked;
}

bool CExternalLinkCheck::StopRequested() const
{
    return m_pStopRequested && m_pStopRequested->load(std::memory_order_relaxed);
}

void CExternalLinkCheck::Run()
{
    // The fetcher belongs to this thread from its first use to its end.
    CConcurrentFetcher fetcher(kMaxTransfers, m_pStopRequested);
    // Also holds where redirects lead, which the count per host below cannot see.
    fetcher.LimitHostConnections(kMaxPerHost);
    std::unique_lock lock(m_Lock);
    for (;;) {
        if (m_bAbort || StopRequested())
            break;
        StartWaiting(fetcher);
        if (fetcher.InFlightCount() == 0) {
            if (m_bFinishing && m_nWaiting == 0)
                break;
            m_Changed.wait(lock, [this] { return m_bAbort || m_bFinishing || m_nWaiting > 0; });
            continue;
        }
        lock.unlock();
        std::vector<CCompletedFetch> done = fetcher.WaitForAny(kTurnMs);
        lock.lock();
        for (CCompletedFetch& fetch : done)
            Settle(fetch);
    }
    lock.unlock();
    fetcher.AbortAll();
}

void CExternalLinkCheck::StartWaiting(CConcurrentFetcher& fetcher)
{
    // Fewer than kMaxTransfers once a site asked for patience.
    while (m_nWaiting > 0 && fetcher.InFlightCount() < fetcher.GetMaxTransfers()) {
        // The link found first among the hosts that have a connection to spare.
        CHost* next = nullptr;
        for (auto& [name, host] : m_Hosts) {
            if (!host.m_Waiting.empty() && host.m_nInFlight < kMaxPerHost
                && (!next || host.m_Waiting.front() < next->m_Waiting.front()))
                next = &host;
        }
        if (!next)
            return;
        const size_t index = next->m_Waiting.front();
        const CEntry& entry = m_Links[index];
        if (!fetcher.Submit(index, entry.m_Link.m_Url, m_nTimeoutMs,
                            entry.m_bTriedGet ? eFetchRequest::eLinkGet : eFetchRequest::eLinkHead))
            return;
        next->m_Waiting.pop_front();
        --m_nWaiting;
        ++next->m_nInFlight;
    }
}

void CExternalLinkCheck::Settle(CCompletedFetch& fetch)
{
    CEntry& entry = m_Links[size_t(fetch.m_Key)];
    CHost& host = m_Hosts[entry.m_Host];
    --host.m_nInFlight;
    // A check cut off by a stop has no outcome.
    if (fetch.m_bStopped)
        return;
    // Some servers refuse HEAD, or mishandle it so badly that no answer comes; they may
    // still serve the link to a GET, as to a visitor.
    const int status = fetch.m_Figures.m_StatusCode;
    if (fetch.m_Status == eFileRetrieveError && !entry.m_bTriedGet && (status <= 0 || status == 405 || status == 501)) {
        entry.m_bTriedGet = true;
        host.m_Waiting.push_front(size_t(fetch.m_Key));
        ++m_nWaiting;
        return;
    }
    entry.m_Link.m_Status = fetch.m_Status == eFileRetrieveError ? eFileRetrieveError : eFileRetrieved;
    entry.m_Link.m_Error = std::move(fetch.m_Error);
    entry.m_bDone = true;
}
