#pragma once

#include <QString>
#include <QStringList>

// The entry that starts the program when the user logs in: the program's own executable with
// m_Arguments after it. On Linux an XDG autostart file, on Windows a value of the user's Run
// key. Every argument stays one argument whatever spaces or quotes it holds, so a task file
// path with spaces survives the trip.
class CAutoStartKey
{
public:
    // For the running program's own executable and the settings file it runs with
    // (GetSettingsFile()), so that the program started at login reads the same settings.
    CAutoStartKey();
    // For another executable, with no settings file; lets tests check paths that need quoting.
    explicit CAutoStartKey(const QString& executable);

    void SetArguments(const QStringList& arguments) { m_Arguments = arguments; }
    // An empty path: the user's own settings, and no --settings in the entry.
    void SetSettingsFile(const QString& iniPath);
    // What follows the executable: --settings and its file when there is one, then m_Arguments.
    QStringList GetCommandArguments() const;

    // Writes the entry, replacing one that is there. False when it could not be written.
    bool Register() const;
    // Removes the entry. True also when there was none; false only when it stays behind.
    bool Unregister() const;
    // Whether the system holds an entry now, whoever wrote it.
    static bool IsRegistered();

    // Where the Linux entry lives: $XDG_CONFIG_HOME/autostart/corvane.desktop, with
    // XDG_CONFIG_HOME defaulting to ~/.config.
    static QString GetAutoStartFilePath();

    QStringList m_Arguments;

private:
    QString m_Executable;
    QString m_SettingsFile; // absolute: the login start runs in another working folder
};
