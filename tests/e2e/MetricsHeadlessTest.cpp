// Prometheus scrapes the headless program: the figures of the runs it made, in a form
// promtool accepts, an address it must refuse, and clients that would hold a connection.
#include "ProgramRun.h"
#include "support/HttpTestServer.h"
#include "support/QtPrinters.h"
#include "support/TempSettings.h"

#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <optional>
#include <string>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

constexpr auto kPatience = 60s; // an upper bound for "it did not hang", never a speed test
// The program cuts a hanging client off after a second; this only tells "cut off" from "held".
constexpr auto kCutOffBound = 10s;

const QString kShopKey = QStringLiteral("0c1d2e3f-4a5b-4c6d-8e7f-a0b1c2d3e4f5");
const QString kBackKey = QStringLiteral("f5e4d3c2-b1a0-4f7e-8d6c-5b4a3f2e1d0c");
// Quotes, a backslash and letters beyond ASCII: what a label value must carry through.
const QString kShopName = QStringLiteral(u"Shop \"front\" \\ page \u2013 \u00dcbersicht");

class MetricsHeadless : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_Server.Get("/ok", [](const httplib::Request&, httplib::Response& response) {
            response.set_content("<html>fine</html>", "text/html");
        });
        m_Server.Get("/down", [](const httplib::Request&, httplib::Response& response) {
            response.status = 500;
            response.set_content("down", "text/plain");
        });
        ASSERT_TRUE(m_Server.Start());
    }

    CTask PageTask(const QString& name, const QString& key, const QString& path, int intervalSec)
    {
        CTask task;
        task.m_Name = name;
        task.m_TaskGuid = key;
        task.m_CheckAction = eCheckHttpGet;
        task.m_HttpGetURL = m_Server.Url(path);
        task.m_TimeoutSec = 5;
        task.m_bTaskScheduled = true;
        task.m_PingInterval = intervalSec;
        task.m_AlertSettings.m_AlertMethods = 0;
        task.m_AlertSettings.m_bUseDefaultAlertMethods = false;
        return task;
    }

    void Start(QProcess& process, const QStringList& arguments)
    {
        process.setProcessEnvironment(ProgramEnvironment());
        process.start(QStringLiteral(CORVANE_PROGRAM),
                      QStringList {QStringLiteral("--settings"), m_Settings.IniPath(), QStringLiteral("--headless")}
                          + arguments);
        ASSERT_TRUE(process.waitForStarted());
    }

    // The port the program names in its log, once it serves.
    int WaitForMetricsPort(QProcess& process)
    {
        const QRegularExpression served(QStringLiteral("Metrics served at http://127\\.0\\.0\\.1:(\\d+)/metrics"));
        const auto deadline = std::chrono::steady_clock::now() + kPatience;
        while (std::chrono::steady_clock::now() < deadline && process.state() == QProcess::Running) {
            m_Output += process.readAllStandardOutput();
            if (const QRegularExpressionMatch match = served.match(QString::fromUtf8(m_Output)); match.hasMatch())
                return match.captured(1).toInt();
            process.waitForReadyRead(100);
        }
        return -1;
    }

    // Scrapes until the page holds every line wanted (the results reach it after their log
    // lines), or the patience ran out; returns the last page.
    static std::string ScrapeUntil(int port, const std::vector<std::string>& wanted)
    {
        std::string page;
        const auto deadline = std::chrono::steady_clock::now() + kPatience;
        while (std::chrono::steady_clock::now() < deadline) {
            httplib::Client client("127.0.0.1", port);
            if (const auto response = client.Get("/metrics"); response && response->status == 200) {
                page = response->body;
                bool all = true;
                for (const std::string& line : wanted)
                    all = all && page.find("\n" + line + "\n") != std::string::npos;
                if (all)
                    return page;
            }
            std::this_thread::sleep_for(50ms);
        }
        return page;
    }

    static void Terminate(QProcess& process)
    {
        ASSERT_EQ(process.state(), QProcess::Running) << "the program ended on its own";
        ::kill(pid_t(process.processId()), SIGTERM);
        ASSERT_TRUE(process.waitForFinished(int(std::chrono::milliseconds(kPatience).count())));
        EXPECT_EQ(process.exitCode(), 0);
    }

    CTempSettings m_Settings;
    QTemporaryDir m_Dir;
    CHttpTestServer m_Server;
    QByteArray m_Output;
};

