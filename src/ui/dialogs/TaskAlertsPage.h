#pragma once

#include "ui/dialogs/TaskPage.h"

class QCheckBox;
class QLineEdit;
class QPushButton;
class QRadioButton;

// How the task alerts: with the application's default destinations, or with its own
// methods, destinations and failure rule. The task's own values are kept while the default
// settings are chosen, so switching back shows them again.
class CTaskAlertsPage : public CTaskPage
{
    Q_OBJECT

public:
    explicit CTaskAlertsPage(QWidget* parent = nullptr);

    void SetUp(const CTask& task) override;
    void Confirm(CTask& task) override;

private:
    void UpdateEnabling();
    void BrowseApplication();
    void EditHttpRequest();

    QRadioButton* m_pUseDefault = nullptr;
    QRadioButton* m_pUseCustom = nullptr;
    QCheckBox* m_pFailuresOnly = nullptr;
    QLineEdit* m_pMaxFailCount = nullptr;
    QCheckBox* m_pAlertOnRecovery = nullptr;
    QCheckBox* m_pEmail = nullptr;
    QLineEdit* m_pEmailAddresses = nullptr;
    QCheckBox* m_pHttpGet = nullptr;
    QLineEdit* m_pHttpUrl = nullptr;
    QPushButton* m_pHttpRequest = nullptr;
    QCheckBox* m_pApplication = nullptr;
    QLineEdit* m_pApplicationName = nullptr;
    QPushButton* m_pBrowse = nullptr;
    // The rest of the HTTP request, edited in its own dialog and kept as loaded until then.
    QString m_HttpMethod;
    QString m_HttpBody;
    QString m_HttpContentType;
};
