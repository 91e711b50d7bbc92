#include "Desktop.h"

#include "TerminationSignals.h"
#include "Version.h"
#include "core/metrics/MetricsEndpoint.h"
#include "core/shell/AppSettings.h"
#include "core/shell/Hub.h"
#include "core/tasks/VigrelDoc.h"
#include "ui/shell/MainFrame.h"
#include "ui/shell/Prompts.h"
#include "ui/shell/SingleInstance.h"

#include <QApplication>
#include <QTimer>

#include <cstdio>

int RunDesktop(const CDesktopOptions& options)
{
    CSingleInstance instance(CSingleInstance::KeyFor(GetSettingsFile()));
    if (!instance.TryToBecomePrimary()) {
        ShowMessageBox(nullptr, QMessageBox::Information,
                       QStringLiteral("You can only have one instance of " CORVANE_PRODUCT_NAME " running."));
        if (!instance.AskPrimaryToRestore())
            std::fprintf(stderr, "corvane: the running instance did not answer\n");
        return 0;
    }

    // The window may hide in the tray, and message boxes come and go while it does: only
    // the window's own closing ends the program.
    QApplication::setQuitOnLastWindowClosed(false);
    // The installed desktop entry's name: Wayland compositors and docks match windows to the
    // menu entry, and so to its icon, by it.
    QGuiApplication::setDesktopFileName(QStringLiteral("org.corvane.Corvane"));

    CVigrelDoc document;
    document.OnNewDocument();
    CHub hub(&document);
    CMainFrame frame(&document, &hub);
    QObject::connect(&frame, &CMainFrame::Closed, qApp, [] { QCoreApplication::exit(0); });
    QObject::connect(&instance, &CSingleInstance::RestoreRequested, &frame, [&frame] {
        // Said on standard error too, so that a script (or a test) can see the hand-over.
        std::fprintf(stderr, "corvane: another start asked this window to come to the front\n");
        std::fflush(stderr);
        frame.BringToFront();
    });
    // SIGINT and SIGTERM end the program as Exit does, without the question about changes;
    // SIGHUP reopens the log file (after logrotate, or a terminal that closed under us).
    if (!WatchTerminationSignals(
            &frame, [&frame] { frame.CloseWithoutPrompt(); }, [&hub] { hub.OpenLogFile(); }))
        std::fprintf(stderr, "corvane: unable to watch for termination signals\n");

    if (!frame.Start()) {
        ShowMessageBox(nullptr, QMessageBox::Critical, QStringLiteral("Unable to start the monitoring threads."));
        hub.Shutdown();
        return 2;
    }

    // The window goes on without the metrics when they cannot be served; the message says why.
    CMetricsEndpoint metrics(&hub);
    if (const CAppSettings& settings = GetAppSettings(); !settings.m_MetricsListen.trimmed().isEmpty()) {
        QString error;
        if (metrics.Start(settings.m_MetricsListen, settings.m_bMetricsAllowRemote, &error))
            hub.ProcessOutputMessage(
                CLogMessage(eInformational, QStringLiteral("Metrics served at %1/metrics").arg(metrics.BaseUrl())));
        else
            hub.ProcessOutputMessage(CLogMessage(
                eApplicationFailure, QStringLiteral("Metrics not served (setting m_MetricsListen): ") + error));
    }

    // Only the command line names the file to open: the Options' task file travels in the
    // autostart entry's command line, so a plain start opens nothing, however stale that file.
    const QString& taskFile = options.m_TaskFile;
    if (!taskFile.isEmpty() && !frame.OpenDocumentFile(taskFile)) {
        // A task file that cannot be read ends the start, after its message.
        hub.Shutdown();
        return 2;
    }

    frame.show();
    if (options.m_bMinimize)
        QTimer::singleShot(0, &frame, &CMainFrame::MinimizeAtStart);
    std::fprintf(stderr, "corvane: running\n");
    std::fflush(stderr);

    const int exitCode = QApplication::exec();
    hub.Shutdown();
    SaveAppSettings();
    return exitCode;
}
