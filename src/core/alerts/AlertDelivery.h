#pragma once

#include <QString>
#include <QStringList>

#include <atomic>
#include <optional>

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

// The URL of an HTTP alert: "%N" and "%E" replaced by the task name and the result text,
// percent-encoded as UTF-8 so that neither can change the URL's structure.
QString PrepareAlertUrl(const QString& urlTemplate, const QString& taskName, const QString& details);

// Fetches url with GET and throws the answer away: the request is the alert. Redirects are
// followed, http and https only. True when the final answer has a 2xx status; otherwise
// error says why. timeoutSec (the task's time-out, at least 1 s and at most a day, whatever a
// hand-edited file says) bounds the connection and any stall; the whole request is bounded
// as a page fetch is. An abort flag set meanwhile ends it at once.
bool SendHttpAlert(const QString& url, int timeoutSec, const std::atomic<bool>* abort, QString& error);
