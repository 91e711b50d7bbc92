#include "core/support/AutoStart.h"

#include "Version.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

namespace {

// Characters that make an Exec argument need quotes, by the freedesktop.org rules for the Exec key.
bool NeedsQuotes(const QString& argument)
{
    static const QString reserved = QStringLiteral(" \t\n\"'\\><~|&;$*?#()`");
    if (argument.isEmpty())
        return true;
    for (const QChar c : argument) {
        if (reserved.contains(c))
            return true;
    }
    return false;
}

// One argument as the Exec rules want it: quoted when needed, with ", `, $ and \ escaped
// inside the quotes, and % doubled because a single % starts a field code.
QString QuoteExecArgument(const QString& argument)
{
    QString text;
    if (NeedsQuotes(argument)) {
        text += QLatin1Char('"');
        for (const QChar c : argument) {
            if (c == QLatin1Char('"') || c == QLatin1Char('`') || c == QLatin1Char('$') || c == QLatin1Char('\\'))
                text += QLatin1Char('\\');
            text += c;
        }
        text += QLatin1Char('"');
    } else {
        text = argument;
    }
    return text.replace(QLatin1Char('%'), QStringLiteral("%%"));
}

// The Exec value is a string value first: its own escapes are undone before the quoting rules
// run, so a backslash of the quoted command is written twice and line breaks as escapes.
QString EscapeStringValue(const QString& value)
{
    QString text;
    for (const QChar c : value) {
        if (c == QLatin1Char('\\'))
            text += QStringLiteral("\\\\");
        else if (c == QLatin1Char('\n'))
            text += QStringLiteral("\\n");
        else if (c == QLatin1Char('\r'))
            text += QStringLiteral("\\r");
        else if (c == QLatin1Char('\t'))
            text += QStringLiteral("\\t");
        else
            text += c;
    }
    return text;
}

} // namespace

bool CAutoStartKey::Register() const
{
    QStringList command {QuoteExecArgument(m_Executable)};
    for (const QString& argument : GetCommandArguments())
        command << QuoteExecArgument(argument);

    const QString content = QStringLiteral("[Desktop Entry]\n"
                                           "Type=Application\n"
                                           "Name=" CORVANE_PRODUCT_NAME "\n"
                                           "Comment=Starts " CORVANE_PRODUCT_NAME " when you log in\n"
                                           "Exec=%1\n"
                                           "Terminal=false\n"
                                           "X-GNOME-Autostart-enabled=true\n")
                                .arg(EscapeStringValue(command.join(QLatin1Char(' '))));

    const QString path = GetAutoStartFilePath();
    if (!QDir().mkpath(QFileInfo(path).absolutePath()))
        return false;
    // A half-written entry could start something else at the next login: replace it whole.
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    file.write(content.toUtf8());
    return file.commit();
}

bool CAutoStartKey::Unregister() const
{
    const QString path = GetAutoStartFilePath();
    return !QFileInfo::exists(path) || QFile::remove(path);
}

bool CAutoStartKey::IsRegistered()
{
    return QFileInfo::exists(GetAutoStartFilePath());
}
