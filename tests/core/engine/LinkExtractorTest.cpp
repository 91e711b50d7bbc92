#include "core/engine/LinkExtractor.h"

#include <QMap>
#include <QStringList>

#include "support/QtPrinters.h"

#include <gtest/gtest.h>

#include <ostream>

#include <cstdio>
#include <unistd.h>

namespace {

const QString kPage = QStringLiteral("http://H:8080/docs/a/index.html");

QStringList Urls(const CSpiderQueue& queue)
{
    QStringList urls;
    for (const CSpiderLink& link : queue)
        urls << link.m_Url;
    return urls;
}

// The URLs one page of depth 1 at kPage queues on a fresh crawl.
QStringList LinksOf(const QByteArray& html, const QString& page = kPage)
{
    CSpiderQueue queue;
    CReferrerMap referrers;
    ExtractLinks(CSpiderLink(page, 1), html, queue, referrers);
    return Urls(queue);
}

} // namespace

TEST(ExtractLinks, QueuesTheSameSiteLinksOfAPageWithTheirDepthAndReferrer)
{
    // How each form resolves is the resolver's business; here: what reaches the queue and map.
    const QByteArray html = R"html(<html><body>
        <a href="b.html">b</a> <a href="?page=2">2</a> <a href="#top">self</a> <a href="MAILTO:x@y">mail</a>
        <a href="http://elsewhere.example/">other</a> <a href="https://h/secure.html">s</a>
        <a>no href</a> <a href="">empty</a> <a name="anchor">named</a>
        </body></html>)html";
    CSpiderQueue queue;
    CReferrerMap referrers;
    ExtractLinks(CSpiderLink(kPage, 1), html, queue, referrers);

    const QStringList expected = {"http://h:8080/docs/a/b.html", "http://h:8080/docs/a/index.html?page=2",
                                  "http://h:8080/docs/a/index.html", "https://h/secure.html"};
    EXPECT_EQ(Urls(queue), expected);
    for (const CSpiderLink& link : queue) {
        EXPECT_EQ(link.m_nDepth, 2) << link.m_Url.toStdString();
        EXPECT_EQ(referrers.GetReferrer(link.m_Url), kPage) << link.m_Url.toStdString();
    }
    // Links the crawl does not follow leave no trace.
    EXPECT_EQ(referrers.GetCount(), expected.size());
}

TEST(ExtractLinks, AnchorsFirstThenFramesEachInDocumentOrder)
{
    const QByteArray html = R"html(<html><frameset cols="50%,50%">
        <frame src="f1.html"><a href="a1.html">1</a><frame src="f2.html">
        <iframe src="inline.html"></iframe><a href="a2.html">2</a><img src="pic.png">
        <link href="style.css"><area href="area.html"><frame href="not-src.html">
        </frameset></html>)html";
    EXPECT_EQ(LinksOf(html),
              QStringList({"http://h:8080/docs/a/a1.html", "http://h:8080/docs/a/a2.html",
                           "http://h:8080/docs/a/f1.html", "http://h:8080/docs/a/f2.html"}));
}

TEST(ExtractLinks, ReadsAttributesInEverySpelling)
{
    const QByteArray html = "<BODY><A HREF=\"upper.html\">1</A><a href='single.html'>2</a>"
                            "<a href=unquoted.html>3</a><a  href = \"spaced.html\" >4</a>"
                            "<a class=\"x\" HrEf='mixed.html' title=\"t\">5</a>"
                            "<a href=\"first.html\" href=\"second.html\">6</a>"
                            "<a href=\"q.html?a=1&amp;b=2\">7</a><a href=\"caf&#233;.html\">8</a>"
                            "<FRAME SRC='upper-frame.html'></BODY>";
    EXPECT_EQ(LinksOf(html),
              QStringList({"http://h:8080/docs/a/upper.html", "http://h:8080/docs/a/single.html",
                           "http://h:8080/docs/a/unquoted.html", "http://h:8080/docs/a/spaced.html",
                           "http://h:8080/docs/a/mixed.html", "http://h:8080/docs/a/first.html",
                           "http://h:8080/docs/a/q.html?a=1&b=2", "http://h:8080/docs/a/caf%C3%A9.html",
                           "http://h:8080/docs/a/upper-frame.html"}));
}

TEST(ExtractLinks, MalformedPagesStillYieldTheirLinks)
{
    const QByteArray html = "<html><head><title>broken</head><body><table><tr><td><a href='one.html'>one"
                            "</b></i></table><p><div><a href=\"two.html\"<span>x</span></a>"
                            "<!-- <a href='commented.html'> --><script>var s = '<a href=\"script.html\">';</script>"
                            "<a href=\"three.html\">unclosed<p></p></div></span>";
    EXPECT_EQ(LinksOf(html),
              QStringList({"http://h:8080/docs/a/one.html", "http://h:8080/docs/a/two.html",
                           "http://h:8080/docs/a/three.html"}));
}

