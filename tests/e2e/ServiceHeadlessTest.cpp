// The headless program as a service runs it: its first minute on a console, `systemctl
// reload` (SIGHUP) after the task file was edited or broken, and the notifications systemd
// waits for.
#include "ProgramRun.h"
#include "core/tasks/TaskFile.h"
#include "support/HttpTestServer.h"
#include "support/QtPrinters.h"
#include "support/TempSettings.h"

#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>

#include <csignal>

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

constexpr auto kPatience = 60s; // an upper bound for "it did not hang", never a speed test

const QString kFlakyKey = QStringLiteral("5b0f3e1a-8c2d-4e7f-9a6b-1d3c5e7f9a01");
const QString kFrontKey = QStringLiteral("9e8d7c6b-5a4f-4e3d-8c2b-1a0f9e8d7c02");

class ServiceHeadless : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_Server.Get("/ok", [](const httplib::Request&, httplib::Response& response) {
            response.set_content("<html>fine</html>", "text/html");
        });
        // Always down; its third request is held until the test lets it go, so that the test
        // can act between the second and the third failure however fast the schedule runs.
        m_Server.Get("/flaky", [this](const httplib::Request&, httplib::Response& response) {
            if (++m_nFlakyRequests == 3) {
                while (!m_bReleaseFlaky && m_Server.Pause(20ms)) { }
            }
            response.status = 500;
            response.set_content("down", "text/plain");
        });
        m_Server.Get("/alert", [this](const httplib::Request&, httplib::Response& response) {
            ++m_nAlerts;
            response.set_content("ok", "text/plain");
        });
        ASSERT_TRUE(m_Server.Start());
    }

    CTask PageTask(const QString& name, const QString& path, int intervalSec)
    {
        CTask task;
        task.m_Name = name;
        task.m_CheckAction = eCheckHttpGet;
        task.m_HttpGetURL = m_Server.Url(path);
        task.m_TimeoutSec = 5;
        task.m_bTaskScheduled = intervalSec > 0;
        task.m_PingInterval = intervalSec > 0 ? intervalSec : 60;
        task.m_AlertSettings.m_AlertMethods = 0;
        task.m_AlertSettings.m_bUseDefaultAlertMethods = false;
        return task;
    }

    void Start(QProcess& process, const QStringList& arguments,
               const QProcessEnvironment& environment = ProgramEnvironment())
    {
        process.setProcessEnvironment(environment);
        process.start(QStringLiteral(CORVANE_PROGRAM),
                      QStringList {QStringLiteral("--settings"), m_Settings.IniPath(), QStringLiteral("--headless")}
                          + arguments);
        ASSERT_TRUE(process.waitForStarted());
    }

    // Reads standard output until it holds count lines (without time stamps) that until()
    // accepts, or the program ended, or the patience ran out.
    bool WaitForLines(QProcess& process, const std::function<bool(const QString&)>& until, qsizetype count = 1)
    {
        const auto deadline = std::chrono::steady_clock::now() + kPatience;
        for (;;) {
            m_Output += process.readAllStandardOutput();
            const QStringList lines = Lines();
            if (std::count_if(lines.begin(), lines.end(), until) >= count)
                return true;
            if (std::chrono::steady_clock::now() > deadline || process.state() != QProcess::Running)
                return false;
            process.waitForReadyRead(100);
        }
    }

    bool WaitForLine(QProcess& process, const QString& line, qsizetype count = 1)
    {
        return WaitForLines(
            process, [&](const QString& shown) { return shown == line; }, count);
    }

    QStringList Lines() const { return WithoutTime(OutputLines(m_Output)); }

    // SIGTERM, and the orderly end a service manager wants.
    static void Terminate(QProcess& process)
    {
        ASSERT_EQ(process.state(), QProcess::Running) << "the program ended on its own";
        ::kill(pid_t(process.processId()), SIGTERM);
        ASSERT_TRUE(process.waitForFinished(int(std::chrono::milliseconds(kPatience).count())));
        EXPECT_EQ(process.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(process.exitCode(), 0);
    }

    static void Hangup(QProcess& process) { ::kill(pid_t(process.processId()), SIGHUP); }

    CTempSettings m_Settings;
    QTemporaryDir m_Dir;
    CHttpTestServer m_Server;
    QByteArray m_Output;
    std::atomic<int> m_nFlakyRequests {0};
    std::atomic<bool> m_bReleaseFlaky {false};
    std::atomic<int> m_nAlerts {0};
};

