#pragma once

#include <QByteArray>
#include <QString>

// The character encoding a fetched page is written in, decided as browsers decide it, so that
// every reader of a page (the links of a crawl, the text a check looks for) sees the same text:
// a byte order mark; else the charset of the Content-Type header; else a <meta charset> or
// <meta http-equiv="Content-Type"> in the first 1024 bytes; else UTF-8 when the bytes are valid
// UTF-8, and Latin-1 when they are not. Latin-1 is read as windows-1252, as browsers read it,
// where the system's converters know it. Labels that cannot be decoded here are passed over.
// The result is a name QStringDecoder accepts, "UTF-8" for UTF-8.
QByteArray PageEncoding(const QByteArray& content, const QByteArray& contentType);

// content as text in encoding (as PageEncoding gives it): a byte order mark is dropped, and
// bytes that are not valid in the encoding become U+FFFD.
QString DecodePage(const QByteArray& content, const QByteArray& encoding);
