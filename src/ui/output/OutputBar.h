#pragma once

#include "core/output/LogMessage.h"

#include <QDockWidget>

class COutputList;
class QTabWidget;

// The "Output" dock of the main window: one tab, "Task Output", with the list of log
// messages. The hub has already written the log file when a message gets here, so the bar
// only decides whether and how to show it.
class COutputBar : public QDockWidget
{
    Q_OBJECT

public:
    explicit COutputBar(QWidget* parent = nullptr);

    // Adds one message as the settings say (severity filter, message limit). Cheap: it only
    // queues the row, and the rows queued during one turn of the event loop are shown together.
    void AddMessage(const CLogMessage& message);
    // Re-reads the filter and the limit from GetAppSettings() (after the Options sheet's OK).
    void ApplySettings();
    bool HasSelection() const;

    COutputList* GetList() const { return m_pList; }
    // The tabs of the bar, "Task Output" first, for the main window to add its own.
    QTabWidget* GetTabs() const { return m_pTabs; }

public slots:
    void Copy(); // selected rows to the clipboard
    void SelectAll();
    void Clear(); // asks first
    void Export(); // "File > Export output window content..."

private:
    QTabWidget* m_pTabs;
    COutputList* m_pList;
};
