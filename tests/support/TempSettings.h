#pragma once

#include <QTemporaryDir>

// Points the application settings at an INI file in a fresh temporary folder for the
// lifetime of the object, so that no test reads or writes the user's settings.
class CTempSettings
{
public:
    CTempSettings();
    ~CTempSettings();
    CTempSettings(const CTempSettings&) = delete;
    CTempSettings& operator=(const CTempSettings&) = delete;

    QString IniPath() const;
    // Throws the loaded record away, so the next read loads the file again: a new run.
    void Reload();

private:
    QTemporaryDir m_Dir;
    QString m_PreviousFile;
};
