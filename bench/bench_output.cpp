// The output window under a flood: 10,000 messages per second delivered as the hub delivers
// them (posted to the UI thread in bursts of 100 every 10 ms), with the message limit at
// 100,000. Reports the longest gap between two turns of the event loop (a 1 ms timer notes
// when it gets to run) and the resident memory once the limit is reached and after as many
// messages again, which must stay about the same.
//   bench_output [SECONDS_PER_PHASE [BURST]]   (defaults 10 and 100; two phases)
// Runs with any Qt platform: QT_QPA_PLATFORM=offscreen, or under xvfb-run for real painting.
#include "core/output/LogMessage.h"
#include "core/output/MessageLog.h"
#include "core/shell/AppSettings.h"
#include "ui/output/OutputBar.h"
#include "ui/output/OutputList.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

constexpr int kBurstIntervalMs = 10;
constexpr int kLimit = 100000;

// VmRSS or VmHWM of this process in MB, from /proc (Linux only; 0 elsewhere).
double MemoryMb(const char* field)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith(field))
            return line.mid(int(qstrlen(field))).trimmed().split(' ').value(0).toDouble() / 1024.0;
    }
    return 0;
}

struct CPhase
{
    qint64 m_MaxGapNs = 0;
    std::vector<qint64> m_Gaps;
};

CLogMessage MakeMessage(qint64 n)
{
    // Mostly crawl progress, now and then a verdict, one in 200 with several lines.
    if (n % 200 == 0)
        return CLogMessage(CSeverity(eTaskFailure),
                           QStringLiteral("Site check found broken links\nhttp://127.0.0.1/p%1/a.html 404\n"
                                          "http://127.0.0.1/p%1/b.html 500")
                               .arg(n));
    if (n % 20 == 0)
        return CLogMessage(CSeverity(eTaskSuccess), QStringLiteral("Page http://127.0.0.1/p%1.html fetched").arg(n));
    return CLogMessage(CSeverity(eSpiderMessage),
                       QStringLiteral("Task bench. Spidering page http://127.0.0.1/site/section/%1.html").arg(n));
}

} // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    const int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10;
    const int kBurst = argc > 2 ? std::max(0, std::atoi(argv[2])) : 100; // 0: the loop's own gaps, for comparison

    QTemporaryDir settingsDir;
    SetSettingsFile(settingsDir.filePath(QStringLiteral("settings.ini")));
    CAppSettings settings = GetAppSettings();
    settings.m_bLimitMessageNumber = true;
    settings.m_MaxMessageNumber = kLimit;
    SetAppSettings(settings);

    COutputBar bar;
    bar.resize(1000, 300);
    bar.show();
    QCoreApplication::processEvents();
    const double rssStart = MemoryMb("VmRSS:");

    CPhase phases[2];
    int phase = 0;
    QElapsedTimer clock;
    clock.start();
    qint64 lastTurn = clock.nsecsElapsed();
    QTimer probe;
    probe.setTimerType(Qt::PreciseTimer);
    probe.setInterval(1);
    QObject::connect(&probe, &QTimer::timeout, &bar, [&] {
        const qint64 now = clock.nsecsElapsed();
        const qint64 gap = now - lastTurn;
        lastTurn = now;
        phases[phase].m_MaxGapNs = std::max(phases[phase].m_MaxGapNs, gap);
        phases[phase].m_Gaps.push_back(gap);
    });

    // The hub posts one event per message; here one queued call per message, 100 at a time.
    qint64 sent = 0;
    QTimer producer;
    producer.setTimerType(Qt::PreciseTimer);
    producer.setInterval(kBurstIntervalMs);
    QObject::connect(&producer, &QTimer::timeout, &bar, [&] {
        for (int i = 0; i < kBurst; ++i) {
            QMetaObject::invokeMethod(
                &bar, [&bar, message = MakeMessage(sent++)] { bar.AddMessage(message); }, Qt::QueuedConnection);
        }
    });

    const qint64 perPhase = qint64(seconds) * 1000 / kBurstIntervalMs * kBurst;
    double rssAfter[2] = {};
    double phaseSeconds[2] = {};
    probe.start();
    for (phase = 0; phase < 2; ++phase) {
        QElapsedTimer phaseClock;
        phaseClock.start();
        lastTurn = clock.nsecsElapsed();
        // A real event loop, as the program runs one: it sleeps when there is nothing to do.
        QEventLoop loop;
        QTimer done;
        done.setInterval(5);
        QObject::connect(&done, &QTimer::timeout, &loop, [&] {
            const bool enough = kBurst > 0 ? sent >= perPhase * (phase + 1) : phaseClock.elapsed() >= seconds * 1000;
            if (!enough)
                return;
            producer.stop();
            // The last burst has to reach the list before the figures are taken.
            if (bar.GetList()->model()->rowCount() >= std::min<qint64>(sent, kLimit)
                && !bar.GetList()->GetLog().HasPending())
                loop.quit();
        });
        done.start();
        producer.start();
        loop.exec();
        phaseSeconds[phase] = double(phaseClock.nsecsElapsed()) / 1e9;
        rssAfter[phase] = MemoryMb("VmRSS:");
    }
    phase = 1; // the probe may still fire while we print
    probe.stop();

    std::printf("output window: %d messages/s in bursts of %d every %d ms, limit %d rows, platform %s\n",
                kBurst * 1000 / kBurstIntervalMs, kBurst, kBurstIntervalMs, kLimit,
                qPrintable(QGuiApplication::platformName()));
    for (int p = 0; p < 2; ++p) {
        std::vector<qint64>& gaps = phases[p].m_Gaps;
        std::sort(gaps.begin(), gaps.end());
        const double p99 = gaps.empty() ? 0 : double(gaps[gaps.size() * 99 / 100]) / 1e6;
        std::printf("phase %d (%lld messages in %.2f s): longest event-loop gap %.1f ms, 99th percentile %.2f ms, "
                    "%zu turns noted\n",
                    p + 1, static_cast<long long>(perPhase), phaseSeconds[p], double(phases[p].m_MaxGapNs) / 1e6, p99,
                    gaps.size());
    }
    std::printf("rows shown: %d\n", bar.GetList()->model()->rowCount());
    std::printf("RSS: %.1f MB at start, %.1f MB after %lld messages, %.1f MB after %lld messages, peak %.1f MB\n",
                rssStart, rssAfter[0], static_cast<long long>(perPhase), rssAfter[1],
                static_cast<long long>(2 * perPhase), MemoryMb("VmHWM:"));
    return 0;
}