// A datagram socket in the test's folder, as systemd's NOTIFY_SOCKET.
class CNotifySocket
{
public:
    explicit CNotifySocket(const QString& path)
        : m_Path(path)
    {
        m_nSocket = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address {};
        address.sun_family = AF_UNIX;
        const QByteArray name = QFile::encodeName(path);
        if (m_nSocket < 0 || size_t(name.size()) >= sizeof(address.sun_path))
            return;
        std::copy(name.begin(), name.end(), address.sun_path);
        if (::bind(m_nSocket, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
            ::close(m_nSocket);
            m_nSocket = -1;
        }
    }
    ~CNotifySocket()
    {
        if (m_nSocket >= 0)
            ::close(m_nSocket);
    }
    CNotifySocket(const CNotifySocket&) = delete;
    CNotifySocket& operator=(const CNotifySocket&) = delete;

    bool IsBound() const { return m_nSocket >= 0; }

    // Receives until a message holds the line, or the patience ran out.
    bool WaitFor(const QByteArray& line)
    {
        const auto deadline = std::chrono::steady_clock::now() + kPatience;
        while (std::chrono::steady_clock::now() < deadline) {
            pollfd readable {m_nSocket, POLLIN, 0};
            if (::poll(&readable, 1, 100) != 1)
                continue;
            char buffer[4096];
            const ssize_t size = ::recv(m_nSocket, buffer, sizeof buffer, 0);
            if (size <= 0)
                continue;
            const QByteArray message(buffer, size);
            m_Received << message;
            if (message.split('\n').contains(line))
                return true;
        }
        return false;
    }

    const QList<QByteArray>& Received() const { return m_Received; }

private:
    QString m_Path;
    int m_nSocket = -1;
    QList<QByteArray> m_Received;
};

bool BuiltWithSystemd()
{
    // The build links libsystemd when pkg-config finds it; without it nothing is sent.
    const QString pkgConfig = QStandardPaths::findExecutable(QStringLiteral("pkg-config"));
    if (pkgConfig.isEmpty())
        return false;
    QProcess probe;
    probe.start(pkgConfig, {QStringLiteral("--exists"), QStringLiteral("libsystemd")});
    return probe.waitForFinished() && probe.exitCode() == 0;
}

} // namespace

TEST_F(ServiceHeadless, StartSaysWhenEachScheduledTaskFirstRuns)
{
    const QString taskFile = WriteTasks(m_Dir,
                                        {PageTask(QStringLiteral("Manual"), QStringLiteral("/ok"), 0),
                                         PageTask(QStringLiteral("Hourly"), QStringLiteral("/ok"), 3600),
                                         PageTask(QStringLiteral("Often"), QStringLiteral("/ok"), 300)});
    QProcess process;
    Start(process, {taskFile});
    const auto announces = [](const QString& line) {
        return line.startsWith(u"Informational\tTask ");
    };
    ASSERT_TRUE(WaitForLines(process, announces, 2)) << m_Output.toStdString();
    Terminate(process);

    const QStringList lines = Lines();
    const qsizetype started = lines.indexOf(QStringLiteral("Action Succeeded\tCorvane Started"));
    ASSERT_GE(started, 0) << m_Output.toStdString();
    // Right after the start, in file order, only the scheduled ones, each with its interval.
    const QRegularExpression hourly(
        QStringLiteral("^Informational\\tTask Hourly first runs at .+, then every 1 hour\\(s\\)$"));
    const QRegularExpression often(
        QStringLiteral("^Informational\\tTask Often first runs at .+, then every 5 minute\\(s\\)$"));
    EXPECT_TRUE(hourly.match(lines.value(started + 1)).hasMatch()) << lines.value(started + 1).toStdString();
    EXPECT_TRUE(often.match(lines.value(started + 2)).hasMatch()) << lines.value(started + 2).toStdString();
    EXPECT_FALSE(m_Output.contains("Manual")) << m_Output.toStdString();
    // Nothing ran: the schedule waits its interval, as without the lines.
    EXPECT_FALSE(m_Output.contains("Starting task")) << m_Output.toStdString();
}

