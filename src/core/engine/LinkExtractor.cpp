#include "core/engine/LinkExtractor.h"
#include "core/engine/PageText.h"
#include "core/engine/Url.h"

#include <QList>

#include <libxml/HTMLparser.h>
#include <libxml/parser.h>
#include <libxml/parserInternals.h>
#include <libxml/xmlerror.h>

#include <climits>
#include <memory>
#include <mutex>
#include <utility>

namespace {

// The raw attribute values of one page, in document order, as the parser reports them
// (entities decoded, converted to UTF-8 from the page's encoding).
struct CRawPageLinks
{
    QList<QString> m_Anchors;
    QList<QString> m_Frames;
    QString m_BaseHref;
    bool m_bHasBase = false;
};

bool IsNamed(const xmlChar* name, const char* wanted)
{
    return xmlStrcasecmp(name, reinterpret_cast<const xmlChar*>(wanted)) == 0;
}

// Only the first occurrence of an attribute counts, as in browsers.
const xmlChar* FindAttribute(const xmlChar** attributes, const char* wanted)
{
    for (const xmlChar** attribute = attributes; attribute[0] != nullptr; attribute += 2) {
        if (IsNamed(attribute[0], wanted))
            return attribute[1];
    }
    return nullptr;
}

void OnStartElement(void* context, const xmlChar* name, const xmlChar** attributes)
{
    if (attributes == nullptr)
        return;
    auto* links = static_cast<CRawPageLinks*>(context);
    if (IsNamed(name, "a")) {
        if (const xmlChar* href = FindAttribute(attributes, "href"))
            links->m_Anchors.append(QString::fromUtf8(reinterpret_cast<const char*>(href)));
    } else if (IsNamed(name, "frame")) {
        if (const xmlChar* src = FindAttribute(attributes, "src"))
            links->m_Frames.append(QString::fromUtf8(reinterpret_cast<const char*>(src)));
    } else if (IsNamed(name, "base") && !links->m_bHasBase) {
        // The first BASE with an href sets the base of every link of the page, even of the
        // links before it.
        if (const xmlChar* href = FindAttribute(attributes, "href")) {
            links->m_BaseHref = QString::fromUtf8(reinterpret_cast<const char*>(href));
            links->m_bHasBase = true;
        }
    }
}

void IgnoreMessage(void*, const char*, ...) { }
void IgnoreError(void*, xmlErrorPtr) { }

// The parser options silence the parser's own reports, but encoding failures are reported
// through the thread's global handlers, which print to stderr by default. Those handlers are
// per thread in libxml2, so this touches no other thread.
class CSilentLibxml
{
public:
    CSilentLibxml()
        : m_GenericHandler(xmlGenericError)
        , m_pGenericContext(xmlGenericErrorContext)
        , m_StructuredHandler(xmlStructuredError)
        , m_pStructuredContext(xmlStructuredErrorContext)
    {
        xmlSetGenericErrorFunc(nullptr, IgnoreMessage);
        xmlSetStructuredErrorFunc(nullptr, IgnoreError);
    }
    ~CSilentLibxml()
    {
        xmlSetGenericErrorFunc(m_pGenericContext, m_GenericHandler);
        xmlSetStructuredErrorFunc(m_pStructuredContext, m_StructuredHandler);
    }
    CSilentLibxml(const CSilentLibxml&) = delete;
    CSilentLibxml& operator=(const CSilentLibxml&) = delete;

private:
    xmlGenericErrorFunc m_GenericHandler;
    void* m_pGenericContext;
    xmlStructuredErrorFunc m_StructuredHandler;
    void* m_pStructuredContext;
};

struct CParserContextDeleter
{
    void operator()(htmlParserCtxtPtr context) const { htmlFreeParserCtxt(context); }
};

bool ParsePage(const QByteArray& content, const QByteArray& contentType, CRawPageLinks& links)
{
    // libxml2 wants its global state set up once, before any thread parses.
    static std::once_flag initialised;
    std::call_once(initialised, [] { xmlInitParser(); });

    // The page is read in the encoding PageEncoding() decides, as the pattern search reads it,
    // and libxml2 gets it as UTF-8 with orders to keep to that: its own rules differ (a page
    // that declares nothing is Latin-1 to it, and it never sees the Content-Type header).
    QByteArray decoded;
    const QByteArray* utf8 = &content;
    const QByteArray encoding = PageEncoding(content, contentType);
    if (encoding != "UTF-8" || !content.isValidUtf8()) {
        decoded = DecodePage(content, encoding).toUtf8();
        utf8 = &decoded;
    }
    if (utf8->isEmpty() || utf8->size() > INT_MAX)
        return false;
    const CSilentLibxml silent;
    std::unique_ptr<htmlParserCtxt, CParserContextDeleter> context(
        htmlCreateMemoryParserCtxt(utf8->constData(), static_cast<int>(utf8->size())));
    if (!context)
        return false;
    xmlSwitchEncoding(context.get(), XML_CHAR_ENCODING_UTF8);

    // Only start tags matter: no other callback is set, so no tree is ever built. NONET keeps
    // a page's DOCTYPE or entities from ever reaching the network.
    htmlSAXHandler sax {};
    sax.startElement = OnStartElement;
    *context->sax = sax;
    context->userData = &links;
    htmlCtxtUseOptions(context.get(),
                       HTML_PARSE_RECOVER | HTML_PARSE_NONET | HTML_PARSE_NOERROR | HTML_PARSE_NOWARNING
                           | HTML_PARSE_NOIMPLIED | HTML_PARSE_NODEFDTD | HTML_PARSE_IGNORE_ENC);
    htmlParseDocument(context.get());
    if (context->myDoc != nullptr) {
        xmlFreeDoc(context->myDoc);
        context->myDoc = nullptr;
    }
    return true;
}

} // namespace

