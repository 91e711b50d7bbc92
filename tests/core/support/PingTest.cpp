#include "core/support/Ping.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

// Every packet these tests send goes to 127.0.0.1 or ::1, either of this host or of a network
// namespace a child process makes for itself. What needs a silent host, a forged reply, a
// refused socket or a dead resolver happens in such a child, so nothing of the host changes.

namespace {

constexpr quint8 kTtl = 30;
constexpr int kDataSize = 32;

// What a child process reports about one ping, or why it could not set its scene up.
struct Outcome
{
    bool m_bSkipped = false;
    bool m_bResult = false;
    int m_Status = ePingNotRun;
    int m_Kind = ePingSocketNone;
    qint64 m_ElapsedMs = 0;
    char m_Note[480] = {};
};

Outcome TimedPing(const char* host, quint32 timeoutMs, const std::atomic<bool>* stop = nullptr,
                  int dataSize = kDataSize)
{
    CPingReply reply;
    QString error;
    QElapsedTimer timer;
    timer.start();
    Outcome outcome;
    outcome.m_bResult
        = CPing().PingUsingICMP(QString::fromLatin1(host), reply, kTtl, timeoutMs, dataSize, 0, 0, stop, &error);
    outcome.m_ElapsedMs = timer.elapsed();
    outcome.m_Status = reply.m_Status;
    outcome.m_Kind = reply.m_SocketKind;
    const QByteArray note = QStringLiteral("%1: %2").arg(QLatin1String(host), error).toUtf8();
    std::strncpy(outcome.m_Note, note.constData(), sizeof outcome.m_Note - 1);
    return outcome;
}

Outcome Skipped(const std::string& reason)
{
    Outcome outcome;
    outcome.m_bSkipped = true;
    std::strncpy(outcome.m_Note, reason.c_str(), sizeof outcome.m_Note - 1);
    return outcome;
}

std::string SystemError(const std::string& what)
{
    return what + ": " + std::strerror(errno);
}

// Runs body in a forked child, which may change its namespaces, sysctls and identity freely,
// and collects the outcomes it reports. A child that hangs is killed after a minute.
std::vector<Outcome> RunInChild(const std::function<void(const std::function<void(const Outcome&)>&)>& body)
{
    int pipeFds[2];
    if (::pipe(pipeFds) != 0)
        return {Skipped(SystemError("pipe"))};
    const pid_t pid = ::fork();
    if (pid < 0)
        return {Skipped(SystemError("fork"))};
    if (pid == 0) {
        ::close(pipeFds[0]);
        body([fd = pipeFds[1]](const Outcome& outcome) {
            if (::write(fd, &outcome, sizeof outcome) != ssize_t(sizeof outcome))
                ::_exit(3);
        });
        ::_exit(0);
    }
    ::close(pipeFds[1]);
    std::vector<Outcome> outcomes;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    for (;;) {
        const auto left
            = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd waiting {pipeFds[0], POLLIN, 0};
        if (left.count() <= 0 || ::poll(&waiting, 1, int(left.count())) == 0) {
            ::kill(pid, SIGKILL);
            ADD_FAILURE() << "the child process did not finish within a minute";
            break;
        }
        Outcome outcome;
        const ssize_t got = ::read(pipeFds[0], &outcome, sizeof outcome);
        if (got < 0 && errno == EINTR)
            continue;
        if (got != ssize_t(sizeof outcome))
            break;
        outcomes.push_back(outcome);
    }
    ::close(pipeFds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
    return outcomes;
}

bool WriteFile(const char* path, const std::string& text)
{
    const int fd = ::open(path, O_WRONLY | O_TRUNC | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool written = ::write(fd, text.data(), text.size()) == ssize_t(text.size());
    return ::close(fd) == 0 && written;
}

enum class PingGroups
{
    Closed, // the kernel's default for a new namespace: nobody may open ICMP datagram sockets
    Open, // every group may
};

// Moves the calling process into a fresh network namespace with only the loopback up.
// Returns an empty text on success, otherwise why not.
std::string EnterOwnNetwork(PingGroups groups, bool ignoreEcho)
{
    if (::unshare(CLONE_NEWNET) != 0)
        return SystemError("unshare(CLONE_NEWNET)");
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq request {};
    std::strcpy(request.ifr_name, "lo");
    const bool up = fd >= 0 && ::ioctl(fd, SIOCGIFFLAGS, &request) == 0
        && (request.ifr_flags |= IFF_UP, ::ioctl(fd, SIOCSIFFLAGS, &request) == 0);
    if (fd >= 0)
        ::close(fd);
    if (!up)
        return SystemError("bringing the loopback up");
    if (!WriteFile("/proc/sys/net/ipv4/ping_group_range", groups == PingGroups::Open ? "0 2147483647" : "1 0"))
        return SystemError("writing net.ipv4.ping_group_range");
    if (ignoreEcho && !WriteFile("/proc/sys/net/ipv4/icmp_echo_ignore_all", "1"))
        return SystemError("writing net.ipv4.icmp_echo_ignore_all");
    // Older kernels cannot silence ICMPv6 echo; the IPv6 cases of such tests then skip.
    if (ignoreEcho)
        WriteFile("/proc/sys/net/ipv6/icmp/echo_ignore_all", "1");
    return {};
}

bool Ipv6EchoIgnored()
{
    QFile file(QStringLiteral("/proc/sys/net/ipv6/icmp/echo_ignore_all"));
    return file.open(QIODevice::ReadOnly) && file.readAll().trimmed() == "1";
}

// Gives up root for nobody: no capabilities, and a group outside a closed ping range.
std::string BecomeNobody()
{
    constexpr uid_t kNobody = 65534;
    if (::setgroups(0, nullptr) != 0 || ::setresgid(kNobody, kNobody, kNobody) != 0
        || ::setresuid(kNobody, kNobody, kNobody) != 0)
        return SystemError("dropping root");
    return {};
}

bool Ipv6LoopbackUsable()
{
    const int fd = ::socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    sockaddr_in6 address {};
    address.sin6_family = AF_INET6;
    address.sin6_addr = in6addr_loopback;
    const bool usable = ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return usable;
}

#define SKIP_UNLESS_ROOT()                                                                                             \
    if (::geteuid() != 0)                                                                                              \
    GTEST_SKIP() << "needs root to make a network namespace of its own"

#define SKIP_IF_CHILD_SKIPPED(outcomes)                                                                                \
    for (const Outcome& outcome : outcomes)                                                                            \
        if (outcome.m_bSkipped)                                                                                        \
    GTEST_SKIP() << outcome.m_Note

// Pings both loopback addresses from a fresh namespace, as root or as nobody.
std::vector<Outcome> PingLoopbacksInOwnNetwork(PingGroups groups, bool asNobody)
{
    return RunInChild([&](const auto& report) {
        std::string failure = EnterOwnNetwork(groups, false);
        if (failure.empty() && asNobody)
            failure = BecomeNobody();
        if (!failure.empty())
            return report(Skipped(failure));
        report(TimedPing("127.0.0.1", 2000));
        if (Ipv6LoopbackUsable())
            report(TimedPing("::1", 2000));
    });
}

// Skips the test when this host gives no ICMP socket at all (an unprivileged CI runner).
#define SKIP_WITHOUT_ICMP(outcome)                                                                                     \
    if ((outcome).m_Status == ePingNoSocket)                                                                           \
    GTEST_SKIP() << "this host allows no ICMP socket here: " << (outcome).m_Note

} // namespace

TEST(Ping, LoopbackAnswersOverIpv4)
{
    const Outcome outcome = TimedPing("127.0.0.1", 2000);
    SKIP_WITHOUT_ICMP(outcome);
    EXPECT_TRUE(outcome.m_bResult) << outcome.m_Note;
    EXPECT_EQ(outcome.m_Status, ePingSucceeded);
    EXPECT_NE(outcome.m_Kind, ePingSocketNone);

    CPingReply reply;
    ASSERT_TRUE(CPing().PingUsingICMP(QStringLiteral(" 127.0.0.1 "), reply, kTtl, 2000, kDataSize, 0, 0));
    EXPECT_EQ(reply.m_Address, u"127.0.0.1");
    EXPECT_EQ(reply.m_DataSize, kDataSize);
    EXPECT_GT(reply.m_TTL, 0); // loopback replies carry the system's default, not ours
    EXPECT_LT(reply.m_RTT, 2000u);

    // An IPv4 host written as an IPv6 address still gets ICMPv4.
    ASSERT_TRUE(CPing().PingUsingICMP(QStringLiteral("::ffff:127.0.0.1"), reply, kTtl, 2000, kDataSize, 0, 0));
    EXPECT_EQ(reply.m_Address, u"127.0.0.1");
}

TEST(Ping, LoopbackAnswersOverIpv6)
{
    if (!Ipv6LoopbackUsable())
        GTEST_SKIP() << "IPv6 loopback ::1 is not available on this host";
    const Outcome outcome = TimedPing("::1", 2000);
    SKIP_WITHOUT_ICMP(outcome);
    EXPECT_TRUE(outcome.m_bResult) << outcome.m_Note;
    EXPECT_EQ(outcome.m_Status, ePingSucceeded);

    CPingReply reply;
    ASSERT_TRUE(CPing().PingUsingICMP(QStringLiteral("::1"), reply, kTtl, 2000, kDataSize, 0, 0));
    EXPECT_EQ(reply.m_Address, u"::1");
    EXPECT_EQ(reply.m_DataSize, kDataSize);
    EXPECT_GT(reply.m_TTL, 0);
}

TEST(Ping, LocalhostIsResolvedAndAnswers)
{
    // Only ever resolved from the hosts file: if it is not there, the name would go to DNS.
    QFile hosts(QStringLiteral("/etc/hosts"));
    if (!hosts.open(QIODevice::ReadOnly) || !QString::fromLatin1(hosts.readAll()).contains(QLatin1String("localhost")))
        GTEST_SKIP() << "/etc/hosts does not name localhost";
    const Outcome outcome = TimedPing("localhost", 2000);
    SKIP_WITHOUT_ICMP(outcome);
    EXPECT_TRUE(outcome.m_bResult) << outcome.m_Note;

    const std::atomic<bool> stop {false}; // names are looked up on a thread of their own then
    EXPECT_TRUE(TimedPing("localhost", 2000, &stop).m_bResult);
}

TEST(Ping, EchoDataOfEverySizeComesBackIntact)
{
    // Odd sizes exercise the checksum's last byte; the largest fills an IPv4 datagram.
    for (const int size : {0, 1, 33, 1500, 65500}) {
        const Outcome outcome = TimedPing("127.0.0.1", 2000, nullptr, size);
        SKIP_WITHOUT_ICMP(outcome);
        EXPECT_TRUE(outcome.m_bResult) << "size " << size << ": " << outcome.m_Note;
    }
}

TEST(Ping, InputThatCannotBePingedFailsAtOnce)
{
    const std::atomic<bool> stop {true};
    const struct
    {
        const char* m_Host;
        int m_DataSize;
        const std::atomic<bool>* m_Stop;
        ePingStatus m_Status;
    } cases[] = {
        {"", kDataSize, nullptr, ePingNoHost},         {"   ", kDataSize, nullptr, ePingNoHost},
        {"127.0.0.1", -1, nullptr, ePingBadArgument},  {"127.0.0.1", 65501, nullptr, ePingBadArgument},
        {"127.0.0.1", kDataSize, &stop, ePingStopped}, // a stop raised before the call is not lost
    };
    for (const auto& test : cases) {
        const Outcome outcome = TimedPing(test.m_Host, 5000, test.m_Stop, test.m_DataSize);
        EXPECT_FALSE(outcome.m_bResult) << outcome.m_Note;
        EXPECT_EQ(outcome.m_Status, test.m_Status) << outcome.m_Note;
        EXPECT_LT(outcome.m_ElapsedMs, 1000) << outcome.m_Note;
        EXPECT_GT(std::strlen(outcome.m_Note), std::strlen(test.m_Host) + 2) << "no reason given";
    }
}

TEST(PingInOwnNetwork, DatagramSocketServesAnUnprivilegedUser)
{
    SKIP_UNLESS_ROOT();
    const auto outcomes = PingLoopbacksInOwnNetwork(PingGroups::Open, true);
    SKIP_IF_CHILD_SKIPPED(outcomes);
    ASSERT_FALSE(outcomes.empty());
    for (const Outcome& outcome : outcomes) {
        EXPECT_TRUE(outcome.m_bResult) << outcome.m_Note;
        EXPECT_EQ(outcome.m_Kind, ePingSocketDatagram) << outcome.m_Note;
    }
}

TEST(PingInOwnNetwork, RawSocketServesRootWhenDatagramsAreRefused)
{
    SKIP_UNLESS_ROOT();
    const auto outcomes = PingLoopbacksInOwnNetwork(PingGroups::Closed, false);
    SKIP_IF_CHILD_SKIPPED(outcomes);
    ASSERT_FALSE(outcomes.empty());
    for (const Outcome& outcome : outcomes) {
        EXPECT_TRUE(outcome.m_bResult) << outcome.m_Note;
        EXPECT_EQ(outcome.m_Kind, ePingSocketRaw) << outcome.m_Note;
    }
}

TEST(PingInOwnNetwork, NoSocketAtAllIsReportedWithTheRemedy)
{
    SKIP_UNLESS_ROOT();
    const auto outcomes = PingLoopbacksInOwnNetwork(PingGroups::Closed, true);
    SKIP_IF_CHILD_SKIPPED(outcomes);
    ASSERT_FALSE(outcomes.empty());
    for (const Outcome& outcome : outcomes) {
        EXPECT_FALSE(outcome.m_bResult);
        EXPECT_EQ(outcome.m_Status, ePingNoSocket) << outcome.m_Note;
        EXPECT_EQ(outcome.m_Kind, ePingSocketNone);
        EXPECT_NE(std::strstr(outcome.m_Note, "net.ipv4.ping_group_range"), nullptr) << outcome.m_Note;
        EXPECT_NE(std::strstr(outcome.m_Note, "cap_net_raw"), nullptr) << outcome.m_Note;
        EXPECT_LT(outcome.m_ElapsedMs, 1000);
    }
}

// A silent host, with each socket kind: a raw socket on loopback sees our own request, which
// must not pass for the reply, and the wait must end at the time-out, not much later.
TEST(PingInOwnNetwork, SilentHostTimesOutOnTime)
{
    SKIP_UNLESS_ROOT();
    for (const PingGroups groups : {PingGroups::Open, PingGroups::Closed}) {
        const auto outcomes = RunInChild([&](const auto& report) {
            const std::string failure = EnterOwnNetwork(groups, true);
            if (!failure.empty())
                return report(Skipped(failure));
            report(TimedPing("127.0.0.1", 1000));
            if (Ipv6LoopbackUsable() && Ipv6EchoIgnored())
                report(TimedPing("::1", 1000));
        });
        SKIP_IF_CHILD_SKIPPED(outcomes);
        ASSERT_FALSE(outcomes.empty());
        for (const Outcome& outcome : outcomes) {
            EXPECT_FALSE(outcome.m_bResult) << outcome.m_Note;
            EXPECT_EQ(outcome.m_Status, ePingTimedOut) << outcome.m_Note;
            EXPECT_EQ(outcome.m_Kind, groups == PingGroups::Open ? ePingSocketDatagram : ePingSocketRaw);
            EXPECT_GE(outcome.m_ElapsedMs, 800) << outcome.m_Note;
            EXPECT_LE(outcome.m_ElapsedMs, 3000) << outcome.m_Note;
        }
    }
}

TEST(PingInOwnNetwork, StopEndsTheWaitPromptly)
{
    SKIP_UNLESS_ROOT();
    const auto outcomes = RunInChild([&](const auto& report) {
        const std::string failure = EnterOwnNetwork(PingGroups::Closed, true);
        if (!failure.empty())
            return report(Skipped(failure));
        std::atomic<bool> stop {false};
        std::thread stopper([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            stop = true;
        });
        report(TimedPing("127.0.0.1", 5000, &stop));
        stopper.join();
    });
    SKIP_IF_CHILD_SKIPPED(outcomes);
    ASSERT_EQ(outcomes.size(), 1u);
    EXPECT_FALSE(outcomes[0].m_bResult);
    EXPECT_EQ(outcomes[0].m_Status, ePingStopped) << outcomes[0].m_Note;
    EXPECT_GE(outcomes[0].m_ElapsedMs, 150);
    EXPECT_LE(outcomes[0].m_ElapsedMs, 1500);
}

namespace {

quint16 Checksum(const unsigned char* data, size_t length)
{
    quint32 sum = 0;
    for (size_t i = 0; i < length; ++i)
        sum += i % 2 ? data[i] : quint32(data[i]) << 8;
    while (sum >> 16)
        sum = (sum & 0xffff) + (sum >> 16);
    return quint16(~sum);
}

// Answers the first echo request it sees with near misses (another identifier, another
// sequence, altered or shortened data), and only after a pause with the true reply. Runs in
// a namespace where the kernel itself does not answer.
void ForgeReplies(int family, std::atomic<bool>& ready)
{
    const int fd
        = ::socket(family, SOCK_RAW | SOCK_CLOEXEC, family == AF_INET ? int(IPPROTO_ICMP) : int(IPPROTO_ICMPV6));
    ready = true;
    if (fd < 0)
        return;
    sockaddr_storage target {};
    socklen_t targetLength;
    if (family == AF_INET) {
        auto* v4 = reinterpret_cast<sockaddr_in*>(&target);
        v4->sin_family = AF_INET;
        v4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        targetLength = sizeof(sockaddr_in);
    } else {
        auto* v6 = reinterpret_cast<sockaddr_in6*>(&target);
        v6->sin6_family = AF_INET6;
        v6->sin6_addr = in6addr_loopback;
        targetLength = sizeof(sockaddr_in6);
    }
    const unsigned char requestType = family == AF_INET ? 8 : 128;
    const unsigned char replyType = family == AF_INET ? 0 : 129;
    std::vector<unsigned char> request;
    for (int tries = 0; tries < 100 && request.empty(); ++tries) {
        pollfd waiting {fd, POLLIN, 0};
        if (::poll(&waiting, 1, 50) <= 0)
            continue;
        unsigned char buffer[2048];
        const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
        const size_t offset = family == AF_INET ? size_t(buffer[0] & 0x0f) * 4 : 0;
        if (got >= ssize_t(offset + 8) && buffer[offset] == requestType)
            request.assign(buffer + offset, buffer + got);
    }
    if (request.empty()) {
        ::close(fd);
        return;
    }
    const auto send = [&](std::vector<unsigned char> packet) {
        packet[0] = replyType;
        packet[2] = packet[3] = 0;
        if (family == AF_INET) { // the kernel sums ICMPv6 by itself
            const quint16 sum = Checksum(packet.data(), packet.size());
            packet[2] = sum >> 8;
            packet[3] = sum & 0xff;
        }
        ::sendto(fd, packet.data(), packet.size(), 0, reinterpret_cast<const sockaddr*>(&target), targetLength);
    };
    auto otherIdentifier = request;
    otherIdentifier[5] ^= 1;
    auto otherSequence = request;
    otherSequence[7] ^= 1;
    auto alteredData = request;
    alteredData.back() ^= 0xff;
    auto shortData = request;
    shortData.pop_back();
    for (const auto& nearMiss : {otherIdentifier, otherSequence, alteredData, shortData})
        send(nearMiss);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    send(request);
    ::close(fd);
}

} // namespace

// The matching of replies, with each socket kind: none of the near misses may end the wait,
// so the call succeeds only with the true reply sent 300 ms after the request.
TEST(PingInOwnNetwork, OnlyTheTrueReplyCounts)
{
    SKIP_UNLESS_ROOT();
    for (const PingGroups groups : {PingGroups::Open, PingGroups::Closed}) {
        const auto outcomes = RunInChild([&](const auto& report) {
            const std::string failure = EnterOwnNetwork(groups, true);
            if (!failure.empty())
                return report(Skipped(failure));
            std::vector<std::pair<int, const char*>> targets {{AF_INET, "127.0.0.1"}};
            if (Ipv6LoopbackUsable() && Ipv6EchoIgnored())
                targets.emplace_back(AF_INET6, "::1");
            for (const auto& [family, host] : targets) {
                std::atomic<bool> ready {false};
                std::thread forger([&, family = family] { ForgeReplies(family, ready); });
                while (!ready)
                    std::this_thread::yield();
                report(TimedPing(host, 2000));
                forger.join();
            }
        });
        SKIP_IF_CHILD_SKIPPED(outcomes);
        ASSERT_FALSE(outcomes.empty());
        for (const Outcome& outcome : outcomes) {
            EXPECT_TRUE(outcome.m_bResult) << outcome.m_Note;
            EXPECT_EQ(outcome.m_Kind, groups == PingGroups::Open ? ePingSocketDatagram : ePingSocketRaw);
            EXPECT_GE(outcome.m_ElapsedMs, 290) << "a near miss passed for the reply: " << outcome.m_Note;
        }
    }
}

namespace {

// Points the name service of this process at a resolver on the namespace's own loopback,
// with the hosts file first. Needs a private mount namespace so the host's files stay as
// they are. With a name server that never answers, a lookup hangs for its full time-out.
std::string UseLoopbackResolver(const QTemporaryDir& dir, bool silentServer, int& serverFd)
{
    if (::unshare(CLONE_NEWNS) != 0)
        return SystemError("unshare(CLONE_NEWNS)");
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return SystemError("making the mounts private");
    const QByteArray resolvConf = dir.filePath(QStringLiteral("resolv.conf")).toLocal8Bit();
    const QByteArray nsswitchConf = dir.filePath(QStringLiteral("nsswitch.conf")).toLocal8Bit();
    QFile resolv(QString::fromLocal8Bit(resolvConf));
    QFile nsswitch(QString::fromLocal8Bit(nsswitchConf));
    if (!resolv.open(QIODevice::WriteOnly) || !nsswitch.open(QIODevice::WriteOnly))
        return "cannot write the resolver files";
    resolv.write("nameserver 127.0.0.1\noptions timeout:5 attempts:1\n");
    nsswitch.write("hosts: files dns\n");
    resolv.close();
    nsswitch.close();
    if (::mount(resolvConf.constData(), "/etc/resolv.conf", nullptr, MS_BIND, nullptr) != 0)
        return SystemError("bind-mounting /etc/resolv.conf");
    if (::mount(nsswitchConf.constData(), "/etc/nsswitch.conf", nullptr, MS_BIND, nullptr) != 0)
        return SystemError("bind-mounting /etc/nsswitch.conf");
    if (silentServer) {
        // Bound but never read: queries wait in its buffer unanswered.
        serverFd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in address {};
        address.sin_family = AF_INET;
        address.sin_port = htons(53);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (serverFd < 0 || ::bind(serverFd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
            return SystemError("binding the silent name server");
    }
    return {};
}

} // namespace

// Name lookups only inside a namespace of their own, whose only resolver is its loopback.
TEST(PingInOwnNetwork, UnresolvableNameFailsAndAHangingLookupCanBeStopped)
{
    SKIP_UNLESS_ROOT();
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const auto outcomes = RunInChild([&](const auto& report) {
        std::string failure = EnterOwnNetwork(PingGroups::Closed, false);
        int serverFd = -1;
        if (failure.empty())
            failure = UseLoopbackResolver(dir, true, serverFd);
        if (!failure.empty())
            return report(Skipped(failure));
        std::atomic<bool> stop {false};
        std::thread stopper([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            stop = true;
        });
        report(TimedPing("no-such-host.corvane.invalid", 5000, &stop));
        stopper.join();
        ::close(serverFd); // refused from now on: the resolver fails at once
        report(TimedPing("no-such-host.corvane.invalid", 5000));
        stop = false;
        report(TimedPing("no-such-host.corvane.invalid", 5000, &stop));
    });
    SKIP_IF_CHILD_SKIPPED(outcomes);
    ASSERT_EQ(outcomes.size(), 3u);
    EXPECT_EQ(outcomes[0].m_Status, ePingStopped) << outcomes[0].m_Note;
    EXPECT_LE(outcomes[0].m_ElapsedMs, 1500);
    for (const Outcome& outcome : {outcomes[1], outcomes[2]}) {
        EXPECT_FALSE(outcome.m_bResult);
        EXPECT_EQ(outcome.m_Status, ePingUnresolved) << outcome.m_Note;
        EXPECT_NE(std::strstr(outcome.m_Note, "no-such-host.corvane.invalid"), nullptr) << outcome.m_Note;
    }
}
