#pragma once

#include "ui/dialogs/TaskPage.h"

#include <QList>

class QCheckBox;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QRadioButton;
class QSpinBox;
class QToolButton;

// What the task checks: a ping, a connection to a TCP port (optionally sending a line and
// looking for a text in the answer), one HTTP GET (optionally looking for a text in the page)
// or a crawl of a site (with its limits, its connections and whether links to other sites are
// checked too), and the time-out of every network operation. Under "Advanced", closed unless
// the task uses one of them: the certificate warning, a response-time limit, an unwanted text,
// the accepted statuses and request headers. Only the chosen check's controls are enabled;
// the others keep their values and are stored all the same.
class CTaskChecksPage : public CTaskPage
{
    Q_OBJECT

public:
    explicit CTaskChecksPage(QWidget* parent = nullptr);

    void SetUp(const CTask& task) override;
    void Confirm(CTask& task) override;
    bool CanLeave() override;

    // The check action the controls stand for now.
    int CheckAction() const;

private:
    void UpdateEnabling();
    void OpenUrlOf(QLineEdit* field);
    bool CheckUrl(QLineEdit* field);
    void RefuseUrl(QLineEdit* field);
    bool CheckAdvanced();
    void Refuse(QWidget* field, const QString& message);
    void ShowAdvanced(bool shown);

    QLineEdit* m_pTimeout = nullptr;
    QRadioButton* m_pPing = nullptr;
    QLineEdit* m_pPingHost = nullptr;
    QRadioButton* m_pTcp = nullptr;
    QLineEdit* m_pTcpPort = nullptr;
    QLineEdit* m_pTcpSend = nullptr;
    QLineEdit* m_pTcpExpect = nullptr;
    QRadioButton* m_pHttpGet = nullptr;
    QLineEdit* m_pHttpUrl = nullptr;
    QPushButton* m_pHttpTest = nullptr;
    QCheckBox* m_pLookForString = nullptr;
    QLineEdit* m_pPattern = nullptr;
    QRadioButton* m_pSpider = nullptr;
    QLineEdit* m_pSpiderUrl = nullptr;
    QPushButton* m_pSpiderTest = nullptr;
    QCheckBox* m_pLimitPages = nullptr;
    QLineEdit* m_pMaxPages = nullptr;
    QCheckBox* m_pLimitDepth = nullptr;
    QLineEdit* m_pMaxDepth = nullptr;
    QSpinBox* m_pSpiderConnections = nullptr;
    QCheckBox* m_pSpiderCheckExternal = nullptr;

    QToolButton* m_pAdvancedToggle = nullptr;
    bool m_bAdvancedShown = false;
    QList<QWidget*> m_AdvancedWidgets; // what the toggle hides and shows
    QCheckBox* m_pCertWarn = nullptr;
    QSpinBox* m_pCertWarnDays = nullptr;
    QCheckBox* m_pResponseLimit = nullptr;
    QSpinBox* m_pMaxResponseMs = nullptr;
    QLineEdit* m_pUnwanted = nullptr;
    QLineEdit* m_pAcceptedStatus = nullptr;
    QPlainTextEdit* m_pHeaders = nullptr;
};
