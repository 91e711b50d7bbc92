#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QString>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

// One element of the spider's queue: a URL to fetch and its link depth (0 for the start URL,
// d + 1 for a link found on a page of depth d).
class CSpiderLink
{
public:
    CSpiderLink() = default;
    CSpiderLink(const QString& url, int depth)
        : m_Url(url)
        , m_nDepth(depth)
    { }

    QString m_Url;
    int m_nDepth = 0;

    friend bool operator==(const CSpiderLink&, const CSpiderLink&) = default;
};

// The spider's FIFO: appended at the back, taken from the front.
using CSpiderQueue = std::deque<CSpiderLink>;

// Everything one crawl remembers about the URLs it has met, keyed by URL compared without
// letter case: the page that referenced each one last, and whether it has been queued. It is
// both the referrer map and the seen-set, so that a URL is queued once and nothing else is kept
// per link: memory grows with the distinct URLs of the site, not with the links read.
class CReferrerMap
{
public:
    // Records that referrer references url, replacing an earlier referrer. When mayQueue is
    // set and url has never been queued, marks it queued and returns true: the caller then
    // appends it to the queue.
    bool AddReference(const QString& url, const QString& referrer, bool mayQueue);

    // The latest referrer of url; empty when url was never met.
    QString GetReferrer(const QString& url) const;
    bool IsQueued(const QString& url) const;
    // Distinct URLs met, queued or not.
    qsizetype GetCount() const { return m_Entries.size(); }

private:
    struct CEntry
    {
        QString m_Referrer;
        bool m_bQueued = false;
    };
    static QByteArray Key(const QString& url);

    QHash<QByteArray, CEntry> m_Entries;
};

// Appends link to queue unless its URL was queued before, and makes referrer its referrer
// either way. The spider starts a crawl with AddSpiderLink({startUrl, 0}, "Task URL", ...).
void AddSpiderLink(const CSpiderLink& link, const QString& referrer, CSpiderQueue& queue, CReferrerMap& referrers);

// The links of a fetched page: the "href" of every A element, then the "src" of every FRAME
// element, each in document order, resolved against the page URL (or the page's <base href>).
// Only http(s) URLs on the page's host are kept. content holds the page's bytes as received,
// contentType the Content-Type header they came with; the page's text is read in the encoding
// PageEncoding() decides. When otherSites is given, the http(s) links to other hosts are
// appended to it, resolved alike and in the same order. Safe to call on any thread.
QList<QString> CollectPageLinks(const QString& pageUrl, const QByteArray& content, const QByteArray& contentType = {},
                                QList<QString>* otherSites = nullptr);

// Records page as the referrer of each of links (as CollectPageLinks gives them), and appends
// to queue those not queued before, with depth page.m_nDepth + 1, unless that exceeds maxDepth.
void QueuePageLinks(const CSpiderLink& page, const QList<QString>& links, CSpiderQueue& queue, CReferrerMap& referrers,
                    std::optional<int> maxDepth = std::nullopt);

// Reads the links of a fetched page: the "href" of every A element, then the "src" of every
// FRAME element, each in document order. Each is resolved against the page URL (or the page's
// <base href>); those that are http(s) URLs on the page's host have the page recorded as their
// referrer, and those not queued before are appended to queue with depth page.m_nDepth + 1,
// unless that depth exceeds maxDepth. content holds the page's bytes as received, read as
// PageEncoding() decides for a page whose Content-Type names no charset: a BOM or <meta>
// charset, otherwise UTF-8, or Latin-1 when the bytes are not valid UTF-8. A page URL without a
// host, or a page without links, adds nothing.
void ExtractLinks(const CSpiderLink& page, const QByteArray& content, CSpiderQueue& queue, CReferrerMap& referrers,
                  std::optional<int> maxDepth = std::nullopt);

// Collects the links of fetched pages on a thread of its own, in the order the pages were
// handed over, so that a crawl can go on fetching while earlier pages are read. Owned and
// driven by one thread; the links are queued on that thread, in TakeNext(), so the queue and
// the referrer map need no lock.
class CLinkExtractionWorker
{
public:
    // collectOtherSites: each page's links to other hosts are read too, for TakeNext to hand
    // over.
    explicit CLinkExtractionWorker(bool collectOtherSites = false)
        : m_bCollectOtherSites(collectOtherSites)
    { }
    ~CLinkExtractionWorker();
    CLinkExtractionWorker(const CLinkExtractionWorker&) = delete;
    CLinkExtractionWorker& operator=(const CLinkExtractionWorker&) = delete;

    // Hands over a fetched page to be read after those handed over before it. Its links are
    // resolved against pageUrl, where the page was found (after redirects); they are queued
    // with page as their referrer. contentType: as for CollectPageLinks.
    void Push(const CSpiderLink& page, const QString& pageUrl, QByteArray content, const QByteArray& contentType);
    // Pages handed over and not taken yet, and the bytes they hold.
    qsizetype GetPendingCount() const { return qsizetype(m_Pending.size()); }
    qint64 GetPendingBytes() const { return m_nPendingBytes; }
    // Whether the oldest page not taken yet has been read.
    bool IsNextReady();
    // Waits until the oldest page not taken yet is read, then queues its links as
    // QueuePageLinks does. Does nothing when every page was taken. otherSites, when given,
    // receives the page's links to other hosts (with collectOtherSites only), in page order.
    void TakeNext(CSpiderQueue& queue, CReferrerMap& referrers, std::optional<int> maxDepth = std::nullopt,
                  QList<QString>* otherSites = nullptr);

private:
    struct CJob
    {
        QString m_PageUrl;
        QByteArray m_Content;
        QByteArray m_ContentType;
    };
    struct CResult
    {
        QList<QString> m_Links;
        QList<QString> m_OtherSites;
    };
    void Run();

    const bool m_bCollectOtherSites;
    std::thread m_Thread;
    // The owner's side only: the pages handed over and not taken, oldest first.
    std::deque<std::pair<CSpiderLink, qint64>> m_Pending;
    qint64 m_nPendingBytes = 0;
    // Shared, under m_Lock:
    std::mutex m_Lock;
    std::condition_variable m_Changed;
    std::deque<CJob> m_Jobs;
    std::deque<CResult> m_Results;
    bool m_bQuit = false;
};
