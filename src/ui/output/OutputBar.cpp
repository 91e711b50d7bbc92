#include "ui/output/OutputBar.h"

#include "core/shell/AppSettings.h"
#include "ui/output/OutputList.h"

#include <QTabWidget>

COutputBar::COutputBar(QWidget* parent)
    : QDockWidget(QStringLiteral("Output"), parent)
    , m_pTabs(new QTabWidget(this))
    , m_pList(new COutputList(m_pTabs))
{
    // The name keys the dock's place in the saved window state.
    setObjectName(QStringLiteral("OutputBar"));
    setAllowedAreas(Qt::AllDockWidgetAreas);
    m_pTabs->setObjectName(QStringLiteral("OutputTabs"));
    m_pTabs->setTabPosition(QTabWidget::South);
    m_pTabs->setDocumentMode(true);
    m_pTabs->addTab(m_pList, QStringLiteral("Task Output"));
    setWidget(m_pTabs);
    setFocusProxy(m_pList);
    ApplySettings();
}

void COutputBar::AddMessage(const CLogMessage& message)
{
    m_pList->AddMessage(message);
}

void COutputBar::ApplySettings()
{
    m_pList->ApplySettings(GetAppSettings());
}

bool COutputBar::HasSelection() const
{
    return m_pList->HasSelection();
}

void COutputBar::Copy()
{
    m_pList->Copy();
}

void COutputBar::SelectAll()
{
    m_pList->SelectAll();
}

void COutputBar::Clear()
{
    m_pList->Clear();
}

void COutputBar::Export()
{
    m_pList->Export();
}
