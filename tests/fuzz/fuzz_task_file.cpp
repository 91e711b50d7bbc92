// Task files from anywhere (hand edits, other programs, damaged disks) go through the reader;
// whatever tasks it makes of them, the writer must write a file that reads back to the same
// tasks, or a save quietly changes what a user's monitoring does.

#include "FuzzCheck.h"

#include "core/shell/AppSettings.h"
#include "core/tasks/TaskFile.h"

#include <QTemporaryDir>

#include <cstddef>
#include <cstdint>

namespace {

// Round trips of this many tasks tell nothing that a few do not, and take long.
constexpr qsizetype kMaxRoundTripTasks = 64;

// What a value keeps when it is written on one line: each line break (CR LF, CR or LF) becomes
// a blank.
QString OneLine(const QString& text)
{
    QString out = text;
    out.replace(QStringLiteral("\r\n"), QStringLiteral(" "));
    out.replace(u'\r', u' ');
    out.replace(u'\n', u' ');
    return out;
}

// What a description (or an HTTP alert body) keeps: its line breaks, each as CR LF.
QString LineBreaks(const QString& text)
{
    QString out = text;
    out.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    out.replace(u'\r', u'\n');
    out.replace(QStringLiteral("\n"), QStringLiteral("\r\n"));
    return out;
}

void ExpectSame(const CTask& written, const CTask& read, qsizetype n)
{
    const CAlertSettings& a = written.m_AlertSettings;
    const CAlertSettings& b = read.m_AlertSettings;
    auto same = [n](const char* field, const QString& expected, const QString& actual) {
        FUZZ_CHECK(expected == actual, "task %lld, %s: written \"%s\", read back \"%s\"", static_cast<long long>(n),
                   field, SHOWN(expected), SHOWN(actual));
    };
    auto sameNumber = [n](const char* field, qint64 expected, qint64 actual) {
        FUZZ_CHECK(expected == actual, "task %lld, %s: written %lld, read back %lld", static_cast<long long>(n), field,
                   static_cast<long long>(expected), static_cast<long long>(actual));
    };
    sameNumber("m_AlertMethods", a.m_AlertMethods, b.m_AlertMethods);
    same("m_AlertEmailAddresses", OneLine(a.m_AlertEmailAddresses), b.m_AlertEmailAddresses);
    same("m_AlertHttpUrl", OneLine(a.m_AlertHttpUrl), b.m_AlertHttpUrl);
    same("m_AlertApplicationName", OneLine(a.m_AlertApplicationName), b.m_AlertApplicationName);
    sameNumber("m_bUseDefaultAlertMethods", a.m_bUseDefaultAlertMethods, b.m_bUseDefaultAlertMethods);
    // GET is what a file without the key means, in any letter case.
    const QString method = OneLine(a.m_AlertHttpMethod);
    same("m_AlertHttpMethod", method.compare(u"GET", Qt::CaseInsensitive) == 0 ? QStringLiteral("GET") : method,
         b.m_AlertHttpMethod);
    same("m_AlertHttpBody", LineBreaks(a.m_AlertHttpBody), b.m_AlertHttpBody);
    same("m_AlertHttpContentType", OneLine(a.m_AlertHttpContentType), b.m_AlertHttpContentType);
    same("m_Name", OneLine(written.m_Name), read.m_Name);
    same("m_Description", LineBreaks(written.m_Description), read.m_Description);
    same("m_PingHost", OneLine(written.m_PingHost), read.m_PingHost);
    sameNumber("m_TimeoutSec", written.m_TimeoutSec, read.m_TimeoutSec);
    sameNumber("m_PingInterval", written.m_PingInterval, read.m_PingInterval);
    sameNumber("m_bTaskScheduled", written.m_bTaskScheduled, read.m_bTaskScheduled);
    same("m_HttpGetURL", OneLine(written.m_HttpGetURL), read.m_HttpGetURL);
    same("m_ExpectedPattern", OneLine(written.m_ExpectedPattern), read.m_ExpectedPattern);
    same("m_SpiderUrl", OneLine(written.m_SpiderUrl), read.m_SpiderUrl);
    sameNumber("m_bSpiderLimitPageNumber", written.m_bSpiderLimitPageNumber, read.m_bSpiderLimitPageNumber);
    sameNumber("m_bSpiderLimitDepth", written.m_bSpiderLimitDepth, read.m_bSpiderLimitDepth);
    sameNumber("m_SpiderMaxPageNumber", written.m_SpiderMaxPageNumber, read.m_SpiderMaxPageNumber);
    sameNumber("m_SpiderMaxDepth", written.m_SpiderMaxDepth, read.m_SpiderMaxDepth);
    sameNumber("m_CheckAction", written.m_CheckAction, read.m_CheckAction);
    sameNumber("m_MaxFailCount", written.m_MaxFailCount, read.m_MaxFailCount);
    sameNumber("m_bAlertAboutFailuresOnly", written.m_bAlertAboutFailuresOnly, read.m_bAlertAboutFailuresOnly);
    sameNumber("m_bAlertOnRecovery", written.m_bAlertOnRecovery, read.m_bAlertOnRecovery);
    sameNumber("m_SpiderConnections", written.m_SpiderConnections, read.m_SpiderConnections);
    sameNumber("m_bSpiderCheckExternal", written.m_bSpiderCheckExternal, read.m_bSpiderCheckExternal);
    same("m_TaskGuid", written.m_TaskGuid, read.m_TaskGuid);
    sameNumber("m_TaskId", n, read.m_TaskId);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // New tasks take the application's defaults: from an empty settings file of our own, never
    // from the user's settings.
    static QTemporaryDir folder;
    SetSettingsFile(folder.filePath(QStringLiteral("settings.ini")));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char*>(data), qsizetype(size));
    QList<CTask> tasks;
    QString reason;
    if (!ParseTaskFile(bytes, tasks, &reason)) {
        FUZZ_CHECK(!reason.isEmpty() && tasks.isEmpty(), "a refused file gives no tasks and a reason");
        return 0;
    }
    if (tasks.size() > kMaxRoundTripTasks)
        return 0;

    const QByteArray written = FormatTaskFile(tasks);
    QList<CTask> reread;
    FUZZ_CHECK(ParseTaskFile(written, reread, &reason), "the writer's file is refused: %s\n%s", SHOWN(reason),
               SHOWN(written));
    FUZZ_CHECK(reread.size() == tasks.size(), "%lld tasks written, %lld read back",
               static_cast<long long>(tasks.size()), static_cast<long long>(reread.size()));
    for (qsizetype n = 0; n < tasks.size(); ++n)
        ExpectSame(tasks[n], reread[n], n);
    // Saving again what was read back changes nothing: a file does not drift save by save.
    const QByteArray again = FormatTaskFile(reread);
    FUZZ_CHECK(again == written, "a second save differs:\n%s\n%s", SHOWN(written), SHOWN(again));
    return 0;
}
