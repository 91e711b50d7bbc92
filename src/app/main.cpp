#include "Headless.h"
#include "Version.h"
#include "core/shell/AppSettings.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <cstdio>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral(CORVANE_PRODUCT_NAME));
    QCoreApplication::setApplicationVersion(QStringLiteral(CORVANE_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Corvane web-site monitor: pings hosts, fetches pages and crawls sites on a schedule, and alerts by "
        "e-mail, program or URL when they fail."));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption headlessOption(
        QStringLiteral("headless"),
        QStringLiteral("Run without a window: log every message to standard output until SIGINT or SIGTERM."));
    const QCommandLineOption onceOption(
        QStringLiteral("once"),
        QStringLiteral("With --headless: run every task of the file once, in file order, then exit: 0 when all "
                       "succeeded, 1 when any failed or gave no result."));
    const QCommandLineOption settingsOption(QStringLiteral("settings"),
                                            QStringLiteral("Use this INI file instead of the user's settings."),
                                            QStringLiteral("FILE.ini"));
    parser.addOptions({headlessOption, onceOption, settingsOption});
    parser.addPositionalArgument(QStringLiteral("file"), QStringLiteral("The task file (.cvn) to monitor."),
                                 QStringLiteral("FILE.cvn"));
    parser.process(app);

    const auto usageError = [&](const QString& text) {
        std::fprintf(stderr, "corvane: %s\n\n%s", qUtf8Printable(text), qUtf8Printable(parser.helpText()));
        return 2;
    };
    const QStringList files = parser.positionalArguments();
    if (files.size() > 1)
        return usageError(QStringLiteral("one task file at most"));
    if (parser.isSet(onceOption) && !parser.isSet(headlessOption))
        return usageError(QStringLiteral("--once needs --headless"));
    if (parser.isSet(settingsOption))
        SetSettingsFile(parser.value(settingsOption));

    if (!parser.isSet(headlessOption))
        std::fprintf(stderr, "corvane: this build has no window yet; running without one.\n");
    if (files.isEmpty())
        return usageError(QStringLiteral("a task file is needed without a window"));
    CHeadlessOptions options;
    options.m_TaskFile = files.first();
    options.m_bOnce = parser.isSet(onceOption);
    return RunHeadless(options);
}
