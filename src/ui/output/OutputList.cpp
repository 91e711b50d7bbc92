#include "ui/output/OutputList.h"

#include "Version.h"
#include "core/output/MessageLog.h"
#include "core/shell/AppSettings.h"
#include "ui/output/DetailsDialog.h"
#include "ui/output/OutputModel.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QDateTime>
#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QHeaderView>
#include <QKeyEvent>
#include <QMenu>
#include <QMessageBox>
#include <QSaveFile>
#include <QScrollBar>
#include <QTemporaryFile>
#include <QUrl>

#include <algorithm>

namespace {

COutputList::CFileOpener& FileOpener()
{
    static COutputList::CFileOpener opener;
    return opener;
}

bool OpenFile(const QUrl& url)
{
    const auto& opener = FileOpener();
    return opener ? opener(url) : QDesktopServices::openUrl(url);
}

void ShowError(QWidget* parent, const QString& text)
{
    QMessageBox box(QMessageBox::Warning, QStringLiteral(CORVANE_PRODUCT_NAME), text, QMessageBox::Ok, parent);
    box.exec();
}

} // namespace

COutputList::COutputList(QWidget* parent)
    : QTableView(parent)
    , m_pModel(new COutputModel(this))
    , m_pMenu(new QMenu(this))
{
    setObjectName(QStringLiteral("OutputList"));
    setAccessibleName(QStringLiteral("Task Output"));
    setModel(m_pModel);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setShowGrid(true);
    setWordWrap(false);
    setTabKeyNavigation(false); // Tab leaves the list instead of walking its cells
    setCornerButtonEnabled(false);
    setIconSize(QSize(16, 16));
    setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
    setVerticalScrollMode(QAbstractItemView::ScrollPerItem);

    // One fixed height for every row: the view then never measures rows, which keeps
    // appending and scrolling to the end cheap with a hundred thousand of them.
    QHeaderView* rows = verticalHeader();
    rows->hide();
    rows->setSectionResizeMode(QHeaderView::Fixed);
    rows->setMinimumSectionSize(1);
    rows->setDefaultSectionSize(std::max(fontMetrics().height() + 4, 20));

    QHeaderView* columns = horizontalHeader();
    columns->setHighlightSections(false);
    columns->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    columns->setSectionsMovable(false);
    // The stamp's length depends on the locale and the font, so the usual 150 pixels only
    // bound it from below: an elided stamp would hide the time of day, which is what it is read for.
    const QString sampleStamp = CMessageLog::FormatTimeStamp(QDateTime::currentSecsSinceEpoch());
    const int stampWidth
        = fontMetrics().horizontalAdvance(sampleStamp + QStringLiteral("00")) + iconSize().width() + 12;
    const int severityWidth = fontMetrics().horizontalAdvance(QStringLiteral("Application Failure00")) + 12;
    columns->resizeSection(0, std::max(150, stampWidth));
    columns->resizeSection(1, std::max(130, severityWidth));
    columns->resizeSection(2, 600);
    columns->resizeSection(COutputModel::kTaskColumn, 150);
    columns->setStretchLastSection(true);

    m_pCopyAction = m_pMenu->addAction(QStringLiteral("&Copy"), this, &COutputList::Copy);
    m_pCopyAction->setStatusTip(QStringLiteral("Copies selected log items to clipboard"));
    m_pCopyAction->setToolTip(QStringLiteral("Copy to clipboard"));
    m_pCopyAction->setShortcut(QKeySequence::Copy);
    m_pClearAction = m_pMenu->addAction(QStringLiteral("C&lear"), this, &COutputList::Clear);
    m_pClearAction->setStatusTip(QStringLiteral("Clears output window"));
    m_pClearAction->setToolTip(QStringLiteral("Clear window"));
    m_pMenu->addSeparator();
    m_pSelectAllAction = m_pMenu->addAction(QStringLiteral("&Select all"), this, &COutputList::SelectAll);
    m_pSelectAllAction->setShortcut(QKeySequence::SelectAll);
    m_pMenu->addSeparator();
    m_pExportAction = m_pMenu->addAction(QStringLiteral("&Export..."), this, &COutputList::Export);
    m_pExportAction->setStatusTip(QStringLiteral("Exports log content to an external file"));
    m_pExportAction->setToolTip(QStringLiteral("Export the data"));
    // The shortcuts are shown in the menu; the keys themselves are handled in keyPressEvent,
    // so they reach the list only while it has the focus.
    for (QAction* action : m_pMenu->actions())
        action->setShortcutContext(Qt::WidgetShortcut);

    connect(this, &QAbstractItemView::doubleClicked, this,
            [this](const QModelIndex& index) { ShowDetails(index.row()); });
}

