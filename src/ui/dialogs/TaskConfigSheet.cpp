#include "ui/dialogs/TaskConfigSheet.h"

#include "core/tasks/Task.h"

#include <QInputDialog>

// Stands in until the four-page sheet exists: edits the name only.
bool EditTask(QWidget* parent, CTask& task, bool)
{
    bool ok = false;
    const QString name = QInputDialog::getText(parent, QStringLiteral("Task Parameters"), QStringLiteral("&Name:"),
                                               QLineEdit::Normal, task.m_Name, &ok);
    if (ok)
        task.m_Name = name;
    return ok;
}
