#pragma once

// What the whole-program tests share: task and settings files written through the
// program's own code, the environment the program runs in, and its output read back.
#include "core/shell/AppSettings.h"
#include "core/tasks/TaskFile.h"

#include <QProcessEnvironment>
#include <QStringList>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <functional>

// The lines of a program's standard output, without the empty entry after the last line end.
inline QStringList OutputLines(const QByteArray& output)
{
    QStringList lines = QString::fromUtf8(output).split(u'\n');
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    return lines;
}

// "SEVERITY<TAB>TEXT" of each log line: the time stamp differs from run to run.
inline QStringList WithoutTime(const QStringList& lines)
{
    QStringList result;
    for (const QString& line : lines)
        result << (line.contains(u'\t') ? line.section(u'\t', 1) : line);
    return result;
}

// The result message of the named task in lines without time stamps (WithoutTime): its
// severity, a tab and its text, which may run over several lines.
inline QString VerdictOf(const QStringList& lines, const QString& name)
{
    const qsizetype start = lines.indexOf(QStringLiteral("Informational\tStarting task ") + name);
    const qsizetype finish = lines.indexOf(QStringLiteral("Informational\tFinished task ") + name, start);
    if (start < 0 || finish < 0)
        return QStringLiteral("(no run of %1 in: %2)").arg(name, lines.join(u'\n'));
    for (qsizetype i = start + 1; i < finish; ++i) {
        if (lines.at(i).startsWith(u"Task Success\t") || lines.at(i).startsWith(u"Task Failure\t"))
            return lines.mid(i, finish - i).join(u'\n');
    }
    return QStringLiteral("(no verdict for %1)").arg(name);
}

// Writes the tasks into tasks.cvn in the folder, as a save from the window would.
inline QString WriteTasks(const QTemporaryDir& dir, const QList<CTask>& tasks)
{
    const QString path = dir.filePath(QStringLiteral("tasks.cvn"));
    QString error;
    EXPECT_TRUE(WriteTaskFile(path, tasks, &error)) << error.toStdString();
    return path;
}

// Changes the settings and saves them into the test's own settings file, which the program
// is pointed at with --settings.
inline void SaveSettings(const std::function<void(CAppSettings&)>& change)
{
    CAppSettings settings = GetAppSettings();
    change(settings);
    SetAppSettings(settings);
    SaveAppSettings();
}

// The C locale, so that every log line starts with a time stamp of one known form.
inline QProcessEnvironment ProgramEnvironment()
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("LC_ALL"), QStringLiteral("C"));
    return environment;
}
