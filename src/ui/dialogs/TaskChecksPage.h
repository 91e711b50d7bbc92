#pragma once

#include "ui/dialogs/TaskPage.h"

class QCheckBox;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QSpinBox;

// What the task checks: a ping, one HTTP GET (optionally looking for a text in the page) or
// a crawl of a site (with its limits, its connections and whether links to other sites are
// checked too), and the time-out of every network operation. Only the chosen check's
// controls are enabled; the others keep their values and are stored all the same.
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

    QLineEdit* m_pTimeout = nullptr;
    QRadioButton* m_pPing = nullptr;
    QLineEdit* m_pPingHost = nullptr;
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
};
