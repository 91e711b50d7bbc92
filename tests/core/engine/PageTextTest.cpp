#include "core/engine/PageText.h"

#include "support/QtPrinters.h"

#include <gtest/gtest.h>

TEST(PageEncoding, DecidedAsBrowsersDecideIt)
{
    const QByteArray padding(1100, ' ');
    const struct
    {
        QByteArray m_Content;
        QByteArray m_ContentType;
        QByteArray m_Encoding;
    } cases[] = {
        {"\xEF\xBB\xBF<meta charset=iso-8859-2>caf\xc3\xa9", "text/html; charset=koi8-r", "UTF-8"}, // BOM first
        {"\xFF\xFE", "text/html", "UTF-16LE"},
        {"<meta charset=iso-8859-2>", "text/html; Charset=\"KOI8-R\"", "KOI8-R"}, // then the header
        {"<meta charset=iso-8859-2>", "text/html; charset=no-such-thing", "ISO-8859-2"}, // one it can use
        {"<META HTTP-EQUIV=content-type CONTENT='text/html;charset=iso-8859-2'>", "text/html", "ISO-8859-2"},
        {"<meta content=\"text/html; charset=iso-8859-2\" http-equiv=\"Content-Type\">", "", "ISO-8859-2"},
        // A meta inside a comment or an attribute's value is no meta, and an unknown label
        // gives way to a later one.
        {"<!-- <meta charset=koi8-r> --><p title='<meta charset=koi8-r>'><meta charset=bogus>"
         "<meta charset=iso-8859-2>",
         "text/html", "ISO-8859-2"},
        {"<meta content='charset=iso-8859-2'>", "text/html", "UTF-8"}, // content without http-equiv
        {"<meta charset=utf-16>caf\xe9", "text/html", "UTF-8"}, // an ASCII page is not UTF-16
        {padding + "<meta charset=iso-8859-2>", "text/html", "UTF-8"}, // too far down to count
        {"<p>caf\xc3\xa9</p>", "text/html", "UTF-8"},
        {"<p>caf\xe9</p>", "text/html", "windows-1252"}, // Latin-1, as browsers read it
        {"<meta charset=iso-8859-1>", "text/html", "windows-1252"},
    };
    for (const auto& test : cases)
        EXPECT_EQ(PageEncoding(test.m_Content, test.m_ContentType), test.m_Encoding) << test.m_Content.left(80).data();
}

TEST(PageEncoding, DecodingKeepsEveryCharacter)
{
    EXPECT_EQ(DecodePage("\xEF\xBB\xBF"
                         "caf\xc3\xa9",
                         "UTF-8"),
              QStringLiteral("caf\u00e9")); // BOM dropped
    EXPECT_EQ(DecodePage("caf\xe9 \x80", "windows-1252"), QStringLiteral("caf\u00e9 \u20ac"));
    // A bad byte is one character, at the end of the page too.
    EXPECT_EQ(DecodePage("caf\xe9 caf\xe9", "UTF-8"), QStringLiteral("caf\ufffd caf\ufffd"));
}
