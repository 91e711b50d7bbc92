#include "core/support/Ping.h"

#include <QFile>
#include <QRandomGenerator>
#include <QUrl>

#include <arpa/inet.h>
#include <linux/capability.h>
#include <netdb.h>
#include <netinet/icmp6.h>
#include <netinet/in.h>
#include <netinet/ip.h>
#include <netinet/ip_icmp.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace {

using SteadyClock = std::chrono::steady_clock;

// A stop request is noticed within one slice; short enough to feel immediate, long enough
// that a waiting ping costs nothing measurable.
constexpr auto kStopSlice = std::chrono::milliseconds(50);

// The largest echo data that fits one IPv4 datagram is 65507 bytes; a round limit below it.
constexpr int kMaxDataSize = 65500;
constexpr size_t kIcmpHeaderSize = 8;
constexpr size_t kMinIpv4HeaderSize = 20;

// Linux's raw ICMP filter (linux/icmp.h, which cannot be included beside netinet/ip_icmp.h
// since both define struct icmphdr): a bit mask of ICMP types the socket drops.
constexpr int kIcmpFilterOption = 1;

class FileDescriptor
{
public:
    explicit FileDescriptor(int fd = -1)
        : m_Fd(fd)
    { }
    ~FileDescriptor()
    {
        if (m_Fd >= 0)
            ::close(m_Fd);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;

    int Get() const { return m_Fd; }

private:
    int m_Fd;
};

struct Target
{
    sockaddr_storage m_Address {};
    socklen_t m_Length = 0;

