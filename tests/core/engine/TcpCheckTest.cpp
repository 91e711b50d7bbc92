#include "EngineFixture.h"
#include "support/QtPrinters.h"

#include <QRegularExpression>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>

using namespace std::chrono_literals;

namespace {

// A listening socket on a loopback address (127.0.0.1 or ::1) with a port the system picks;
// -1 when the address cannot be bound (no IPv6 on the machine).
int ListenOn(int family, int backlog, int& port)
{
    const int fd = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    sockaddr_storage address {};
    socklen_t length = 0;
    if (family == AF_INET6) {
        auto* v6 = reinterpret_cast<sockaddr_in6*>(&address);
        v6->sin6_family = AF_INET6;
        v6->sin6_addr = in6addr_loopback;
        length = sizeof(*v6);
    } else {
        auto* v4 = reinterpret_cast<sockaddr_in*>(&address);
        v4->sin_family = AF_INET;
        v4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        length = sizeof(*v4);
    }
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 || ::listen(fd, backlog) != 0
        || ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        ::close(fd);
        return -1;
    }
    port = ntohs(family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&address)->sin6_port
                                    : reinterpret_cast<sockaddr_in*>(&address)->sin_port);
    return fd;
}

// A line server: reads one line from each client, answers "+PONG " and that line, and closes.
// Or, given a banner, greets each client with it and then waits for the client to close.
class CLineServer
{
public:
    explicit CLineServer(int family = AF_INET, std::string banner = {})
        : m_Banner(std::move(banner))
        , m_nSocket(ListenOn(family, 8, m_nPort))
    {
        if (m_nSocket >= 0)
            m_Thread = std::thread([this] { Serve(); });
    }
    ~CLineServer()
    {
        m_bStopping = true;
        if (m_Thread.joinable())
            m_Thread.join();
        if (m_nSocket >= 0)
            ::close(m_nSocket);
    }
    CLineServer(const CLineServer&) = delete;
    CLineServer& operator=(const CLineServer&) = delete;

    bool IsListening() const { return m_nSocket >= 0; }
    int Port() const { return m_nPort; }
    std::string Received() const
    {
        std::lock_guard guard(m_Lock);
        return m_Received;
    }

private:
    bool WaitReadable(int fd) const
    {
        while (!m_bStopping) {
            pollfd entry {fd, POLLIN, 0};
            if (::poll(&entry, 1, 20) > 0)
                return true;
        }
        return false;
    }

    void Serve()
    {
        while (WaitReadable(m_nSocket)) {
            const int client = ::accept4(m_nSocket, nullptr, nullptr, SOCK_CLOEXEC);
            if (client < 0)
                continue;
            if (!m_Banner.empty()) {
                const std::string banner = m_Banner + "\r\n";
                (void)::send(client, banner.data(), banner.size(), MSG_NOSIGNAL);
            }
            std::string line;
            char c = 0;
            while (WaitReadable(client) && ::recv(client, &c, 1, 0) == 1) {
                line += c;
                if (c == '\n' && m_Banner.empty())
                    break;
            }
            {
                std::lock_guard guard(m_Lock);
                m_Received += line;
            }
            if (m_Banner.empty()) {
                const std::string answer = "+PONG " + line;
                (void)::send(client, answer.data(), answer.size(), MSG_NOSIGNAL);
            }
            ::close(client);
        }
    }

    std::string m_Banner;
    int m_nPort = -1;
    int m_nSocket = -1;
    std::atomic<bool> m_bStopping {false};
    std::thread m_Thread;
    mutable std::mutex m_Lock;
    std::string m_Received;
};

