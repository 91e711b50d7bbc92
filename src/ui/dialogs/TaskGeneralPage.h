#pragma once

#include "ui/dialogs/TaskPage.h"

class QLineEdit;
class QPlainTextEdit;

// The task's name and free description. Neither is checked: a task may even be nameless.
class CTaskGeneralPage : public CTaskPage
{
    Q_OBJECT

public:
    explicit CTaskGeneralPage(QWidget* parent = nullptr);

    void SetUp(const CTask& task) override;
    void Confirm(CTask& task) override;

private:
    QLineEdit* m_pName = nullptr;
    QPlainTextEdit* m_pDescription = nullptr;
};
