#pragma once

#include <QString>
#include <QtGlobal>

#include <atomic>

// How one echo test ended. Only ePingSucceeded is a success; the others say why not, so the
// caller can tell a host that is down from a stop request or from a system that forbids ICMP.
enum ePingStatus
{
    ePingNotRun = 0,
    ePingSucceeded,
    ePingTimedOut, // the request went out, no matching reply came in time
    ePingStopped, // the stop flag was raised while resolving or waiting
    ePingNoHost, // the host text is empty
    ePingUnresolved, // the host name does not resolve
    ePingNoSocket, // neither an ICMP datagram socket nor a raw socket may be opened
    ePingNetworkError, // the request could not be sent, or an ICMP error came back
    ePingBadArgument, // a data size no echo request can carry
};

// Which kind of socket carried the echo request.
enum ePingSocketKind
{
    ePingSocketNone = 0,
    ePingSocketDatagram, // unprivileged ICMP socket; the kernel owns the identifier
    ePingSocketRaw, // needs CAP_NET_RAW; sees every ICMP packet of the host
};

// What one echo test found. The ping check only needs the boolean result; the rest is for
// diagnostics and for the caller that must tell a missing permission from a silent host.
class CPingReply
{
public:
    virtual ~CPingReply() = default;

    ePingStatus m_Status = ePingNotRun;
    ePingSocketKind m_SocketKind = ePingSocketNone;
    QString m_Address; // numeric address the request went to (and the reply came from)
    quint32 m_RTT = 0; // round trip in milliseconds
    int m_TTL = -1; // time-to-live (IPv6: hop limit) of the reply; -1 when not reported
    int m_DataSize = 0; // bytes of echo data that came back
};

// One ICMP echo test of one host, IPv4 or IPv6. A plain object with no state between calls:
// every call resolves, opens its own socket and closes it again, so calls may run on
// several threads at once.
class CPing
{
public:
    // True exactly when a matching echo reply arrived within timeoutMs of sending the request.
    // host: a name or a numeric address; numeric addresses never cause a name lookup.
    // ttl: IP time-to-live (IPv6 hop limit), 0 for the system's default.
    // dataSize: bytes of echo data, 0 to 65500.
    // tos: IP type of service (IPv6 traffic class). dontFragment: non-zero sets DF.
    // stop: when given, raising it from another thread ends the lookup or the wait within
    // about 50 ms with ePingStopped.
    // error: receives the reason of a failure, ready for a log line.
    bool PingUsingICMP(const QString& host, CPingReply& reply, quint8 ttl, quint32 timeoutMs, int dataSize, quint8 tos,
                       int dontFragment, const std::atomic<bool>* stop = nullptr, QString* error = nullptr) const;
};

// Gives up CAP_NET_RAW, for good, when the kernel lets this process open ICMP datagram sockets:
// then no ping needs a raw socket, and a program that can read every packet of the host should
// not keep that power for nothing. A service given the capability for systems that refuse
// unprivileged ping keeps it there. True when the capability is no longer held.
bool DropRawSocketCapabilityIfUnneeded();