QByteArray CReferrerMap::Key(const QString& url)
{
    return url.toUtf8().toLower();
}

bool CReferrerMap::AddReference(const QString& url, const QString& referrer, bool mayQueue)
{
    CEntry& entry = m_Entries[Key(url)];
    entry.m_Referrer = referrer;
    if (!mayQueue || entry.m_bQueued)
        return false;
    entry.m_bQueued = true;
    return true;
}

QString CReferrerMap::GetReferrer(const QString& url) const
{
    const auto it = m_Entries.constFind(Key(url));
    return it != m_Entries.cend() ? it->m_Referrer : QString();
}

bool CReferrerMap::IsQueued(const QString& url) const
{
    const auto it = m_Entries.constFind(Key(url));
    return it != m_Entries.cend() && it->m_bQueued;
}

void AddSpiderLink(const CSpiderLink& link, const QString& referrer, CSpiderQueue& queue, CReferrerMap& referrers)
{
    if (referrers.AddReference(link.m_Url, referrer, true))
        queue.push_back(link);
}

QList<QString> CollectPageLinks(const QString& pageUrl, const QByteArray& content, const QByteArray& contentType,
                                QList<QString>* otherSites)
{
    CLinkResolver resolver(pageUrl);
    if (!resolver.IsValid())
        return {};
    CRawPageLinks links;
    if (!ParsePage(content, contentType, links))
        return {};
    if (links.m_bHasBase)
        resolver.SetBase(links.m_BaseHref);

    QList<QString> found;
    found.reserve(links.m_Anchors.size() + links.m_Frames.size());
    for (QList<QString>* raw : {&links.m_Anchors, &links.m_Frames}) {
        for (QString& link : *raw) {
            if (resolver.NormalizeUrl(link))
                found.append(std::move(link));
            else if (otherSites && resolver.ResolveOtherSite(link))
                otherSites->append(std::move(link));
        }
    }
    return found;
}

void QueuePageLinks(const CSpiderLink& page, const QList<QString>& links, CSpiderQueue& queue, CReferrerMap& referrers,
                    std::optional<int> maxDepth)
{
    const int depth = page.m_nDepth < INT_MAX ? page.m_nDepth + 1 : INT_MAX;
    const bool mayQueue = !maxDepth || depth <= *maxDepth;
    for (const QString& link : links) {
        if (referrers.AddReference(link, page.m_Url, mayQueue))
            queue.emplace_back(link, depth);
    }
}

void ExtractLinks(const CSpiderLink& page, const QByteArray& content, CSpiderQueue& queue, CReferrerMap& referrers,
                  std::optional<int> maxDepth)
{
    QueuePageLinks(page, CollectPageLinks(page.m_Url, content), queue, referrers, maxDepth);
}

CLinkExtractionWorker::~CLinkExtractionWorker()
{
    if (!m_Thread.joinable())
        return;
    {
        std::lock_guard guard(m_Lock);
        m_bQuit = true;
    }
    m_Changed.notify_all();
    m_Thread.join();
}

void CLinkExtractionWorker::Push(const CSpiderLink& page, const QString& pageUrl, QByteArray content,
                                 const QByteArray& contentType)
{
    // The thread comes with the first page, so a check that reads no page starts none.
    if (!m_Thread.joinable())
        m_Thread = std::thread([this] { Run(); });
    m_Pending.emplace_back(page, qint64(content.size()));
    m_nPendingBytes += qint64(content.size());
    {
        std::lock_guard guard(m_Lock);
        m_Jobs.push_back({pageUrl, std::move(content), contentType});
    }
    m_Changed.notify_all();
}

bool CLinkExtractionWorker::IsNextReady()
{
    std::lock_guard guard(m_Lock);
    return !m_Results.empty();
}

void CLinkExtractionWorker::TakeNext(CSpiderQueue& queue, CReferrerMap& referrers, std::optional<int> maxDepth,
                                     QList<QString>* otherSites)
{
    if (m_Pending.empty())
        return;
    QList<QString> links;
    {
        std::unique_lock lock(m_Lock);
        m_Changed.wait(lock, [this] { return !m_Results.empty(); });
        links = std::move(m_Results.front().m_Links);
        if (otherSites)
            *otherSites = std::move(m_Results.front().m_OtherSites);
        m_Results.pop_front();
    }
    const auto [page, bytes] = std::move(m_Pending.front());
    m_Pending.pop_front();
    m_nPendingBytes -= bytes;
    QueuePageLinks(page, links, queue, referrers, maxDepth);
}

void CLinkExtractionWorker::Run()
{
    std::unique_lock lock(m_Lock);
    for (;;) {
        m_Changed.wait(lock, [this] { return !m_Jobs.empty() || m_bQuit; });
        if (m_bQuit)
            return;
        CJob job = std::move(m_Jobs.front());
        m_Jobs.pop_front();
        lock.unlock();
        CResult result;
        result.m_Links = CollectPageLinks(job.m_PageUrl, job.m_Content, job.m_ContentType,
                                          m_bCollectOtherSites ? &result.m_OtherSites : nullptr);
        job = {};
        lock.lock();
        m_Results.push_back(std::move(result));
        m_Changed.notify_all();
    }
}
