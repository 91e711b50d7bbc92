#include "core/engine/Url.h"

#include "support/QtPrinters.h"

#include <gtest/gtest.h>

#include <ostream>

namespace {

const QString kPage = QStringLiteral("http://H:8080/docs/a/index.html");

// The absolute URL a link resolves to, or "-" when the crawl does not follow it.
QString Follow(const CLinkResolver& resolver, const QString& href)
{
    QString link = href;
    return resolver.NormalizeUrl(link) ? link : QStringLiteral("-");
}

QString Follow(const QString& page, const QString& href)
{
    return Follow(CLinkResolver(page), href);
}

} // namespace

TEST(CrackUrl, SplitsAbsoluteUrlsAndRejectsTheRest)
{
    QString scheme, host, path, extra;
    ASSERT_TRUE(CrackUrl(QStringLiteral("HTTP://Example.COM:8080/docs/a%20b/index.html?x=1&y=%41#top"), scheme, host,
                         path, extra));
    EXPECT_EQ(scheme, u"http");
    EXPECT_EQ(host, u"example.com");
    EXPECT_EQ(path, u"/docs/a b/index.html");
    EXPECT_EQ(extra, u"?x=1&y=A#top");

    ASSERT_TRUE(CrackUrl(QStringLiteral("http://[::1]:8080"), scheme, host, path, extra));
    EXPECT_EQ(host, u"::1");
    EXPECT_EQ(path, u"");
    EXPECT_EQ(extra, u"");

    for (const char* notUrl : {"", "index.html", "/docs/index.html", "//host/x.html", "mailto:x@y", "file:///etc/hosts",
                               "http://exa mple.com/", "http://host:99999/"}) {
        EXPECT_FALSE(CrackUrl(QString::fromLatin1(notUrl), scheme, host, path, extra)) << notUrl;
    }
}

TEST(LinkResolver, ResolvesEveryRelativeFormAsBrowsersDo)
{
    const CLinkResolver resolver(kPage);
    ASSERT_TRUE(resolver.IsValid());
    EXPECT_EQ(Follow(resolver, "b.html"), u"http://h:8080/docs/a/b.html");
    EXPECT_EQ(Follow(resolver, "./sub/c.html"), u"http://h:8080/docs/a/sub/c.html");
    EXPECT_EQ(Follow(resolver, "/top.html"), u"http://h:8080/top.html");
    EXPECT_EQ(Follow(resolver, "../up.html"), u"http://h:8080/docs/up.html");
    EXPECT_EQ(Follow(resolver, "../../../../too-far.html"), u"http://h:8080/too-far.html");
    EXPECT_EQ(Follow(resolver, "?page=2"), u"http://h:8080/docs/a/index.html?page=2");
    EXPECT_EQ(Follow(resolver, "//H/x.html"), u"http://h/x.html");
    EXPECT_EQ(Follow(resolver, "#top"), u"http://h:8080/docs/a/index.html");
    EXPECT_EQ(Follow(resolver, "other.html#sec"), u"http://h:8080/docs/a/other.html");
    EXPECT_EQ(Follow(resolver, "list.html?sort=name&dir=up#row5"), u"http://h:8080/docs/a/list.html?sort=name&dir=up");
    EXPECT_EQ(Follow(resolver, "http://H:8080/x/./y/../z.html"), u"http://h:8080/x/z.html");
    // Same host, whatever the scheme, port or letter case.
    EXPECT_EQ(Follow(resolver, "https://h/secure.html"), u"https://h/secure.html");
    EXPECT_EQ(Follow(resolver, "HTTPS://H:8443/Secure.html"), u"https://h:8443/Secure.html");
    EXPECT_EQ(Follow(resolver, "http://h:80/default-port.html"), u"http://h/default-port.html");
    EXPECT_EQ(Follow(resolver, "https://h:443/default-port.html"), u"https://h/default-port.html");
}

TEST(LinkResolver, DropsOtherHostsSchemesAndNonLinks)
{
    const CLinkResolver resolver(kPage);
    for (const char* dropped :
         {"", "   ", "MAILTO:x@y", "mailto:x@y", "javascript:void(0)", " JavaScript:alert(1)", "tel:+123",
          "data:text/html,<a>", "ftp://h/file.txt", "file:///etc/passwd", "http://other/x.html", "//other/x.html",
          "http://h.evil.example/x.html", "http://exa mple/x.html", "http://h:99999/x.html", "http://[::1/x.html"}) {
        EXPECT_EQ(Follow(resolver, QString::fromLatin1(dropped)), u"-") << dropped;
    }
    // A link that is not followed is left as written.
    QString link = QStringLiteral("mailto:x@y");
    EXPECT_FALSE(resolver.NormalizeUrl(link));
    EXPECT_EQ(link, u"mailto:x@y");
}

TEST(LinkResolver, CleansAttributeTextAsBrowsersDo)
{
    const CLinkResolver resolver(kPage);
    EXPECT_EQ(Follow(resolver, " \t\n b.html \r\n"), u"http://h:8080/docs/a/b.html");
    EXPECT_EQ(Follow(resolver, "long\n-name.html"), u"http://h:8080/docs/a/long-name.html");
    EXPECT_EQ(Follow(resolver, "..\\up.html"), u"http://h:8080/docs/up.html");
    EXPECT_EQ(Follow(resolver, "q.html?path=a\\b"), u"http://h:8080/docs/a/q.html?path=a%5Cb");
    EXPECT_EQ(Follow(resolver, "with space.html"), u"http://h:8080/docs/a/with%20space.html");
    EXPECT_EQ(Follow(resolver, QString::fromUtf8("café.html?q=é")), u"http://h:8080/docs/a/caf%C3%A9.html?q=%C3%A9");
    EXPECT_EQ(Follow(resolver, "already%20encoded.html"), u"http://h:8080/docs/a/already%20encoded.html");
}

