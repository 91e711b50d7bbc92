#pragma once

#include "core/engine/PageFetcher.h"

#include <QList>
#include <QSet>
#include <QString>
#include <QtGlobal>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

class CConcurrentFetcher;
struct CCompletedFetch;

// A link of a crawled site to another site, and what checking it gave.
struct CExternalLink
{
    QString m_Url;
    QString m_Referrer; // the first page found to link it
    eFileRetrieveStatus m_Status = eFileRetrieveError; // eFileRetrieved or eFileRetrieveError
    QString m_Error; // on eFileRetrieveError: the quoted URL and the reason
};

// Checks a crawl's links to other sites while the crawl goes on, on a thread of its own: each
// URL once, by HEAD, or by GET when the server refuses HEAD (405, 501) or the HEAD fails
// without an answer; redirects are followed, and the answer is never read for links. Those
// sites never asked to be crawled, so only a few links are checked at once, and no more than
// two on any one host, as a browser would open. Driven by one thread (the crawl's): Add, then
// Finish once.
class CExternalLinkCheck
{
public:
    static constexpr int kMaxTransfers = 8;
    static constexpr int kMaxPerHost = 2;

    // timeoutMs bounds each request as it bounds a page's; stopRequested is the engine's stop,
    // which ends the checks in flight at once.
    CExternalLinkCheck(quint32 timeoutMs, const std::atomic<bool>* stopRequested);
    ~CExternalLinkCheck();
    CExternalLinkCheck(const CExternalLinkCheck&) = delete;
    CExternalLinkCheck& operator=(const CExternalLinkCheck&) = delete;

    // Links found on referrer, in page order. A URL met before keeps its first referrer and is
    // checked once.
    void Add(const QList<QString>& urls, const QString& referrer);

    // Waits until every link added has been checked, or until a stop; with abort set, ends the
    // checks still going on at once. Returns the links in the order they were added, up to the
    // first one whose check did not end; *cut is set when that is not all of them.
    std::vector<CExternalLink> Finish(bool abort, bool* cut);

private:
    struct CEntry
    {
        CExternalLink m_Link;
        QString m_Host;
        bool m_bTriedGet = false;
        bool m_bDone = false;
    };
    struct CHost
    {
        std::deque<size_t> m_Waiting; // indexes into m_Links, lowest first
        int m_nInFlight = 0;
    };

    void Run();
    void StartWaiting(CConcurrentFetcher& fetcher);
    void Settle(CCompletedFetch& fetch);
    bool StopRequested() const;

    const quint32 m_nTimeoutMs;
    const std::atomic<bool>* m_pStopRequested;
    QSet<QString> m_Seen; // the owner's side only
    std::thread m_Thread;

    // Shared, under m_Lock:
    std::mutex m_Lock;
    std::condition_variable m_Changed;
    std::deque<CEntry> m_Links; // in the order added
    std::map<QString, CHost> m_Hosts;
    size_t m_nWaiting = 0;
    bool m_bFinishing = false;
    bool m_bAbort = false;
};
