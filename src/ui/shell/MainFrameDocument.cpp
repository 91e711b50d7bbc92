// The File commands of the main frame: new, open, save, the recent-file list and the title.
#include "ui/shell/MainFrame.h"

#include "Version.h"
#include "core/tasks/VigrelDoc.h"
#include "ui/shell/Prompts.h"

#include <QAction>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QMenu>
#include <QMimeData>

namespace {

QString DocumentTitle(const QString& path)
{
    return path.isEmpty() ? QStringLiteral("Untitled") : QFileInfo(path).fileName();
}

} // namespace

void CMainFrame::UpdateTitle()
{
    setWindowTitle(DocumentTitle(m_pDocument->GetPathName()) + QStringLiteral("[*] - " CORVANE_PRODUCT_NAME));
    setWindowModified(m_pDocument->IsModified());
}

bool CMainFrame::SaveModified()
{
    if (!m_pDocument->IsModified())
        return true;
    const QMessageBox::StandardButton answer
        = ShowMessageBox(this, QMessageBox::Warning,
                         QStringLiteral("Save changes to %1?").arg(DocumentTitle(m_pDocument->GetPathName())),
                         QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel, QMessageBox::Yes);
    if (answer == QMessageBox::Cancel)
        return false;
    if (answer == QMessageBox::No)
        return true;
    return OnFileSave();
}

bool CMainFrame::OnFileNew()
{
    if (!SaveModified())
        return false;
    m_pDocument->OnNewDocument();
    return true;
}

bool CMainFrame::OnFileOpen()
{
    if (!SaveModified())
        return false;
    const QString path = AskOpenFileName(this);
    if (path.isEmpty())
        return false;
    return OpenDocumentFile(path);
}

bool CMainFrame::OpenDocumentFile(const QString& path)
{
    QString error;
    if (!m_pDocument->OnOpenDocument(path, &error)) {
        ShowMessageBox(this, QMessageBox::Critical, error);
        // A recent file that has gone away is not offered again.
        m_RecentFiles.Remove(path);
        UpdateRecentFileMenu();
        return false;
    }
    AddToRecentFiles(path);
    return true;
}

bool CMainFrame::OnFileSave()
{
    const QString path = m_pDocument->GetPathName();
    return path.isEmpty() ? OnFileSaveAs() : DoSave(path);
}

bool CMainFrame::OnFileSaveAs()
{
    QString suggested = m_pDocument->GetPathName();
    if (suggested.isEmpty())
        suggested = QDir::current().filePath(QStringLiteral("Untitled.cvn"));
    const QString path = AskSaveFileName(this, suggested);
    return !path.isEmpty() && DoSave(path);
}

bool CMainFrame::DoSave(const QString& path)
{
    QString error;
    if (!m_pDocument->OnSaveDocument(path, &error)) {
        ShowMessageBox(this, QMessageBox::Critical, error);
        return false;
    }
    AddToRecentFiles(path);
    return true;
}

void CMainFrame::AddToRecentFiles(const QString& path)
{
    m_RecentFiles.Add(path);
    m_RecentFiles.Save();
    UpdateRecentFileMenu();
}

void CMainFrame::UpdateRecentFileMenu()
{
    qDeleteAll(m_RecentActions);
    m_RecentActions.clear();
    const QStringList& files = m_RecentFiles.GetFiles();
    for (int i = 0; i < files.size(); ++i) {
        const QString path = files.at(i);
        QString label = QDir::toNativeSeparators(path);
        label.replace(u'&', QStringLiteral("&&"));
        auto* action = new QAction(QStringLiteral("&%1 %2").arg(i + 1).arg(label), this);
        action->setObjectName(QStringLiteral("recentFile%1").arg(i + 1));
        action->setStatusTip(QStringLiteral("Opens this task file"));
        connect(action, &QAction::triggered, this, [this, path] {
            if (SaveModified())
                OpenDocumentFile(path);
        });
        m_pFileMenu->insertAction(m_pExitSeparator, action);
        m_RecentActions << action;
    }
    // Without entries one separator stands between Options and Exit, not two.
    m_pRecentSeparator->setVisible(!files.isEmpty());
}

void CMainFrame::dragEnterEvent(QDragEnterEvent* event)
{
    const QList<QUrl> urls = event->mimeData()->urls();
    if (!urls.isEmpty() && urls.constFirst().isLocalFile())
        event->acceptProposedAction();
}

void CMainFrame::dropEvent(QDropEvent* event)
{
    // One document at a time: a drop of several files opens the first.
    const QList<QUrl> urls = event->mimeData()->urls();
    if (urls.isEmpty() || !urls.constFirst().isLocalFile())
        return;
    event->acceptProposedAction();
    if (SaveModified())
        OpenDocumentFile(urls.constFirst().toLocalFile());
}
