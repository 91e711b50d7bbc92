#include "OnceReport.h"

#include "Version.h"
#include "core/engine/TcpProbe.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QXmlStreamWriter>

#include <algorithm>
#include <utility>

namespace {

QString ActionName(int checkAction)
{
    const QString key = CheckActionKey(checkAction);
    return key.isEmpty() ? QStringLiteral("none") : key;
}

// What the task checks, as the task file names it.
QString TargetOf(const CTask& task)
{
    switch (task.m_CheckAction) {
    case eCheckPing:
        return task.m_PingHost;
    case eCheckHttpGet:
    case eCheckHttpGetPattern:
        return task.m_HttpGetURL;
    case eCheckSpider:
        return task.m_SpiderUrl;
    case eCheckTcp:
        return TcpTargetText(task.m_PingHost, task.m_TcpPort);
    default:
        return QString();
    }
}

QString VerdictName(const COnceOutcome& outcome)
{
    return outcome.m_Result ? VerdictKey(outcome.m_Result->m_Verdict) : QStringLiteral("none");
}

QString TextOf(const COnceOutcome& outcome)
{
    return outcome.m_Result ? outcome.m_Result->m_Text : outcome.m_Note;
}

// Milliseconds with the microseconds the clocks measured; null for a figure not measured.
QJsonValue Milliseconds(qint64 us)
{
    return us < 0 ? QJsonValue() : QJsonValue(double(us) / 1000.0);
}

QJsonValue Count(qint64 value)
{
    return value < 0 ? QJsonValue() : QJsonValue(double(value));
}

QString UtcTime(qint64 ms)
{
    return QDateTime::fromMSecsSinceEpoch(ms).toUTC().toString(Qt::ISODateWithMs);
}

QJsonObject TaskObject(const COnceOutcome& outcome)
{
    const CTask& task = outcome.m_Task;
    QJsonObject object {
        {QStringLiteral("name"), task.m_Name},
        {QStringLiteral("key"), task.m_TaskGuid},
        {QStringLiteral("action"), ActionName(task.m_CheckAction)},
        {QStringLiteral("target"), TargetOf(task)},
        {QStringLiteral("verdict"), VerdictName(outcome)},
        {QStringLiteral("text"), TextOf(outcome)},
    };
    // The same keys in every object, null where the run measured nothing, so a script can
    // read any task without testing for them.
    object.insert(QStringLiteral("startedAt"), QJsonValue());
    object.insert(QStringLiteral("durationMs"), QJsonValue());
    object.insert(QStringLiteral("responseMs"), QJsonValue());
    object.insert(QStringLiteral("statusCode"), QJsonValue());
    if (task.m_CheckAction == eCheckSpider)
        object.insert(QStringLiteral("brokenLinks"), QJsonArray());
    if (!outcome.m_Result)
        return object;

    const CCheckResult& result = *outcome.m_Result;
    object.insert(QStringLiteral("startedAt"), UtcTime(result.m_StartMs));
    object.insert(QStringLiteral("durationMs"), Milliseconds(result.m_DurationUs));
    object.insert(QStringLiteral("responseMs"), Milliseconds(result.ResponseUs()));
    object.insert(QStringLiteral("statusCode"), Count(result.m_StatusCode));
    // libcurl's phases, each from the start of the request; only those the run reached.
    QJsonObject phases;
    const std::pair<const char*, qint64> phaseTimes[] = {
        {"lookup", result.m_LookupUs},       {"connect", result.m_ConnectUs}, {"tls", result.m_TlsUs},
        {"firstByte", result.m_FirstByteUs}, {"total", result.m_TotalUs},
    };
    for (const auto& [name, us] : phaseTimes) {
        if (us >= 0)
            phases.insert(QLatin1String(name), Milliseconds(us));
    }
    if (!phases.isEmpty())
        object.insert(QStringLiteral("phasesMs"), phases);
    if (result.m_Bytes >= 0)
        object.insert(QStringLiteral("bytes"), Count(result.m_Bytes));
    if (!result.m_FinalUrl.isEmpty())
        object.insert(QStringLiteral("finalUrl"), result.m_FinalUrl);
    if (result.m_CertExpiryMs >= 0)
        object.insert(QStringLiteral("certificateExpiresAt"), UtcTime(result.m_CertExpiryMs));
    if (result.m_RoundTripUs >= 0)
        object.insert(QStringLiteral("roundTripMs"), Milliseconds(result.m_RoundTripUs));
    if (result.m_PagesFetched >= 0)
        object.insert(QStringLiteral("pagesFetched"), Count(result.m_PagesFetched));
    if (task.m_CheckAction == eCheckSpider || !result.m_BrokenLinks.isEmpty()) {
        QJsonArray links;
        for (const CBrokenLink& link : result.m_BrokenLinks)
            links.append(QJsonObject {{QStringLiteral("url"), link.m_Url},
                                      {QStringLiteral("referrer"), link.m_Referrer},
                                      {QStringLiteral("error"), link.m_Error}});
        object.insert(QStringLiteral("brokenLinks"), links);
    }
    return object;
}

struct CTally
{
    int m_nSuccess = 0;
    int m_nFailure = 0;
    int m_nStopped = 0;
    int m_nNone = 0;
    qint64 m_TotalUs = 0;
    qint64 m_FirstStartMs = -1;
};

CTally TallyOf(const QList<COnceOutcome>& outcomes)
{
    CTally tally;
    for (const COnceOutcome& outcome : outcomes) {
        if (!outcome.m_Result) {
            ++tally.m_nNone;
            continue;
        }
        const CCheckResult& result = *outcome.m_Result;
        tally.m_TotalUs += std::max<qint64>(result.m_DurationUs, 0);
        if (tally.m_FirstStartMs < 0 || result.m_StartMs < tally.m_FirstStartMs)
            tally.m_FirstStartMs = result.m_StartMs;
        switch (result.m_Verdict) {
        case eVerdict::eSuccess:
            ++tally.m_nSuccess;
            break;
        case eVerdict::eFailure:
            ++tally.m_nFailure;
            break;
        case eVerdict::eStopped:
            ++tally.m_nStopped;
            break;
        }
    }
    return tally;
}

// XML 1.0 has no way to carry most control characters, not even as character references, so
// a task name holding one (possible in a hand-edited file) would make the whole report
// unreadable; such a character is shown as U+FFFD instead. Tab and line ends stay.
QString XmlText(const QString& text)
{
    QString safe;
    safe.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        const char16_t u = c.unicode();
        if (c.isHighSurrogate() && i + 1 < text.size() && text.at(i + 1).isLowSurrogate()) {
            safe += c;
            safe += text.at(++i);
        } else if (u == 0x9 || u == 0xA || u == 0xD || (u >= 0x20 && u <= 0xD7FF) || (u >= 0xE000 && u <= 0xFFFD)) {
            safe += c;
        } else {
            safe += QChar(QChar::ReplacementCharacter);
        }
    }
    return safe;
}

