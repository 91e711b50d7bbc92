#pragma once

#include <QWidget>

class CAppSettings;
class QCheckBox;
class QLineEdit;
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

    QCheckBox* m_pAlertAboutFailuresOnly;
    QLineEdit* m_pMaxFailCount;
    QCheckBox* m_pSendEmail;
    QLineEdit* m_pEmailAddresses;
    QCheckBox* m_pSendHttp;
    QLineEdit* m_pHttpUrl;
    QCheckBox* m_pRunApplication;
    QLineEdit* m_pApplicationName;
    QToolButton* m_pBrowseApplication;
};
