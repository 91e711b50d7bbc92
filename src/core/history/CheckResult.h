#pragma once

#include <QList>
#include <QString>
#include <QtGlobal>

// How a run ended. The numbers are stored in the history, so they never change.
enum class eVerdict
{
    eSuccess = 1,
    eFailure = 2,
    eStopped = 3,
};

// The verdict's name in machine-readable output (the history's CSV, the JSON and JUnit
// reports): "success", "failure" or "stopped".
QString VerdictKey(eVerdict verdict);

// A link a crawl could not fetch, as its report names it.
struct CBrokenLink
{
    QString m_Url;
    QString m_Referrer;
    QString m_Error; // the report's error text for it

    friend bool operator==(const CBrokenLink&, const CBrokenLink&) = default;
};

// What one run of a check found, made by the engine beside its log messages and kept by the
// result history. Times are milliseconds since 1970 UTC; durations are microseconds where
// libcurl or the clock measures finer than a millisecond. A figure the check did not measure
// stays at -1 (or empty).
struct CCheckResult
{
    QString m_TaskKey; // the task's stable key (a UUID, without braces)
    QString m_TaskName; // the name at the time of the run
    int m_TaskId = -1; // the document's id at the time of the run; not stored
    int m_CheckKind = 0; // eCheckAction
    qint64 m_StartMs = 0;
    qint64 m_DurationUs = 0; // the whole run, as the engine's clock saw it
    eVerdict m_Verdict = eVerdict::eFailure;
    QString m_Text; // exactly the text of the verdict's log message

    // HTTP GET (and the start page of a crawl): the final answer after redirects.
    int m_StatusCode = -1;
    qint64 m_Bytes = -1; // body bytes read
    // libcurl's phase times, each from the start of the (last) request, as curl -w shows
    // them: name lookup done, connected, TLS handshake done (-1 for http), first byte, end.
    qint64 m_LookupUs = -1;
    qint64 m_ConnectUs = -1;
    qint64 m_TlsUs = -1;
    qint64 m_FirstByteUs = -1;
    qint64 m_TotalUs = -1;
    QString m_FinalUrl;
    qint64 m_CertExpiryMs = -1; // notAfter of the server's certificate, https only

    // Ping.
    qint64 m_RoundTripUs = -1;

    // Crawl.
    int m_PagesFetched = -1;
    QList<CBrokenLink> m_BrokenLinks;

    // The response time the statistics and charts use: the round trip of a ping, libcurl's
    // total of a GET, the whole run of a crawl, the connect of a TCP check; -1 when the run
    // measured none (a failure before any answer, a stop).
    qint64 ResponseUs() const;

    friend bool operator==(const CCheckResult&, const CCheckResult&) = default;
};