void COutputList::AddMessage(const CLogMessage& message)
{
    if (!m_pModel->Add(message))
        return;
    if (!m_bFlushPosted) {
        m_bFlushPosted = true;
        QMetaObject::invokeMethod(this, &COutputList::OnFlushPosted, Qt::QueuedConnection);
    }
}

void COutputList::ApplySettings(const CAppSettings& settings)
{
    CMessageLog& log = m_pModel->GetLog();
    log.SetSeverityShown(settings.m_SeverityShown);
    log.SetLimit(settings.m_bLimitMessageNumber, settings.m_MaxMessageNumber);
}

void COutputList::OnFlushPosted()
{
    m_bFlushPosted = false;
    FlushPendingRows();
}

bool COutputList::IsFollowing() const
{
    // The current row is the selection mark; an empty list with no current row counts too.
    return m_pModel->rowCount() == currentIndex().row() + 1;
}

void COutputList::FlushPendingRows()
{
    if (!m_pModel->HasPending())
        return;
    const bool following = IsFollowing();
    QScrollBar* scrollBar = verticalScrollBar();
    const int firstShown = scrollBar->value();

    const CMessageLog::CPendingChange change = m_pModel->CommitPending();
    const int count = m_pModel->rowCount();
    if (following) {
        if (count > 0) {
            const QModelIndex last = m_pModel->index(count - 1, 0);
            selectionModel()->setCurrentIndex(last, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
            scrollToBottom(); // the whole row, not just a part of it
        }
    } else if (change.m_nRemoved > 0) {
        // Rows leave at the top when the limit is reached; keep the rows the user reads where
        // they are instead of letting them creep upwards with every new message.
        scrollBar->setValue(std::max(0, firstShown - change.m_nRemoved));
    }
}

bool COutputList::HasSelection() const
{
    return selectionModel()->hasSelection();
}

std::vector<int> COutputList::GetSelectedRows() const
{
    std::vector<int> rows;
    for (const QItemSelectionRange& range : selectionModel()->selection()) {
        for (int row = range.top(); row <= range.bottom(); ++row)
            rows.push_back(row);
    }
    // Ranges come in the order they were selected, and overlap when cells of one row were
    // picked one by one.
    std::sort(rows.begin(), rows.end());
    rows.erase(std::unique(rows.begin(), rows.end()), rows.end());
    return rows;
}

QString COutputList::GetSelectedText() const
{
    return m_pModel->GetLog().GetText(GetSelectedRows());
}

const CMessageLog& COutputList::GetLog() const
{
    return m_pModel->GetLog();
}

void COutputList::SetFileOpenerForTesting(CFileOpener opener)
{
    FileOpener() = std::move(opener);
}

void COutputList::Copy()
{
    FlushPendingRows();
    // With nothing selected the clipboard keeps what the user put there.
    if (!HasSelection())
        return;
    QApplication::clipboard()->setText(GetSelectedText());
}

void COutputList::Clear()
{
    QMessageBox box(QMessageBox::Question, QStringLiteral(CORVANE_PRODUCT_NAME),
                    QStringLiteral("This will delete all items from the log window. Press OK to continue"),
                    QMessageBox::Ok | QMessageBox::Cancel, this);
    box.setDefaultButton(QMessageBox::Ok);
    if (box.exec() != QMessageBox::Ok)
        return;
    m_pModel->Clear();
}

void COutputList::SelectAll()
{
    FlushPendingRows();
    selectAll();
}

void COutputList::Export()
{
    FlushPendingRows();
    QFileDialog dialog(this);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    // "(*)" rather than "(*.*)": on this platform "*.*" would hide files without a dot.
    dialog.setNameFilters({QStringLiteral("Text files (*.txt)"), QStringLiteral("All files (*)")});
    dialog.selectFile(QStringLiteral("Log.txt"));
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return;
    const QString fileName = dialog.selectedFiles().constFirst();

    // Written beside the old file and renamed over it, so a failed export never leaves half a
    // file where a good one was.
    QSaveFile file(fileName);
    file.setDirectWriteFallback(true);
    if (!file.open(QIODevice::WriteOnly)) {
        ShowError(this, QStringLiteral("Unable to open log file"));
        return;
    }
    file.write(m_pModel->GetLog().GetAllText().toUtf8());
    if (!file.commit()) {
        ShowError(this,
                  QStringLiteral("Unable to write the file '%1'. %2")
                      .arg(QDir::toNativeSeparators(fileName), file.errorString()));
    }
}

void COutputList::ShowDetails(int row)
{
    FlushPendingRows();
    const CMessageLog& log = m_pModel->GetLog();
    if (row < 0 || row >= log.GetRowCount() || !log.GetRow(row).HasDetails())
        return;

    // Left behind on purpose: the viewer opens the file after we return, and may keep it open.
    QTemporaryFile file(QDir::tempPath() + QStringLiteral("/cvXXXXXX.txt"));
    file.setAutoRemove(false);
    const QByteArray text = log.GetDetailsText(row).toUtf8();
    if (!file.open() || file.write(text) != text.size()) {
        if (file.isOpen())
            file.remove();
        ShowError(this, QStringLiteral("Unable to create the temporary file"));
        return;
    }
    file.close();

    // Without a viewer (no desktop, no handler for text files) the text is shown here instead:
    // telling the user to find the file by hand would leave them with nothing to read.
    if (!OpenFile(QUrl::fromLocalFile(file.fileName()))) {
        CDetailsDialog dialog(log.GetRow(row).m_Text, file.fileName(), this);
        dialog.exec();
    }
}

bool COutputList::event(QEvent* event)
{
    // Claim Copy and Select all before a window-wide shortcut with the same keys takes them.
    if (event->type() == QEvent::ShortcutOverride) {
        auto* key = static_cast<QKeyEvent*>(event);
        if (key->matches(QKeySequence::Copy) || key->matches(QKeySequence::SelectAll)) {
            event->accept();
            return true;
        }
    }
    return QTableView::event(event);
}

void COutputList::keyPressEvent(QKeyEvent* event)
{
    if (event->matches(QKeySequence::Copy)) {
        Copy();
        return;
    }
    if (event->matches(QKeySequence::SelectAll)) {
        SelectAll();
        return;
    }
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        // The keyboard's double click.
        ShowDetails(currentIndex().row());
        return;
    }
    QTableView::keyPressEvent(event);
}

void COutputList::contextMenuEvent(QContextMenuEvent* event)
{
    FlushPendingRows();
    m_pCopyAction->setEnabled(HasSelection());
    QPoint where = event->globalPos();
    if (event->reason() != QContextMenuEvent::Mouse) {
        // From the keyboard: beside the current row rather than wherever the mouse happens to be.
        const QRect rect = visualRect(currentIndex());
        where = viewport()->mapToGlobal(rect.isValid() ? rect.bottomLeft() : QPoint(0, 0));
    }
    m_pMenu->popup(where);
    event->accept();
}
