// The History half of the main frame: the output window's tab that shows the selected task's
// past.
#include "ui/shell/MainFrame.h"

void CMainFrame::CreateHistoryTab()
{
}
