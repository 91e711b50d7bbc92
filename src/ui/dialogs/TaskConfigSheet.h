#pragma once

#include "core/tasks/Task.h"

#include <QDialog>

#include <array>

class CTaskPage;
class QDialogButtonBox;
class QTabWidget;

// Shows the task configuration sheet ("Task Parameters") for task, a new one when newTask.
// True when it was confirmed with OK: task then holds the edits. Cancel leaves task as it was.
bool EditTask(QWidget* parent, CTask& task, bool newTask);

// The modal sheet in which a task is created or edited: the pages General, Checks, Schedule
// and Alerts over one copy of the task. A page that holds a value it refuses cannot be left,
// and OK only ends the sheet once every page accepts its values.
class CTaskConfigSheet : public QDialog
{
    Q_OBJECT

public:
    enum ePage
    {
        eGeneralPage,
        eChecksPage,
        eSchedulePage,
        eAlertsPage,
    };

    explicit CTaskConfigSheet(const QString& caption, QWidget* parent = nullptr);

    // Sets every page up from the task and turns to General.
    void SetTask(const CTask& task);
    // After OK: the task with every page's values.
    const CTask& GetTask() const { return m_Task; }

    QTabWidget* Pages() const { return m_pPages; }
    QDialogButtonBox* Buttons() const { return m_pButtons; }

    void accept() override;

private:
    void OnPageChanged(int index);
    void TurnTo(int index);

    CTask m_Task;
    QTabWidget* m_pPages = nullptr;
    QDialogButtonBox* m_pButtons = nullptr;
    std::array<CTaskPage*, 4> m_Pages {};
    int m_nActivePage = eGeneralPage;
    bool m_bTurning = false;
};
