#pragma once

#include "core/output/LogMessage.h"

#include <QTableView>

#include <functional>
#include <vector>

class CAppSettings;
class CMessageLog;
class COutputModel;
class QAction;
class QMenu;
class QUrl;

// The list of log messages inside the output bar: three columns, an icon per severity, one
// row per shown message. It follows new rows while the user watches the end (the current row
// is the last one) and leaves the selection and the rows in view alone otherwise. Rows added
// during one turn of the event loop are shown together at its end.
class COutputList : public QTableView
{
    Q_OBJECT

public:
    explicit COutputList(QWidget* parent = nullptr);

    void AddMessage(const CLogMessage& message);
    // The severity filter and the message limit, for messages added from now on.
    void ApplySettings(const CAppSettings& settings);
    // Shows the rows AddMessage queued now rather than when the event loop gets to them.
    void FlushPendingRows();

    bool HasSelection() const;
    // Selected rows in list order.
    std::vector<int> GetSelectedRows() const;
    // What Copy puts on the clipboard.
    QString GetSelectedText() const;
    const CMessageLog& GetLog() const;

    QAction* GetCopyAction() const { return m_pCopyAction; }
    QAction* GetClearAction() const { return m_pClearAction; }
    QAction* GetSelectAllAction() const { return m_pSelectAllAction; }
    QAction* GetExportAction() const { return m_pExportAction; }

    // How the details view hands its file to a text viewer: QDesktopServices::openUrl unless a
    // test replaces it (an empty function restores it). False when nothing could open it.
    using CFileOpener = std::function<bool(const QUrl&)>;
    static void SetFileOpenerForTesting(CFileOpener opener);

public slots:
    void Copy();
    void Clear();
    void SelectAll();
    void Export();
    // The details of a multi-line row in a temporary text file, opened in the user's viewer.
    // Nothing happens for a row without details.
    void ShowDetails(int row);

protected:
    bool event(QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;

private:
    void OnFlushPosted();
    bool IsFollowing() const;

    COutputModel* m_pModel;
    QMenu* m_pMenu;
    QAction* m_pCopyAction;
    QAction* m_pClearAction;
    QAction* m_pSelectAllAction;
    QAction* m_pExportAction;
    bool m_bFlushPosted = false;
};