QString Seconds(qint64 us)
{
    return QString::number(double(std::max<qint64>(us, 0)) / 1e6, 'f', 3);
}

// The body of a failure: its text, then each broken link with where it was found.
QString FailureBody(const COnceOutcome& outcome)
{
    QString body = TextOf(outcome);
    if (!outcome.m_Result || outcome.m_Result->m_BrokenLinks.isEmpty())
        return body;
    body += QStringLiteral("\n\nBroken links:");
    for (const CBrokenLink& link : outcome.m_Result->m_BrokenLinks)
        body += QStringLiteral("\n%1\n  found on: %2\n  error: %3").arg(link.m_Url, link.m_Referrer, link.m_Error);
    return body;
}

} // namespace

QByteArray FormatOnceJson(const QString& taskFile, const QList<COnceOutcome>& outcomes)
{
    QJsonArray tasks;
    for (const COnceOutcome& outcome : outcomes)
        tasks.append(TaskObject(outcome));
    const CTally tally = TallyOf(outcomes);
    const QJsonObject summary {
        {QStringLiteral("tasks"), int(outcomes.size())}, {QStringLiteral("success"), tally.m_nSuccess},
        {QStringLiteral("failure"), tally.m_nFailure},   {QStringLiteral("stopped"), tally.m_nStopped},
        {QStringLiteral("none"), tally.m_nNone},
    };
    const QJsonObject document {
        {QStringLiteral("program"), QStringLiteral(CORVANE_PRODUCT_NAME)},
        {QStringLiteral("version"), QStringLiteral(CORVANE_VERSION)},
        {QStringLiteral("taskFile"), QDir::toNativeSeparators(QFileInfo(taskFile).absoluteFilePath())},
        {QStringLiteral("tasks"), tasks},
        {QStringLiteral("summary"), summary},
    };
    return QJsonDocument(document).toJson(QJsonDocument::Indented);
}

