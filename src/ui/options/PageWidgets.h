#pragma once

#include <QFileDialog>
#include <QString>
#include <QStringList>
#include <QStyle>

#include <functional>

class QFrame;
class QLabel;
class QToolButton;
class QWidget;

// Small pieces the three option pages share.

// The etched horizontal line between groups of a page.
QFrame* CreateSeparator(QWidget* parent);
// A picture beside a page's explanation; the icon comes from the style, so it follows the theme.
QLabel* CreatePageIcon(QStyle::StandardPixmap icon, QWidget* parent);
// A word-wrapped explanation that can be selected with the mouse but takes no Tab stop.
QLabel* CreateExplanation(const QString& text, QWidget* parent);
// The "..." button beside a path; name is what a screen reader says.
QToolButton* CreateBrowseButton(const QString& name, QWidget* parent);

// Asks for one file, starting in the folder of currentPath when it has one. Returns the full
// path chosen, or nothing on Cancel.
struct CFileRequest
{
    QFileDialog::AcceptMode m_Mode = QFileDialog::AcceptOpen;
    QStringList m_Filters;
    QString m_ProposedName;
    QString m_DefaultSuffix;
    QString m_CurrentPath;
};
QString BrowseForFile(QWidget* parent, const CFileRequest& request);
// Tests answer the file dialog through this instead of driving a real one, whose folder is
// read on a thread of its own and may not be ready when a timed answer comes; empty restores it.
void SetFileBrowserForTesting(std::function<QString(QWidget*, const CFileRequest&)> browser);
