#include "core/output/MessageLog.h"

#include "support/QtPrinters.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

namespace {

CLogMessage Message(int severity, const QString& text, qint64 time = 1700000000)
{
    CLogMessage message(CSeverity(severity), text);
    message.m_Time = time;
    return message;
}

CLogMessage Numbered(int n)
{
    return Message(eInformational, QStringLiteral("message %1").arg(n));
}

QStringList Texts(const CMessageLog& log)
{
    QStringList texts;
    for (int row = 0; row < log.GetRowCount(); ++row)
        texts << log.GetRow(row).m_Text;
    return texts;
}

// Time stamps in a known zone, so "%c" gives a known text.
class CUtcZone
{
public:
    CUtcZone()
    {
        const char* zone = std::getenv("TZ");
        m_bHadZone = zone != nullptr;
        if (zone)
            m_Previous = zone;
        setenv("TZ", "UTC", 1);
        tzset();
    }
    ~CUtcZone()
    {
        if (m_bHadZone)
            setenv("TZ", m_Previous.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }

private:
    bool m_bHadZone = false;
    std::string m_Previous;
};

} // namespace

TEST(MessageLog, FilterShowsCodesWithoutAnEntryAndNegativeLimitsKeepEverything)
{
    CMessageLog log;
    log.SetSeverityShown({{eTaskSuccess, false}, {eTaskFailure, true}});
    log.SetLimit(true, -1); // compared unsigned: no limit at all
    EXPECT_FALSE(log.Add(Message(eTaskSuccess, QStringLiteral("Ping succeeded"))));
    EXPECT_TRUE(log.Add(Message(eTaskStopped, QStringLiteral("stopped")))); // no entry: shown
    EXPECT_TRUE(log.Add(Message(42, QStringLiteral("from the future")))); // unknown code: shown
    for (int n = 1; n <= 30; ++n)
        log.Add(Numbered(n));
    log.Commit();
    ASSERT_EQ(log.GetRowCount(), 32);
    EXPECT_EQ(log.GetColumnText(1, 1), u"Unknown Severity");
}

TEST(MessageLog, ABurstCommittedAtOnceEndsAsRowsCommittedOneByOne)
{
    // The window commits once per turn of the event loop; whatever the size of the burst, the
    // result must be the one of adding the rows one at a time.
    struct CCase
    {
        int m_nBefore;
        int m_nLimit;
        int m_nBurst;
    };
    for (const CCase& c : {CCase {0, 10, 5}, CCase {0, 10, 25}, CCase {8, 10, 5}, CCase {10, 10, 3}, CCase {50, 10, 5},
                           CCase {50, 10, 80}, CCase {5, 0, 3}, CCase {0, 10, 5000}}) {
        SCOPED_TRACE(testing::Message() << "before " << c.m_nBefore << ", limit " << c.m_nLimit << ", burst "
                                        << c.m_nBurst);
        CMessageLog single;
        CMessageLog burst;
        for (CMessageLog* log : {&single, &burst}) {
            log->SetLimit(false, 0);
            for (int n = 1; n <= c.m_nBefore; ++n)
                log->Add(Numbered(n));
            log->Commit();
            log->SetLimit(true, c.m_nLimit);
        }
        for (int n = c.m_nBefore + 1; n <= c.m_nBefore + c.m_nBurst; ++n) {
            single.Add(Numbered(n));
            single.Commit();
            burst.Add(Numbered(n));
        }

        // Until the commit the committed rows are what a view was told about.
        const CMessageLog::CPendingChange change = burst.GetPendingChange();
        EXPECT_EQ(burst.GetRowCount(), c.m_nBefore);
        burst.CommitRemoval();
        EXPECT_EQ(burst.GetRowCount(), c.m_nBefore - change.m_nRemoved);
        burst.CommitInsertion();
        EXPECT_EQ(burst.GetRowCount(), c.m_nBefore - change.m_nRemoved + change.m_nInserted);
        EXPECT_FALSE(burst.HasPending());
        EXPECT_EQ(Texts(burst), Texts(single));
    }
}

TEST(MessageLog, MultiLineRowsShowAHintAndKeepTheirDetails)
{
    CMessageLog log;
    log.Add(Message(eSpiderMessage, QStringLiteral("one line")));
    log.Add(Message(eTaskFailure, QStringLiteral("Site check failed\nhttp://a/ 404\nhttp://b/ 500")));
    log.Add(Message(eTaskFailure, QStringLiteral("second\nmulti-line")));
    log.Commit();

    EXPECT_EQ(log.GetColumnText(0, 2), u"one line");
    EXPECT_EQ(log.GetRow(0).m_nDetailsKey, -1);
    EXPECT_EQ(log.GetColumnText(1, 2), u"Double click here to see details.");
    EXPECT_EQ(log.GetRow(1).m_nDetailsKey, 0);
    EXPECT_EQ(log.GetRow(2).m_nDetailsKey, 1);
    EXPECT_EQ(log.GetDetailsText(1), u"Site check failed\r\nhttp://a/ 404\r\nhttp://b/ 500");
    EXPECT_TRUE(log.GetDetailsText(0).isEmpty());

    // Clearing starts the keys again, pending rows included.
    log.Add(Message(eTaskFailure, QStringLiteral("pending\nrow")));
    log.Clear();
    EXPECT_EQ(log.GetRowCount(), 0);
    EXPECT_FALSE(log.HasPending());
    log.Add(Message(eTaskFailure, QStringLiteral("after\nclear")));
    log.Commit();
    ASSERT_EQ(log.GetRowCount(), 1);
    EXPECT_EQ(log.GetRow(0).m_nDetailsKey, 0);
    EXPECT_EQ(log.GetNextDetailsKey(), 1);
}

TEST(MessageLog, CopyAndExportTextHasTabsAndCrLfAndIndentsDetails)
{
    CUtcZone utc;
    CMessageLog log;
    log.Add(Message(eTaskSuccess, QStringLiteral("Ping reply from example.org"), 1700000000));
    log.Add(Message(eTaskFailure, QStringLiteral("Site check failed\nhttp://a/ 404\n"), 1700000001));
    log.Add(Message(eInformational, QStringLiteral("Finished task Home"), 1700000002));
    log.Commit();

    EXPECT_EQ(log.GetColumnText(0, 0), u"Tue Nov 14 22:13:20 2023"); // "%c" of the C locale
    EXPECT_EQ(log.GetItemAsText(0), u"Tue Nov 14 22:13:20 2023\tTask Success\tPing reply from example.org");
    // A multi-line row: only its lines, each behind two tabs, a trailing line feed included.
    EXPECT_EQ(log.GetItemAsText(1), u"\t\tSite check failed\r\n\t\thttp://a/ 404\r\n\t\t");

    EXPECT_EQ(log.GetText({0, 2}),
              u"Tue Nov 14 22:13:20 2023\tTask Success\tPing reply from example.org\r\n"
              "Tue Nov 14 22:13:22 2023\tInformational\tFinished task Home\r\n");
    EXPECT_EQ(log.GetAllText(), log.GetText({0, 1, 2}));
    EXPECT_TRUE(log.GetText({}).isEmpty());
    EXPECT_TRUE(CMessageLog().GetAllText().isEmpty()); // an empty list exports an empty file
    EXPECT_EQ(CMessageLog::FormatTimeStamp(0), u"Thu Jan  1 00:00:00 1970");
}
