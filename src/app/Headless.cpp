#include "Headless.h"

#include "TerminationSignals.h"
#include "core/output/LogFile.h"
#include "core/shell/Hub.h"
#include "core/shell/Messages.h"
#include "core/tasks/VigrelDoc.h"

#include <QCoreApplication>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <vector>

namespace {

// Standard output went away (the reader of a pipe ended, or a terminal hung up): nothing more
// is printed, and monitoring goes on; the log file, when on, still gets every message.
bool g_bStandardOutputGone = false;

void PrintLine(const CLogMessage& message)
{
    if (g_bStandardOutputGone)
        return;
    const QByteArray line = CLogFile::FormatLine(message);
    errno = 0;
    // One flush per message: a reader of a pipe sees each line as it happens.
    if (std::fwrite(line.constData(), 1, size_t(line.size()), stdout) == size_t(line.size())
        && std::fflush(stdout) == 0)
        return;
    const int error = errno;
    std::clearerr(stdout);
    if (error != EPIPE && error != EIO)
        return; // a passing failure (a full disk under a redirection): this line is lost, the next may not be
    g_bStandardOutputGone = true;
    std::fprintf(stderr, "corvane: standard output is closed (%s); monitoring goes on without printing messages\n",
                 std::strerror(error));
    std::fflush(stderr);
}

} // namespace

int RunHeadless(const CHeadlessOptions& options)
{
    CVigrelDoc document;
    QString error;
    if (!document.OnOpenDocument(options.m_TaskFile, &error)) {
        std::fprintf(stderr, "corvane: %s\n", qUtf8Printable(error));
        return 2;
    }
    CHub hub(&document);
    QObject signalWatch;
    // SIGHUP, as logrotate's postrotate sends it: the file at the configured path is opened
    // anew, so that after a rename or a delete the lines go to a file someone can read.
    if (!WatchTerminationSignals(
            &signalWatch, [] { QCoreApplication::exit(0); }, [&hub] { hub.OpenLogFile(); })) {
        std::fprintf(stderr, "corvane: unable to watch for termination signals\n");
        return 2;
    }
    QObject::connect(&hub, &CHub::MessageShown, &hub, &PrintLine);

    // For --once: which runs have ended, and the verdict each gave.
    std::set<int> finished;
    std::map<int, int> verdicts;
    QObject::connect(&hub, &CHub::TaskStateChanged, &hub, [&](int state, int taskId) {
        if (state == TASK_STATE_FINISHED)
            finished.insert(taskId);
    });
    QObject::connect(&hub, &CHub::MessageShown, &hub, [&](const CLogMessage& message) {
        const int code = message.m_Severity.GetCode();
        if (message.m_TaskId != -1 && (code == eTaskSuccess || code == eTaskFailure))
            verdicts[message.m_TaskId] = code;
    });

    if (!hub.Start()) {
        std::fprintf(stderr, "corvane: unable to start the monitoring threads\n");
        hub.Shutdown();
        return 2;
    }

    QTimer doneCheck;
    std::vector<int> taskIds;
    if (options.m_bOnce) {
        // The schedule stays out of it: each task runs exactly once, in file order (a file's
        // tasks get ids in the order of its sections).
        hub.ToggleEngine();
        for (const CTask& task : document.GetTasks())
            taskIds.push_back(task.m_TaskId);
        std::sort(taskIds.begin(), taskIds.end());
        for (const int taskId : taskIds)
            hub.ExecuteTask(taskId);
        QObject::connect(&doneCheck, &QTimer::timeout, &hub, [&] {
            if (finished.size() >= taskIds.size() && !hub.HasPendingWork())
                QCoreApplication::exit(0);
        });
        doneCheck.start(20);
    }

    QCoreApplication::exec();
    doneCheck.stop();
    hub.Shutdown();

    if (!options.m_bOnce)
        return 0;
    for (const int taskId : taskIds) {
        const auto verdict = verdicts.find(taskId);
        if (verdict == verdicts.end() || verdict->second != eTaskSuccess)
            return 1;
    }
    return 0;
}
