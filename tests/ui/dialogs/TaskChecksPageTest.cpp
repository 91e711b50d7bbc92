#include "SheetFixture.h"

#include <QApplication>
#include <QCheckBox>
#include <QLineEdit>
#include <QRadioButton>
#include <QSpinBox>

namespace {
const QString kBadUrl = QStringLiteral("www.example.com/shop");
}

class ChecksPageTest : public SheetTest
{
protected:
    void OpenOnChecks(const CTask& task = CTask())
    {
        Open(task);
        ClickTab(CTaskConfigSheet::eChecksPage);
        ASSERT_EQ(Page(), CTaskConfigSheet::eChecksPage);
    }
};

TEST_F(ChecksPageTest, TheChosenCheckDecidesTheSavedAction)
{
    OpenOnChecks();
    Click("httpGet");
    Type(Find<QLineEdit>("httpUrl"), QStringLiteral("http://shop.example.com/"));
    Click("lookForString");
    EXPECT_TRUE(Find<QLineEdit>("pattern")->isEnabled());
    Type(Find<QLineEdit>("pattern"), QStringLiteral("Price list"));
    CTask saved = Confirmed();
    EXPECT_EQ(saved.m_CheckAction, eCheckHttpGetPattern);
    EXPECT_EQ(saved.m_HttpGetURL, "http://shop.example.com/");
    EXPECT_EQ(saved.m_ExpectedPattern, "Price list");

    // Set up again from 3, then Look for string cleared: a plain GET that keeps the text.
    OpenOnChecks(saved);
    EXPECT_TRUE(Find<QRadioButton>("httpGet")->isChecked());
    EXPECT_TRUE(Find<QCheckBox>("lookForString")->isChecked());
    Click("lookForString");
    EXPECT_FALSE(Find<QLineEdit>("pattern")->isEnabled());
    saved = Confirmed();
    EXPECT_EQ(saved.m_CheckAction, eCheckHttpGet);
    EXPECT_EQ(saved.m_ExpectedPattern, "Price list");

    // Look for string stays as it was under another check, and does not count there.
    OpenOnChecks(saved);
    Click("lookForString");
    Click("spider");
    EXPECT_FALSE(Find<QLineEdit>("pattern")->isEnabled());
    EXPECT_EQ(Confirmed().m_CheckAction, eCheckSpider);
}

TEST_F(ChecksPageTest, EnablingFollowsTheChosenCheckAndTheLimitBoxes)
{
    CTask task;
    task.m_CheckAction = eCheckSpider;
    task.m_bSpiderLimitDepth = true;
    OpenOnChecks(task);
    EXPECT_FALSE(Find<QLineEdit>("pingHost")->isEnabled());
    EXPECT_FALSE(Find<QLineEdit>("httpUrl")->isEnabled());
    EXPECT_TRUE(Find<QLineEdit>("spiderUrl")->isEnabled());
    EXPECT_TRUE(Find<QWidget>("spiderTest")->isEnabled());
    EXPECT_FALSE(Find<QLineEdit>("maxPages")->isEnabled());
    EXPECT_TRUE(Find<QLineEdit>("maxDepth")->isEnabled());
    EXPECT_TRUE(Find<QWidget>("spiderConnections")->isEnabled());
    EXPECT_TRUE(Find<QWidget>("spiderCheckExternal")->isEnabled());
    Click("limitPages");
    EXPECT_TRUE(Find<QLineEdit>("maxPages")->isEnabled());
    Click("limitDepth");
    EXPECT_FALSE(Find<QLineEdit>("maxDepth")->isEnabled());
    Click("httpGet");
    EXPECT_FALSE(Find<QLineEdit>("maxPages")->isEnabled());
    EXPECT_FALSE(Find<QWidget>("spiderTest")->isEnabled());
    EXPECT_TRUE(Find<QWidget>("httpTest")->isEnabled());
    EXPECT_FALSE(Find<QLineEdit>("pattern")->isEnabled());
    EXPECT_FALSE(Find<QWidget>("spiderConnections")->isEnabled());
    EXPECT_FALSE(Find<QWidget>("spiderCheckExternal")->isEnabled());
    Click("ping");
    EXPECT_FALSE(Find<QWidget>("spiderConnections")->isEnabled());
    EXPECT_FALSE(Find<QWidget>("spiderCheckExternal")->isEnabled());
    Click("spider");
    EXPECT_TRUE(Find<QWidget>("spiderConnections")->isEnabled());
    EXPECT_TRUE(Find<QWidget>("spiderCheckExternal")->isEnabled());
}

