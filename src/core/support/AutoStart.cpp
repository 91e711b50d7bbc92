#include "core/support/AutoStart.h"

#include "core/shell/AppSettings.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

CAutoStartKey::CAutoStartKey()
    : m_Executable(QCoreApplication::applicationFilePath())
{
    SetSettingsFile(GetSettingsFile());
}

CAutoStartKey::CAutoStartKey(const QString& executable)
    : m_Executable(executable)
{ }

QString CAutoStartKey::GetAutoStartFilePath()
{
    // The XDG base directory rules ignore a relative XDG_CONFIG_HOME, as they ignore an empty one.
    QString configHome = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (configHome.isEmpty() || QDir::isRelativePath(configHome))
        configHome = QDir::homePath() + QStringLiteral("/.config");
    return configHome + QStringLiteral("/autostart/corvane.desktop");
}

void CAutoStartKey::SetSettingsFile(const QString& iniPath)
{
    m_SettingsFile = iniPath.isEmpty() ? QString() : QFileInfo(iniPath).absoluteFilePath();
}

QStringList CAutoStartKey::GetCommandArguments() const
{
    QStringList arguments;
    if (!m_SettingsFile.isEmpty())
        arguments << QStringLiteral("--settings") << m_SettingsFile;
    return arguments + m_Arguments;
}
