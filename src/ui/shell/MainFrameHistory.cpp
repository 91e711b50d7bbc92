// The History half of the main frame: the output window's tab that shows the selected task's
// past.
#include "ui/history/HistoryPane.h"
#include "ui/output/OutputBar.h"
#include "ui/shell/MainFrame.h"
#include "ui/tasks/VigrelView.h"

#include <QScrollArea>
#include <QTabWidget>

void CMainFrame::CreateHistoryTab()
{
    auto* pane = new CHistoryPane(m_pHub);
    pane->setObjectName(QStringLiteral("HistoryPane"));
    // The charts want more height than a small window gives the output dock: they scroll
    // rather than push the task list out of sight or hold the window at their size.
    auto* scroller = new QScrollArea(m_pOutputBar);
    scroller->setObjectName(QStringLiteral("HistoryScroller"));
    scroller->setFrameShape(QFrame::NoFrame);
    scroller->setWidgetResizable(true);
    scroller->setWidget(pane);
    m_pOutputBar->GetTabs()->addTab(scroller, QStringLiteral("History"));
    connect(m_pView, &CVigrelView::SelectionChanged, pane,
            [this, pane] { pane->SetTask(m_pView->GetFirstSelectedTaskId()); });
    pane->SetTask(m_pView->GetFirstSelectedTaskId());
}
