#pragma once

#include <QByteArray>
#include <QString>

#include <cstdio>
#include <cstdlib>

// A broken property ends the run the way a crash does, so libFuzzer keeps the input that broke
// it; the message says which property it was, with the texts involved (escaped, so that control
// characters show).
#define FUZZ_CHECK(condition, ...)                                                                                     \
    do {                                                                                                               \
        if (!(condition)) {                                                                                            \
            std::fprintf(stderr, "\nBROKEN PROPERTY (%s:%d): ", __FILE__, __LINE__);                                   \
            std::fprintf(stderr, __VA_ARGS__);                                                                         \
            std::fprintf(stderr, "\n");                                                                                \
            std::abort();                                                                                              \
        }                                                                                                              \
    } while (false)

// Printable text for a message: C escapes for everything outside printable ASCII.
inline QByteArray Shown(const QByteArray& bytes)
{
    QByteArray out;
    for (const char c : bytes) {
        const auto u = static_cast<unsigned char>(c);
        if (u >= 0x20 && u < 0x7f && u != '\\') {
            out += c;
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof(escaped), "\\x%02x", u);
            out += escaped;
        }
    }
    return out;
}

inline QByteArray Shown(const QString& text)
{
    return Shown(text.toUtf8());
}

// For "%s": a temporary that lives until the end of the full expression.
#define SHOWN(text) Shown(text).constData()
