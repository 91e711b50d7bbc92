#pragma once

#include <QWidget>

class CAppSettings;
class QCheckBox;
class QLineEdit;
class QPushButton;
class QToolButton;

// The "Default alert configuration" page of the Options sheet: the alert settings every new
// task starts with, and the addresses and program of tasks that keep using the defaults.
class CAlertPreferencesPage : public QWidget
{
    Q_OBJECT

public:
    explicit CAlertPreferencesPage(QWidget* parent = nullptr);

    void Load(const CAppSettings& settings);
    // Texts are stored as typed, also those of methods that are switched off.
    void Store(CAppSettings& settings) const;

private:
    void UpdateEnabling();
    void BrowseApplication();
    void EditHttpRequest();

    QCheckBox* m_pAlertAboutFailuresOnly;
    QLineEdit* m_pMaxFailCount;
    QCheckBox* m_pAlertOnRecovery;
    QCheckBox* m_pSendEmail;
    QLineEdit* m_pEmailAddresses;
    QCheckBox* m_pSendHttp;
    QLineEdit* m_pHttpUrl;
    QPushButton* m_pHttpRequest;
    QCheckBox* m_pRunApplication;
    QLineEdit* m_pApplicationName;
    QToolButton* m_pBrowseApplication;
    // The rest of the HTTP request, edited in its own dialog and kept as loaded until then.
    QString m_HttpMethod = QStringLiteral("GET");
    QString m_HttpBody;
    QString m_HttpContentType;
};
