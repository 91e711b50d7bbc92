#include "core/tasks/Schedule.h"
#include "core/support/Clock.h"
#include "core/tasks/TaskFile.h"
#include "core/tasks/VigrelDoc.h"
#include "support/TempSettings.h"

#include <QMap>
#include <QTemporaryDir>

#include <gtest/gtest.h>

TEST(Frequency, StoredSecondsShowAsCountAndUnit)
{
    struct Case
    {
        int count;
        int unit;
        CFrequency shown;
    };
    const Case cases[] = {
        {1, eUnitMinutes, {1, eUnitMinutes}}, {59, eUnitMinutes, {59, eUnitMinutes}},
        {60, eUnitMinutes, {1, eUnitHours}},  {24, eUnitHours, {1, eUnitDays}},
        {30, eUnitDays, {30, eUnitDays}},     {1, eUnitWeeks, {7, eUnitDays}},
        {3, eUnitWeeks, {21, eUnitDays}},     {4, eUnitWeeks, {28, eUnitDays}},
        {5, eUnitWeeks, {5, eUnitWeeks}},     {6, eUnitWeeks, {6, eUnitWeeks}},
        {1, eUnitMonths, {30, eUnitDays}},    {2, eUnitMonths, {2, eUnitMonths}},
        {12, eUnitMonths, {12, eUnitMonths}},
    };
    for (const Case& c : cases) {
        const int seconds = FrequencySeconds(c.count, c.unit);
        EXPECT_EQ(SplitFrequency(seconds), c.shown) << c.count << " of unit " << c.unit;
        EXPECT_EQ(FrequencySeconds(c.shown.m_nCount, c.shown.m_nUnit), seconds) << "shown again as the same seconds";
    }
    EXPECT_EQ(FrequencySeconds(12, eUnitMonths), 12 * 2592000);
    EXPECT_EQ(FrequencySeconds(60, eUnitMinutes), 3600);
    // Only a task file can hold seconds that are not whole units: the rest is dropped.
    EXPECT_EQ(SplitFrequency(90), (CFrequency {1, eUnitMinutes}));
    EXPECT_EQ(SplitFrequency(0), (CFrequency {0, eUnitMinutes}));
    EXPECT_EQ(SplitFrequency(7 * 604800 + 5), (CFrequency {1, eUnitMonths}));
}

TEST(Frequency, CountsOutsideTheUnitsRangeAreRefusedWithItsMessage)
{
    QString message;
    EXPECT_TRUE(IsFrequencyCountValid(60, eUnitMinutes, &message));
    EXPECT_TRUE(message.isEmpty());
    EXPECT_FALSE(IsFrequencyCountValid(0, eUnitMinutes, &message));
    EXPECT_EQ(message, u"Please enter frequency value between 1 and 60.");
    EXPECT_FALSE(IsFrequencyCountValid(61, eUnitMinutes, &message));
    EXPECT_EQ(message, u"Please enter frequency value between 1 and 60.");
    EXPECT_FALSE(IsFrequencyCountValid(25, eUnitHours, &message));
    EXPECT_EQ(message, u"Please enter frequency value between 1 and 24.");
    EXPECT_FALSE(IsFrequencyCountValid(31, eUnitDays, &message));
    EXPECT_EQ(message, u"Please enter frequency value between 1 and 30.");
    EXPECT_FALSE(IsFrequencyCountValid(7, eUnitWeeks, &message));
    EXPECT_EQ(message, u"Please enter frequency value between 1 and 6.");
    EXPECT_FALSE(IsFrequencyCountValid(13, eUnitMonths, &message));
    EXPECT_EQ(message, u"Please enter frequency value between 1 and 12.");
    EXPECT_TRUE(IsFrequencyCountValid(12, eUnitMonths, &message));

    EXPECT_EQ(ParseFrequencyCount(QStringLiteral(" 15 ")), 15);
    EXPECT_EQ(ParseFrequencyCount(QStringLiteral("ten")), 0);
    EXPECT_EQ(ParseFrequencyCount(QString()), 0);

    const QStringList texts {QStringLiteral("Minute(s)"), QStringLiteral("Hour(s)"), QStringLiteral("Day(s)"),
                             QStringLiteral("Week(s)"), QStringLiteral("Month(s)")};
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(FrequencyUnits()[size_t(i)].m_Text, texts[i]);
}

namespace {

// Drives the document's schedule with a clock the test moves.
class Schedule : public ::testing::Test
{
protected:
    void SetUp() override
    {
        SetClockForTesting([this] { return m_Now; });
    }
    void TearDown() override { SetClockForTesting({}); }

    int AddScheduled(const QString& name, int interval, qint64 nextRun)
    {
        CTask task;
        task.m_Name = name;
        task.m_bTaskScheduled = true;
        task.m_PingInterval = interval;
        task.m_NextRunTime = nextRun;
        return m_Doc.AddTask(task);
    }

    qint64 NextRunOf(int id)
    {
        CTask task;
        m_Doc.GetTask(id, task);
        return task.m_NextRunTime;
    }

    CTempSettings m_Settings;
    qint64 m_Now = 1700000000;
    CVigrelDoc m_Doc;
};

} // namespace

