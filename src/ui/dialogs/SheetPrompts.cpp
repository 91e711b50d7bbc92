#include "ui/dialogs/SheetPrompts.h"

#include <QFileDialog>
#include <QFileInfo>
#include <QGuiApplication>
#include <QMessageBox>

namespace {

std::function<void(const QString&)>& MessageHook()
{
    static std::function<void(const QString&)> hook;
    return hook;
}

std::function<QString(const QString&)>& ApplicationChooser()
{
    static std::function<QString(const QString&)> chooser;
    return chooser;
}

QString ApplicationFilter()
{
#ifdef Q_OS_WIN
    return QStringLiteral("Executables (*.exe);;All Files (*.*)");
#else
    // Programs here have no extension to filter on, and "*.*" would hide every one of them.
    return QStringLiteral("All Files (*)");
#endif
}

} // namespace

void ShowSheetMessage(QWidget* parent, const QString& text)
{
    if (const auto& hook = MessageHook()) {
        hook(text);
        return;
    }
    QMessageBox box(QMessageBox::Warning, QGuiApplication::applicationDisplayName(), text, QMessageBox::Ok, parent);
    box.exec();
}

QString ChooseApplicationFile(QWidget* parent, const QString& current)
{
    if (const auto& chooser = ApplicationChooser())
        return chooser(current);
    // The field may hold a command with arguments; start in the folder of its program when
    // that is a plain path.
    const QFileInfo info(current.trimmed());
    const QString folder = info.isAbsolute() && info.dir().exists() ? info.absolutePath() : QString();
    return QFileDialog::getOpenFileName(parent, QString(), folder, ApplicationFilter());
}

void SetSheetMessageHookForTesting(std::function<void(const QString&)> hook)
{
    MessageHook() = std::move(hook);
}

void SetApplicationChooserForTesting(std::function<QString(const QString&)> chooser)
{
    ApplicationChooser() = std::move(chooser);
}