TEST_F(ServiceHeadless, RunNowRunsTheScheduledTasksOnceAndKeepsTheirSchedule)
{
    const QString taskFile = WriteTasks(m_Dir,
                                        {PageTask(QStringLiteral("Manual"), QStringLiteral("/ok"), 0),
                                         PageTask(QStringLiteral("Hourly"), QStringLiteral("/ok"), 3600),
                                         PageTask(QStringLiteral("Often"), QStringLiteral("/ok"), 300)});
    QProcess process;
    Start(process, {QStringLiteral("--run-now"), taskFile});
    ASSERT_TRUE(WaitForLine(process, QStringLiteral("Informational\tFinished task Often"))) << m_Output.toStdString();
    Terminate(process);

    const QStringList lines = Lines();
    EXPECT_EQ(lines
                  .filter(QRegularExpression(QStringLiteral("^Informational\\tTask Hourly runs now, then at .+ and "
                                                            "every 1 hour\\(s\\) after that$")))
                  .size(),
              1)
        << m_Output.toStdString();
    // In file order, each once; the unscheduled task stays for the Execute command.
    EXPECT_EQ(lines.filter(QRegularExpression(QStringLiteral("^Informational\\tStarting task "))),
              (QStringList {QStringLiteral("Informational\tStarting task Hourly"),
                            QStringLiteral("Informational\tStarting task Often")}));
    EXPECT_EQ(m_Server.RequestCount(), 2);
}

TEST_F(ServiceHeadless, HangupTakesInTheEditedFileAndKeepsTheUnchangedTasksState)
{
    // The third failure in a row raises the alert, so the count of two before the reload must
    // survive it.
    CTask flaky = PageTask(QStringLiteral("Flaky"), QStringLiteral("/flaky"), 1);
    flaky.m_TaskGuid = kFlakyKey;
    flaky.m_MaxFailCount = 2;
    flaky.m_AlertSettings.m_AlertMethods = eAlertHttpGet;
    flaky.m_AlertSettings.m_AlertHttpUrl = m_Server.Url(QStringLiteral("/alert"));
    CTask front = PageTask(QStringLiteral("Front page"), QStringLiteral("/ok"), 1);
    front.m_TaskGuid = kFrontKey;
    const QString taskFile = WriteTasks(m_Dir, {flaky, front});

    QProcess process;
    Start(process, {taskFile});
    ASSERT_TRUE(WaitForLine(process, QStringLiteral("Informational\tStarting task Front page")))
        << m_Output.toStdString();
    const auto flakyFailed = [](const QString& line) {
        return line.startsWith(u"Task Failure\t") && line.contains(u"/flaky'");
    };
    ASSERT_TRUE(WaitForLines(process, flakyFailed, 2)) << m_Output.toStdString();
    ASSERT_TRUE(WaitForLines(process, [&](const QString&) { return m_nFlakyRequests >= 3; }));
    EXPECT_EQ(m_nAlerts, 0);

    front.m_Name = QStringLiteral("Home page");
    WriteTasks(m_Dir, {flaky, front});
    Hangup(process);
    ASSERT_TRUE(WaitForLine(process,
                            QStringLiteral("Action Succeeded\tTask file '%1' read again: 0 task(s) added, 1 changed, "
                                           "0 removed, 1 unchanged")
                                .arg(taskFile)))
        << m_Output.toStdString();
    const qsizetype reloadedAt = Lines().size();
    m_bReleaseFlaky = true;

    ASSERT_TRUE(WaitForLines(process, flakyFailed, 3)) << m_Output.toStdString();
    ASSERT_TRUE(WaitForLine(process, QStringLiteral("Action Succeeded\tHTTP alert for task Flaky sent successfully")))
        << m_Output.toStdString();
    ASSERT_TRUE(WaitForLine(process, QStringLiteral("Informational\tStarting task Home page")))
        << m_Output.toStdString();
    Terminate(process);

    // The alert came with the third failure; a count begun anew would have held it back
    // to the sixth.
    const QStringList lines = Lines();
    const qsizetype alerted
        = lines.indexOf(QStringLiteral("Action Succeeded\tHTTP alert for task Flaky sent successfully"));
    const QStringList beforeAlert = lines.mid(0, alerted);
    EXPECT_EQ(std::count_if(beforeAlert.begin(), beforeAlert.end(), flakyFailed), 3) << m_Output.toStdString();
    EXPECT_EQ(m_nAlerts, 1);
    const QStringList after = lines.mid(reloadedAt);
    EXPECT_FALSE(after.contains(QStringLiteral("Informational\tStarting task Front page"))) << m_Output.toStdString();
}

