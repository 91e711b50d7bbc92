#pragma once

#include <QString>
#include <QStringView>
#include <QUrl>

// Splits url into its scheme (lower case), host (lower case, an IPv6 address without its
// brackets), path and extra information (the query and the fragment with their "?" and "#"),
// escape sequences decoded. False when url is not absolute or has no host; the outputs are
// then not to be used.
bool CrackUrl(const QString& url, QString& scheme, QString& host, QString& path, QString& extraInfo);

// Resolves the links found on one page as a browser does (RFC 3986 against the page URL, or
// against the page's <base href>) and decides which of them a crawl of the page's site follows:
// http and https URLs whose host is the page's host, compared without case; scheme and port
// are not compared. Resolved URLs keep their scheme, port and query and lose their fragment.
class CLinkResolver
{
public:
    explicit CLinkResolver(const QString& pageUrl);

    // False when the page URL has no host: nothing on such a page can be on the same site.
    bool IsValid() const { return !m_Host.isEmpty(); }

    // The page's <base href>, itself resolved against the page URL: links normalised after this
    // call resolve against it. One that does not resolve to an http or https URL is ignored, as
    // browsers ignore a javascript: or data: base. The same-site test keeps the page's host.
    void SetBase(QStringView baseHref);

    // Rewrites link, as written in the page, to the absolute URL it designates and returns
    // true when the crawl follows it. On false, link is left as it was.
    bool NormalizeUrl(QString& link) const;
    // For a link NormalizeUrl refused: rewrites it to the absolute URL it designates and
    // returns true when that is an http or https URL on another host. On false, link is left
    // as it was.
    bool ResolveOtherSite(QString& link) const;

private:
    void BaseChanged();
    bool ResolvePlainPath(const QString& ref, QString& link) const;
    static QString RemoveDotSegments(const QString& path);

    QString m_Host;
    QUrl m_Base;
    // m_Base as text, without fragment: what "#name" links resolve to.
    QString m_BaseText;
    bool m_bBaseOnSite = false;
    // m_Base split as text for ResolvePlainPath, which is used only when m_bShortcut is set.
    QString m_Origin;
    QString m_BasePath;
    bool m_bShortcut = false;
};

// url as a crawl would queue a link to it: resolved as the links of a page are (dot segments
// removed, fragment dropped, percent-encoded), so that a page is known by one text whichever
// way it was reached. url itself when it is not an http or https URL with a host.
QString NormalizePageUrl(const QString& url);

// The text of a resolved URL for fetching: fully percent-encoded (so ASCII only), without its
// fragment, and without a port that merely repeats the scheme's default.
QString UrlToFetchText(const QUrl& url);
