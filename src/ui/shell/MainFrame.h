#pragma once

#include "ui/shell/RecentFileList.h"

#include <QMainWindow>
#include <QPointer>
#include <QSet>

class CHub;
class CNotifier;
class CStatusBoard;
class CTrayStatus;
class COutputBar;
class CVigrelDoc;
class CVigrelView;
class QActionGroup;
class QLabel;
class QMenu;
class QSystemTrayIcon;
class QToolBar;

// The one top-level window: the task list in the middle, the output window docked below,
// menus, the Standard toolbar, the status bar and the tray icon. It drives the document's
// File commands and hands Engine and Task commands to the hub and the view; the hub does
// the monitoring itself, with or without this window.
class CMainFrame : public QMainWindow
{
    Q_OBJECT

public:
    CMainFrame(CVigrelDoc* document, CHub* hub, QWidget* parent = nullptr);
    ~CMainFrame() override;

    // Starts the hub (log file, " Started", worker threads, poll) as the window's creation
    // does. False when a worker thread could not start.
    bool Start();

    // File commands. Open and save failures are reported in a message box; each returns
    // whether it got through.
    bool OnFileNew();
    bool OnFileOpen();
    bool OpenDocumentFile(const QString& path);
    bool OnFileSave();
    bool OnFileSaveAs();
    // The usual question before a changed document is replaced or closed: false when the
    // user cancelled or the save failed.
    bool SaveModified();

    // Tray (minimise to and restore from it when the options ask for it and a tray exists).
    bool OnTrayMinimize();
    bool OnTrayRestore();
    bool IsInTray() const { return m_bInTray; }
    bool IsTrayActive() const;
    // A later start of the program wants this window back in front.
    void BringToFront();
    // For the start with "-minimize": to the tray when it can, else an ordinary minimise.
    void MinimizeAtStart();

    // Ends the program as File > Exit does, but without asking to save (termination signals).
    void CloseWithoutPrompt();

    // Applies every enabling and check rule now; also runs on its own as the state changes.
    void UpdateCommandUI();

    QAction* FindCommand(const QString& objectName) const;
    CVigrelView* GetView() const { return m_pView; }
    // Every task's state at a glance; null without a hub.
    CStatusBoard* GetStatusBoard() const { return m_pStatusBoard; }
    // The tray icon's picture and tooltip, and the desktop notifications of tasks going down.
    CTrayStatus* GetTrayStatus() const { return m_pTrayStatus; }
    CNotifier* GetNotifier() const { return m_pNotifier; }
    COutputBar* GetOutputBar() const { return m_pOutputBar; }
    QToolBar* GetToolBar() const { return m_pToolBar; }
    const CRecentFileList& GetRecentFiles() const { return m_RecentFiles; }

    // Test seam: pretend a system tray exists (the offscreen platform has none).
    static void SetTrayAvailableForTesting(bool available);

signals:
    // The window was closed for good (Exit, the close button, the tray menu's Exit).
    void Closed();

protected:
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void changeEvent(QEvent* event) override;
    QMenu* createPopupMenu() override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    QAction* AddCommand(const QString& name, const QString& text, const QString& prompt, const QString& icon = {},
                        const QList<QKeySequence>& shortcuts = {});
    void CreateCommands();
    void CreateMenus();
    void CreateToolBar();
    void CreateTray();
    void UpdateTrayIconVisibility();
    void OnTrayActivated(int reason);
    void OnNotificationClicked();
    void CreateHistoryTab(); // the output window's "History" tab, following the selected task
    void ConnectCommands();

    void UpdateTitle();
    void UpdateRecentFileMenu();
    void AddToRecentFiles(const QString& path);
    bool DoSave(const QString& path);

    QWidget* EditFocus() const;
    void OnEditCommand(const QString& command);
    void OnNextPane(bool forward);
    void OnOptions();
    void OnCustomize(int page);
    void OnAbout();
    void ApplyToolBarButtons();
    void UpdateToolsMenu();
    void SaveWindowState();
    void RestoreWindowState();

    CVigrelDoc* m_pDocument;
    CHub* m_pHub;
    CStatusBoard* m_pStatusBoard;
    CVigrelView* m_pView;
    COutputBar* m_pOutputBar;
    QToolBar* m_pToolBar = nullptr;
    QLabel* m_pReadyLabel = nullptr;
    QMenu* m_pFileMenu = nullptr;
    QAction* m_pExitSeparator = nullptr;
    QList<QAction*> m_RecentActions;
    QAction* m_pRecentSeparator = nullptr;
    QMenu* m_pToolsMenu = nullptr;
    QMenu* m_pToolbarsMenu = nullptr;
    QActionGroup* m_pViewStyles = nullptr;
    QList<QAction*> m_ToolBarButtons; // in toolbar order, separators included
    QSet<QString> m_HiddenButtons;
    QSystemTrayIcon* m_pTrayIcon = nullptr;
    QMenu* m_pTrayMenu = nullptr;
    CTrayStatus* m_pTrayStatus = nullptr;
    CNotifier* m_pNotifier = nullptr;
    CRecentFileList m_RecentFiles;
    bool m_bInTray = false;
    bool m_bSkipSavePrompt = false;
    bool m_bDefaultDockHeight = false;
    QPointer<QWidget> m_pEditFocus; // the field the Edit commands act on while a menu has the keys
};