TEST(ExtractLinks, PagesWithoutLinksAddNothing)
{
    EXPECT_TRUE(LinksOf("").isEmpty());
    EXPECT_TRUE(LinksOf("<html><body><p>No links at all.</p></body></html>").isEmpty());
    EXPECT_TRUE(LinksOf("plain text, not HTML").isEmpty());
    EXPECT_TRUE(LinksOf(QByteArray("\0\1\2\xff\xfe<a\0href=x.html>", 19)).isEmpty());
    // A page URL that does not split gives no links, whatever the page holds.
    EXPECT_TRUE(LinksOf("<a href='http://h/x.html'>x</a>", QStringLiteral("not a url")).isEmpty());
}

TEST(ExtractLinks, BaseHrefAppliesToTheWholePage)
{
    const QByteArray html = "<a href='early.html'>before the base</a>"
                            "<base href='/other/dir/'><base href='/ignored/'>"
                            "<a href='late.html'>after</a><frame src='frame.html'>";
    EXPECT_EQ(LinksOf(html),
              QStringList({"http://h:8080/other/dir/early.html", "http://h:8080/other/dir/late.html",
                           "http://h:8080/other/dir/frame.html"}));
    EXPECT_TRUE(LinksOf("<base href='http://cdn.example/'><a href='x.html'>x</a>").isEmpty());
    EXPECT_EQ(LinksOf("<base target='_top'><base href='sub/'><a href='x.html'>x</a>"),
              QStringList({"http://h:8080/docs/a/sub/x.html"}));
}

TEST(ExtractLinks, ReadsUtf8AndLatin1Pages)
{
    const QString cafe = QStringLiteral("http://h:8080/docs/a/caf%C3%A9.html");
    EXPECT_EQ(LinksOf("<p><a href=\"caf\xc3\xa9.html\">UTF-8, undeclared</a>"), QStringList({cafe}));
    EXPECT_EQ(LinksOf("\xef\xbb\xbf<p><a href=\"caf\xc3\xa9.html\">UTF-8 with BOM</a>"), QStringList({cafe}));
    EXPECT_EQ(LinksOf("<meta charset=\"utf-8\"><a href=\"caf\xc3\xa9.html\">UTF-8, declared</a>"), QStringList({cafe}));
    EXPECT_EQ(LinksOf("<p><a href=\"caf\xe9.html\">Latin-1, undeclared</a>"), QStringList({cafe}));
    EXPECT_EQ(LinksOf("<head><meta http-equiv=\"Content-Type\" content=\"text/html; charset=iso-8859-1\"></head>"
                      "<a href=\"caf\xe9.html\">Latin-1, declared</a>"),
              QStringList({cafe}));
    // The server's charset comes before the page's own guesses.
    EXPECT_EQ(CollectPageLinks(kPage, "<meta charset=utf-8><a href=\"\x82\xa0.html\">Shift_JIS</a>",
                               "text/html; charset=Shift_JIS"),
              QList<QString>({"http://h:8080/docs/a/%E3%81%82.html"}));
    // A bad byte costs at most its own link, never the links after it.
    const QStringList bad = LinksOf("<meta charset=utf-8><a href=\"caf\xe9.html\">x</a><a href=\"after.html\">y</a>");
    ASSERT_FALSE(bad.isEmpty());
    EXPECT_EQ(bad.last(), u"http://h:8080/docs/a/after.html");
}

TEST(ExtractLinks, NeverWritesToTheConsole)
{
    // libxml2 prints parse and encoding errors on stderr unless told not to; a monitor running
    // in a terminal must not scribble there for every odd page it reads.
    std::fflush(stderr);
    FILE* capture = std::tmpfile();
    ASSERT_NE(capture, nullptr);
    const int savedStderr = dup(STDERR_FILENO);
    dup2(fileno(capture), STDERR_FILENO);
    LinksOf("<meta charset=utf-8><a href=\"caf\xe9\xff\xfe.html\"><<<</div></td><x:y z>&bogus;<a href='ok.html'>");
    LinksOf("<meta charset=\"no-such-charset\"><a href='x.html'>");
    LinksOf("<meta charset=shift_jis><a href='\x82\xa0.html'>\x81\xff\xff\xfe<a href='ok.html'>");
    LinksOf("<meta charset=euc-jp><a href='\x8e\xff.html'>");
    LinksOf("<?xml version='1.0' encoding='EBCDIC-nonsense'?><!DOCTYPE x SYSTEM 'http://127.0.0.1:1/x.dtd'><a>");
    std::fflush(stderr);
    dup2(savedStderr, STDERR_FILENO);
    close(savedStderr);
    EXPECT_EQ(std::ftell(capture), 0L);
    std::fclose(capture);
}

