#include "ui/shell/Prompts.h"

#include "Version.h"

#include <QFileDialog>
#include <QGuiApplication>

#include <cstdio>

namespace {

MessageBoxAnswerer& Answerer()
{
    static MessageBoxAnswerer answerer;
    return answerer;
}

FileNameAnswerer& FileAnswerer()
{
    static FileNameAnswerer answerer;
    return answerer;
}

const QString kFileFilter = QStringLiteral("Corvane Files (*.cvn)");

} // namespace

QMessageBox::StandardButton ShowMessageBox(QWidget* parent, QMessageBox::Icon icon, const QString& text,
                                           QMessageBox::StandardButtons buttons,
                                           QMessageBox::StandardButton defaultButton)
{
    if (Answerer())
        return Answerer()(text);
    if (QGuiApplication::platformName() == QLatin1String("offscreen")) {
        std::fprintf(stderr, "corvane: %s\n", qUtf8Printable(text));
        return defaultButton;
    }
    QMessageBox box(icon, QStringLiteral(CORVANE_PRODUCT_NAME), text, buttons, parent);
    box.setDefaultButton(defaultButton);
    return QMessageBox::StandardButton(box.exec());
}

QString AskOpenFileName(QWidget* parent)
{
    if (FileAnswerer())
        return FileAnswerer()(false, QString());
    return QFileDialog::getOpenFileName(parent, QStringLiteral("Open"), QString(), kFileFilter);
}

QString AskSaveFileName(QWidget* parent, const QString& suggested)
{
    if (FileAnswerer())
        return FileAnswerer()(true, suggested);
    QFileDialog dialog(parent, QStringLiteral("Save As"), suggested, kFileFilter);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setDefaultSuffix(QStringLiteral("cvn"));
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return QString();
    return dialog.selectedFiles().constFirst();
}

void SetMessageBoxAnswerer(MessageBoxAnswerer answerer)
{
    Answerer() = std::move(answerer);
}

void SetFileNameAnswerer(FileNameAnswerer answerer)
{
    FileAnswerer() = std::move(answerer);
}