    int Family() const { return m_Address.ss_family; }
};

struct LookupResult
{
    int m_Code = 0; // getaddrinfo's result
    int m_Errno = 0; // errno, meaningful when m_Code is EAI_SYSTEM
    std::vector<Target> m_Targets;
};

QString NumericAddress(const Target& target)
{
    char text[NI_MAXHOST] = {};
    if (::getnameinfo(reinterpret_cast<const sockaddr*>(&target.m_Address), target.m_Length, text, sizeof text, nullptr,
                      0, NI_NUMERICHOST)
        != 0)
        return {};
    return QString::fromLatin1(text);
}

LookupResult Lookup(const QByteArray& name, int flags)
{
    addrinfo hints {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_DGRAM; // one entry per address rather than one per socket type
    hints.ai_flags = flags;
    addrinfo* list = nullptr;
    LookupResult result;
    result.m_Code = ::getaddrinfo(name.constData(), nullptr, &hints, &list);
    result.m_Errno = errno;
    if (result.m_Code != 0)
        return result;
    for (const addrinfo* entry = list; entry; entry = entry->ai_next) {
        if ((entry->ai_family != AF_INET && entry->ai_family != AF_INET6)
            || entry->ai_addrlen > sizeof(sockaddr_storage))
            continue;
        Target target;
        std::memcpy(&target.m_Address, entry->ai_addr, entry->ai_addrlen);
        target.m_Length = entry->ai_addrlen;
        const auto* v6 = reinterpret_cast<const sockaddr_in6*>(entry->ai_addr);
        if (entry->ai_family == AF_INET6 && IN6_IS_ADDR_V4MAPPED(&v6->sin6_addr)) {
            // ICMPv6 cannot reach an IPv4 host; an IPv4-mapped address means ICMPv4.
            sockaddr_in v4 {};
            v4.sin_family = AF_INET;
            std::memcpy(&v4.sin_addr, v6->sin6_addr.s6_addr + 12, sizeof v4.sin_addr);
            target = Target();
            std::memcpy(&target.m_Address, &v4, sizeof v4);
            target.m_Length = sizeof v4;
        }
        bool seen = false;
        for (const Target& other : result.m_Targets)
            seen = seen
                || (other.m_Length == target.m_Length
                    && std::memcmp(&other.m_Address, &target.m_Address, target.m_Length) == 0);
        if (!seen)
            result.m_Targets.push_back(target);
    }
    ::freeaddrinfo(list);
    return result;
}

// getaddrinfo cannot be interrupted, and a resolver that does not answer holds it for many
// seconds. So that a stop request is honoured during the lookup too, it runs on a thread of
// its own; on a stop that thread is abandoned and finishes in the background, freeing the
// state it shares with us. Returns nothing when stopped.
std::optional<LookupResult> LookupStoppable(const QByteArray& name, const std::atomic<bool>& stop)
{
    struct Shared
    {
        std::mutex m_Lock;
        std::condition_variable m_Finished;
        bool m_bDone = false;
        LookupResult m_Result;
    };
    auto shared = std::make_shared<Shared>();
    try {
        std::thread([shared, name] {
            LookupResult result = Lookup(name, 0);
            const std::lock_guard lock(shared->m_Lock);
            shared->m_Result = std::move(result);
            shared->m_bDone = true;
            shared->m_Finished.notify_all();
        }).detach();
    } catch (const std::system_error&) {
        return Lookup(name, 0); // no thread to be had: resolve here, unstoppable but correct
    }
    std::unique_lock lock(shared->m_Lock);
    while (!shared->m_bDone) {
        if (stop.load())
            return std::nullopt;
        shared->m_Finished.wait_for(lock, kStopSlice);
    }
    return std::move(shared->m_Result);
}

QString LookupFailure(const QString& host, const LookupResult& result)
{
    const QString reason = result.m_Code == EAI_SYSTEM ? qt_error_string(result.m_Errno)
                                                       : QString::fromLocal8Bit(::gai_strerror(result.m_Code));
    return QStringLiteral("Unable to resolve the host name \"%1\": %2").arg(host, reason);
}

QString PingGroupRange()
{
    QFile file(QStringLiteral("/proc/sys/net/ipv4/ping_group_range"));
    if (!file.open(QIODevice::ReadOnly))
        return QStringLiteral("unknown");
    return QString::fromLatin1(file.readAll()).simplified();
}

QString NoSocketReason()
{
    return QStringLiteral("No ICMP socket may be opened: unprivileged ping is not allowed for group %1 "
                          "(net.ipv4.ping_group_range is \"%2\") and raw sockets need the capability "
                          "cap_net_raw. Include the group in the sysctl net.ipv4.ping_group_range "
                          "or give the program cap_net_raw.")
        .arg(::getegid())
        .arg(PingGroupRange());
}

// An unprivileged ICMP datagram socket first, a raw one when the system refuses it. Sets
// denied when both were refused for lack of rights rather than for lack of support.
int OpenIcmpSocket(int family, ePingSocketKind& kind, bool& denied, QString& failure)
{
    const int protocol = family == AF_INET ? int(IPPROTO_ICMP) : int(IPPROTO_ICMPV6);
    int fd = ::socket(family, SOCK_DGRAM | SOCK_CLOEXEC, protocol);
    if (fd >= 0) {
        kind = ePingSocketDatagram;
        return fd;
    }
    const int datagramError = errno;
    fd = ::socket(family, SOCK_RAW | SOCK_CLOEXEC, protocol);
    if (fd >= 0) {
        kind = ePingSocketRaw;
        return fd;
    }
    const int rawError = errno;
    // A kernel without ICMP datagram sockets refuses them as unsupported: still only a
    // permission stands between us and ping.
    const bool datagramRefused = datagramError == EACCES || datagramError == EPERM || datagramError == EPROTONOSUPPORT
        || datagramError == ESOCKTNOSUPPORT;
    denied = datagramRefused && (rawError == EPERM || rawError == EACCES);
    failure = QStringLiteral("Unable to open an ICMP socket: %1").arg(qt_error_string(rawError));
    return -1;
}

bool SetOption(int fd, int level, int name, int value, const char* what, QString& failure)
{
    if (::setsockopt(fd, level, name, &value, sizeof value) == 0)
        return true;
    failure
        = QStringLiteral("Unable to set %1 on the ICMP socket: %2").arg(QLatin1String(what), qt_error_string(errno));
    return false;
}

bool ConfigureSocket(int fd, int family, ePingSocketKind kind, quint8 ttl, quint8 tos, bool dontFragment,
                     QString& failure)
{
    if (family == AF_INET) {
        if (ttl != 0 && !SetOption(fd, IPPROTO_IP, IP_TTL, ttl, "the time-to-live", failure))
            return false;
        if (!SetOption(fd, IPPROTO_IP, IP_TOS, tos, "the type of service", failure)
            || !SetOption(fd, IPPROTO_IP, IP_MTU_DISCOVER, dontFragment ? IP_PMTUDISC_DO : IP_PMTUDISC_DONT,
                          "the don't-fragment flag", failure)
            || !SetOption(fd, IPPROTO_IP, IP_RECVTTL, 1, "the reception of the time-to-live", failure))
            return false;
        if (kind == ePingSocketRaw) {
            // Only echo replies wake us; a raw socket otherwise gets every ICMP packet of the
            // host. An optimisation only: the reply is matched in full anyway.
            const quint32 blocked = ~(quint32(1) << ICMP_ECHOREPLY);
            ::setsockopt(fd, SOL_RAW, kIcmpFilterOption, &blocked, sizeof blocked);
        }
        return true;
    }
    if (ttl != 0 && !SetOption(fd, IPPROTO_IPV6, IPV6_UNICAST_HOPS, ttl, "the hop limit", failure))
        return false;
    if (!SetOption(fd, IPPROTO_IPV6, IPV6_TCLASS, tos, "the traffic class", failure)
        || !SetOption(fd, IPPROTO_IPV6, IPV6_MTU_DISCOVER, dontFragment ? IPV6_PMTUDISC_DO : IPV6_PMTUDISC_DONT,
                      "the don't-fragment flag", failure)
        || !SetOption(fd, IPPROTO_IPV6, IPV6_RECVHOPLIMIT, 1, "the reception of the hop limit", failure))
        return false;
    if (kind == ePingSocketRaw) {
        icmp6_filter filter;
        ICMP6_FILTER_SETBLOCKALL(&filter);
        ICMP6_FILTER_SETPASS(ICMP6_ECHO_REPLY, &filter);
        ::setsockopt(fd, IPPROTO_ICMPV6, ICMP6_FILTER, &filter, sizeof filter);
    }
    return true;
}

quint16 InternetChecksum(const std::vector<unsigned char>& data)
{
    quint32 sum = 0;
    for (size_t i = 0; i + 1 < data.size(); i += 2)
        sum += quint32(data[i]) << 8 | data[i + 1];
    if (data.size() % 2)
        sum += quint32(data.back()) << 8;
    while (sum >> 16)
        sum = (sum & 0xffff) + (sum >> 16);
    return quint16(~sum);
}

// One echo request and what a reply to it must look like.
struct Echo
{
    int m_Family = AF_INET;
    ePingSocketKind m_Kind = ePingSocketNone;
    quint16 m_Identifier = 0;
    quint16 m_Sequence = 0;
    std::vector<unsigned char> m_Data;

    std::vector<unsigned char> Request() const
    {
        std::vector<unsigned char> packet(kIcmpHeaderSize + m_Data.size());
        packet[0] = m_Family == AF_INET ? ICMP_ECHO : ICMP6_ECHO_REQUEST;
        packet[4] = m_Identifier >> 8;
        packet[5] = m_Identifier & 0xff;
        packet[6] = m_Sequence >> 8;
        packet[7] = m_Sequence & 0xff;
        if (!m_Data.empty())
            std::memcpy(packet.data() + kIcmpHeaderSize, m_Data.data(), m_Data.size());
        // The kernel sums ICMPv6 itself (it needs the pseudo-header) and so does an ICMPv4
        // datagram socket; only raw ICMPv4 goes out exactly as written.
        if (m_Family == AF_INET) {
            const quint16 checksum = InternetChecksum(packet);
            packet[2] = checksum >> 8;
            packet[3] = checksum & 0xff;
        }
        return packet;
    }

    // A raw socket sees every echo reply of the host (another ping's, too) and on loopback
    // our own request as well, so type, identifier and sequence must all match. A datagram
    // socket only gets replies to its own identifier, which the kernel chose and wrote over
    // ours, so there the sequence and the echoed data tell our reply apart.
    bool IsReply(const unsigned char* packet, size_t length) const
    {
        if (length < kIcmpHeaderSize)
            return false;
        const int replyType = m_Family == AF_INET ? ICMP_ECHOREPLY : ICMP6_ECHO_REPLY;
        if (packet[0] != replyType || packet[1] != 0)
            return false;
        if (m_Kind == ePingSocketRaw && (packet[4] != m_Identifier >> 8 || packet[5] != (m_Identifier & 0xff)))
            return false;
        if (packet[6] != m_Sequence >> 8 || packet[7] != (m_Sequence & 0xff))
            return false;
        // Without echo data, m_Data.data() may be null, which memcmp must never be given,
        // even for no bytes.
        return length - kIcmpHeaderSize == m_Data.size()
            && (m_Data.empty() || std::memcmp(packet + kIcmpHeaderSize, m_Data.data(), m_Data.size()) == 0);
    }
};

quint16 NextSequence()
{
    static std::atomic<quint16> sequence {quint16(QRandomGenerator::global()->generate())};
    return sequence.fetch_add(1);
}

// Reads what is waiting on the socket. Returns ePingSucceeded with the reply filled in,
// ePingNotRun when nothing matching is waiting yet, or ePingNetworkError.
ePingStatus ReadReplies(int fd, const Echo& echo, SteadyClock::time_point sent, CPingReply& reply, QString& failure)
{
    std::vector<unsigned char> buffer(65536 + 64);
    alignas(cmsghdr) char control[256];
    for (;;) {
        iovec part {buffer.data(), buffer.size()};
        msghdr message {};
        message.msg_iov = &part;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        const ssize_t received = ::recvmsg(fd, &message, MSG_DONTWAIT);
        if (received < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                return ePingNotRun;
            // A connected socket reports an ICMP error about our request (host or network
            // unreachable, for instance) here.
            failure = QStringLiteral("No echo reply from %1: %2").arg(reply.m_Address, qt_error_string(errno));
            return ePingNetworkError;
        }
        const unsigned char* packet = buffer.data();
        size_t length = size_t(received);
        int ttl = -1;
        if (echo.m_Family == AF_INET && echo.m_Kind == ePingSocketRaw) {
            // Raw ICMPv4 comes with its IP header in front.
            if (length < kMinIpv4HeaderSize)
                continue;
            const size_t headerSize = size_t(packet[0] & 0x0f) * 4;
            if (headerSize < kMinIpv4HeaderSize || headerSize > length)
                continue;
            ttl = packet[8];
            packet += headerSize;
            length -= headerSize;
        }
        if (!echo.IsReply(packet, length))
            continue;
        for (cmsghdr* item = CMSG_FIRSTHDR(&message); item; item = CMSG_NXTHDR(&message, item)) {
            const bool isTtl = (item->cmsg_level == IPPROTO_IP && item->cmsg_type == IP_TTL)
                || (item->cmsg_level == IPPROTO_IPV6 && item->cmsg_type == IPV6_HOPLIMIT);
            if (isTtl && item->cmsg_len >= CMSG_LEN(sizeof(int)))
                std::memcpy(&ttl, CMSG_DATA(item), sizeof(int));
        }
        const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(SteadyClock::now() - sent);
        reply.m_RTT = quint32(elapsed.count());
        reply.m_TTL = ttl;
        reply.m_DataSize = int(length - kIcmpHeaderSize);
        return ePingSucceeded;
    }
}

ePingStatus WaitForReply(int fd, const Echo& echo, quint32 timeoutMs, const std::atomic<bool>* stop, CPingReply& reply,
                         QString& failure)
{
    const auto sent = SteadyClock::now();
    const auto deadline = sent + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        // Read before judging the deadline, so a reply that came in just in time counts, and
        // a time-out of 0 still takes a reply that is already there.
        const ePingStatus status = ReadReplies(fd, echo, sent, reply, failure);
        if (status != ePingNotRun)
            return status;
        if (stop && stop->load())
            return ePingStopped;
        const auto now = SteadyClock::now();
        if (now >= deadline)
            return ePingTimedOut;
        const auto slice = std::min<SteadyClock::duration>(deadline - now, kStopSlice);
        // Rounded up: poll counts whole milliseconds and must not wake just short of the deadline.
        const auto sliceMs = std::chrono::ceil<std::chrono::milliseconds>(slice);
        pollfd waiting {fd, POLLIN, 0};
        if (::poll(&waiting, 1, int(sliceMs.count())) < 0 && errno != EINTR) {
            failure = QStringLiteral("Unable to wait for an echo reply: %1").arg(qt_error_string(errno));
            return ePingNetworkError;
        }
    }
}

} // namespace

