// Crawls one site with the engine's spider, with no limits, and reports what a user would
// time: wall time, pages fetched, broken links found and the peak memory of the process.
//   bench_spider START_URL [TIMEOUT_SECONDS [CONNECTIONS]]
#include "core/engine/EngineHost.h"
#include "core/engine/PingThread.h"
#include "core/history/CheckResult.h"
#include "core/output/LogMessage.h"
#include "core/shell/AppSettings.h"
#include "core/shell/Messages.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>

#include <sys/resource.h>

#include <condition_variable>
#include <cstdio>
#include <mutex>

namespace {

// Counts what the spider says instead of keeping it.
class CCountingHost : public IEngineHost
{
public:
    explicit CCountingHost(CTask task)
        : m_Task(std::move(task))
    { }

    bool GetTaskForEngine(int, CTask& task) override
    {
        task = m_Task;
        return true;
    }

    void QueueOutputMessage(const CLogMessage& message) override
    {
        std::lock_guard guard(m_Lock);
        if (message.m_Severity.GetCode() == eSpiderMessage)
            ++m_nPages;
        if (message.m_TaskId != -1)
            m_Verdict = message;
    }

    void QueueCheckResult(const CCheckResult&) override { }

    void PostTaskState(int state, int) override
    {
        std::lock_guard guard(m_Lock);
        m_bFinished = state == TASK_STATE_FINISHED;
        m_Finished.notify_all();
    }

    void WaitUntilFinished()
    {
        std::unique_lock lock(m_Lock);
        m_Finished.wait(lock, [this] { return m_bFinished; });
    }

    CTask m_Task;
    std::mutex m_Lock;
    std::condition_variable m_Finished;
    bool m_bFinished = false;
    int m_nPages = 0;
    CLogMessage m_Verdict;
};

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s START_URL [TIMEOUT_SECONDS [CONNECTIONS]]\n", argv[0]);
        return 2;
    }
    QTemporaryDir settingsDir;
    SetSettingsFile(settingsDir.filePath(QStringLiteral("settings.ini")));

    CTask task;
    task.m_TaskId = 1;
    task.m_Name = QStringLiteral("bench");
    task.m_CheckAction = eCheckSpider;
    task.m_SpiderUrl = QString::fromLocal8Bit(argv[1]);
    task.m_TimeoutSec = argc > 2 ? std::atoi(argv[2]) : 5;
    const int connections = argc > 3 ? std::atoi(argv[3]) : 1;
    task.m_SpiderConnections = connections;

    CCountingHost host(task);
    CPingThread engine(&host);
    engine.Start();
    QElapsedTimer timer;
    timer.start();
    engine.PostRunTask(task.m_TaskId);
    host.WaitUntilFinished();
    const double seconds = double(timer.nsecsElapsed()) / 1e9;
    engine.Shutdown(5000);

    const QString report = host.m_Verdict.m_Text;
    const qsizetype broken = report.count(QStringLiteral("\nError retrieving "));
    rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    if (getenv("SHOW_VERDICT"))
        std::printf("%s\n", qPrintable(report));
    std::printf("spider, %d connection(s): %.3f s, %d pages fetched, %lld broken, verdict %s, peak RSS %.1f MB\n",
                connections, seconds, host.m_nPages, static_cast<long long>(broken),
                qPrintable(host.m_Verdict.m_Severity.GetName()), double(usage.ru_maxrss) / 1024.0);
    return 0;
}
