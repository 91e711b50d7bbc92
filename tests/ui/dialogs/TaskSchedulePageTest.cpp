#include "SheetFixture.h"

#include "core/tasks/Schedule.h"
#include "ui/dialogs/TaskSchedulePage.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QSpinBox>

class SchedulePageTest : public SheetTest
{
protected:
    void OpenOnSchedule(const CTask& task)
    {
        Open(task);
        ClickTab(CTaskConfigSheet::eSchedulePage);
        ASSERT_EQ(Page(), CTaskConfigSheet::eSchedulePage);
    }

    static CTask Scheduled(int intervalSec)
    {
        CTask task;
        task.m_bTaskScheduled = true;
        task.m_PingInterval = intervalSec;
        return task;
    }

    void Choose(int unit) { Find<QComboBox>("unit")->setCurrentIndex(unit); }
    QString Shown() { return Find<QLabel>("nextRun")->text(); }
};

TEST_F(SchedulePageTest, StoredFrequencyComesBackAsTheSameSeconds)
{
    OpenOnSchedule(Scheduled(60));
    Type(Find<QSpinBox>("count"), QStringLiteral("60"));
    CTask saved = Confirmed();
    EXPECT_EQ(saved.m_PingInterval, 3600);
    EXPECT_TRUE(saved.m_bTaskScheduled);

    OpenOnSchedule(saved);
    EXPECT_EQ(Find<QSpinBox>("count")->value(), 1);
    EXPECT_EQ(Find<QComboBox>("unit")->currentText(), "Hour(s)");

    // The largest unit comes back as itself.
    Choose(eUnitMonths);
    Type(Find<QSpinBox>("count"), QStringLiteral("12"));
    saved = Confirmed();
    EXPECT_EQ(saved.m_PingInterval, 12 * 2592000);
    OpenOnSchedule(saved);
    EXPECT_EQ(Find<QSpinBox>("count")->value(), 12);
    EXPECT_EQ(Find<QComboBox>("unit")->currentText(), "Month(s)");
}

TEST_F(SchedulePageTest, CountsOutsideTheUnitsRangeKeepThePageOpen)
{
    OpenOnSchedule(Scheduled(60));
    struct Case
    {
        int unit;
        const char* count;
        const char* message;
    };
    const Case cases[] = {
        {eUnitMinutes, "0", "Please enter frequency value between 1 and 60."},
        {eUnitMinutes, "61", "Please enter frequency value between 1 and 60."},
        {eUnitMinutes, "", "Please enter frequency value between 1 and 60."},
        {eUnitHours, "25", "Please enter frequency value between 1 and 24."},
        {eUnitDays, "31", "Please enter frequency value between 1 and 30."},
        {eUnitWeeks, "7", "Please enter frequency value between 1 and 6."},
        {eUnitMonths, "13", "Please enter frequency value between 1 and 12."},
    };
    for (const Case& c : cases) {
        m_Messages.clear();
        Choose(c.unit);
        Type(Find<QSpinBox>("count"), QString::fromLatin1(c.count));
        ClickTab(CTaskConfigSheet::eAlertsPage);
        EXPECT_EQ(Page(), CTaskConfigSheet::eSchedulePage) << c.count;
        EXPECT_EQ(m_Messages, QStringList {QString::fromLatin1(c.message)}) << c.count;
        EXPECT_EQ(m_pSheet->focusWidget(), Find<QSpinBox>("count"));
    }
    // OK is refused the same way; 60 minutes pass.
    m_Messages.clear();
    EXPECT_FALSE(PressOk());
    EXPECT_EQ(m_Messages.size(), 1);
    Choose(eUnitMinutes);
    Type(Find<QSpinBox>("count"), QStringLiteral("60"));
    ClickTab(CTaskConfigSheet::eAlertsPage);
    EXPECT_EQ(Page(), CTaskConfigSheet::eAlertsPage);
}

TEST_F(SchedulePageTest, AnUnscheduledTaskIsNotHeldToTheCount)
{
    // The count is disabled then, so it could not take the focus to be corrected.
    CTask task = Scheduled(0);
    task.m_bTaskScheduled = false;
    OpenOnSchedule(task);
    EXPECT_FALSE(Find<QSpinBox>("count")->isEnabled());
    ClickTab(CTaskConfigSheet::eGeneralPage);
    EXPECT_EQ(Page(), CTaskConfigSheet::eGeneralPage);
    EXPECT_TRUE(m_Messages.isEmpty());

    // Scheduling it makes the count count.
    ClickTab(CTaskConfigSheet::eSchedulePage);
    Click("scheduled");
    EXPECT_TRUE(Find<QSpinBox>("count")->isEnabled());
    EXPECT_FALSE(PressOk());
    EXPECT_EQ(m_Messages, QStringList {"Please enter frequency value between 1 and 60."});
}

TEST_F(SchedulePageTest, NextRunTimeFollowsEveryKeystrokeAndIsWhatOkStores)
{
    CTask task = Scheduled(60);
    task.m_NextRunTime = 5;
    OpenOnSchedule(task);
    EXPECT_EQ(Shown(), CTaskSchedulePage::FormatRunTime(kNow + 60));

    Type(Find<QSpinBox>("count"), QStringLiteral("2"));
    EXPECT_EQ(Shown(), CTaskSchedulePage::FormatRunTime(kNow + 120));
    QTest::keyClicks(Find<QSpinBox>("count"), QStringLiteral("5"));
    EXPECT_EQ(Shown(), CTaskSchedulePage::FormatRunTime(kNow + 25 * 60));
    Choose(eUnitHours);
    EXPECT_EQ(Shown(), CTaskSchedulePage::FormatRunTime(kNow + 25 * 3600));
    Type(Find<QSpinBox>("count"), QStringLiteral("3"));
    EXPECT_EQ(Shown(), CTaskSchedulePage::FormatRunTime(kNow + 3 * 3600));

    // Unscheduled still shows the time the task would get.
    m_Now += 100;
    Click("scheduled");
    EXPECT_FALSE(Find<QLabel>("nextRun")->isEnabled());
    EXPECT_EQ(Shown(), CTaskSchedulePage::FormatRunTime(kNow + 100 + 3 * 3600));

    // OK counts from the moment of confirming.
    m_Now += 1000;
    const CTask saved = Confirmed();
    EXPECT_FALSE(saved.m_bTaskScheduled);
    EXPECT_EQ(saved.m_NextRunTime, kNow + 1100 + 3 * 3600);
}

TEST_F(SchedulePageTest, ArrowsStayInsideTheUnitsRange)
{
    OpenOnSchedule(Scheduled(60));
    QSpinBox* count = Find<QSpinBox>("count");
    count->stepDown();
    EXPECT_EQ(count->value(), 1);
    Type(count, QStringLiteral("60"));
    count->stepUp();
    EXPECT_EQ(count->value(), 60);
    Choose(eUnitWeeks);
    count->stepUp();
    EXPECT_EQ(count->value(), 6);
}
