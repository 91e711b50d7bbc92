#include "core/output/LogMessage.h"
#include "core/support/Clock.h"

#include <gtest/gtest.h>

TEST(Severity, NamesOfEveryCodeAndOfUnknownOnes)
{
    EXPECT_EQ(CSeverity::GetSeverityName(0), u"Informational");
    EXPECT_EQ(CSeverity::GetSeverityName(1), u"Task Success");
    EXPECT_EQ(CSeverity::GetSeverityName(2), u"Task Failure");
    EXPECT_EQ(CSeverity::GetSeverityName(3), u"Application Failure");
    EXPECT_EQ(CSeverity::GetSeverityName(4), u"Action Succeeded");
    EXPECT_EQ(CSeverity::GetSeverityName(5), u"Spider Message");
    EXPECT_EQ(CSeverity::GetSeverityName(6), u"Task Stopped");
    EXPECT_EQ(CSeverity::GetSeverityName(7), u"Unknown Severity");
    EXPECT_EQ(CSeverity::GetSeverityName(-1), u"Unknown Severity");

    const auto& table = CSeverity::GetSeverityTable();
    ASSERT_EQ(table.size(), 7u);
    int expected = 0;
    for (const auto& [code, name] : table)
        EXPECT_EQ(code, expected++); // enumerated in code order: the settings and the filter list rely on it
    EXPECT_EQ(CSeverity().GetCode(), eApplicationFailure);
    EXPECT_EQ(CSeverity(eSpiderMessage).GetName(), u"Spider Message");
}

TEST(LogMessage, IsStampedWhenMadeAndAboutNoTask)
{
    SetClockForTesting([] { return qint64(1700000000); });
    const CLogMessage plain;
    const CLogMessage made(CSeverity(eTaskFailure), QStringLiteral("Ping operation failed"));
    SetClockForTesting([] { return qint64(1700000099); });
    CLogMessage copy = made; // a copy waiting in a queue keeps its creation time
    SetClockForTesting({});

    EXPECT_EQ(plain.m_Severity.GetCode(), eApplicationFailure);
    EXPECT_TRUE(plain.m_Text.isEmpty());
    EXPECT_EQ(plain.m_Time, 1700000000);
    EXPECT_EQ(plain.m_TaskId, -1);
    EXPECT_EQ(copy.m_Severity.GetCode(), eTaskFailure);
    EXPECT_EQ(copy.m_Text, u"Ping operation failed");
    EXPECT_EQ(copy.m_Time, 1700000000);
    EXPECT_EQ(copy.m_TaskId, -1);
}