TEST(LinkResolver, BaseHrefChangesTheBaseButNotTheSite)
{
    CLinkResolver resolver(kPage);
    resolver.SetBase(u"/other/dir/");
    EXPECT_EQ(Follow(resolver, "b.html"), u"http://h:8080/other/dir/b.html");
    EXPECT_EQ(Follow(resolver, "#top"), u"http://h:8080/other/dir/");
    EXPECT_EQ(Follow(resolver, "?q=1"), u"http://h:8080/other/dir/?q=1");

    CLinkResolver absolute(kPage);
    absolute.SetBase(u"  https://h/root/page.html#x ");
    EXPECT_EQ(Follow(absolute, "b.html"), u"https://h/root/b.html");

    // A base on another host moves the links off the site: they are dropped, "#" ones too.
    CLinkResolver elsewhere(kPage);
    elsewhere.SetBase(u"http://cdn.example/");
    EXPECT_EQ(Follow(elsewhere, "b.html"), u"-");
    EXPECT_EQ(Follow(elsewhere, "#top"), u"-");
    EXPECT_EQ(Follow(elsewhere, "http://h/c.html"), u"http://h/c.html");

    for (const auto* ignored : {u"javascript:alert(1)", u"data:text/html,x", u"", u"mailto:x@y"}) {
        CLinkResolver resolverWithBadBase(kPage);
        resolverWithBadBase.SetBase(QStringView(ignored));
        EXPECT_EQ(Follow(resolverWithBadBase, "b.html"), u"http://h:8080/docs/a/b.html");
    }
}

TEST(LinkResolver, Ipv6LiteralHosts)
{
    const CLinkResolver resolver(QStringLiteral("http://[::1]:8080/"));
    ASSERT_TRUE(resolver.IsValid());
    EXPECT_EQ(Follow(resolver, "/v6.html"), u"http://[::1]:8080/v6.html");
    EXPECT_EQ(Follow(resolver, "a/b.html?x=1#f"), u"http://[::1]:8080/a/b.html?x=1");
    EXPECT_EQ(Follow(resolver, "http://[::1]/other-port.html"), u"http://[::1]/other-port.html");
    EXPECT_EQ(Follow(resolver, "http://[0:0:0:0:0:0:0:1]:8080/long.html"), u"http://[::1]:8080/long.html");
    EXPECT_EQ(Follow(resolver, "http://[::2]:8080/x.html"), u"-");
    EXPECT_EQ(Follow(resolver, "http://127.0.0.1:8080/x.html"), u"-");
}

TEST(LinkResolver, PageWithoutHostFollowsNothing)
{
    for (const char* page : {"", "index.html", "mailto:x@y", "http:///nohost.html"}) {
        const CLinkResolver resolver(QString::fromLatin1(page));
        EXPECT_FALSE(resolver.IsValid()) << page;
        EXPECT_EQ(Follow(resolver, "http://h/x.html"), u"-") << page;
        EXPECT_EQ(Follow(resolver, "#top"), u"-") << page;
    }
    // A page that is not http(s) itself keeps nothing: its links resolve to its own scheme.
    EXPECT_EQ(Follow(QStringLiteral("ftp://h/dir/"), "b.html"), u"-");
    EXPECT_EQ(Follow(QStringLiteral("ftp://h/dir/"), "http://h/b.html"), u"http://h/b.html");
    // A start URL without a path resolves as if it had "/".
    EXPECT_EQ(Follow(QStringLiteral("http://h"), "b.html"), u"http://h/b.html");
}

TEST(LinkResolver, PlainPathsResolveExactlyAsQUrlResolvesThem)
{
    // Plain relative paths take a shortcut past QUrl; it must never give another answer.
    const QStringList segments = {"", ".", "..", "a", "b.html", "~x-y_z", "..x", ".y", "A"};
    const QStringList tails = {"", "?", "?q=1&r=", "#f", "?q#f"};
    QStringList refs;
    for (const QString& first : segments) {
        for (const QString& second : segments) {
            for (const QString& third : {QString(), QStringLiteral(".."), QStringLiteral("c")}) {
                const QString path = third.isNull() ? first + u'/' + second : first + u'/' + second + u'/' + third;
                for (const QString& tail : tails)
                    refs << path + tail << u'/' + path + tail << second + tail;
            }
        }
    }
    for (const char* base : {"http://h:8080/docs/a/index.html", "http://h/", "https://H/a/b/?x=1#y",
                             "http://[::1]:8080/caf%C3%A9/p.html", "http://u@h/a/b", "http://h/a/b.html?p=%2F"}) {
        const QString page = QString::fromLatin1(base);
        const CLinkResolver resolver(page);
        for (const QString& ref : refs) {
            if (ref.isEmpty() || ref.startsWith(u"//"))
                continue;
            const QString expected = UrlToFetchText(QUrl(page).resolved(QUrl(ref)));
            EXPECT_EQ(Follow(resolver, ref), expected) << base << " + " << ref.toStdString();
        }
    }
}
