#pragma once

#include <QByteArray>
#include <QHash>
#include <QString>

#include <deque>
#include <optional>

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

// Reads the links of a fetched page: the "href" of every A element, then the "src" of every
// FRAME element, each in document order. Each is resolved against the page URL (or the page's
// <base href>); those that are http(s) URLs on the page's host have the page recorded as their
// referrer, and those not queued before are appended to queue with depth page.m_nDepth + 1,
// unless that depth exceeds maxDepth. content holds the page's bytes as received; its encoding
// is taken from the page (BOM or <meta> charset), otherwise UTF-8, or Latin-1 when the bytes
// are not valid UTF-8. A page URL without a host, or a page without links, adds nothing.
void ExtractLinks(const CSpiderLink& page, const QByteArray& content, CSpiderQueue& queue, CReferrerMap& referrers,
                  std::optional<int> maxDepth = std::nullopt);
