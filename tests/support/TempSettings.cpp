#include "support/TempSettings.h"

#include "core/shell/AppSettings.h"

CTempSettings::CTempSettings()
    : m_PreviousFile(GetSettingsFile())
{
    SetSettingsFile(IniPath());
    ResetAppSettingsForTesting();
}

CTempSettings::~CTempSettings()
{
    ResetAppSettingsForTesting();
    SetSettingsFile(m_PreviousFile);
}

QString CTempSettings::IniPath() const
{
    return m_Dir.filePath(QStringLiteral("settings.ini"));
}

void CTempSettings::Reload()
{
    ResetAppSettingsForTesting();
}
