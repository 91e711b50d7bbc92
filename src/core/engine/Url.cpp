#include "core/engine/Url.h"

#include <algorithm>

namespace {

bool IsAsciiAlpha(QChar c)
{
    return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z');
}

bool IsFollowedScheme(QStringView scheme)
{
    return scheme.compare(u"http", Qt::CaseInsensitive) == 0 || scheme.compare(u"https", Qt::CaseInsensitive) == 0;
}

// Length of the scheme that starts ref (RFC 3986: a letter, then letters, digits, "+", "-"
// or "."; then ":"), or 0 when ref is relative.
qsizetype SchemeLength(QStringView ref)
{
    if (ref.isEmpty() || !IsAsciiAlpha(ref.front()))
        return 0;
    for (qsizetype i = 1; i < ref.size(); ++i) {
        const QChar c = ref[i];
        if (c == u':')
            return i;
        if (!IsAsciiAlpha(c) && !(c >= u'0' && c <= u'9') && c != u'+' && c != u'-' && c != u'.')
            return 0;
    }
    return 0;
}

// What a browser makes of an attribute value before it parses it as a URL: control characters
// and spaces at both ends are dropped, tabs and line breaks anywhere are dropped, and in
// http(s) URLs a backslash before the query is a slash. Only http(s) links are ever used, so
// the backslash rule applies to every link that matters.
QString CleanHref(const QString& href)
{
    if (!href.isEmpty() && href.front().unicode() > 0x20 && href.back().unicode() > 0x20
        && std::all_of(href.cbegin(), href.cend(),
                       [](QChar c) { return c != u'\t' && c != u'\n' && c != u'\r' && c != u'\\'; }))
        return href; // the usual case: nothing to clean, nothing to copy
    qsizetype begin = 0;
    qsizetype end = href.size();
    while (begin < end && href[begin].unicode() <= 0x20)
        ++begin;
    while (end > begin && href[end - 1].unicode() <= 0x20)
        --end;
    QString clean;
    clean.reserve(end - begin);
    bool inPath = true;
    for (qsizetype i = begin; i < end; ++i) {
        const QChar c = href[i];
        if (c == u'\t' || c == u'\n' || c == u'\r')
            continue;
        if (c == u'?' || c == u'#')
            inPath = false;
        clean.append(inPath && c == u'\\' ? QChar(u'/') : c);
    }
    return clean;
}

bool IsSameHost(const QUrl& url, const QString& host)
{
    return url.host().compare(host, Qt::CaseInsensitive) == 0;
}

} // namespace

bool CrackUrl(const QString& url, QString& scheme, QString& host, QString& path, QString& extraInfo)
{
    const QUrl parsed(url, QUrl::TolerantMode);
    if (!parsed.isValid() || parsed.scheme().isEmpty() || parsed.host().isEmpty())
        return false;
    scheme = parsed.scheme();
    host = parsed.host();
    path = parsed.path(QUrl::FullyDecoded);
    extraInfo.clear();
    if (parsed.hasQuery())
        extraInfo += u'?' + parsed.query(QUrl::FullyDecoded);
    if (parsed.hasFragment())
        extraInfo += u'#' + parsed.fragment(QUrl::FullyDecoded);
    return true;
}

QString NormalizePageUrl(const QString& url)
{
    QString link = url;
    return CLinkResolver(url).NormalizeUrl(link) ? link : url;
}

QString UrlToFetchText(const QUrl& url)
{
    QUrl::FormattingOptions options = QUrl::FullyEncoded | QUrl::RemoveFragment;
    const QString scheme = url.scheme();
    if ((url.port() == 80 && scheme == u"http") || (url.port() == 443 && scheme == u"https"))
        options |= QUrl::RemovePort;
    return url.toString(options);
}

CLinkResolver::CLinkResolver(const QString& pageUrl)
    : m_Base(pageUrl, QUrl::TolerantMode)
{
    if (!m_Base.isValid() || m_Base.scheme().isEmpty())
        return;
    // Every other link is resolved with its dot segments removed; the page URL, which "#name"
    // links and links with an empty path resolve to, must be too, or "a/./b.html#x" and
    // "a/b.html" would be two pages.
    if (m_Base.path().contains(u"/."))
        m_Base = m_Base.resolved(m_Base);
    m_Host = m_Base.host();
    BaseChanged();
}

void CLinkResolver::SetBase(QStringView baseHref)
{
    const QString ref = CleanHref(baseHref.toString());
    const qsizetype schemeLength = SchemeLength(ref);
    if (!IsValid() || ref.isEmpty() || (schemeLength > 0 && !IsFollowedScheme(QStringView(ref).left(schemeLength))))
        return;
    const QUrl base = m_Base.resolved(QUrl(ref, QUrl::TolerantMode));
    if (!base.isValid() || !IsFollowedScheme(base.scheme()) || base.host().isEmpty())
        return;
    m_Base = base;
    BaseChanged();
}

void CLinkResolver::BaseChanged()
{
    m_BaseText = UrlToFetchText(m_Base);
    m_bBaseOnSite = IsFollowedScheme(m_Base.scheme()) && IsSameHost(m_Base, m_Host);
    // The shortcut splices text onto the base's, so it needs the base as origin + path [+ query].
    m_Origin = UrlToFetchText(m_Base.adjusted(QUrl::RemovePath | QUrl::RemoveQuery));
    m_BasePath = m_Base.path(QUrl::FullyEncoded);
    m_bShortcut = m_bBaseOnSite && m_BasePath.startsWith(u'/') && m_BaseText.startsWith(m_Origin + m_BasePath);
}