std::string Labels(const QString& name, const QString& key)
{
    // The name escaped by hand, as the format wants it: \" and \\ , the rest as UTF-8.
    QString escaped = name;
    escaped.replace(QStringLiteral("\\"), QStringLiteral("\\\\")).replace(QStringLiteral("\""), QStringLiteral("\\\""));
    return "{task=\"" + escaped.toStdString() + "\",task_key=\"" + key.toStdString() + "\"";
}

std::string Sample(const char* metric, const QString& name, const QString& key, const std::string& value)
{
    return metric + Labels(name, key) + "} " + value;
}

bool HasSamplePrefix(const std::string& page, const std::string& prefix)
{
    return page.find("\n" + prefix) != std::string::npos;
}

// A loopback TCP connection made by hand, for clients no HTTP library would be.
class CRawClient
{
public:
    explicit CRawClient(int port)
    {
        m_nSocket = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address {};
        address.sin_family = AF_INET;
        address.sin_port = htons(quint16(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(m_nSocket, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
            ::close(m_nSocket);
            m_nSocket = -1;
        }
    }
    ~CRawClient()
    {
        if (m_nSocket >= 0)
            ::close(m_nSocket);
    }
    CRawClient(const CRawClient&) = delete;
    CRawClient& operator=(const CRawClient&) = delete;

    bool IsConnected() const { return m_nSocket >= 0; }

    // Sends until all is sent or the server stops taking it (it closed or reset the connection).
    void SendWhileTaken(const std::string& data)
    {
        ::fcntl(m_nSocket, F_SETFL, ::fcntl(m_nSocket, F_GETFL) | O_NONBLOCK);
        size_t sent = 0;
        const auto deadline = std::chrono::steady_clock::now() + kCutOffBound;
        while (sent < data.size() && std::chrono::steady_clock::now() < deadline) {
            const ssize_t n = ::send(m_nSocket, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
            if (n > 0) {
                sent += size_t(n);
                continue;
            }
            if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
                return;
            pollfd writable {m_nSocket, POLLOUT, 0};
            ::poll(&writable, 1, 100);
        }
    }

    // Reads until the server ends the connection; what it said, or nothing when it held the
    // connection open for the whole bound.
    std::optional<std::string> ReadUntilClosed(std::chrono::milliseconds bound)
    {
        std::string received;
        const auto deadline = std::chrono::steady_clock::now() + bound;
        while (std::chrono::steady_clock::now() < deadline) {
            pollfd readable {m_nSocket, POLLIN, 0};
            if (::poll(&readable, 1, 100) != 1)
                continue;
            char buffer[4096];
            const ssize_t n = ::recv(m_nSocket, buffer, sizeof buffer, 0);
            if (n <= 0)
                return received; // an orderly close, or a reset
            received.append(buffer, size_t(n));
        }
        return std::nullopt;
    }

private:
    int m_nSocket = -1;
};

} // namespace

TEST_F(MetricsHeadless, AScrapeAfterAPassingAndAFailingRunShowsWhatTheyFound)
{
    const QString taskFile
        = WriteTasks(m_Dir,
                     {PageTask(kShopName, kShopKey, QStringLiteral("/ok"), 3600),
                      PageTask(QStringLiteral("Back office"), kBackKey, QStringLiteral("/down"), 3600)});
    QProcess process;
    Start(process, {QStringLiteral("--run-now"), QStringLiteral("--metrics-listen"), QStringLiteral(":0"), taskFile});
    const int port = WaitForMetricsPort(process);
    ASSERT_GT(port, 0) << m_Output.toStdString() << process.readAllStandardError().toStdString();

    const QString back = QStringLiteral("Back office");
    const std::vector<std::string> wanted {
        Sample("probe_success", kShopName, kShopKey, "1"),
        Sample("probe_success", back, kBackKey, "0"),
        Sample("probe_http_status_code", kShopName, kShopKey, "200"),
        Sample("probe_http_status_code", back, kBackKey, "500"),
        Sample("corvane_task_up", kShopName, kShopKey, "1"),
        Sample("corvane_task_up", back, kBackKey, "0"),
        Sample("corvane_task_runs_total", kShopName, kShopKey, "1"),
        Sample("corvane_task_runs_total", back, kBackKey, "1"),
        Sample("corvane_task_failures_total", kShopName, kShopKey, "0"),
        Sample("corvane_task_failures_total", back, kBackKey, "1"),
    };
    const std::string page = ScrapeUntil(port, wanted);
    for (const std::string& line : wanted)
        EXPECT_NE(page.find("\n" + line + "\n"), std::string::npos) << line << "\n--- page:\n" << page;

    // Every family is announced, and the timings of a plain http answer are there, without
    // the TLS phase and certificate it did not have.
    EXPECT_NE(page.find("# TYPE probe_success gauge\n"), std::string::npos) << page;
    EXPECT_NE(page.find("# TYPE corvane_task_failures_total counter\n"), std::string::npos) << page;
    EXPECT_TRUE(HasSamplePrefix(page, "probe_duration_seconds" + Labels(kShopName, kShopKey) + "} "));
    for (const char* phase : {"resolve", "connect", "processing", "transfer"})
        EXPECT_TRUE(HasSamplePrefix(
            page, "probe_http_duration_seconds" + Labels(kShopName, kShopKey) + ",phase=\"" + phase + "\"} "))
            << phase << "\n"
            << page;
    EXPECT_FALSE(HasSamplePrefix(page, "probe_http_duration_seconds" + Labels(kShopName, kShopKey) + ",phase=\"tls\""));
    EXPECT_EQ(page.find("probe_ssl_earliest_cert_expiry"), std::string::npos) << page;

    httplib::Client client("127.0.0.1", port);
    const auto metrics = client.Get("/metrics");
    ASSERT_TRUE(metrics);
    EXPECT_EQ(metrics->get_header_value("Content-Type"), "text/plain; version=0.0.4; charset=utf-8");
    const auto health = client.Get("/healthz");
    ASSERT_TRUE(health);
    EXPECT_EQ(health->status, 200);
    EXPECT_EQ(health->body, "ok\n");
    const auto elsewhere = client.Get("/index.html");
    ASSERT_TRUE(elsewhere);
    EXPECT_EQ(elsewhere->status, 404);
    const auto posted = client.Post("/metrics", "x", "text/plain");
    ASSERT_TRUE(posted);
    EXPECT_EQ(posted->status, 405);

    Terminate(process);

    // After a restart, before any task runs again, the page shows what the result history
    // last recorded; the run counters start again from nothing.
    QProcess restarted;
    m_Output.clear();
    Start(restarted, {QStringLiteral("--metrics-listen"), QStringLiteral(":0"), taskFile});
    const int portAfter = WaitForMetricsPort(restarted);
    ASSERT_GT(portAfter, 0) << m_Output.toStdString();
    const std::vector<std::string> remembered {
        Sample("probe_success", kShopName, kShopKey, "1"),
        Sample("probe_success", back, kBackKey, "0"),
        Sample("probe_http_status_code", back, kBackKey, "500"),
        Sample("corvane_task_runs_total", back, kBackKey, "0"),
    };
    const std::string pageAfter = ScrapeUntil(portAfter, remembered);
    for (const std::string& line : remembered)
        EXPECT_NE(pageAfter.find("\n" + line + "\n"), std::string::npos) << line << "\n--- page:\n" << pageAfter;
    Terminate(restarted);

    const QString promtool = QStandardPaths::findExecutable(QStringLiteral("promtool"));
    if (promtool.isEmpty())
        GTEST_SKIP() << "promtool is missing (Debian package prometheus, which ./dev.sh installs): the page was "
                        "not checked with it";
    QProcess check;
    check.start(promtool, {QStringLiteral("check"), QStringLiteral("metrics")});
    ASSERT_TRUE(check.waitForStarted());
    check.write(QByteArray::fromStdString(page));
    check.closeWriteChannel();
    ASSERT_TRUE(check.waitForFinished(int(std::chrono::milliseconds(kPatience).count())));
    EXPECT_EQ(check.exitCode(), 0) << check.readAllStandardOutput().toStdString()
                                   << check.readAllStandardError().toStdString() << "\n--- page:\n"
                                   << page;
}

TEST_F(MetricsHeadless, AnAddressThatCannotBeServedEndsTheStartWithExitCode2)
{
    const QString taskFile
        = WriteTasks(m_Dir, {PageTask(QStringLiteral("Front"), kShopKey, QStringLiteral("/ok"), 3600)});
    CSilentListener taken;
    ASSERT_TRUE(taken.IsListening());
    struct CCase
    {
        QString m_Listen; // on the command line; empty: the setting below
        QString m_Setting;
        const char* m_Reason;
    };
    const CCase cases[] = {
        {QStringLiteral("127.0.0.1:%1").arg(taken.Port()), {}, "--metrics-listen): cannot listen on 127.0.0.1:"},
        {QStringLiteral("0.0.0.0:0"), {}, "not a loopback address"},
        {{}, QStringLiteral("0.0.0.0:9100"), "setting m_MetricsListen): 0.0.0.0 is not a loopback address"},
        {QStringLiteral("monitor.example:9100"), {}, "not a numeric IPv4 address"},
    };
    for (const CCase& c : cases) {
        SCOPED_TRACE(c.m_Listen.isEmpty() ? c.m_Setting.toStdString() : c.m_Listen.toStdString());
        SaveSettings([&](CAppSettings& s) { s.m_MetricsListen = c.m_Setting; });
        QProcess process;
        QStringList arguments {taskFile};
        if (!c.m_Listen.isEmpty())
            arguments = QStringList {QStringLiteral("--metrics-listen"), c.m_Listen} + arguments;
        Start(process, arguments);
        ASSERT_TRUE(process.waitForFinished(int(std::chrono::milliseconds(kPatience).count())));
        const QString error = QString::fromUtf8(process.readAllStandardError());
        EXPECT_EQ(process.exitCode(), 2) << error.toStdString();
        EXPECT_TRUE(error.startsWith(QStringLiteral("corvane: metrics not served (")));
        EXPECT_TRUE(error.contains(QLatin1String(c.m_Reason))) << error.toStdString();
        if (error.contains(u"loopback")) {
            EXPECT_TRUE(error.contains(u"--metrics-allow-remote")) << error.toStdString();
        }
        // Refused before anything was monitored.
        EXPECT_FALSE(process.readAllStandardOutput().contains("Started"));
    }
    EXPECT_EQ(m_Server.RequestCount(), 0);
}

TEST_F(MetricsHeadless, ASilentClientAndOneWithEndlessHeadersAreCutOffWhileTheMonitorGoesOn)
{
    const QString taskFile = WriteTasks(m_Dir, {PageTask(QStringLiteral("Front"), kShopKey, QStringLiteral("/ok"), 1)});
    QProcess process;
    Start(process, {QStringLiteral("--metrics-listen"), QStringLiteral("127.0.0.1:0"), taskFile});
    const int port = WaitForMetricsPort(process);
    ASSERT_GT(port, 0) << m_Output.toStdString() << process.readAllStandardError().toStdString();

    CRawClient silent(port);
    CRawClient endless(port);
    ASSERT_TRUE(silent.IsConnected());
    ASSERT_TRUE(endless.IsConnected());
    std::string head = "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\n";
    while (head.size() < 1024 * 1024)
        head += "X-Filler: " + std::string(990, 'a') + "\r\n";
    endless.SendWhileTaken(head);
    const std::optional<std::string> endlessAnswer = endless.ReadUntilClosed(kCutOffBound);
    ASSERT_TRUE(endlessAnswer) << "a client sending a megabyte of headers was not cut off";
    EXPECT_EQ(endlessAnswer->find(" 200 "), std::string::npos) << *endlessAnswer;
    const std::optional<std::string> silentAnswer = silent.ReadUntilClosed(kCutOffBound);
    ASSERT_TRUE(silentAnswer) << "a client that sends nothing was not cut off";
    EXPECT_TRUE(silentAnswer->empty()) << *silentAnswer;

    // A head beyond the bound (8 KB) is refused, however well formed.
    httplib::Client client("127.0.0.1", port);
    const auto large = client.Get("/metrics", {{"X-Filler", std::string(12 * 1024, 'a')}});
    EXPECT_TRUE(!large || large->status == 431) << (large ? large->status : -1);

    // The runs went on meanwhile, and a scrape is answered as before.
    const std::string page = ScrapeUntil(port, {});
    const QRegularExpression runs(QStringLiteral("\ncorvane_task_runs_total\\{[^}]*\\} (\\d+)\n"));
    const int before = runs.match(QString::fromStdString(page)).captured(1).toInt();
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    int after = before;
    while (after <= before && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(100ms);
        after = runs.match(QString::fromStdString(ScrapeUntil(port, {}))).captured(1).toInt();
    }
    EXPECT_GT(after, before) << page;
    Terminate(process);
}
