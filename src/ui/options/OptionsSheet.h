#pragma once

#include <QDialog>

class CAlertPreferencesPage;
class CGeneralPreferencesPage;
class CHistoryPreferencesPage;
class CHub;
class COutputPreferencesPage;
class QTabWidget;
class QWidget;

// Shows the "Options" sheet (General, Alerts, Output, History). On OK the settings are stored and
// saved, the auto-start entry is written or removed and the hub reopens its log file.
// True when it was confirmed with OK.
bool RunOptionsSheet(QWidget* parent, CHub* hub);

// The "Options" sheet: the pages over one copy of the application settings, applied
// together on OK so that a refused page leaves every setting as it was.
class COptionsSheet : public QDialog
{
    Q_OBJECT

public:
    // hub may be null: then no log file is reopened.
    COptionsSheet(QWidget* parent, CHub* hub);

    CGeneralPreferencesPage* GetGeneralPage() const { return m_pGeneralPage; }
    CAlertPreferencesPage* GetAlertPage() const { return m_pAlertPage; }
    COutputPreferencesPage* GetOutputPage() const { return m_pOutputPage; }
    CHistoryPreferencesPage* GetHistoryPage() const { return m_pHistoryPage; }
    QTabWidget* GetTabs() const { return m_pTabs; }

    void accept() override;

private:
    void OnPageChanged(int index);

    CHub* m_pHub;
    QTabWidget* m_pTabs;
    CGeneralPreferencesPage* m_pGeneralPage;
    CAlertPreferencesPage* m_pAlertPage;
    COutputPreferencesPage* m_pOutputPage;
    CHistoryPreferencesPage* m_pHistoryPage;
    int m_nCurrentPage = 0;
};
