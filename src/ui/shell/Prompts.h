#pragma once

#include <QMessageBox>
#include <QString>

#include <functional>

class QWidget;

// Every question and message the shell puts to the user goes through here, so that a test can
// answer it and an unattended run on the offscreen platform never waits on a box nobody sees.

// Shows a modal message box and returns the button chosen. On the offscreen platform, with no
// answerer installed, the text goes to standard error and defaultButton is the answer.
QMessageBox::StandardButton ShowMessageBox(QWidget* parent, QMessageBox::Icon icon, const QString& text,
                                           QMessageBox::StandardButtons buttons = QMessageBox::Ok,
                                           QMessageBox::StandardButton defaultButton = QMessageBox::Ok);

// Asks for a task file to open, or a name to save it under (suggested as a start); empty
// when the user cancels.
QString AskOpenFileName(QWidget* parent);
QString AskSaveFileName(QWidget* parent, const QString& suggested);

// Test seams: while set, they answer instead of the user. Pass nullptr to remove them.
using MessageBoxAnswerer = std::function<QMessageBox::StandardButton(const QString& text)>;
using FileNameAnswerer = std::function<QString(bool save, const QString& suggested)>;
void SetMessageBoxAnswerer(MessageBoxAnswerer answerer);
void SetFileNameAnswerer(FileNameAnswerer answerer);