TEST_F(ChecksPageTest, CrawlConnectionsAndOtherSitesAreTheTasksOwnOrTheDefault)
{
    // The default shown is the application's number as it is now, not the one built in.
    CAppSettings settings = GetAppSettings();
    settings.m_SpiderConnections = 12;
    SetAppSettings(settings);
    CTask task;
    task.m_CheckAction = eCheckSpider;
    task.m_SpiderUrl = QStringLiteral("https://www.example.com/");
    OpenOnChecks(task);
    ASSERT_TRUE(QTest::qWaitForWindowActive(m_pSheet.get()));
    auto* connections = Find<QSpinBox>("spiderConnections");
    auto* external = Find<QCheckBox>("spiderCheckExternal");
    EXPECT_EQ(connections->text(), "Default (12)");
    EXPECT_FALSE(external->isChecked());

    // Reached with their mnemonics, as a keyboard user sets them.
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_C, Qt::AltModifier);
    QWidget* focus = QApplication::focusWidget();
    EXPECT_TRUE(focus == connections || focus->parentWidget() == connections) << focus->objectName().toStdString();
    for (int step = 0; step < 3; ++step)
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Up);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_O, Qt::AltModifier);
    QTest::qWait(200); // a mnemonic clicks with a short animation
    EXPECT_TRUE(external->isChecked());
    CTask saved = Confirmed();
    EXPECT_EQ(saved.m_SpiderConnections, 3);
    EXPECT_TRUE(saved.m_bSpiderCheckExternal);

    // Shown again as saved, and back to the default: 0, which the file leaves out.
    OpenOnChecks(saved);
    connections = Find<QSpinBox>("spiderConnections");
    EXPECT_EQ(connections->text(), "3");
    EXPECT_TRUE(Find<QCheckBox>("spiderCheckExternal")->isChecked());
    connections->setFocus(Qt::TabFocusReason);
    for (int step = 0; step < 5; ++step)
        QTest::keyClick(connections, Qt::Key_Down);
    EXPECT_EQ(connections->text(), "Default (12)");
    Click("spiderCheckExternal");
    saved = Confirmed();
    EXPECT_EQ(saved.m_SpiderConnections, 0);
    EXPECT_FALSE(saved.m_bSpiderCheckExternal);

    // Kept under another check, like the crawl's other fields.
    saved.m_SpiderConnections = 32;
    saved.m_bSpiderCheckExternal = true;
    saved.m_CheckAction = eCheckPing;
    OpenOnChecks(saved);
    saved = Confirmed();
    EXPECT_EQ(saved.m_SpiderConnections, 32);
    EXPECT_TRUE(saved.m_bSpiderCheckExternal);
}

TEST_F(ChecksPageTest, SpiderLimitsTakeDigitsOnlyAndAnEmptyOneIsZero)
{
    OpenOnChecks();
    Click("spider");
    Type(Find<QLineEdit>("spiderUrl"), QStringLiteral("https://example.com"));
    Click("limitPages");
    Type(Find<QLineEdit>("maxPages"), QStringLiteral("1x2"));
    EXPECT_EQ(Find<QLineEdit>("maxPages")->text(), "12");
    Click("limitDepth");
    Type(Find<QLineEdit>("maxDepth"), QString());
    const CTask saved = Confirmed();
    EXPECT_TRUE(saved.m_bSpiderLimitPageNumber);
    EXPECT_TRUE(saved.m_bSpiderLimitDepth);
    EXPECT_EQ(saved.m_SpiderMaxPageNumber, 12);
    EXPECT_EQ(saved.m_SpiderMaxDepth, 0);
}

