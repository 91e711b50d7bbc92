// The History half of the main frame: the output window's tab that shows the selected task's
// past.
#include "ui/history/HistoryPane.h"
#include "ui/output/OutputBar.h"
#include "ui/shell/MainFrame.h"
#include "ui/tasks/VigrelView.h"

#include <QTabWidget>

void CMainFrame::CreateHistoryTab()
{
    auto* pane = new CHistoryPane(m_pHub, m_pOutputBar);
    pane->setObjectName(QStringLiteral("HistoryPane"));
    m_pOutputBar->GetTabs()->addTab(pane, QStringLiteral("History"));
    connect(m_pView, &CVigrelView::SelectionChanged, pane,
            [this, pane] { pane->SetTask(m_pView->GetFirstSelectedTaskId()); });
    pane->SetTask(m_pView->GetFirstSelectedTaskId());
}
