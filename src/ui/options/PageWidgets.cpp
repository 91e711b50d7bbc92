#include "ui/options/PageWidgets.h"

#include <QFileInfo>
#include <QFrame>
#include <QLabel>
#include <QStyle>
#include <QToolButton>

QFrame* CreateSeparator(QWidget* parent)
{
    auto* line = new QFrame(parent);
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Sunken);
    return line;
}

QLabel* CreatePageIcon(QStyle::StandardPixmap icon, QWidget* parent)
{
    auto* label = new QLabel(parent);
    const int size = parent->style()->pixelMetric(QStyle::PM_LargeIconSize);
    label->setPixmap(parent->style()->standardIcon(icon, nullptr, parent).pixmap(size, size));
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    label->setFixedWidth(size + 8);
    return label;
}

QLabel* CreateExplanation(const QString& text, QWidget* parent)
{
    auto* label = new QLabel(text, parent);
    label->setWordWrap(true);
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    return label;
}

QToolButton* CreateBrowseButton(const QString& name, QWidget* parent)
{
    auto* button = new QToolButton(parent);
    button->setText(QStringLiteral("..."));
    button->setAccessibleName(name);
    button->setToolTip(name);
    return button;
}

namespace {
std::function<QString(QWidget*, const CFileRequest&)>& FileBrowserForTesting()
{
    static std::function<QString(QWidget*, const CFileRequest&)> browser;
    return browser;
}
} // namespace

void SetFileBrowserForTesting(std::function<QString(QWidget*, const CFileRequest&)> browser)
{
    FileBrowserForTesting() = std::move(browser);
}

QString BrowseForFile(QWidget* parent, const CFileRequest& request)
{
    if (FileBrowserForTesting())
        return FileBrowserForTesting()(parent, request);
    QFileDialog dialog(parent);
    dialog.setAcceptMode(request.m_Mode);
    dialog.setFileMode(request.m_Mode == QFileDialog::AcceptOpen ? QFileDialog::ExistingFile : QFileDialog::AnyFile);
    dialog.setNameFilters(request.m_Filters);
    dialog.setDefaultSuffix(request.m_DefaultSuffix);
    // A log file is appended to, never replaced, so choosing an existing one needs no warning.
    dialog.setOption(QFileDialog::DontConfirmOverwrite);
    if (!request.m_CurrentPath.isEmpty())
        dialog.setDirectory(QFileInfo(request.m_CurrentPath).absolutePath());
    if (!request.m_ProposedName.isEmpty())
        dialog.selectFile(request.m_ProposedName);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return {};
    return dialog.selectedFiles().constFirst();
}
