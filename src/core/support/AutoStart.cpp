#include "core/support/AutoStart.h"

#include <QCoreApplication>
#include <QDir>

CAutoStartKey::CAutoStartKey()
    : m_Executable(QCoreApplication::applicationFilePath())
{ }

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