TEST(ExtractLinks, QueuesEachUrlOnceButKeepsTheLatestReferrer)
{
    const QString start = QStringLiteral("http://h/index.html");
    const QString pageA = QStringLiteral("http://h/a.html");
    const QString pageB = QStringLiteral("http://h/b.html");
    CSpiderQueue queue;
    CReferrerMap referrers;
    AddSpiderLink(CSpiderLink(start, 0), QStringLiteral("Task URL"), queue, referrers);
    ExtractLinks(CSpiderLink(start, 0), "<a href='a.html'><a href='b.html'><a href='A.HTML'><a href='c.html'>", queue,
                 referrers);
    EXPECT_EQ(Urls(queue), QStringList({start, pageA, pageB, "http://h/c.html"}));
    EXPECT_EQ(referrers.GetReferrer(start), u"Task URL");
    EXPECT_EQ(referrers.GetReferrer(QStringLiteral("http://h/c.html")), start);

    // Page A links back to the start page and to c.html in another letter case: nothing new is
    // queued, but A is now the latest referrer of both, fetched or not.
    ExtractLinks(CSpiderLink(pageA, 1), "<a href='/INDEX.html'>home</a><a href='C.html'>c</a><a href='d.html'>", queue,
                 referrers);
    EXPECT_EQ(Urls(queue), QStringList({start, pageA, pageB, "http://h/c.html", "http://h/d.html"}));
    EXPECT_EQ(referrers.GetReferrer(start), pageA);
    EXPECT_EQ(referrers.GetReferrer(QStringLiteral("http://h/c.html")), pageA);
    EXPECT_EQ(referrers.GetReferrer(QStringLiteral("HTTP://H/C.HTML")), pageA);
    EXPECT_TRUE(referrers.IsQueued(QStringLiteral("http://H/D.html")));
    EXPECT_EQ(referrers.GetCount(), 5);

    // The start URL as the task stores it counts as seen too.
    AddSpiderLink(CSpiderLink(QStringLiteral("HTTP://H/Index.html"), 0), QStringLiteral("Task URL"), queue, referrers);
    EXPECT_EQ(queue.size(), 5u);
}

TEST(ExtractLinks, LinksDeeperThanTheLimitAreNotQueuedButKeepTheirReferrer)
{
    const QByteArray html = "<a href='deep.html'>deep</a><frame src='frame.html'>";
    CSpiderQueue queue;
    CReferrerMap referrers;
    ExtractLinks(CSpiderLink(kPage, 2), html, queue, referrers, 2);
    EXPECT_TRUE(queue.empty());
    EXPECT_EQ(referrers.GetReferrer(QStringLiteral("http://h:8080/docs/a/deep.html")), kPage);
    EXPECT_FALSE(referrers.IsQueued(QStringLiteral("http://h:8080/docs/a/deep.html")));

    // Met again within the limit (a caller that is not breadth-first), the link is queued.
    const QString shallow = QStringLiteral("http://h:8080/shallow.html");
    ExtractLinks(CSpiderLink(shallow, 0), "<a href='/docs/a/deep.html'>", queue, referrers, 2);
    ASSERT_EQ(queue.size(), 1u);
    EXPECT_EQ(queue.front(), CSpiderLink(QStringLiteral("http://h:8080/docs/a/deep.html"), 1));
    EXPECT_EQ(referrers.GetReferrer(queue.front().m_Url), shallow);
}

TEST(ExtractLinks, CrawlOfASmallSiteFetchesEachPageOnceWithinTheDepth)
{
    // Breadth-first over an in-memory site, as the spider drives it.
    const QMap<QString, QByteArray> site = {
        {"http://h/", "<a href='index.html'>same page, other URL</a><a href='/a/'>A</a><a href='/B.html'>B</a>"},
        {"http://h/index.html", "<a href='/'>home</a>"},
        {"http://h/a/", "<a href='one.html'>1</a><a href='/b.html#x'>B again</a><a href='../a/'>self</a>"},
        {"http://h/B.html", "<frameset><frame src='a/one.html'><frame src='/c.html'></frameset>"},
        {"http://h/a/one.html", "<a href='../c.html'>C</a><a href='deeper.html'>too deep</a>"},
        {"http://h/c.html", "<a href='/d.html'>D</a>"},
    };
    const auto crawl = [&](std::optional<int> maxDepth) {
        CSpiderQueue queue;
        CReferrerMap referrers;
        QStringList fetched;
        AddSpiderLink(CSpiderLink(QStringLiteral("http://h/"), 0), QStringLiteral("Task URL"), queue, referrers);
        while (!queue.empty()) {
            const CSpiderLink link = queue.front();
            queue.pop_front();
            fetched
                << QStringLiteral("%1@%2<%3").arg(link.m_Url).arg(link.m_nDepth).arg(referrers.GetReferrer(link.m_Url));
            ExtractLinks(link, site.value(link.m_Url), queue, referrers, maxDepth);
        }
        return fetched;
    };
    // B.html's referrer is the last page read before it is taken, even though that page's own
    // links lie beyond the depth limit.
    EXPECT_EQ(crawl(1),
              QStringList({"http://h/@0<Task URL", "http://h/index.html@1<http://h/", "http://h/a/@1<http://h/",
                           "http://h/B.html@1<http://h/a/"}));
    EXPECT_EQ(crawl(std::nullopt),
              QStringList({"http://h/@0<Task URL", "http://h/index.html@1<http://h/", "http://h/a/@1<http://h/",
                           "http://h/B.html@1<http://h/a/", "http://h/a/one.html@2<http://h/B.html",
                           "http://h/c.html@2<http://h/a/one.html", "http://h/a/deeper.html@3<http://h/a/one.html",
                           "http://h/d.html@3<http://h/c.html"}));
}