TEST_F(ChecksPageTest, TheChosenChecksUrlWithoutSchemeKeepsThePageOpen)
{
    OpenOnChecks();
    Click("spider");
    Type(Find<QLineEdit>("spiderUrl"), kBadUrl);
    ClickTab(CTaskConfigSheet::eSchedulePage);
    EXPECT_EQ(m_Messages, QStringList {InvalidUrlMessage()});
    EXPECT_EQ(m_Messages.value(0),
              "The URL you entered is not valid. Please make sure that the URL begins with the protocol definition "
              "(http://) and contains the web site name or the IP address");
    EXPECT_EQ(Page(), CTaskConfigSheet::eChecksPage);
    EXPECT_EQ(m_pSheet->focusWidget(), Find<QLineEdit>("spiderUrl"));

    // The same on OK, then accepted once corrected.
    m_Messages.clear();
    EXPECT_FALSE(PressOk());
    EXPECT_EQ(m_Messages, QStringList {InvalidUrlMessage()});
    Type(Find<QLineEdit>("spiderUrl"), QStringLiteral("http://") + kBadUrl);
    ClickTab(CTaskConfigSheet::eSchedulePage);
    EXPECT_EQ(Page(), CTaskConfigSheet::eSchedulePage);

    // The HTTP URL is held to the same rule while Single HTTP Get is chosen.
    ClickTab(CTaskConfigSheet::eChecksPage);
    m_Messages.clear();
    Click("httpGet");
    Type(Find<QLineEdit>("httpUrl"), QStringLiteral("http://"));
    ClickTab(CTaskConfigSheet::eGeneralPage);
    EXPECT_EQ(m_Messages, QStringList {InvalidUrlMessage()});
    EXPECT_EQ(m_pSheet->focusWidget(), Find<QLineEdit>("httpUrl"));
}

TEST_F(ChecksPageTest, UrlsOfChecksNotChosenAreKeptUnchecked)
{
    // Their fields are disabled: the user could not correct them without changing checks.
    CTask task;
    task.m_SpiderUrl = kBadUrl;
    task.m_HttpGetURL = QStringLiteral("shop");
    OpenOnChecks(task);
    ClickTab(CTaskConfigSheet::eAlertsPage);
    EXPECT_EQ(Page(), CTaskConfigSheet::eAlertsPage);
    EXPECT_TRUE(m_Messages.isEmpty());
    const CTask saved = Confirmed();
    EXPECT_EQ(saved.m_CheckAction, eCheckPing);
    EXPECT_EQ(saved.m_SpiderUrl, kBadUrl);
    EXPECT_EQ(saved.m_HttpGetURL, "shop");

    // An empty URL is not checked either.
    CTask empty;
    empty.m_CheckAction = eCheckHttpGet;
    OpenOnChecks(empty);
    EXPECT_EQ(Confirmed().m_HttpGetURL, "");
}

TEST_F(ChecksPageTest, TimeoutMustLieFromOneTo99)
{
    OpenOnChecks();
    for (const char* refused : {"0", "100", "", "ten", "-5"}) {
        m_Messages.clear();
        Type(Find<QLineEdit>("timeout"), QString::fromLatin1(refused));
        ClickTab(CTaskConfigSheet::eGeneralPage);
        EXPECT_EQ(Page(), CTaskConfigSheet::eChecksPage) << refused;
        EXPECT_EQ(m_Messages, QStringList {"Please enter a timeout between 1 and 99 seconds."}) << refused;
        EXPECT_EQ(m_pSheet->focusWidget(), Find<QLineEdit>("timeout")) << refused;
        EXPECT_EQ(Find<QLineEdit>("timeout")->selectedText(), QString::fromLatin1(refused));
    }
    m_Messages.clear();
    Type(Find<QLineEdit>("timeout"), QStringLiteral("1"));
    ClickTab(CTaskConfigSheet::eGeneralPage);
    EXPECT_EQ(Page(), CTaskConfigSheet::eGeneralPage);
    ClickTab(CTaskConfigSheet::eChecksPage);
    Type(Find<QLineEdit>("timeout"), QStringLiteral("99"));
    EXPECT_EQ(Confirmed().m_TimeoutSec, 99);
    EXPECT_TRUE(m_Messages.isEmpty());
}

TEST_F(ChecksPageTest, TestButtonSaysSoWhenNoBrowserStarts)
{
    // The offscreen platform of the tests has no browser to hand an address to.
    OpenOnChecks();
    Click("httpGet");
    Type(Find<QLineEdit>("httpUrl"), QStringLiteral(" http://127.0.0.1:9/status "));
    Click("httpTest");
    EXPECT_EQ(m_Messages,
              QStringList {QStringLiteral("Unable to start a web browser for 'http://127.0.0.1:9/status'. "
                                          "Please open the address in a browser yourself.")});
    EXPECT_EQ(Page(), CTaskConfigSheet::eChecksPage);
}
