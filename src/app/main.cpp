#include "Desktop.h"
#include "Headless.h"
#include "HistoryReport.h"
#include "TerminationSignals.h"
#include "Version.h"
#include "core/shell/AppSettings.h"
#include "core/support/Ping.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QCoreApplication>

#include <cstdio>

namespace {

// "-minimize" (any letter case, as a word of its own) is the automatic start's switch. The
// parser would read it as the short options -m -i -n ..., so it is taken out first.
bool TakeMinimizeSwitch(QStringList& arguments)
{
    const qsizetype before = arguments.size();
    for (qsizetype i = arguments.size() - 1; i >= 1; --i) {
        if (arguments.at(i).compare(QLatin1String("-minimize"), Qt::CaseInsensitive) == 0)
            arguments.removeAt(i);
    }
    return arguments.size() != before;
}

} // namespace

int main(int argc, char** argv)
{
    IgnoreBrokenPipe();
#ifdef Q_OS_LINUX
    // Before any thread starts, so that none of them holds the capability either.
    DropRawSocketCapabilityIfUnneeded();
#endif
    QCoreApplication::setApplicationName(QStringLiteral(CORVANE_PRODUCT_NAME));
    QCoreApplication::setApplicationVersion(QStringLiteral(CORVANE_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Corvane web-site monitor: pings hosts, fetches pages and crawls sites on a schedule, and alerts by "
        "e-mail, program or URL when they fail."));
    const QCommandLineOption helpOption = parser.addHelpOption();
    const QCommandLineOption versionOption = parser.addVersionOption();
    const QCommandLineOption headlessOption(
        QStringLiteral("headless"),
        QStringLiteral("Run without a window: log every message to standard output until SIGINT or SIGTERM; "
                       "SIGHUP reopens the log file and reads the task file again (changed tasks take effect, the "
                       "others keep their state). Tells systemd when it is ready, reloading and stopping, and "
                       "answers its watchdog."));
    const QCommandLineOption onceOption(
        QStringLiteral("once"),
        QStringLiteral("With --headless: run every task of the file once, in file order, then exit: 0 when all "
                       "succeeded, 1 when any failed or gave no result."));
    const QCommandLineOption runNowOption(
        QStringLiteral("run-now"),
        QStringLiteral("With --headless: run every scheduled task once at the start, then keep the schedule."));
    const QCommandLineOption settingsOption(QStringLiteral("settings"),
                                            QStringLiteral("Use this INI file instead of the user's settings."),
                                            QStringLiteral("FILE.ini"));
    const QCommandLineOption historyOption(
        QStringLiteral("history"),
        QStringLiteral("Print the result history of the file's tasks, one line per task in file order: state and "
                       "since when, uptime over 24 h, 7 d and 30 d, mean and 95th-percentile response time, and the "
                       "times it was down; then exit (2 when the file or the history cannot be read)."));
    const QCommandLineOption sinceOption(
        QStringLiteral("since"),
        QStringLiteral("With --history: how far back the response times, the down times and the CSV reach, as "
                       "days, hours or minutes (30d, 12h, 90m). Default 30d."),
        QStringLiteral("RANGE"));
    const QCommandLineOption formatOption(
        QStringLiteral("format"),
        QStringLiteral("With --history: \"csv\" writes the raw results of the range as CSV instead (times in UTC). "
                       "With --headless --once: \"json\" prints one JSON document of every task's result, "
                       "\"junit\" a JUnit XML report, on standard output; the log lines then go to standard "
                       "error."),
        QStringLiteral("csv|json|junit"));
    const QCommandLineOption metricsListenOption(
        QStringLiteral("metrics-listen"),
        QStringLiteral("With --headless: serve the tasks' latest results to Prometheus at "
                       "http://ADDRESS:PORT/metrics (and \"ok\" at /healthz). A bare PORT or :PORT listens on "
                       "127.0.0.1, [::1]:PORT on IPv6; port 0 takes a free port, which the log names. Overrides "
                       "the setting m_MetricsListen; not with --once."),
        QStringLiteral("ADDRESS:PORT"));
    const QCommandLineOption metricsAllowRemoteOption(
        QStringLiteral("metrics-allow-remote"),
        QStringLiteral("With --headless: let the metrics be served on an address other machines reach (such as "
                       "0.0.0.0:9100); without it only loopback addresses are accepted."));
    parser.addOptions({headlessOption, onceOption, runNowOption, settingsOption, historyOption, sinceOption,
                       formatOption, metricsListenOption, metricsAllowRemoteOption});
    parser.addPositionalArgument(QStringLiteral("file"),
                                 QStringLiteral("The task file (.cvn) to open, or to monitor with --headless."),
                                 QStringLiteral("[FILE.cvn]"));
    parser.addPositionalArgument(QStringLiteral("-minimize"),
                                 QStringLiteral("Window only: start hidden in the tray (or minimised)."),
                                 QStringLiteral("[-minimize]"));

    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    QStringList withoutMinimize = arguments;
    const bool minimize = TakeMinimizeSwitch(withoutMinimize);
    // The window is wanted unless the arguments say otherwise; everything else (the
    // console program, help, version, usage errors) runs without a display.
    const bool desktop = parser.parse(withoutMinimize) && !parser.isSet(headlessOption) && !parser.isSet(onceOption)
        && !parser.isSet(runNowOption) && !parser.isSet(historyOption) && !parser.isSet(sinceOption)
        && !parser.isSet(formatOption) && !parser.isSet(metricsListenOption) && !parser.isSet(metricsAllowRemoteOption)
        && !parser.isSet(helpOption) && !parser.isSet(versionOption);

    const auto usageError = [&](const QString& text) {
        std::fprintf(stderr, "corvane: %s\n\n%s", qUtf8Printable(text), qUtf8Printable(parser.helpText()));
        return 2;
    };

    if (desktop) {
        QApplication app(argc, argv);
        const QStringList files = parser.positionalArguments();
        if (files.size() > 1)
            return usageError(QStringLiteral("one task file at most"));
        if (parser.isSet(settingsOption))
            SetSettingsFile(parser.value(settingsOption));
        CDesktopOptions options;
        options.m_TaskFile = files.value(0);
        options.m_bMinimize = minimize;
        return RunDesktop(options);
    }

    QCoreApplication app(argc, argv);
    if (!parser.parse(withoutMinimize))
        return usageError(parser.errorText());
    if (parser.isSet(helpOption))
        parser.showHelp(0);
    if (parser.isSet(versionOption))
        parser.showVersion();

    const QStringList files = parser.positionalArguments();
    if (files.size() > 1)
        return usageError(QStringLiteral("one task file at most"));
    if (parser.isSet(onceOption) && !parser.isSet(headlessOption))
        return usageError(QStringLiteral("--once needs --headless"));
    if (parser.isSet(runNowOption) && !parser.isSet(headlessOption))
        return usageError(QStringLiteral("--run-now needs --headless"));
    if (parser.isSet(runNowOption) && parser.isSet(onceOption))
        return usageError(QStringLiteral("--run-now and --once cannot be combined: --once runs every task already"));
    if (parser.isSet(metricsListenOption) && !parser.isSet(headlessOption))
        return usageError(QStringLiteral("--metrics-listen needs --headless"));
    if (parser.isSet(metricsAllowRemoteOption) && !parser.isSet(headlessOption))
        return usageError(QStringLiteral("--metrics-allow-remote needs --headless"));
    if (parser.isSet(metricsListenOption) && parser.isSet(onceOption))
        return usageError(QStringLiteral("--metrics-listen and --once cannot be combined: --once ends before the "
                                         "metrics could be scraped"));
    if (parser.isSet(settingsOption))
        SetSettingsFile(parser.value(settingsOption));
    if (files.isEmpty())
        return usageError(QStringLiteral("a task file is needed without a window"));
    if (parser.isSet(sinceOption) && !parser.isSet(historyOption))
        return usageError(QStringLiteral("--since needs --history"));
    // --format belongs to the report it shapes: the history's CSV, or --once's JSON and JUnit.
    const QString format = parser.value(formatOption);
    if (parser.isSet(formatOption) && !parser.isSet(historyOption) && !parser.isSet(onceOption))
        return usageError(QStringLiteral("--format needs --history (csv) or --headless --once (json, junit)"));
    if (parser.isSet(historyOption)) {
        if (parser.isSet(headlessOption))
            return usageError(QStringLiteral("--history and --headless cannot be combined"));
        CHistoryReportOptions report;
        report.m_TaskFile = files.first();
        if (parser.isSet(sinceOption) && !ParseReportRange(parser.value(sinceOption), report.m_RangeMs))
            return usageError(QStringLiteral("--since takes days, hours or minutes, such as 30d, 12h or 90m"));
        if (parser.isSet(formatOption)) {
            if (format != QLatin1String("csv"))
                return usageError(QStringLiteral("--format takes csv with --history"));
            report.m_bCsv = true;
        }
        return RunHistoryReport(report);
    }
    CHeadlessOptions options;
    options.m_TaskFile = files.first();
    options.m_bOnce = parser.isSet(onceOption);
    options.m_bRunNow = parser.isSet(runNowOption);
    if (parser.isSet(metricsListenOption))
        options.m_MetricsListen = parser.value(metricsListenOption);
    options.m_bMetricsAllowRemote = parser.isSet(metricsAllowRemoteOption);
    if (parser.isSet(formatOption)) {
        if (format == QLatin1String("json"))
            options.m_Report = eOnceReport::eJson;
        else if (format == QLatin1String("junit"))
            options.m_Report = eOnceReport::eJunit;
        else
            return usageError(QStringLiteral("--format takes json or junit with --once"));
    }
    return RunHeadless(options);
}
