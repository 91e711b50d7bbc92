#pragma once

#include <QStringList>
#include <QWidget>

class CAppSettings;
class QCheckBox;
class QLineEdit;
class QToolButton;

// The "General" page of the Options sheet: the SMTP server, the tray and the desktop
// notifications, and the start with the system, with the task file that start opens.
class CGeneralPreferencesPage : public QWidget
{
    Q_OBJECT

public:
    explicit CGeneralPreferencesPage(QWidget* parent = nullptr);

    void Load(const CAppSettings& settings);
    // Stores every field, disabled ones too: a checked but disabled "Open task file" stays on.
    void Store(CAppSettings& settings) const;

    // The arguments of the auto-start entry for these settings: the task file to open and
    // "-minimize", or none.
    static QStringList GetAutoStartArguments(const CAppSettings& settings);
    // Writes or removes the auto-start entry as the settings say. A failure is not reported:
    // the page reads the entry back from the system, so the next opening shows what holds.
    static void WriteAutoStart(const CAppSettings& settings);

private:
    void UpdateEnabling();
    void BrowseTaskFile();

    QLineEdit* m_pSmtpServerName;
    QCheckBox* m_pMinimizeToTray;
    QCheckBox* m_pAnimateIcon;
    QCheckBox* m_pDesktopNotifications;
    QCheckBox* m_pAutoStart;
    QCheckBox* m_pAutoOpenTasks;
    QLineEdit* m_pAutoOpenFileName;
    QToolButton* m_pBrowseTaskFile;
};