QByteArray FormatOnceJunit(const QString& taskFile, const QList<COnceOutcome>& outcomes)
{
    const CTally tally = TallyOf(outcomes);
    const QString suiteName = XmlText(QFileInfo(taskFile).completeBaseName());
    const QString tests = QString::number(outcomes.size());
    const QString failures = QString::number(tally.m_nFailure);
    const QString errors = QString::number(tally.m_nNone);
    const QString skipped = QString::number(tally.m_nStopped);

    QByteArray xml;
    QXmlStreamWriter writer(&xml);
    writer.setAutoFormatting(true);
    writer.writeStartDocument();
    writer.writeStartElement(QStringLiteral("testsuites"));
    writer.writeAttribute(QStringLiteral("name"), QStringLiteral(CORVANE_PRODUCT_NAME));
    writer.writeAttribute(QStringLiteral("tests"), tests);
    writer.writeAttribute(QStringLiteral("failures"), failures);
    writer.writeAttribute(QStringLiteral("errors"), errors);
    writer.writeAttribute(QStringLiteral("skipped"), skipped);
    writer.writeAttribute(QStringLiteral("time"), Seconds(tally.m_TotalUs));

    writer.writeStartElement(QStringLiteral("testsuite"));
    writer.writeAttribute(QStringLiteral("name"), suiteName);
    writer.writeAttribute(QStringLiteral("tests"), tests);
    writer.writeAttribute(QStringLiteral("failures"), failures);
    writer.writeAttribute(QStringLiteral("errors"), errors);
    writer.writeAttribute(QStringLiteral("skipped"), skipped);
    writer.writeAttribute(QStringLiteral("time"), Seconds(tally.m_TotalUs));
    if (tally.m_FirstStartMs >= 0)
        writer.writeAttribute(QStringLiteral("timestamp"),
                              QDateTime::fromMSecsSinceEpoch(tally.m_FirstStartMs).toUTC().toString(Qt::ISODate));

    for (const COnceOutcome& outcome : outcomes) {
        writer.writeStartElement(QStringLiteral("testcase"));
        writer.writeAttribute(QStringLiteral("name"), XmlText(outcome.m_Task.m_Name));
        writer.writeAttribute(QStringLiteral("classname"), suiteName);
        writer.writeAttribute(QStringLiteral("time"), Seconds(outcome.m_Result ? outcome.m_Result->m_DurationUs : 0));
        const QString verdict = VerdictName(outcome);
        const QString text = XmlText(TextOf(outcome));
        if (verdict == QLatin1String("failure")) {
            // CI pages show the message as the failure's headline; a crawl's report of every
            // page follows in the body.
            writer.writeStartElement(QStringLiteral("failure"));
            writer.writeAttribute(QStringLiteral("message"), text.section(u'\n', 0, 0));
            writer.writeAttribute(QStringLiteral("type"), ActionName(outcome.m_Task.m_CheckAction));
            writer.writeCharacters(XmlText(FailureBody(outcome)));
            writer.writeEndElement();
        } else if (verdict == QLatin1String("stopped")) {
            writer.writeStartElement(QStringLiteral("skipped"));
            writer.writeAttribute(QStringLiteral("message"), text);
            writer.writeEndElement();
        } else if (verdict == QLatin1String("none")) {
            writer.writeStartElement(QStringLiteral("error"));
            writer.writeAttribute(QStringLiteral("message"),
                                  text.isEmpty() ? QStringLiteral("The task gave no result") : text);
            writer.writeEndElement();
        }
        if (verdict == QLatin1String("success") && !text.isEmpty())
            writer.writeTextElement(QStringLiteral("system-out"), text);
        writer.writeEndElement();
    }
    writer.writeEndElement();
    writer.writeEndElement();
    writer.writeEndDocument();
    return xml;
}