bool CLinkResolver::NormalizeUrl(QString& link) const
{
    if (!IsValid())
        return false;
    const QString ref = CleanHref(link);
    if (ref.isEmpty())
        return false; // an empty href is no link at all
    if (ref.front() == u'#') {
        // The commonest link of all, and always the base itself: no need to parse it.
        if (!m_bBaseOnSite)
            return false;
        link = m_BaseText;
        return true;
    }
    if (m_bShortcut && ResolvePlainPath(ref, link))
        return true;
    // Dropping mailto:, javascript: and the like here spares parsing them.
    const qsizetype schemeLength = SchemeLength(ref);
    if (schemeLength > 0 && !IsFollowedScheme(QStringView(ref).left(schemeLength)))
        return false;
    const QUrl relative(ref, QUrl::TolerantMode);
    if (!relative.isValid())
        return false;
    const QUrl absolute = m_Base.resolved(relative);
    if (!absolute.isValid() || !IsFollowedScheme(absolute.scheme()) || !IsSameHost(absolute, m_Host))
        return false;
    link = UrlToFetchText(absolute);
    return true;
}

bool CLinkResolver::ResolveOtherSite(QString& link) const
{
    if (!IsValid())
        return false;
    const QString ref = CleanHref(link);
    const qsizetype schemeLength = SchemeLength(ref);
    if (ref.isEmpty() || (schemeLength > 0 && !IsFollowedScheme(QStringView(ref).left(schemeLength))))
        return false;
    const QUrl relative(ref, QUrl::TolerantMode);
    if (!relative.isValid())
        return false;
    const QUrl absolute = m_Base.resolved(relative);
    if (!absolute.isValid() || !IsFollowedScheme(absolute.scheme()) || absolute.host().isEmpty()
        || IsSameHost(absolute, m_Host))
        return false;
    link = UrlToFetchText(absolute);
    return true;
}

// Most links of a site are plain relative paths ("b.html", "../x/y.html", "/abs.html?q=1").
// Parsing each of them into a QUrl costs as much as parsing the page around it, so those made
// only of characters that no URL encoding ever changes are merged with the base's text
// directly (RFC 3986, 5.2.2 to 5.2.4). Anything else goes to QUrl.
bool CLinkResolver::ResolvePlainPath(const QString& ref, QString& link) const
{
    const auto isPlain = [](QChar c, bool inQuery) {
        const char16_t u = c.unicode();
        return (u >= u'a' && u <= u'z') || (u >= u'A' && u <= u'Z') || (u >= u'0' && u <= u'9') || u == u'/'
            || u == u'.' || u == u'-' || u == u'_' || u == u'~' || (inQuery && (u == u'=' || u == u'&'));
    };
    if (ref.startsWith(u"//"))
        return false; // another authority
    qsizetype pathEnd = 0;
    while (pathEnd < ref.size() && isPlain(ref[pathEnd], false))
        ++pathEnd;
    qsizetype queryEnd = pathEnd;
    if (queryEnd < ref.size() && ref[queryEnd] == u'?') {
        ++queryEnd;
        while (queryEnd < ref.size() && isPlain(ref[queryEnd], true))
            ++queryEnd;
    }
    if (queryEnd < ref.size() && ref[queryEnd] != u'#')
        return false; // the fragment, if any, is dropped whatever it holds
    const QStringView path = QStringView(ref).left(pathEnd);
    const QStringView query = QStringView(ref).mid(pathEnd, queryEnd - pathEnd);

    QString merged;
    if (path.isEmpty()) {
        merged = m_BasePath;
    } else if (path.front() == u'/') {
        merged = path.toString();
    } else {
        merged = m_BasePath.left(m_BasePath.lastIndexOf(u'/') + 1);
        merged.append(path);
    }
    const QString resolvedPath = RemoveDotSegments(merged);
    link.clear();
    link.reserve(m_Origin.size() + resolvedPath.size() + query.size());
    link.append(m_Origin).append(resolvedPath).append(query);
    return true;
}

QString CLinkResolver::RemoveDotSegments(const QString& path)
{
    if (!path.contains(u'.'))
        return path;
    QString output;
    output.reserve(path.size());
    QStringView input(path);
    while (!input.isEmpty()) {
        if (input.startsWith(u"../")) {
            input = input.mid(3);
        } else if (input.startsWith(u"./")) {
            input = input.mid(2);
        } else if (input.startsWith(u"/./")) {
            input = input.mid(2);
        } else if (input == u"/.") {
            input = u"/";
        } else if (input.startsWith(u"/../") || input == u"/..") {
            input = input.size() == 3 ? QStringView(u"/") : input.mid(3);
            output.truncate(std::max<qsizetype>(output.lastIndexOf(u'/'), 0));
        } else if (input == u"." || input == u"..") {
            input = {};
        } else {
            const qsizetype next = input.indexOf(u'/', 1);
            const qsizetype length = next < 0 ? input.size() : next;
            output += input.left(length);
            input = input.mid(length);
        }
    }
    return output;
}
