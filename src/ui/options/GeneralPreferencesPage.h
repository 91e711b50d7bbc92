#pragma once

#include <QStringList>
#include <QWidget>

#include <atomic>
#include <functional>
#include <memory>

class CAppSettings;
class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QSpinBox;
class QToolButton;

// The "General" page of the Options sheet: the mail server (port, security, login, sender,
// extra trusted certificates, and a test message), the tray and the desktop notifications,
// the start with the system, with the task file that start opens, and the connections a
// site crawl uses when its task leaves them to the application.
class CGeneralPreferencesPage : public QWidget
{
    Q_OBJECT

public:
    explicit CGeneralPreferencesPage(QWidget* parent = nullptr);
    ~CGeneralPreferencesPage() override;

    void Load(const CAppSettings& settings);
    // Stores every field, disabled ones too: a checked but disabled "Open task file" stays on.
    void Store(CAppSettings& settings) const;
    // Puts a typed password in the system's secret store, never in the settings. False, after
    // telling the user why and what to do, when it could not be kept: the sheet stays open.
    bool StorePassword();

    // Where "Send test e-mail" finds the alert addresses: the sheet's Alerts page as edited.
    void SetAlertAddressSource(std::function<QString()> source) { m_AlertAddresses = std::move(source); }
    // True while a test message is on its way.
    bool IsSendingTestMail() const { return m_bSending; }

    // The arguments of the auto-start entry for these settings: the task file to open and
    // "-minimize", or none.
    static QStringList GetAutoStartArguments(const CAppSettings& settings);
    // Writes or removes the auto-start entry as the settings say. A failure is not reported:
    // the page reads the entry back from the system, so the next opening shows what holds.
    static void WriteAutoStart(const CAppSettings& settings);

Q_SIGNALS:
    // A test message was sent or failed, and its message box was closed.
    void TestMailFinished();

private:
    void UpdateEnabling();
    void UpdatePasswordLocation();
    void BrowseTaskFile();
    void BrowseFileInto(QLineEdit* edit, const QStringList& filters);
    void SendTestMail();
    void ShowTestMailOutcome(bool failed, const QString& text);

    QLineEdit* m_pSmtpServerName;
    QSpinBox* m_pSmtpPort;
    QComboBox* m_pSmtpSecurity;
    QLineEdit* m_pSmtpUserName;
    QLineEdit* m_pSmtpPassword;
    QLineEdit* m_pSmtpFromAddress;
    QLineEdit* m_pSmtpPasswordFile;
    QToolButton* m_pBrowsePasswordFile;
    QLineEdit* m_pTlsCaFile;
    QToolButton* m_pBrowseTlsCaFile;
    QLabel* m_pPasswordLocation;
    QPushButton* m_pSendTestMail;
    QCheckBox* m_pMinimizeToTray;
    QCheckBox* m_pAnimateIcon;
    QCheckBox* m_pDesktopNotifications;
    QCheckBox* m_pAutoStart;
    QCheckBox* m_pAutoOpenTasks;
    QLineEdit* m_pAutoOpenFileName;
    QToolButton* m_pBrowseTaskFile;
    QSpinBox* m_pSpiderConnections;

    std::function<QString()> m_AlertAddresses;
    bool m_bSending = false;
    // Set when the page goes, so a test message still on its way gives up within a second.
    std::shared_ptr<std::atomic<bool>> m_pAbortTestMail = std::make_shared<std::atomic<bool>>(false);
};
