#include "ui/dialogs/TaskSchedulePage.h"

#include "core/support/Clock.h"
#include "core/tasks/Schedule.h"
#include "core/tasks/Task.h"
#include "ui/dialogs/SheetPrompts.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QSpinBox>
#include <QVBoxLayout>

#include <algorithm>
#include <ctime>
#include <cwchar>
#include <iterator>

namespace {

// Typing may go anywhere from 0 to 999, so that the page itself can say which counts the unit
// takes; the arrows stay inside the selected unit's range.
class CFrequencyCountBox : public QSpinBox
{
public:
    explicit CFrequencyCountBox(QWidget* parent)
        : QSpinBox(parent)
    {
        setRange(0, 999);
    }

    void SetUnit(int unit)
    {
        const CFrequencyUnit& u = FrequencyUnits()[size_t(unit)];
        m_nMin = u.m_nMinCount;
        m_nMax = u.m_nMaxCount;
        update();
    }

    void stepBy(int steps) override
    {
        const int from = std::clamp(value(), m_nMin, m_nMax);
        setValue(std::clamp(from + steps, m_nMin, m_nMax));
        selectAll();
    }

protected:
    StepEnabled stepEnabled() const override
    {
        StepEnabled enabled = StepNone;
        if (value() > m_nMin)
            enabled |= StepDownEnabled;
        if (value() < m_nMax)
            enabled |= StepUpEnabled;
        return enabled;
    }

private:
    int m_nMin = 1;
    int m_nMax = 60;
};

} // namespace

QString CTaskSchedulePage::FormatRunTime(qint64 time)
{
    return FormatLocalTime(time);
}

CTaskSchedulePage::CTaskSchedulePage(QWidget* parent)
    : CTaskPage(QStyle::SP_BrowserReload,
                QStringLiteral("If task is scheduled, it will run automatically with specified frequency."), parent)
{
    auto* frame = new QGroupBox(this);
    auto* grid = new QGridLayout(frame);

    m_pScheduled = new QCheckBox(QStringLiteral("&Schedule task"), frame);
    m_pScheduled->setObjectName(QStringLiteral("scheduled"));
    grid->addWidget(m_pScheduled, 0, 0, 1, 2);

    m_pCount = new CFrequencyCountBox(frame);
    m_pCount->setObjectName(QStringLiteral("count"));
    m_pUnit = new QComboBox(frame);
    m_pUnit->setObjectName(QStringLiteral("unit"));
    for (const CFrequencyUnit& unit : FrequencyUnits())
        m_pUnit->addItem(unit.m_Text);
    auto* frequencyLabel = new QLabel(QStringLiteral("&Frequency: once every"), frame);
    frequencyLabel->setBuddy(m_pCount);
    auto* frequencyRow = new QHBoxLayout;
    frequencyRow->addWidget(m_pCount);
    frequencyRow->addWidget(m_pUnit);
    frequencyRow->addStretch(1);
    grid->addWidget(frequencyLabel, 1, 0);
    grid->addLayout(frequencyRow, 1, 1);

    m_pNextRunLabel = new QLabel(QStringLiteral("Next sceduled run time:"), frame);
    m_pNextRun = new QLabel(frame);
    m_pNextRun->setObjectName(QStringLiteral("nextRun"));
    m_pNextRun->setTextInteractionFlags(Qt::TextSelectableByMouse);
    grid->addWidget(m_pNextRunLabel, 2, 0);
    grid->addWidget(m_pNextRun, 2, 1);
    grid->setColumnStretch(1, 1);

    Body()->addWidget(frame);
    Body()->addStretch(1);

    connect(m_pScheduled, &QCheckBox::toggled, this, &CTaskSchedulePage::UpdateEnabling);
    connect(m_pCount, &QSpinBox::textChanged, this, &CTaskSchedulePage::RefreshNextRunTime);
    connect(m_pUnit, &QComboBox::currentIndexChanged, this, [this](int unit) {
        static_cast<CFrequencyCountBox*>(m_pCount)->SetUnit(unit);
        RefreshNextRunTime();
    });
}

void CTaskSchedulePage::SetUp(const CTask& task)
{
    m_bSetUp = false;
    const CFrequency frequency = SplitFrequency(task.m_PingInterval);
    m_pUnit->setCurrentIndex(frequency.m_nUnit);
    m_pCount->setValue(frequency.m_nCount);
    m_pScheduled->setChecked(task.m_bTaskScheduled);
    m_bSetUp = true;
    m_ShownNextRunTime = task.m_NextRunTime;
    ShowNextRunTime();
    UpdateEnabling();
}

int CTaskSchedulePage::Count() const
{
    return ParseFrequencyCount(m_pCount->cleanText());
}

void CTaskSchedulePage::UpdateEnabling()
{
    const bool scheduled = m_pScheduled->isChecked();
    m_pCount->setEnabled(scheduled);
    m_pUnit->setEnabled(scheduled);
    m_pNextRunLabel->setEnabled(scheduled);
    m_pNextRun->setEnabled(scheduled);
    RefreshNextRunTime();
}

void CTaskSchedulePage::RefreshNextRunTime()
{
    if (!m_bSetUp)
        return;
    // Shown even while the task is not scheduled: it is what the task would get on OK.
    m_ShownNextRunTime = NextRunTimeFrom(CurrentTime(), FrequencySeconds(Count(), m_pUnit->currentIndex()));
    ShowNextRunTime();
}

void CTaskSchedulePage::ShowNextRunTime()
{
    m_pNextRun->setText(FormatRunTime(m_ShownNextRunTime));
}

bool CTaskSchedulePage::CanLeave()
{
    // An unscheduled task never runs by its frequency, and the disabled count could not take
    // the focus to be corrected.
    if (!m_bSetUp || !m_pScheduled->isChecked())
        return true;
    QString message;
    if (IsFrequencyCountValid(Count(), m_pUnit->currentIndex(), &message))
        return true;
    ShowSheetMessage(this, message);
    m_pCount->setFocus();
    m_pCount->selectAll();
    return false;
}

void CTaskSchedulePage::Confirm(CTask& task)
{
    RefreshNextRunTime();
    task.m_PingInterval = FrequencySeconds(Count(), m_pUnit->currentIndex());
    task.m_NextRunTime = m_ShownNextRunTime;
    task.m_bTaskScheduled = m_pScheduled->isChecked();
}