TEST_F(ServiceHeadless, HangupWithAnUnreadableFileKeepsTheOldTasksRunning)
{
    const QString taskFile = WriteTasks(m_Dir, {PageTask(QStringLiteral("Often"), QStringLiteral("/ok"), 1)});
    QProcess process;
    Start(process, {taskFile});
    const QString finished = QStringLiteral("Informational\tFinished task Often");
    ASSERT_TRUE(WaitForLine(process, finished)) << m_Output.toStdString();

    ASSERT_TRUE(QFile::remove(taskFile));
    Hangup(process);
    const QString failure = QStringLiteral("Application Failure\tTask file not read again. Cannot open the task file "
                                           "'%1': the file does not exist. The tasks read before go on running.")
                                .arg(taskFile);
    ASSERT_TRUE(WaitForLine(process, failure)) << m_Output.toStdString();
    const qsizetype runsBefore = Lines().count(finished);
    ASSERT_TRUE(WaitForLine(process, finished, runsBefore + 2)) << m_Output.toStdString();
    Terminate(process);

    const QStringList lines = Lines();
    EXPECT_EQ(lines.filter(QRegularExpression(QStringLiteral("^Application Failure\\t"))), QStringList {failure});
}

TEST_F(ServiceHeadless, TellsTheServiceManagerItIsReadyReloadingAliveAndStopping)
{
    if (!BuiltWithSystemd())
        GTEST_SKIP() << "built without libsystemd (Debian package libsystemd-dev): nothing is sent";
    const QString socketPath = m_Dir.filePath(QStringLiteral("notify"));
    CNotifySocket notify(socketPath);
    ASSERT_TRUE(notify.IsBound());
    const QString taskFile = WriteTasks(m_Dir, {PageTask(QStringLiteral("Hourly"), QStringLiteral("/ok"), 3600)});

    QProcessEnvironment environment = ProgramEnvironment();
    environment.insert(QStringLiteral("NOTIFY_SOCKET"), socketPath);
    environment.insert(QStringLiteral("WATCHDOG_USEC"), QStringLiteral("1000000"));
    QProcess process;
    process.setStandardOutputFile(QProcess::nullDevice());
    Start(process, {taskFile}, environment);

    ASSERT_TRUE(notify.WaitFor("READY=1")) << notify.Received().join('|').toStdString();
    EXPECT_TRUE(notify.Received().last().contains("STATUS=Monitoring 1 task(s), 1 scheduled"))
        << notify.Received().last().toStdString();
    // Every half of the watchdog's second, from the event loop.
    ASSERT_TRUE(notify.WaitFor("WATCHDOG=1"));
    ASSERT_TRUE(notify.WaitFor("WATCHDOG=1"));

    Hangup(process);
    ASSERT_TRUE(notify.WaitFor("RELOADING=1")) << notify.Received().join('|').toStdString();
    ASSERT_TRUE(notify.WaitFor("READY=1")) << notify.Received().join('|').toStdString();

    ::kill(pid_t(process.processId()), SIGTERM);
    ASSERT_TRUE(notify.WaitFor("STOPPING=1")) << notify.Received().join('|').toStdString();
    ASSERT_TRUE(process.waitForFinished(int(std::chrono::milliseconds(kPatience).count())));
    EXPECT_EQ(process.exitCode(), 0);
}

