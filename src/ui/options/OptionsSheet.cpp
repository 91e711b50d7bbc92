#include "ui/options/OptionsSheet.h"

#include "core/shell/AppSettings.h"
#include "core/shell/Hub.h"
#include "ui/options/AlertPreferencesPage.h"
#include "ui/options/GeneralPreferencesPage.h"
#include "ui/options/HistoryPreferencesPage.h"
#include "ui/options/OutputPreferencesPage.h"

#include <QDialogButtonBox>
#include <QTabWidget>
#include <QVBoxLayout>

bool RunOptionsSheet(QWidget* parent, CHub* hub)
{
    COptionsSheet sheet(parent, hub);
    return sheet.exec() == QDialog::Accepted;
}

COptionsSheet::COptionsSheet(QWidget* parent, CHub* hub)
    : QDialog(parent)
    , m_pHub(hub)
{
    setWindowTitle(QStringLiteral("Options"));
    m_pTabs = new QTabWidget(this);
    m_pGeneralPage = new CGeneralPreferencesPage(m_pTabs);
    m_pAlertPage = new CAlertPreferencesPage(m_pTabs);
    m_pOutputPage = new COutputPreferencesPage(m_pTabs);
    m_pHistoryPage = new CHistoryPreferencesPage(m_pTabs);
    m_pTabs->addTab(m_pGeneralPage, QStringLiteral("General"));
    m_pTabs->addTab(m_pAlertPage, QStringLiteral("Default alert configuration"));
    m_pTabs->addTab(m_pOutputPage, QStringLiteral("Output"));
    m_pTabs->addTab(m_pHistoryPage, QStringLiteral("History"));

    const CAppSettings& settings = GetAppSettings();
    m_pGeneralPage->Load(settings);
    m_pAlertPage->Load(settings);
    m_pOutputPage->Load(settings);
    m_pHistoryPage->Load(settings);
    // The test message goes to the addresses as they stand on the Alerts page, unsaved.
    m_pGeneralPage->SetAlertAddressSource([this] {
        CAppSettings edited = GetAppSettings();
        m_pAlertPage->Store(edited);
        return edited.m_AlertEmailAddresses;
    });

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &COptionsSheet::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &COptionsSheet::reject);
    connect(m_pTabs, &QTabWidget::currentChanged, this, &COptionsSheet::OnPageChanged);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_pTabs);
    layout->addWidget(buttons);
}

void COptionsSheet::OnPageChanged(int index)
{
    // A refused message limit keeps the Output page in front until it is mended.
    if (m_pTabs->widget(m_nCurrentPage) == m_pOutputPage && index != m_nCurrentPage
        && !m_pOutputPage->IsMessageLimitAcceptable()) {
        m_pTabs->setCurrentWidget(m_pOutputPage); // re-enters with the Output page current
        m_pOutputPage->RefuseMessageLimit();
        return;
    }
    m_nCurrentPage = index;
}

void COptionsSheet::accept()
{
    if (!m_pOutputPage->IsMessageLimitAcceptable()) {
        m_pTabs->setCurrentWidget(m_pOutputPage);
        m_pOutputPage->RefuseMessageLimit();
        return;
    }
    if (!m_pGeneralPage->StorePassword()) {
        m_pTabs->setCurrentWidget(m_pGeneralPage);
        return;
    }
    CAppSettings settings = GetAppSettings();
    m_pGeneralPage->Store(settings);
    m_pAlertPage->Store(settings);
    m_pOutputPage->Store(settings);
    m_pHistoryPage->Store(settings);
    SetAppSettings(settings);
    // Written now, not only at exit, so a crash later does not lose what was confirmed.
    SaveAppSettings();
    CGeneralPreferencesPage::WriteAutoStart(settings);
    if (m_pHub) {
        m_pHub->OpenLogFile();
        m_pHub->ReopenHistory();
    }
    QDialog::accept();
}
