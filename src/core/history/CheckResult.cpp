#include "core/history/CheckResult.h"

#include "core/tasks/Task.h"

QString VerdictKey(eVerdict verdict)
{
    switch (verdict) {
    case eVerdict::eSuccess:
        return QStringLiteral("success");
    case eVerdict::eFailure:
        return QStringLiteral("failure");
    case eVerdict::eStopped:
        return QStringLiteral("stopped");
    }
    return QString();
}

qint64 CCheckResult::ResponseUs() const
{
    switch (m_CheckKind) {
    case eCheckPing:
        return m_RoundTripUs;
    case eCheckHttpGet:
    case eCheckHttpGetPattern:
        return m_TotalUs;
    case eCheckSpider:
        return m_Verdict == eVerdict::eStopped ? -1 : m_DurationUs;
    case eCheckTcp:
        // The time to connect, as the task's response-time limit measures it.
        return m_ConnectUs;
    default:
        return -1;
    }
}
