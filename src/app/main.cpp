#include "Version.h"
#include "core/shell/AppSettings.h"
#include "core/tasks/Schedule.h"
#include "core/tasks/VigrelDoc.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QTextStream>

namespace {

QString DescribeCheck(const CTask& task)
{
    switch (task.m_CheckAction) {
    case eCheckPing:
        return QStringLiteral("ping %1").arg(task.m_PingHost);
    case eCheckHttpGet:
        return QStringLiteral("HTTP GET %1").arg(task.m_HttpGetURL);
    case eCheckHttpGetPattern:
        return QStringLiteral("HTTP GET %1, looking for \"%2\"").arg(task.m_HttpGetURL, task.m_ExpectedPattern);
    case eCheckSpider: {
        QString text = QStringLiteral("spider %1").arg(task.m_SpiderUrl);
        if (task.m_bSpiderLimitPageNumber)
            text += QStringLiteral(", at most %1 page(s)").arg(task.m_SpiderMaxPageNumber);
        if (task.m_bSpiderLimitDepth)
            text += QStringLiteral(", %1 level(s) deep").arg(task.m_SpiderMaxDepth);
        return text;
    }
    default:
        return QStringLiteral("no check chosen");
    }
}

QString DescribeSchedule(const CTask& task)
{
    if (!task.m_bTaskScheduled)
        return QStringLiteral("by hand");
    const CFrequency frequency = SplitFrequency(task.m_PingInterval);
    return QStringLiteral("every %1 %2")
        .arg(frequency.m_nCount)
        .arg(FrequencyUnits()[size_t(frequency.m_nUnit)].m_Text.toLower());
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral(CORVANE_PRODUCT_NAME));
    QCoreApplication::setApplicationVersion(QStringLiteral(CORVANE_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Corvane web-site monitor"));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption settingsOption(QStringLiteral("settings"),
                                            QStringLiteral("Use this INI file instead of the user's settings."),
                                            QStringLiteral("FILE"));
    parser.addOption(settingsOption);
    parser.addPositionalArgument(QStringLiteral("file"), QStringLiteral("Task file (.cvn) to list."));
    parser.process(app);

    if (parser.isSet(settingsOption))
        SetSettingsFile(parser.value(settingsOption));

    QTextStream out(stdout);
    out << CORVANE_PRODUCT_NAME << ' ' << CORVANE_VERSION << '\n';
    const QStringList files = parser.positionalArguments();
    if (files.isEmpty())
        return 0;

    CVigrelDoc doc;
    QString error;
    if (!doc.OnOpenDocument(files.first(), &error)) {
        QTextStream(stderr) << error << '\n';
        return 2;
    }
    out << files.first() << ": " << doc.GetTaskCount() << " task(s)\n";
    for (const CTask& task : doc.GetTasks())
        out << "  " << task.m_Name << ": " << DescribeCheck(task) << ", " << DescribeSchedule(task) << '\n';
    return 0;
}
