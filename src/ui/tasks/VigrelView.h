#pragma once

#include <QWidget>

#include <functional>

class CHub;
class CStatusBoard;
class CTask;
class CTaskListModel;
class CVigrelDoc;
class QAbstractItemView;
class QAction;
class QItemSelectionModel;
class QListView;
class QMenu;
class QStackedLayout;
class QTreeView;

// The main window's client: the list of tasks with their run status and run times, in one of
// four display styles, and the Task commands that act on the selected rows. Rows follow the
// document's changes and the hub's task state reports by themselves.
class CVigrelView : public QWidget
{
    Q_OBJECT

public:
    // The four view styles of View > Small Icons / Icons / List / Details.
    enum eViewStyle
    {
        eLargeIcons,
        eSmallIcons,
        eList,
        eDetails
    };

    // Shows the display style remembered in the settings ("ListStyle"). hub may be null: the
    // list then runs and stops nothing.
    CVigrelView(CVigrelDoc* document, CHub* hub, QWidget* parent = nullptr);

    // WM_TASK_STATE: the row of taskId shows state. Already connected to
    // CHub::TaskStateChanged; calling it again with the same report changes nothing.
    void UpdateTaskItem(int state, int taskId);

    // The health columns show what the board knows; null leaves them blank.
    void SetStatusBoard(CStatusBoard* board);

    void SetViewStyle(eViewStyle style); // remembered in the settings ("ListStyle")
    eViewStyle GetViewStyle() const;

    int GetSelectedCount() const;
    int GetFirstSelectedTaskId() const; // -1 when nothing is selected

    // Add, Modify, Delete, Execute and Stop running task as the context menu shows them, for
    // the main window's menus and toolbar if it wants them. UpdateActions() applies the
    // enabling rules; the view calls it whenever the selection changes and before its menu opens.
    QAction* GetAddAction() const { return m_pAddAction; }
    QAction* GetModifyAction() const { return m_pModifyAction; }
    QAction* GetDeleteAction() const { return m_pDeleteAction; }
    QAction* GetExecuteAction() const { return m_pExecuteAction; }
    QAction* GetStopAction() const { return m_pStopAction; }
    // "Snooze alerts" (for 1 hour, until tomorrow 8:00, until turned back on) and "Resume
    // alerts" for the selected tasks; resuming is enabled while one of them is snoozed.
    QMenu* GetSnoozeMenu() const { return m_pSnoozeMenu; }
    QAction* GetResumeAlertsAction() const { return m_pResumeAlertsAction; }
    void UpdateActions();

    // The editing step of Add and Modify; EditTask (the configuration sheet) unless replaced.
    using TaskEditor = std::function<bool(QWidget* parent, CTask& task, bool newTask)>;
    void SetTaskEditor(TaskEditor editor);

    // The item view of the current display style, and the rows it shows.
    QAbstractItemView* GetItemView() const;
    CTaskListModel* GetModel() const { return m_pModel; }

public slots:
    void OnTaskAdd();
    void OnTaskModify(); // exactly one row selected
    void OnTaskDelete(); // asks "Selected item(s) will be deleted. Press OK to continue." first
    void OnTaskExecute(); // hub->ExecuteTask(first selected); exactly one row selected
    void OnTaskStop();

signals:
    void SelectionChanged();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QList<int> SelectedRows() const; // ascending
    QStringList SelectedTaskKeys() const;
    QStringList AllTaskKeys() const;
    void ShowContextMenu(QAbstractItemView* view, const QPoint& viewportPos);
    QPoint KeyboardMenuPosition(QAbstractItemView* view) const;
    void OnSelectionChanged();
    void WatchItemView(QAbstractItemView* view);
    void ApplyViewStyle(eViewStyle style);
    void ShowHeaderMenu(const QPoint& pos);
    // The details' columns (order, widths, hidden ones, sort) as the user left them,
    // remembered beside "ListStyle".
    void RestoreHeaderState();
    void SaveHeaderState();

    CVigrelDoc* m_pDocument;
    CHub* m_pHub;
    CTaskListModel* m_pModel;
    QItemSelectionModel* m_pSelection;
    QStackedLayout* m_pStack;
    QTreeView* m_pDetailsView;
    QListView* m_pIconView; // the three styles without columns
    eViewStyle m_ViewStyle = eDetails;
    TaskEditor m_EditTask;

    QMenu* m_pContextMenu;
    QAction* m_pAddAction;
    QAction* m_pModifyAction;
    QAction* m_pDeleteAction;
    QAction* m_pExecuteAction;
    QAction* m_pStopAction;
    QMenu* m_pSnoozeMenu;
    QAction* m_pResumeAlertsAction;
};
