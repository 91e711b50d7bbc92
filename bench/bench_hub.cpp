// Log messages per second through the hub's whole output path: QueueOutputMessage on
// producer threads, one posted event per message, ProcessOutputMessage on the main thread
// (log file line written and flushed, alert rule consulted), with one and with two producers.
//   bench_hub [MESSAGES_PER_PRODUCER]
#include "core/output/LogMessage.h"
#include "core/shell/AppSettings.h"
#include "core/shell/Hub.h"
#include "core/tasks/VigrelDoc.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QTemporaryDir>

#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

namespace {

void Measure(CHub& hub, int producers, int perProducer, const QString& logPath)
{
    const qint64 sizeBefore = QFileInfo(logPath).size();
    const int expected = producers * perProducer;
    int shown = 0;
    const QMetaObject::Connection counting
        = QObject::connect(&hub, &CHub::MessageShown, [&shown](const CLogMessage&) { ++shown; });

    QElapsedTimer timer;
    timer.start();
    std::vector<std::thread> threads;
    for (int p = 0; p < producers; ++p) {
        threads.emplace_back([&hub, perProducer, p] {
            for (int i = 0; i < perProducer; ++i) {
                // A verdict about a task that is gone: the alert rule looks it up and stops.
                CLogMessage message(
                    i % 2 ? eTaskFailure : eSpiderMessage,
                    QStringLiteral("Task bench. Spidering page http://127.0.0.1/p%1/%2.html").arg(p).arg(i));
                message.m_TaskId = i % 2 ? 1000 + p : -1;
                hub.QueueOutputMessage(message);
            }
        });
    }
    while (shown < expected)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    const double seconds = double(timer.nsecsElapsed()) / 1e9;
    for (std::thread& thread : threads)
        thread.join();
    QObject::disconnect(counting);
    std::printf("%d producer(s): %d messages in %.3f s = %.0f messages/s, log file grew by %.1f MB\n", producers,
                expected, seconds, double(expected) / seconds, double(QFileInfo(logPath).size() - sizeBefore) / 1e6);
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const int perProducer = argc > 1 ? std::atoi(argv[1]) : 200000;
    QTemporaryDir dir;
    SetSettingsFile(dir.filePath(QStringLiteral("settings.ini")));
    const QString logPath = dir.filePath(QStringLiteral("bench.log"));
    CAppSettings settings = GetAppSettings();
    settings.m_bLogToFile = true;
    settings.m_LogFileName = logPath;
    SetAppSettings(settings);

    CVigrelDoc document;
    CHub hub(&document);
    if (!hub.Start()) {
        std::fprintf(stderr, "the hub did not start\n");
        return 1;
    }
    Measure(hub, 1, perProducer, logPath);
    Measure(hub, 2, perProducer, logPath);
    hub.Shutdown();
    return 0;
}
