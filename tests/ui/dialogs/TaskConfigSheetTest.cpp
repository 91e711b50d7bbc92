#include "SheetFixture.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QRadioButton>
#include <QSpinBox>
#include <QTimer>

#include <functional>

namespace {

// Runs `edit` on the sheet once EditTask has it up, modal, then leaves with `button`.
void WhileModal(std::function<void(QWidget*)> edit, QDialogButtonBox::StandardButton button)
{
    QTimer::singleShot(0, qApp, [edit = std::move(edit), button] {
        QWidget* sheet = QApplication::activeModalWidget();
        ASSERT_NE(sheet, nullptr);
        edit(sheet);
        sheet->findChild<QDialogButtonBox*>()->button(button)->click();
    });
}

} // namespace

TEST_F(SheetTest, NewTaskOpensOnGeneralWithTheDefaultsAndTheirEnabling)
{
    CTask task;
    Open(task);
    EXPECT_EQ(m_pSheet->windowTitle(), "Task Parameters");
    ASSERT_EQ(m_pSheet->Pages()->count(), 4);
    EXPECT_EQ(m_pSheet->Pages()->tabText(0), "General");
    EXPECT_EQ(m_pSheet->Pages()->tabText(1), "Checks");
    EXPECT_EQ(m_pSheet->Pages()->tabText(2), "Schedule");
    EXPECT_EQ(m_pSheet->Pages()->tabText(3), "Alerts");
    EXPECT_EQ(Page(), CTaskConfigSheet::eGeneralPage);
    EXPECT_TRUE(m_Messages.isEmpty());

    EXPECT_EQ(Find<QLineEdit>("name")->text(), "Unnamed");
    EXPECT_TRUE(Find<QRadioButton>("ping")->isChecked());
    EXPECT_TRUE(Find<QLineEdit>("pingHost")->isEnabled());
    for (const char* name : {"httpUrl", "httpTest", "lookForString", "pattern", "spiderUrl", "spiderTest", "limitPages",
                             "maxPages", "limitDepth", "maxDepth", "spiderConnections", "spiderCheckExternal"})
        EXPECT_FALSE(Find<QWidget>(name)->isEnabled()) << name;
    EXPECT_EQ(Find<QLineEdit>("timeout")->text(), "5");
    EXPECT_FALSE(Find<QCheckBox>("scheduled")->isChecked());
    EXPECT_EQ(Find<QSpinBox>("count")->value(), 1);
    EXPECT_EQ(Find<QComboBox>("unit")->currentText(), "Minute(s)");
    EXPECT_FALSE(Find<QSpinBox>("count")->isEnabled());
    EXPECT_TRUE(Find<QRadioButton>("useDefault")->isChecked());
    for (const char* name : {"failuresOnly", "maxFailCount", "alertOnRecovery", "email", "emailAddresses",
                             "alertHttpGet", "alertHttpUrl", "httpRequest", "application", "applicationName", "browse"})
        EXPECT_FALSE(Find<QWidget>(name)->isEnabled()) << name;

    // A task that never chose a check is saved as a ping.
    EXPECT_EQ(Confirmed().m_CheckAction, eCheckPing);
}

TEST_F(SheetTest, OkKeepsWhatNoPageShowsAndStoresTheDescriptionWithCrLf)
{
    CTask task;
    task.m_TaskId = 7;
    task.m_LastRunTime = 1234;
    task.m_FailCount = 3;
    task.m_Description = QStringLiteral("first\r\nsecond");
    Open(task);
    EXPECT_EQ(Find<QPlainTextEdit>("description")->toPlainText(), "first\nsecond");
    Find<QPlainTextEdit>("description")->moveCursor(QTextCursor::End);
    QTest::keyClick(Find<QPlainTextEdit>("description"), Qt::Key_Return);
    QTest::keyClicks(Find<QPlainTextEdit>("description"), "third");
    Type(Find<QLineEdit>("name"), QStringLiteral("Shop front"));

    const CTask saved = Confirmed();
    EXPECT_EQ(saved.m_Name, "Shop front");
    EXPECT_EQ(saved.m_Description, "first\r\nsecond\r\nthird");
    EXPECT_EQ(saved.m_TaskId, 7);
    EXPECT_EQ(saved.m_LastRunTime, 1234);
    EXPECT_EQ(saved.m_FailCount, 3);
}

TEST_F(SheetTest, OkChecksPagesTheUserNeverTurnedTo)
{
    // A task file can hold what the pages refuse; the sheet opens quietly and OK names it.
    CTask task;
    task.m_TimeoutSec = 0;
    Open(task);
    EXPECT_TRUE(m_Messages.isEmpty());
    EXPECT_FALSE(PressOk());
    EXPECT_EQ(m_Messages, QStringList {"Please enter a timeout between 1 and 99 seconds."});
    EXPECT_EQ(Page(), CTaskConfigSheet::eChecksPage);
    EXPECT_EQ(m_pSheet->focusWidget(), Find<QLineEdit>("timeout"));

    Type(Find<QLineEdit>("timeout"), QStringLiteral("30"));
    EXPECT_EQ(Confirmed().m_TimeoutSec, 30);
}

TEST_F(SheetTest, CancelThroughEditTaskChangesNothing)
{
    CTask task;
    task.m_Name = QStringLiteral("Kept");
    task.m_PingInterval = 7200;
    WhileModal(
        [](QWidget* sheet) {
            sheet->findChild<QLineEdit*>("name")->setText(QStringLiteral("Changed"));
            sheet->findChild<QRadioButton*>("spider")->click();
            sheet->findChild<QCheckBox*>("scheduled")->click();
        },
        QDialogButtonBox::Cancel);
    EXPECT_FALSE(EditTask(nullptr, task, false));
    EXPECT_EQ(task.m_Name, "Kept");
    EXPECT_EQ(task.m_CheckAction, eCheckNone);
    EXPECT_FALSE(task.m_bTaskScheduled);
    EXPECT_EQ(task.m_NextRunTime, 0);
}