namespace {
// Whether CAP_NET_RAW is in the permitted set of the process, from /proc/PID/status.
bool HoldsRawSocketCapability(qint64 pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return false;
    const QRegularExpression permitted(QStringLiteral("^CapPrm:\\s*([0-9a-f]+)$"), QRegularExpression::MultilineOption);
    const QRegularExpressionMatch match = permitted.match(QString::fromLatin1(status.readAll()));
    constexpr int kCapNetRaw = 13;
    return match.hasMatch() && (match.captured(1).toULongLong(nullptr, 16) >> kCapNetRaw & 1) != 0;
}
} // namespace

TEST_F(ServiceHeadless, KeepsTheRawSocketCapabilityOnlyWhereUnprivilegedPingIsRefused)
{
    if (!HoldsRawSocketCapability(QCoreApplication::applicationPid()))
        GTEST_SKIP() << "the tests do not hold CAP_NET_RAW, so there is nothing to give up";
    if (QStandardPaths::findExecutable(QStringLiteral("unshare")).isEmpty()
        || QStandardPaths::findExecutable(QStringLiteral("ip")).isEmpty())
        GTEST_SKIP() << "unshare or ip is missing";
    CTask ping = PageTask(QStringLiteral("Loopback"), QStringLiteral("/ok"), 3600);
    ping.m_CheckAction = eCheckPing;
    ping.m_PingHost = QStringLiteral("127.0.0.1");
    const QString taskFile = WriteTasks(m_Dir, {ping});

    // The groups allowed ICMP datagram sockets are a setting of the network namespace: each
    // case gets a namespace of its own, with the program pinging its loopback address.
    for (const auto& [groups, needsRaw] : {std::pair {"0 2147483647", false}, std::pair {"1 0", true}}) {
        SCOPED_TRACE(groups);
        QProcess process;
        m_Output.clear();
        process.setProcessEnvironment(ProgramEnvironment());
        process.start(QStringLiteral("unshare"),
                      {QStringLiteral("-n"), QStringLiteral("sh"), QStringLiteral("-c"),
                       QStringLiteral("ip link set lo up && echo \"$0\" > /proc/sys/net/ipv4/ping_group_range && "
                                      "exec \"$@\""),
                       QString::fromLatin1(groups), QStringLiteral(CORVANE_PROGRAM), QStringLiteral("--settings"),
                       m_Settings.IniPath(), QStringLiteral("--headless"), QStringLiteral("--run-now"), taskFile});
        ASSERT_TRUE(process.waitForStarted());
        if (!WaitForLines(process, [](const QString& line) { return line.endsWith(u"\tPing operation succeeded"); })) {
            process.kill();
            process.waitForFinished();
            if (!m_Output.contains("Corvane Started"))
                GTEST_SKIP() << "no network namespace of our own could be made: "
                             << process.readAllStandardError().toStdString();
            FAIL() << m_Output.toStdString();
        }
        // Ping worked either way; the capability stays only where it took a raw socket.
        EXPECT_EQ(HoldsRawSocketCapability(process.processId()), needsRaw);
        Terminate(process);
    }
}