TEST_F(Schedule, TheTaskDueLongestGoesFirstOnePerCall)
{
    const int x = AddScheduled(QStringLiteral("x"), 60, m_Now);
    const int y = AddScheduled(QStringLiteral("y"), 60, m_Now - 10);
    const int z = AddScheduled(QStringLiteral("z"), 60, m_Now - 5);
    CTask idle;
    idle.m_NextRunTime = m_Now - 100; // due, but not scheduled
    const int c = m_Doc.AddTask(idle);

    EXPECT_EQ(m_Doc.GetNextDueTask(), y);
    EXPECT_EQ(NextRunOf(y), m_Now + 60);
    ++m_Now;
    EXPECT_EQ(m_Doc.GetNextDueTask(), z);
    ++m_Now;
    EXPECT_EQ(m_Doc.GetNextDueTask(), x);
    EXPECT_EQ(NextRunOf(x), m_Now + 60) << "the interval runs from the moment of picking";
    EXPECT_EQ(m_Doc.GetNextDueTask(), -1);
    EXPECT_EQ(NextRunOf(c), m_Now - 102) << "an unscheduled task is never picked";
}

TEST_F(Schedule, TasksDueTogetherGoInListOrderOnSuccessiveCalls)
{
    const int a = AddScheduled(QStringLiteral("a"), 60, m_Now - 3);
    const int b = AddScheduled(QStringLiteral("b"), 60, m_Now - 3);
    const int c = AddScheduled(QStringLiteral("c"), 60, m_Now - 3);
    EXPECT_EQ(m_Doc.GetNextDueTask(), a);
    ++m_Now;
    EXPECT_EQ(m_Doc.GetNextDueTask(), b);
    ++m_Now;
    EXPECT_EQ(m_Doc.GetNextDueTask(), c);
}

TEST_F(Schedule, ATaskDueAtEveryTickCannotStarveTheOthers)
{
    for (const int busyInterval : {0, 1}) {
        CVigrelDoc doc;
        auto add = [&](const QString& name, int interval) {
            CTask task;
            task.m_Name = name;
            task.m_bTaskScheduled = true;
            task.m_PingInterval = interval;
            task.m_NextRunTime = m_Now + interval;
            return doc.AddTask(task);
        };
        // The busy one sits in the middle, so that in any order one task comes after it.
        const int before = add(QStringLiteral("before"), 5);
        const int busy = add(QStringLiteral("busy"), busyInterval);
        const int after = add(QStringLiteral("after"), 5);
        QMap<int, int> picks;
        for (int tick = 0; tick < 40; ++tick) {
            ++m_Now;
            ++picks[doc.GetNextDueTask()];
        }
        EXPECT_GE(picks.value(before), 4) << "busy interval " << busyInterval;
        EXPECT_GE(picks.value(after), 4) << "busy interval " << busyInterval;
        EXPECT_GE(picks.value(busy), 20) << "busy interval " << busyInterval;
        EXPECT_EQ(picks.value(-1), 0) << "a task was due at every tick";
    }
}

TEST_F(Schedule, MissedRunsAreNotMadeUp)
{
    const int id = AddScheduled(QStringLiteral("a"), 60, m_Now);
    m_Now += 3 * 60 + 5; // the engine was stopped for three intervals
    EXPECT_EQ(m_Doc.GetNextDueTask(), id);
    EXPECT_EQ(m_Doc.GetNextDueTask(), -1);
    m_Now += 59;
    EXPECT_EQ(m_Doc.GetNextDueTask(), -1);
    ++m_Now;
    EXPECT_EQ(m_Doc.GetNextDueTask(), id);
}

TEST_F(Schedule, ZeroIntervalIsDueAtEveryCall)
{
    const int id = AddScheduled(QStringLiteral("busy"), 0, m_Now);
    for (int tick = 0; tick < 3; ++tick)
        EXPECT_EQ(m_Doc.GetNextDueTask(), id);
}

TEST_F(Schedule, NothingIsDueBeforeOneIntervalAfterOpening)
{
    QTemporaryDir dir;
    QList<CTask> tasks(2);
    tasks[0].m_bTaskScheduled = true;
    tasks[0].m_PingInterval = 120;
    tasks[1].m_bTaskScheduled = true;
    tasks[1].m_PingInterval = 0;
    const QString path = dir.filePath(QStringLiteral("s.cvn"));
    ASSERT_TRUE(WriteTaskFile(path, tasks, nullptr));
    ASSERT_TRUE(m_Doc.OnOpenDocument(path));

    EXPECT_EQ(m_Doc.GetNextDueTask(), 1) << "a zero interval read from a file is due at once";
    EXPECT_EQ(m_Doc.GetNextDueTask(), 1);
    m_Now += 119;
    EXPECT_EQ(m_Doc.GetNextDueTask(), 1);
    CTask every;
    m_Doc.GetTask(1, every);
    every.m_bTaskScheduled = false; // unscheduling stops the picks
    m_Doc.ModifyTask(1, every);
    EXPECT_EQ(m_Doc.GetNextDueTask(), -1);
    ++m_Now;
    EXPECT_EQ(m_Doc.GetNextDueTask(), 0);
}