TEST_F(SheetTest, OkThroughEditTaskHandsBackTheEdits)
{
    CTask task;
    WhileModal([](QWidget* sheet) { sheet->findChild<QLineEdit*>("name")->setText(QStringLiteral("Changed")); },
               QDialogButtonBox::Ok);
    EXPECT_TRUE(EditTask(nullptr, task, true));
    EXPECT_EQ(task.m_Name, "Changed");
    EXPECT_EQ(task.m_NextRunTime, kNow + 60);
}

TEST_F(SheetTest, EveryLabelMnemonicLeadsToAFieldAndTabFollowsTheLayout)
{
    Open(CTask());
    for (QLabel* label : m_pSheet->findChildren<QLabel*>()) {
        if (label->text().contains(u'&')) {
            EXPECT_NE(label->buddy(), nullptr) << label->text().toStdString();
        }
    }

    // The focus chain visits each page's fields in reading order.
    auto chainOrder = [this](std::initializer_list<const char*> names) {
        QWidget* widget = Find<QWidget>(*names.begin());
        for (auto it = names.begin() + 1; it != names.end(); ++it) {
            QWidget* next = widget->nextInFocusChain();
            while (next->objectName().isEmpty() || next->objectName().startsWith(u"qt_") || !next->focusPolicy())
                next = next->nextInFocusChain();
            EXPECT_EQ(next->objectName(), QLatin1String(*it)) << "after " << widget->objectName().toStdString();
            widget = next;
        }
    };
    chainOrder({"name", "description"});
    chainOrder({"timeout", "ping", "tcp", "pingHost", "tcpPort", "tcpSend", "tcpExpect", "httpGet"});
    chainOrder({"httpGet", "httpUrl", "httpTest", "lookForString", "pattern", "spider", "spiderUrl", "spiderTest",
                "limitPages", "maxPages", "limitDepth", "maxDepth", "spiderConnections", "spiderCheckExternal"});
    chainOrder({"spiderCheckExternal", "advancedToggle", "certWarn", "certWarnDays", "responseLimit", "maxResponseMs",
                "unwanted", "acceptedStatus", "headers"});
    chainOrder({"scheduled", "count", "unit"});
    chainOrder({"useDefault", "useCustom", "failuresOnly", "maxFailCount", "alertOnRecovery", "email", "emailAddresses",
                "alertHttpGet", "alertHttpUrl", "httpRequest", "application", "applicationName", "browse"});
}

// Not a check: pictures of the four pages for a person to look at, when asked for.
TEST_F(SheetTest, SavesPicturesOfThePagesWhenAsked)
{
    const QString folder = qEnvironmentVariable("CORVANE_SCREENSHOT_DIR");
    if (folder.isEmpty())
        GTEST_SKIP() << "set CORVANE_SCREENSHOT_DIR to save them";
    CTask task;
    task.m_Name = QStringLiteral("Shop front");
    task.m_Description = QStringLiteral("The shop's home page must show the price list.");
    task.m_CheckAction = eCheckHttpGetPattern;
    task.m_HttpGetURL = QStringLiteral("https://shop.example.com/");
    task.m_ExpectedPattern = QStringLiteral("Price list");
    task.m_bTaskScheduled = true;
    task.m_PingInterval = 3600;
    task.m_AlertSettings.m_bUseDefaultAlertMethods = false;
    task.m_AlertSettings.m_AlertMethods = eAlertEmail | eAlertApplication;
    task.m_AlertSettings.m_AlertEmailAddresses = QStringLiteral("ops@example.com; web@example.com");
    task.m_AlertSettings.m_AlertApplicationName = QStringLiteral("/usr/local/bin/notify \"%N\" \"%E\"");
    m_Now = QDateTime::currentSecsSinceEpoch();
    Open(task);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(m_pSheet.get()));
    const char* names[] = {"general", "checks", "schedule", "alerts"};
    for (int page = 0; page < 4; ++page) {
        ClickTab(page);
        ASSERT_EQ(Page(), page);
        QTest::qWait(50);
        EXPECT_TRUE(m_pSheet->grab().save(QDir(folder).filePath(QStringLiteral("sheet-%1.png").arg(names[page]))));
    }

    // The crawl's own fields, enabled.
    CTask crawl;
    crawl.m_CheckAction = eCheckSpider;
    crawl.m_SpiderUrl = QStringLiteral("https://www.example.com/");
    crawl.m_bSpiderLimitPageNumber = true;
    crawl.m_bSpiderCheckExternal = true;
    Open(crawl);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(m_pSheet.get()));
    ClickTab(CTaskConfigSheet::eChecksPage);
    QTest::qWait(50);
    EXPECT_TRUE(m_pSheet->grab().save(QDir(folder).filePath(QStringLiteral("sheet-checks-spider.png"))));
}

TEST_F(SheetTest, OpensWithTheFocusInNameAndKeepsWhatIsTypedAtOnce)
{
    CTask task;
    task.m_Name = QStringLiteral("Unnamed");
    Open(task);
    ASSERT_TRUE(QTest::qWaitForWindowActive(m_pSheet.get()));
    auto* name = Find<QLineEdit>("name");
    EXPECT_EQ(QApplication::focusWidget(), name);
    // Typed straight away, the keys replace the proposed name rather than going elsewhere.
    QTest::keyClicks(QApplication::focusWidget(), QStringLiteral("Shop front"));
    EXPECT_EQ(Confirmed().m_Name, QStringLiteral("Shop front"));
}
