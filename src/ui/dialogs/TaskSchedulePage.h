#pragma once

#include "ui/dialogs/TaskPage.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QSpinBox;

// Whether the task runs by itself, and how often: a count of minutes, hours, days, weeks or
// months. Shows when the task would next run if the sheet were confirmed now.
class CTaskSchedulePage : public CTaskPage
{
    Q_OBJECT

public:
    explicit CTaskSchedulePage(QWidget* parent = nullptr);

    void SetUp(const CTask& task) override;
    void Confirm(CTask& task) override;
    bool CanLeave() override;

    // The next run time shown now, in seconds since 1970.
    qint64 ShownNextRunTime() const { return m_ShownNextRunTime; }

    // A time as the platform's "%c" format shows it, in local time and the user's locale.
    static QString FormatRunTime(qint64 time);

private:
    int Count() const;
    void UpdateEnabling();
    void RefreshNextRunTime();
    void ShowNextRunTime();

    QCheckBox* m_pScheduled = nullptr;
    QSpinBox* m_pCount = nullptr;
    QComboBox* m_pUnit = nullptr;
    QLabel* m_pNextRunLabel = nullptr;
    QLabel* m_pNextRun = nullptr;
    bool m_bSetUp = false;
    qint64 m_ShownNextRunTime = 0;
};