// A port whose connections never complete: it listens with a backlog of one connection that
// a client of the test fills, and the kernel drops every later SYN while nobody accepts.
class CFullBacklogPort
{
public:
    CFullBacklogPort()
        : m_nListener(ListenOn(AF_INET, 0, m_nPort))
    {
        if (m_nListener < 0)
            return;
        m_nFiller = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address = Address();
        if (::connect(m_nFiller, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0)
            m_nPort = -1;
    }
    ~CFullBacklogPort()
    {
        for (const int fd : {m_nFiller, m_nListener}) {
            if (fd >= 0)
                ::close(fd);
        }
    }
    CFullBacklogPort(const CFullBacklogPort&) = delete;
    CFullBacklogPort& operator=(const CFullBacklogPort&) = delete;

    int Port() const { return m_nPort; }

    // The test's premise, seen from a client of its own: a further connection is still
    // pending after half a second.
    bool NeverAnswers() const
    {
        if (m_nPort <= 0)
            return false;
        const int probe = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        sockaddr_in address = Address();
        const int started = ::connect(probe, reinterpret_cast<sockaddr*>(&address), sizeof(address));
        bool pending = started != 0 && errno == EINPROGRESS;
        if (pending) {
            pollfd entry {probe, POLLOUT, 0};
            pending = ::poll(&entry, 1, 500) == 0;
        }
        ::close(probe);
        return pending;
    }

private:
    sockaddr_in Address() const
    {
        sockaddr_in address {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(quint16(m_nPort));
        return address;
    }

    int m_nPort = -1;
    int m_nListener = -1;
    int m_nFiller = -1;
};

} // namespace

TEST_F(Engine, TcpCheckConnectsOrSaysWhyNot)
{
    CSilentListener open;
    ASSERT_TRUE(open.IsListening());
    CTask task = MakeTask(51, QStringLiteral("Port"), eCheckTcp);
    task.m_PingHost = QStringLiteral("127.0.0.1");
    task.m_TcpPort = open.Port();
    EXPECT_EQ(Verdict(Run(task), 51), QStringLiteral("1 51 TCP connection to 127.0.0.1:%1 succeeded").arg(open.Port()));
    // The history and the reports see a response time, and name the check.
    ASSERT_EQ(m_Host.Results().size(), 1);
    const CCheckResult result = m_Host.Results().first();
    EXPECT_EQ(result.m_CheckKind, eCheckTcp);
    EXPECT_EQ(result.m_Verdict, eVerdict::eSuccess);
    EXPECT_GE(result.m_ConnectUs, 0);
    EXPECT_GE(result.m_TotalUs, result.m_ConnectUs);
    EXPECT_EQ(result.ResponseUs(), result.m_ConnectUs);
    EXPECT_EQ(CheckActionKey(result.m_CheckKind), u"tcp");

    CRefusingPort closed;
    task.m_TcpPort = closed.Port();
    EXPECT_EQ(Verdict(Run(task), 51),
              QStringLiteral("2 51 TCP connection to 127.0.0.1:%1 failed: Connection refused").arg(closed.Port()));
    ASSERT_EQ(m_Host.Results().size(), 1);
    EXPECT_EQ(m_Host.Results().first().ResponseUs(), -1);
    EXPECT_EQ(m_Host.Results().first().m_TotalUs, -1);

    task.m_TcpPort = 0;
    EXPECT_EQ(Verdict(Run(task), 51),
              QStringLiteral("2 51 TCP connection to 127.0.0.1:0 failed: The port must be from 1 to 65535"));
}

TEST_F(Engine, TcpCheckReachesAnIpv6Literal)
{
    CLineServer server(AF_INET6, "hello");
    if (!server.IsListening())
        GTEST_SKIP() << "no IPv6 loopback here";
    CTask task = MakeTask(52, QStringLiteral("Six"), eCheckTcp);
    task.m_TcpPort = server.Port();
    for (const QString& host : {QStringLiteral("::1"), QStringLiteral("[::1]")}) {
        task.m_PingHost = host;
        EXPECT_EQ(Verdict(Run(task), 52),
                  QStringLiteral("1 52 TCP connection to [::1]:%1 succeeded").arg(server.Port()));
    }
}

TEST_F(Engine, TcpCheckSendsALineAndLooksForTheAnswer)
{
    CLineServer server;
    ASSERT_TRUE(server.IsListening());
    CTask task = MakeTask(53, QStringLiteral("Redis"), eCheckTcp);
    task.m_PingHost = QStringLiteral("127.0.0.1");
    task.m_TcpPort = server.Port();
    task.m_TcpSend = QStringLiteral("PING");
    task.m_TcpExpect = QStringLiteral("PONG PING");
    EXPECT_EQ(Verdict(Run(task), 53),
              QStringLiteral("1 53 TCP connection to 127.0.0.1:%1 succeeded").arg(server.Port()));
    EXPECT_EQ(server.Received(), "PING\r\n");

    // The peer closed without the text.
    task.m_TcpExpect = QStringLiteral("+OK");
    EXPECT_EQ(Verdict(Run(task), 53),
              QStringLiteral("2 53 Expected text '+OK' not found in the answer from 127.0.0.1:%1.").arg(server.Port()));

    // A banner read without sending anything; a peer that stays silent and open runs out the time-out.
    CLineServer greeter(AF_INET, "220 mail.example ESMTP");
    ASSERT_TRUE(greeter.IsListening());
    task.m_TcpPort = greeter.Port();
    task.m_TcpSend.clear();
    task.m_TcpExpect = QStringLiteral("ESMTP");
    EXPECT_EQ(Verdict(Run(task), 53),
              QStringLiteral("1 53 TCP connection to 127.0.0.1:%1 succeeded").arg(greeter.Port()));
    CSilentListener silent;
    ASSERT_TRUE(silent.IsListening());
    task.m_TcpPort = silent.Port();
    task.m_TimeoutSec = 1;
    EXPECT_EQ(
        Verdict(Run(task), 53),
        QStringLiteral("2 53 Expected text 'ESMTP' not found in the answer from 127.0.0.1:%1.").arg(silent.Port()));
}

TEST_F(Engine, StopEndsATcpCheckWhileItReadsOrConnects)
{
    // Started, stopped at once whatever it waits for, reported as every stopped check is.
    const auto runAndStop = [this](const CTask& task) {
        m_Host.Clear();
        m_Host.AddTask(task);
        m_Engine.PostRunTask(task.m_TaskId);
        ASSERT_TRUE(m_Host.WaitForEvent(QStringLiteral("state 1 %1").arg(task.m_TaskId)));
        std::this_thread::sleep_for(300ms);
        m_Engine.StopTask();
        ASSERT_TRUE(m_Host.WaitForEvent(QStringLiteral("state 2 %1").arg(task.m_TaskId)));
        const QString id = QString::number(task.m_TaskId);
        EXPECT_EQ(m_Host.Events(),
                  (QStringList {
                      QStringLiteral("0 -1 Starting task ") + task.m_Name,
                      QStringLiteral("state 1 ") + id,
                      QStringLiteral("state 3 ") + id,
                      QStringLiteral("6 -1 Task execution stopped"),
                      QStringLiteral("0 -1 Finished task ") + task.m_Name,
                      QStringLiteral("state 2 ") + id,
                  }));
        ASSERT_EQ(m_Host.Results().size(), 1);
        EXPECT_EQ(m_Host.Results().first().m_Verdict, eVerdict::eStopped);
    };
    // Time-outs far beyond the wait for the end of the run: only the stop can end it in time.
    CSilentListener silent;
    ASSERT_TRUE(silent.IsListening());
    CTask reading = MakeTask(54, QStringLiteral("Mute"), eCheckTcp);
    reading.m_PingHost = QStringLiteral("127.0.0.1");
    reading.m_TcpPort = silent.Port();
    reading.m_TcpExpect = QStringLiteral("+OK");
    reading.m_TimeoutSec = 600;
    runAndStop(reading);

    CFullBacklogPort port;
    if (!port.NeverAnswers())
        GTEST_SKIP() << "this kernel answers connections beyond a full backlog";
    CTask connecting = MakeTask(55, QStringLiteral("Black hole"), eCheckTcp);
    connecting.m_PingHost = QStringLiteral("127.0.0.1");
    connecting.m_TcpPort = port.Port();
    connecting.m_TimeoutSec = 600;
    runAndStop(connecting);
}
