// Pages from any site go through the crawl's link extraction; whatever a page holds, every link
// the crawl keeps must be one it may follow and knows by one text, or a crawl leaves its site,
// fetches the same page twice, or loops.

#include "FuzzCheck.h"

#include "core/engine/LinkExtractor.h"
#include "core/engine/Url.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <QUrl>

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzedDataProvider input(data, size);
    const QString pageUrl = QString::fromStdString(input.ConsumeRandomLengthString(300));
    const QByteArray contentType = QByteArray::fromStdString(input.ConsumeRandomLengthString(60));
    const std::string rest = input.ConsumeRemainingBytesAsString();
    const QByteArray page(rest.data(), qsizetype(rest.size()));

    const QList<QString> links = CollectPageLinks(pageUrl, page, contentType);
    if (links.isEmpty())
        return 0;
    const QString pageHost = QUrl(pageUrl, QUrl::TolerantMode).host();
    for (const QString& link : links) {
        const QUrl url(link, QUrl::StrictMode);
        FUZZ_CHECK(url.isValid(), "kept link is no valid URL: \"%s\" (page \"%s\")", SHOWN(link), SHOWN(pageUrl));
        const QString scheme = url.scheme();
        FUZZ_CHECK(scheme == u"http" || scheme == u"https", "kept link is not http(s): \"%s\"", SHOWN(link));
        FUZZ_CHECK(!pageHost.isEmpty() && url.host().compare(pageHost, Qt::CaseInsensitive) == 0,
                   "kept link \"%s\" is not on the page's host \"%s\"", SHOWN(link), SHOWN(pageHost));
        FUZZ_CHECK(!link.contains(u'#'), "kept link keeps a fragment: \"%s\"", SHOWN(link));
        for (const QChar c : link)
            FUZZ_CHECK(c.unicode() > 0x20 && c.unicode() < 0x7f, "kept link is not encoded: \"%s\"", SHOWN(link));
        const QString again = NormalizePageUrl(link);
        FUZZ_CHECK(again == link, "normalising a kept link changes it: \"%s\" -> \"%s\"", SHOWN(link), SHOWN(again));
    }
    return 0;
}
