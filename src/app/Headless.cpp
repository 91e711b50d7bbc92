#include "Headless.h"

#include "OnceReport.h"
#include "ServiceNotify.h"
#include "TaskFileReload.h"
#include "TerminationSignals.h"
#include "core/metrics/MetricsEndpoint.h"
#include "core/output/LogFile.h"
#include "core/shell/AppSettings.h"
#include "core/shell/Hub.h"
#include "core/shell/Messages.h"
#include "core/support/Clock.h"
#include "core/tasks/Schedule.h"
#include "core/tasks/TaskFile.h"
#include "core/tasks/TaskKey.h"
#include "core/tasks/VigrelDoc.h"

#include <QCoreApplication>
#include <QDir>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <vector>

namespace {

// Where the log lines go: standard output, unless a report for a machine takes it.
std::FILE* g_pLogStream = stdout;
// The log stream went away (the reader of a pipe ended, or a terminal hung up): nothing more
// is printed, and monitoring goes on; the log file, when on, still gets every message.
bool g_bLogStreamGone = false;

void PrintLine(const CLogMessage& message)
{
    if (g_bLogStreamGone)
        return;
    const QByteArray line = CLogFile::FormatLine(message);
    errno = 0;
    // One flush per message: a reader of a pipe sees each line as it happens.
    if (std::fwrite(line.constData(), 1, size_t(line.size()), g_pLogStream) == size_t(line.size())
        && std::fflush(g_pLogStream) == 0)
        return;
    const int error = errno;
    std::clearerr(g_pLogStream);
    if (error != EPIPE && error != EIO)
        return; // a passing failure (a full disk under a redirection): this line is lost, the next may not be
    g_bLogStreamGone = true;
    if (g_pLogStream != stdout)
        return;
    std::fprintf(stderr, "corvane: standard output is closed (%s); monitoring goes on without printing messages\n",
                 std::strerror(error));
    std::fflush(stderr);
}

// "5 minute(s)", "1 hour(s)" as the schedule page shows a frequency; seconds for one that no
// unit shows whole (a task file may hold any number).
QString IntervalText(int seconds)
{
    const CFrequency frequency = SplitFrequency(seconds);
    const CFrequencyUnit& unit = FrequencyUnits().at(size_t(frequency.m_nUnit));
    if (frequency.m_nCount > 0 && qint64(frequency.m_nCount) * unit.m_nSeconds == seconds)
        return QStringLiteral("%1 %2").arg(frequency.m_nCount).arg(unit.m_Text.toLower());
    return QStringLiteral("%1 second(s)").arg(seconds);
}

// The schedule waits one interval after the file is read, so without these lines a new user
// would watch a console that says nothing for a minute or more. Logged like every other line,
// so that the log file still holds what the console showed.
void AnnounceSchedule(CHub& hub, const CVigrelDoc& document, bool runNow)
{
    const auto inform = [&hub](const QString& text, const QString& taskName = QString()) {
        CLogMessage message(eInformational, text);
        message.m_TaskName = taskName;
        hub.ProcessOutputMessage(message);
    };
    bool any = false;
    for (const CTask& task : document.GetTasks()) {
        if (!task.m_bTaskScheduled)
            continue;
        any = true;
        const QString when = FormatLocalTime(task.m_NextRunTime);
        const QString every = IntervalText(task.m_PingInterval);
        inform(
            runNow
                ? QStringLiteral("Task %1 runs now, then at %2 and every %3 after that").arg(task.m_Name, when, every)
                : QStringLiteral("Task %1 first runs at %2, then every %3").arg(task.m_Name, when, every),
            task.m_Name);
    }
    if (!any)
        inform(QStringLiteral("No task of the file is scheduled, so none runs by itself; schedule one in "
                              "the file, then send SIGHUP to read it again"));
}

QString StatusText(const CVigrelDoc& document)
{
    const QList<CTask> tasks = document.GetTasks();
    const auto scheduled = std::count_if(tasks.begin(), tasks.end(), [](const CTask& t) { return t.m_bTaskScheduled; });
    return QStringLiteral("Monitoring %1 task(s), %2 scheduled").arg(tasks.size()).arg(scheduled);
}

// SIGHUP: the file is read again and the document brought in line with it. A file that cannot
// be read now (deleted, replaced by something else, a half-written copy that is no task file)
// changes nothing: the tasks read before go on, and the log says why.
void ReloadTaskFile(CHub& hub, CVigrelDoc& document, const QString& path)
{
    QList<CTask> tasks;
    QString error;
    if (!ReadTaskFile(path, tasks, &error)) {
        hub.ProcessOutputMessage(CLogMessage(
            eApplicationFailure,
            QStringLiteral("Task file not read again. %1 The tasks read before go on running.").arg(error)));
        return;
    }
    AssignTaskKeys(path, tasks);
    const CTaskFileReload reload = MergeTaskFile(document, tasks);
    hub.ProcessOutputMessage(CLogMessage(eActionSucceeded,
                                         QStringLiteral("Task file '%1' read again: %2 task(s) added, %3 changed, %4 "
                                                        "removed, %5 unchanged")
                                             .arg(QDir::toNativeSeparators(path))
                                             .arg(reload.m_nAdded)
                                             .arg(reload.m_nChanged)
                                             .arg(reload.m_nRemoved)
                                             .arg(reload.m_nUnchanged)));
}

std::vector<int> TaskIdsInFileOrder(const CVigrelDoc& document, bool scheduledOnly)
{
    // A file's tasks get ids in the order of its sections.
    std::vector<int> taskIds;
    for (const CTask& task : document.GetTasks()) {
        if (!scheduledOnly || task.m_bTaskScheduled)
            taskIds.push_back(task.m_TaskId);
    }
    std::sort(taskIds.begin(), taskIds.end());
    return taskIds;
}

int RunSchedule(CHub& hub, CVigrelDoc& document, const CHeadlessOptions& options)
{
    CServiceNotifier notifier;
    QObject signalWatch;
    // SIGHUP, as logrotate's postrotate and `systemctl reload` send it: the file at the
    // configured path is opened anew, so that after a rename or a delete the lines go to a file
    // someone can read, and the task file is read again.
    if (!WatchTerminationSignals(
            &signalWatch, [] { QCoreApplication::exit(0); },
            [&] {
                notifier.NotifyReloading();
                hub.OpenLogFile();
                ReloadTaskFile(hub, document, options.m_TaskFile);
                notifier.NotifyReady(StatusText(document));
            })) {
        std::fprintf(stderr, "corvane: unable to watch for termination signals\n");
        return 2;
    }
    // The metrics address is checked before anything is monitored: a service that cannot
    // serve what it was asked to fails at once, where its manager sees it, not later.
    CMetricsEndpoint metrics(&hub);
    const CAppSettings& settings = GetAppSettings();
    const bool listenFromSettings = options.m_MetricsListen.isNull();
    const QString listen = listenFromSettings ? settings.m_MetricsListen : options.m_MetricsListen;
    if (!listen.trimmed().isEmpty()) {
        QString error;
        if (!metrics.Start(listen, options.m_bMetricsAllowRemote || settings.m_bMetricsAllowRemote, &error)) {
            std::fprintf(stderr, "corvane: metrics not served (%s): %s\n",
                         listenFromSettings ? "setting m_MetricsListen" : "--metrics-listen", qUtf8Printable(error));
            return 2;
        }
    }
    QObject::connect(&hub, &CHub::MessageShown, &hub, &PrintLine);
    if (!hub.Start()) {
        std::fprintf(stderr, "corvane: unable to start the monitoring threads\n");
        hub.Shutdown();
        return 2;
    }
    if (metrics.IsServing())
        hub.ProcessOutputMessage(
            CLogMessage(eInformational, QStringLiteral("Metrics served at %1/metrics").arg(metrics.BaseUrl())));
    AnnounceSchedule(hub, document, options.m_bRunNow);
    // Handed over as by the Execute command, which leaves the next run time alone: the
    // schedule goes on as if the tasks had not run now.
    if (options.m_bRunNow) {
        for (const int taskId : TaskIdsInFileOrder(document, true))
            hub.ExecuteTask(taskId);
    }
    notifier.NotifyReady(StatusText(document));

    QCoreApplication::exec();
    notifier.NotifyStopping();
    hub.Shutdown();
    return 0;
}

bool WriteReport(const QByteArray& report)
{
    errno = 0;
    if (std::fwrite(report.constData(), 1, size_t(report.size()), stdout) == size_t(report.size())
        && std::fflush(stdout) == 0)
        return true;
    std::fprintf(stderr, "corvane: unable to write the report to standard output (%s)\n", std::strerror(errno));
    return false;
}

int RunOnce(CHub& hub, CVigrelDoc& document, const CHeadlessOptions& options)
{
    QObject signalWatch;
    if (!WatchTerminationSignals(
            &signalWatch, [] { QCoreApplication::exit(0); }, [&hub] { hub.OpenLogFile(); })) {
        std::fprintf(stderr, "corvane: unable to watch for termination signals\n");
        return 2;
    }
    QObject::connect(&hub, &CHub::MessageShown, &hub, &PrintLine);

    // Which runs have ended, the verdict each gave, its result, and what went wrong in a run
    // that gave none.
    std::set<int> started;
    std::set<int> finished;
    std::map<int, int> verdicts;
    std::map<int, CCheckResult> results;
    std::map<int, QString> notes;
    int runningTaskId = -1;
    QObject::connect(&hub, &CHub::TaskStateChanged, &hub, [&](int state, int taskId) {
        if (state == TASK_STATE_RUNNING) {
            runningTaskId = taskId;
            started.insert(taskId);
        }
        if (state == TASK_STATE_FINISHED) {
            finished.insert(taskId);
            runningTaskId = -1;
        }
    });
    QObject::connect(&hub, &CHub::MessageShown, &hub, [&](const CLogMessage& message) {
        const int code = message.m_Severity.GetCode();
        if (message.m_TaskId != -1 && (code == eTaskSuccess || code == eTaskFailure))
            verdicts[message.m_TaskId] = code;
        if (code == eApplicationFailure && runningTaskId != -1)
            notes[runningTaskId] = message.m_Text;
    });
    QObject::connect(&hub, &CHub::CheckResultReady, &hub,
                     [&](const CCheckResult& result) { results.insert_or_assign(result.m_TaskId, result); });

    if (!hub.Start()) {
        std::fprintf(stderr, "corvane: unable to start the monitoring threads\n");
        hub.Shutdown();
        return 2;
    }

    // The schedule stays out of it: each task runs exactly once, in file order.
    hub.ToggleEngine();
    const std::vector<int> taskIds = TaskIdsInFileOrder(document, false);
    for (const int taskId : taskIds)
        hub.ExecuteTask(taskId);
    QTimer doneCheck;
    QObject::connect(&doneCheck, &QTimer::timeout, &hub, [&] {
        if (finished.size() >= taskIds.size() && !hub.HasPendingWork())
            QCoreApplication::exit(0);
    });
    doneCheck.start(20);

    QCoreApplication::exec();
    doneCheck.stop();
    hub.Shutdown();

    if (options.m_Report != eOnceReport::eText) {
        // A run cut short by a signal still reports: the tasks it did not reach have no verdict.
        QList<COnceOutcome> outcomes;
        for (const int taskId : taskIds) {
            COnceOutcome outcome;
            document.GetTask(taskId, outcome.m_Task);
            if (const auto result = results.find(taskId); result != results.end())
                outcome.m_Result = result->second;
            else if (const auto note = notes.find(taskId); note != notes.end())
                outcome.m_Note = note->second;
            else if (!finished.contains(taskId))
                outcome.m_Note = started.contains(taskId) ? QStringLiteral("The program ended before the run did")
                                                          : QStringLiteral("The program ended before the task ran");
            outcomes.append(outcome);
        }
        WriteReport(options.m_Report == eOnceReport::eJson ? FormatOnceJson(options.m_TaskFile, outcomes)
                                                           : FormatOnceJunit(options.m_TaskFile, outcomes));
    }

    for (const int taskId : taskIds) {
        const auto verdict = verdicts.find(taskId);
        if (verdict == verdicts.end() || verdict->second != eTaskSuccess)
            return 1;
    }
    return 0;
}

} // namespace

int RunHeadless(const CHeadlessOptions& options)
{
    if (options.m_bOnce && options.m_Report != eOnceReport::eText)
        g_pLogStream = stderr;
    CVigrelDoc document;
    QString error;
    if (!document.OnOpenDocument(options.m_TaskFile, &error)) {
        std::fprintf(stderr, "corvane: %s\n", qUtf8Printable(error));
        return 2;
    }
    CHub hub(&document);
    return options.m_bOnce ? RunOnce(hub, document, options) : RunSchedule(hub, document, options);
}
