#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include <atomic>

// How a host and a port are written in the TCP check's messages: "host:port", with an IPv6
// address in brackets ("[::1]:80") so that its colons cannot be taken for the port's.
QString TcpTargetText(const QString& host, int port);

// The outcome of one CTcpProbe::Run.
struct CTcpProbeResult
{
    enum eOutcome
    {
        eConnected, // connected, and the expected text came back when one was asked for
        eConnectFailed, // m_Reason says why
        eExpectedNotFound, // connected, but the expected text never came
        eStopped,
    };
    eOutcome m_Outcome = eConnectFailed;
    QString m_Reason;
    // From the start, in microseconds; -1 for a phase not reached.
    qint64 m_LookupUs = -1;
    qint64 m_ConnectUs = -1;
    qint64 m_TotalUs = -1;
};

// The TCP port check: connects to a host and port, optionally sends a line and reads the
// answer until an expected text shows. libcurl makes the connection (CURLOPT_CONNECT_ONLY, on
// its multi interface) because its threaded resolver can be left behind at a stop, where a
// getaddrinfo call of our own would hold the engine until it returned; it also tries every
// address of a name (IPv6 and IPv4) as the GET checks do and measures the same phases.
// It belongs to one thread at a time.
class CTcpProbe
{
public:
    // stopRequested, when given, is watched during the lookup, the connect and the exchange:
    // once it is set the probe ends within about a tenth of a second.
    explicit CTcpProbe(const std::atomic<bool>* stopRequested = nullptr);

    // send, when not empty, goes out followed by CR LF once connected. expect, when not
    // empty, is looked for in what comes back until it shows, the peer closes, 64 KiB came
    // or the time-out (counted again from the connection) ends.
    CTcpProbeResult Run(const QString& host, int port, quint32 timeoutMs, const QByteArray& send,
                        const QByteArray& expect);

    // The most bytes read while looking for the expected text.
    static constexpr qsizetype kMaxAnswerBytes = 64 * 1024;

private:
    bool StopRequested() const;

    const std::atomic<bool>* m_pStopRequested;
};