bool CPing::PingUsingICMP(const QString& host, CPingReply& reply, quint8 ttl, quint32 timeoutMs, int dataSize,
                          quint8 tos, int dontFragment, const std::atomic<bool>* stop, QString* error) const
{
    reply = CPingReply();
    const auto fail = [&](ePingStatus status, const QString& reason) {
        reply.m_Status = status;
        if (error)
            *error = reason;
        return false;
    };
    const auto stopped = [&] {
        return fail(ePingStopped, QStringLiteral("Ping stopped"));
    };

    const QString name = host.trimmed();
    if (name.isEmpty())
        return fail(ePingNoHost, QStringLiteral("No host to ping"));
    if (dataSize < 0 || dataSize > kMaxDataSize)
        return fail(ePingBadArgument,
                    QStringLiteral("Echo data of %1 bytes is not possible (0 to %2)").arg(dataSize).arg(kMaxDataSize));
    if (stop && stop->load())
        return stopped();

    // Numeric addresses are parsed without any lookup; only what is not one goes to the
    // resolver. International names go out in their ASCII form.
    bool ascii = true;
    for (const QChar c : name)
        ascii = ascii && c.unicode() > 0 && c.unicode() < 0x80;
    const QByteArray encoded = ascii ? name.toLatin1() : QUrl::toAce(name);
    if (encoded.isEmpty() || encoded.contains('\0'))
        return fail(ePingUnresolved, QStringLiteral("\"%1\" is not a valid host name").arg(name));
    LookupResult lookup = Lookup(encoded, AI_NUMERICHOST);
    if (lookup.m_Code == EAI_NONAME) {
        if (stop) {
            std::optional<LookupResult> result = LookupStoppable(encoded, *stop);
            if (!result)
                return stopped();
            lookup = std::move(*result);
        } else {
            lookup = Lookup(encoded, 0);
        }
    }
    if (lookup.m_Code != 0)
        return fail(ePingUnresolved, LookupFailure(name, lookup));
    if (lookup.m_Targets.empty())
        return fail(ePingUnresolved, QStringLiteral("The host name \"%1\" has no IPv4 or IPv6 address").arg(name));

    std::vector<unsigned char> data(size_t(dataSize), 0);
    QRandomGenerator::global()->generate(data.begin(), data.end());

    // Addresses are tried in the resolver's order until a request goes out; one that cannot
    // be reached from here (no IPv6 route, say) gives way to the next. Once a request is
    // sent, its answer decides.
    QString lastFailure;
    bool anyDenied = false;
    bool anyOpened = false;
    for (const Target& target : lookup.m_Targets) {
        if (stop && stop->load())
            return stopped();
        Echo echo;
        echo.m_Family = target.Family();
        bool denied = false;
        const FileDescriptor fd(OpenIcmpSocket(echo.m_Family, echo.m_Kind, denied, lastFailure));
        if (fd.Get() < 0) {
            anyDenied = anyDenied || denied;
            continue;
        }
        anyOpened = true;
        if (!ConfigureSocket(fd.Get(), echo.m_Family, echo.m_Kind, ttl, tos, dontFragment != 0, lastFailure))
            continue;
        reply.m_Address = NumericAddress(target);
        // Connected, the socket only receives from the target, and ICMP errors about our
        // request come back as socket errors instead of a silent wait.
        if (::connect(fd.Get(), reinterpret_cast<const sockaddr*>(&target.m_Address), target.m_Length) != 0) {
            lastFailure = QStringLiteral("Unable to reach %1: %2").arg(reply.m_Address, qt_error_string(errno));
            continue;
        }
        echo.m_Identifier = quint16(QRandomGenerator::global()->generate());
        echo.m_Sequence = NextSequence();
        echo.m_Data = data;
        const std::vector<unsigned char> request = echo.Request();
        ssize_t sent;
        do {
            sent = ::send(fd.Get(), request.data(), request.size(), 0);
        } while (sent < 0 && errno == EINTR);
        if (sent < 0) {
            lastFailure = QStringLiteral("Unable to send an echo request to %1: %2")
                              .arg(reply.m_Address, qt_error_string(errno));
            continue;
        }
        reply.m_SocketKind = echo.m_Kind;
        QString failure;
        const ePingStatus status = WaitForReply(fd.Get(), echo, timeoutMs, stop, reply, failure);
        switch (status) {
        case ePingSucceeded:
            reply.m_Status = ePingSucceeded;
            if (error)
                error->clear();
            return true;
        case ePingStopped:
            return stopped();
        case ePingTimedOut:
            return fail(ePingTimedOut,
                        QStringLiteral("No echo reply from %1 within %2 ms").arg(reply.m_Address).arg(timeoutMs));
        default:
            return fail(status, failure);
        }
    }
    reply.m_SocketKind = ePingSocketNone;
    // Permission is the remedy even when another address failed for lack of support (an
    // IPv6 address on a system without IPv6, say).
    if (anyDenied && !anyOpened)
        return fail(ePingNoSocket, NoSocketReason());
    return fail(ePingNetworkError, lastFailure);
}

bool DropRawSocketCapabilityIfUnneeded()
{
    const int probe = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_ICMP);
    if (probe < 0)
        return false;
    ::close(probe);
    // Out of the ambient set first (else it would come back at the next exec of a child, an
    // alert program), then out of the effective, permitted and inheritable sets. The calls
    // go to the kernel directly: the capability library is not worth a dependency for this.
    ::prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_LOWER, CAP_NET_RAW, 0, 0);
    __user_cap_header_struct header {_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] {};
    if (::syscall(SYS_capget, &header, data) != 0)
        return false;
    const unsigned word = CAP_NET_RAW / 32;
    const quint32 bit = 1u << (CAP_NET_RAW % 32);
    data[word].effective &= ~bit;
    data[word].permitted &= ~bit;
    data[word].inheritable &= ~bit;
    return ::syscall(SYS_capset, &header, data) == 0;
}
