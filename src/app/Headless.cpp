#include "Headless.h"

#include "TerminationSignals.h"
#include "core/output/LogFile.h"
#include "core/shell/Hub.h"
#include "core/shell/Messages.h"
#include "core/tasks/VigrelDoc.h"

#include <QCoreApplication>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <map>
#include <set>
#include <vector>

namespace {

void PrintLine(const CLogMessage& message)
{
    const QByteArray line = CLogFile::FormatLine(message);
    std::fwrite(line.constData(), 1, size_t(line.size()), stdout);
    // One flush per message: a reader of a pipe sees each line as it happens.
    std::fflush(stdout);
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
    QObject signalWatch;
    if (!WatchTerminationSignals(&signalWatch, [] { QCoreApplication::exit(0); })) {
        std::fprintf(stderr, "corvane: unable to watch for termination signals\n");
        return 2;
    }

    CHub hub(&document);
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
