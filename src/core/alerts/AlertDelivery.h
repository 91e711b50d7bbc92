#pragma once

#include "core/alerts/AlertRequest.h"

#include <QString>
#include <QStringList>

#include <atomic>
#include <optional>

// The values an alert's templates can name: %N the task name, %E the result text, %S the
// state ("failed", "recovered", or "succeeded" for an alert about every success), %T the
// result's time (ISO 8601 with offset), %D the downtime ("12 min"; empty but for a recovery),
// %U the task's URL or host.
struct CAlertFields
{
    QString m_Name;
    QString m_Text;
    QString m_State;
    QString m_Time;
    QString m_Downtime;
    QString m_Target;
};

// How a value is written into a template: as it is, percent-encoded (URLs, form bodies) or
// as the inside of a JSON string.
enum class eAlertEncoding
{
    eRaw,
    eUrl,
    eForm,
    eJson,
};

// The fields of a request: its task's name, result text and target, its state, its result
// time, and for a recovery the downtime.
CAlertFields AlertFieldsOf(const CAlertRequest& request);
// Ordinary values for every field, to try templates with.
CAlertFields SampleAlertFields();
// A downtime in the units a person reads: "45 s", "12 min", "2 h 5 min", "3 d 4 h".
QString FormatDowntime(qint64 seconds);
// The time as %T gives it: ISO 8601 in the local time with its offset.
QString AlertTimeText(qint64 time);

// One pass over text, each "%X" of CAlertFields replaced by its value in the encoding; any
// other '%' stays. A value is never read again, so a "%E" inside a task name stays as it is.
QString SubstituteAlertFields(const QString& text, const CAlertFields& fields, eAlertEncoding encoding);

// An HTTP alert ready to send.
struct CHttpAlert
{
    QString m_Method = QStringLiteral("GET"); // "GET" or "POST"
    QString m_Url;
    QByteArray m_Body; // POST only
    QString m_ContentType; // POST only
};

// The content type a POST body is sent with: contentType when set, otherwise
// "application/json" for a body template that starts with '{' or '[', else
// "application/x-www-form-urlencoded".
QString EffectiveAlertContentType(const QString& bodyTemplate, const QString& contentType);

// The request for the task's templates: the URL's values percent-encoded; the body's
// JSON-escaped for a JSON content type (application/json or any "+json"), form-encoded for
// application/x-www-form-urlencoded, and as they are for any other type (text/plain). A method other than POST
// (case-insensitively) is GET, without a body.
CHttpAlert PrepareHttpAlert(const QString& method, const QString& urlTemplate, const QString& bodyTemplate,
                            const QString& contentType, const CAlertFields& fields);

// Empty when the templates are sound; otherwise why not, for the dialog that edits them: a
// method other than GET or POST, a POST without a URL, or a POST whose JSON body, with
// SampleAlertFields() put in, is not valid JSON (saying where it breaks).
QString CheckHttpAlertTemplates(const QString& method, const QString& urlTemplate, const QString& bodyTemplate,
                                const QString& contentType);

// A program to start for an alert, and its arguments.
struct CAlertCommand
{
    QString m_Program;
    QStringList m_Arguments;

    friend bool operator==(const CAlertCommand&, const CAlertCommand&) = default;
};

// Splits an alert command into program and arguments first (blanks separate words, double
// quotes group them, three double quotes in a row stand for one literal quote), then puts
// the task name for "%N" and the result text for "%E" into the arguments. Substituting
// after the split keeps each text exactly one argument, whatever blanks, quotes or line
// breaks it holds; one pass over each argument, so a "%E" inside a task name stays as it is.
// Nothing when the command is blank.
std::optional<CAlertCommand> PrepareAlertCommand(const QString& command, const QString& taskName,
                                                 const QString& details);
// The same with every field of CAlertFields ("%N %E %S %T %D %U"), each value as it is.
std::optional<CAlertCommand> PrepareAlertCommand(const QString& command, const CAlertFields& fields);

// The URL of an HTTP alert: "%N" and "%E" replaced by the task name and the result text,
// percent-encoded as UTF-8 so that neither can change the URL's structure.
QString PrepareAlertUrl(const QString& urlTemplate, const QString& taskName, const QString& details);

// Fetches url with GET and throws the answer away: the request is the alert. Redirects are
// followed, http and https only. True when the final answer has a 2xx status; otherwise
// error says why. timeoutSec (the task's time-out, at least 1 s and at most a day, whatever a
// hand-edited file says) bounds the connection and any stall; the whole request is bounded
// as a page fetch is. An abort flag set meanwhile ends it at once.
bool SendHttpAlert(const QString& url, int timeoutSec, const std::atomic<bool>* abort, QString& error);

// The same for a prepared request, GET or POST (the body sent with its Content-Type), with
// the extra trusted certificates of the settings. answer, when given, receives "HTTP
// <status>" and, on a line of its own, the first 500 bytes of the answer's body (for the
// dialog's Test button).
bool SendHttpAlert(const CHttpAlert& alert, int timeoutSec, const std::atomic<bool>* abort, QString& error,
                   QString* answer = nullptr);
