#include "SheetFixture.h"
#include "support/EventLoop.h"

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QRadioButton>
#include <QSpinBox>
#include <QToolButton>

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

    bool AdvancedShown() const { return Find<QWidget>("headers")->isVisible(); }

    // The fields of the Advanced section that the chosen check lets the user edit.
    QStringList EnabledAdvanced() const
    {
        QStringList names;
        for (const char* name : {"certWarn", "responseLimit", "unwanted", "acceptedStatus", "headers"}) {
            if (Find<QWidget>(name)->isEnabled())
                names << QLatin1String(name);
        }
        return names;
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

TEST_F(ChecksPageTest, TcpPortCheckSharesTheHostAndKeepsItsFieldsUnderOtherChecks)
{
    OpenOnChecks();
    ASSERT_TRUE(QTest::qWaitForWindowActive(m_pSheet.get()));
    auto* host = Find<QLineEdit>("pingHost");
    auto* port = Find<QLineEdit>("tcpPort");
    auto* send = Find<QLineEdit>("tcpSend");
    auto* expect = Find<QLineEdit>("tcpExpect");
    EXPECT_TRUE(host->isEnabled());
    EXPECT_FALSE(port->isEnabled());
    EXPECT_FALSE(send->isEnabled());

    // Chosen from the keyboard, then filled in Tab order: host, port, send, expect.
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_R, Qt::AltModifier);
    QTest::qWait(200); // a mnemonic clicks with a short animation
    ASSERT_TRUE(Find<QRadioButton>("tcp")->isChecked());
    for (QWidget* field : {static_cast<QWidget*>(host), static_cast<QWidget*>(port), static_cast<QWidget*>(send),
                           static_cast<QWidget*>(expect)}) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        EXPECT_EQ(QApplication::focusWidget(), field) << QApplication::focusWidget()->objectName().toStdString();
    }
    EXPECT_FALSE(Find<QLineEdit>("httpUrl")->isEnabled());
    EXPECT_FALSE(Find<QLineEdit>("spiderUrl")->isEnabled());
    Type(host, QStringLiteral("mail.example.com"));
    Type(port, QStringLiteral("25"));
    Type(send, QStringLiteral("EHLO probe"));
    Type(expect, QStringLiteral("250"));
    CTask saved = Confirmed();
    EXPECT_EQ(saved.m_CheckAction, eCheckTcp);
    EXPECT_EQ(saved.m_PingHost, "mail.example.com");
    EXPECT_EQ(saved.m_TcpPort, 25);
    EXPECT_EQ(saved.m_TcpSend, "EHLO probe");
    EXPECT_EQ(saved.m_TcpExpect, "250");

    // Shown again as saved; under a ping the host is the ping's and the rest waits disabled.
    OpenOnChecks(saved);
    EXPECT_TRUE(Find<QRadioButton>("tcp")->isChecked());
    EXPECT_EQ(Find<QLineEdit>("tcpPort")->text(), "25");
    EXPECT_EQ(Find<QLineEdit>("tcpSend")->text(), "EHLO probe");
    Click("ping");
    EXPECT_TRUE(Find<QLineEdit>("pingHost")->isEnabled());
    EXPECT_FALSE(Find<QLineEdit>("tcpPort")->isEnabled());
    EXPECT_FALSE(Find<QLineEdit>("tcpExpect")->isEnabled());
    saved = Confirmed();
    EXPECT_EQ(saved.m_CheckAction, eCheckPing);
    EXPECT_EQ(saved.m_PingHost, "mail.example.com");
    EXPECT_EQ(saved.m_TcpPort, 25);
    EXPECT_EQ(saved.m_TcpExpect, "250");
}

TEST_F(ChecksPageTest, AdvancedOptionsOpenWhenUsedFollowTheCheckAndRoundTrip)
{
    // Closed for a new task and for one from a file older than the options (no warning).
    OpenOnChecks();
    EXPECT_FALSE(AdvancedShown());
    CTask old;
    old.m_CertWarnDays = 0;
    OpenOnChecks(old);
    EXPECT_FALSE(AdvancedShown());

    // Opened from the keyboard; what is enabled follows the chosen check.
    ASSERT_TRUE(QTest::qWaitForWindowActive(m_pSheet.get()));
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_D, Qt::AltModifier);
    ASSERT_TRUE(SpinUntil([&] { return AdvancedShown(); }));
    EXPECT_EQ(EnabledAdvanced(), QStringList {"responseLimit"});
    Click("tcp");
    EXPECT_EQ(EnabledAdvanced(), QStringList {"responseLimit"});
    Click("spider");
    EXPECT_EQ(EnabledAdvanced(), (QStringList {"certWarn", "acceptedStatus"}));
    Click("httpGet");
    EXPECT_EQ(EnabledAdvanced(), (QStringList {"certWarn", "responseLimit", "unwanted", "acceptedStatus", "headers"}));
    // A limit's number counts only with its box.
    EXPECT_FALSE(Find<QCheckBox>("certWarn")->isChecked());
    EXPECT_FALSE(Find<QSpinBox>("certWarnDays")->isEnabled());
    Click("certWarn");
    EXPECT_TRUE(Find<QSpinBox>("certWarnDays")->isEnabled());
    Find<QSpinBox>("certWarnDays")->setValue(30);
    Click("responseLimit");
    Find<QSpinBox>("maxResponseMs")->setValue(1500);
    Type(Find<QLineEdit>("unwanted"), QStringLiteral("Fatal error"));
    Type(Find<QLineEdit>("acceptedStatus"), QStringLiteral(" 200-299, 404 "));
    // Headers reached by their mnemonic, typed a line each; Tab leaves the field.
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_H, Qt::AltModifier);
    auto* headers = Find<QPlainTextEdit>("headers");
    ASSERT_EQ(QApplication::focusWidget(), headers);
    QTest::keyClicks(headers, QStringLiteral("Authorization: Bearer abc"));
    QTest::keyClick(headers, Qt::Key_Return);
    QTest::keyClicks(headers, QStringLiteral("X-Probe: 1"));
    QTest::keyClick(headers, Qt::Key_Return);
    QTest::keyClick(headers, Qt::Key_Tab);
    EXPECT_NE(QApplication::focusWidget(), headers);
    CTask saved = Confirmed();
    EXPECT_EQ(saved.m_CertWarnDays, 30);
    EXPECT_EQ(saved.m_MaxResponseMs, 1500);
    EXPECT_EQ(saved.m_UnwantedPattern, "Fatal error");
    EXPECT_EQ(saved.m_AcceptedStatus, "200-299, 404");
    EXPECT_EQ(saved.m_HttpHeaders, "Authorization: Bearer abc\r\nX-Probe: 1");

    // A task that uses them opens the section by itself, so nothing set goes unseen, even
    // under a check that does not use them.
    saved.m_CheckAction = eCheckPing;
    OpenOnChecks(saved);
    EXPECT_TRUE(AdvancedShown());
    EXPECT_EQ(Find<QSpinBox>("certWarnDays")->value(), 30);
    EXPECT_EQ(Find<QPlainTextEdit>("headers")->toPlainText(), "Authorization: Bearer abc\nX-Probe: 1");
    CTask again = Confirmed();
    EXPECT_EQ(again.m_HttpHeaders, saved.m_HttpHeaders);
    EXPECT_EQ(again.m_UnwantedPattern, saved.m_UnwantedPattern);
    EXPECT_EQ(again.m_AcceptedStatus, saved.m_AcceptedStatus);
    EXPECT_EQ(again.m_CertWarnDays, 30);

    // Cleared boxes are off, which is 0.
    OpenOnChecks(again);
    Click("responseLimit");
    Click("httpGet");
    Click("certWarn");
    again = Confirmed();
    EXPECT_EQ(again.m_MaxResponseMs, 0);
    EXPECT_EQ(again.m_CertWarnDays, 0);
    for (const int used : {1, 5000}) {
        CTask limited;
        limited.m_MaxResponseMs = used;
        OpenOnChecks(limited);
        EXPECT_TRUE(AdvancedShown()) << used;
    }
}

TEST_F(ChecksPageTest, OkRefusesABadPortStatusListOrHeaderLineOfTheChosenCheck)
{
    // Under the TCP check the status list and headers (as a file may hold them) are not its
    // own: they are left unchecked.
    CTask task;
    task.m_CheckAction = eCheckTcp;
    task.m_PingHost = QStringLiteral("127.0.0.1");
    task.m_AcceptedStatus = QStringLiteral("200-299; 404");
    task.m_HttpHeaders = QStringLiteral("X-Token abc");
    OpenOnChecks(task);
    const QString portMessage = QStringLiteral("Please enter a port between 1 and 65535.");
    for (const char* refused : {"", "0", "65536"}) {
        m_Messages.clear();
        Type(Find<QLineEdit>("tcpPort"), QString::fromLatin1(refused));
        EXPECT_FALSE(PressOk()) << refused;
        EXPECT_EQ(m_Messages, QStringList {portMessage}) << refused;
        EXPECT_EQ(m_pSheet->focusWidget(), Find<QLineEdit>("tcpPort")) << refused;
    }
    Type(Find<QLineEdit>("tcpPort"), QStringLiteral("65535"));
    m_Messages.clear();
    CTask saved = Confirmed();
    EXPECT_EQ(saved.m_TcpPort, 65535);
    EXPECT_EQ(saved.m_AcceptedStatus, "200-299; 404");

    // Under a GET they are, each refused with the form it takes and the field in focus,
    // even after the section was closed.
    saved.m_CheckAction = eCheckHttpGet;
    saved.m_TcpPort = 0;
    OpenOnChecks(saved);
    Click("advancedToggle");
    ASSERT_FALSE(AdvancedShown());
    m_Messages.clear();
    EXPECT_FALSE(PressOk());
    EXPECT_EQ(m_Messages,
              QStringList {"Please enter the status codes to accept as codes from 100 to 999 and ranges of them, "
                           "separated by commas, such as \"200-299, 301, 401\"."});
    EXPECT_EQ(Page(), CTaskConfigSheet::eChecksPage);
    EXPECT_TRUE(AdvancedShown());
    EXPECT_EQ(m_pSheet->focusWidget(), Find<QLineEdit>("acceptedStatus"));
    EXPECT_EQ(Find<QLineEdit>("acceptedStatus")->selectedText(), "200-299; 404");
    for (const char* refused : {"", "299-200", "200-299,", "1000"}) {
        m_Messages.clear();
        Type(Find<QLineEdit>("acceptedStatus"), QString::fromLatin1(refused));
        ClickTab(CTaskConfigSheet::eGeneralPage);
        EXPECT_EQ(Page(), CTaskConfigSheet::eChecksPage) << refused;
        EXPECT_EQ(m_Messages.size(), 1) << refused;
    }
    Type(Find<QLineEdit>("acceptedStatus"), QStringLiteral("200-299, 301, 401"));

    auto* headers = Find<QPlainTextEdit>("headers");
    for (const auto& [bad, message] :
         {std::pair {"X-Token abc",
                     "The request header 'X-Token abc' has no colon. Please enter one header per line, "
                     "as \"Name: value\"."},
          std::pair {"X Token: abc",
                     "The request header 'X Token: abc' is not valid: a header's name is letters, digits and signs "
                     "such as '-', without blanks, and its value holds no control characters."}}) {
        headers->setPlainText(QStringLiteral("Accept: text/html\n") + QLatin1String(bad) + QStringLiteral("\nX-A: 1"));
        m_Messages.clear();
        EXPECT_FALSE(PressOk()) << bad;
        EXPECT_EQ(m_Messages, QStringList {QLatin1String(message)});
        EXPECT_EQ(m_pSheet->focusWidget(), headers);
        // The line at fault is selected, ready to be typed over.
        EXPECT_EQ(headers->textCursor().selectedText(), QLatin1String(bad));
    }
    headers->setPlainText(QStringLiteral("Accept: text/html\nX-Token: abc"));
    m_Messages.clear();
    saved = Confirmed();
    EXPECT_EQ(saved.m_AcceptedStatus, "200-299, 301, 401");
    EXPECT_EQ(saved.m_HttpHeaders, "Accept: text/html\r\nX-Token: abc");
}

// With CORVANE_SCREENSHOT_DIR set, saves the Checks page at the sheet's own size as it opens
// (checks.png), with Advanced opened and filled in (checks-advanced.png), and closed again,
// when the sheet must have given back the room (checks-closed-again.png).
TEST_F(ChecksPageTest, Screenshots)
{
    const QString folder = qEnvironmentVariable("CORVANE_SCREENSHOT_DIR");
    if (folder.isEmpty())
        GTEST_SKIP() << "CORVANE_SCREENSHOT_DIR is not set";
    CTask task;
    task.m_CheckAction = eCheckHttpGetPattern;
    task.m_PingHost = QStringLiteral("mail.example.com");
    task.m_TcpPort = 587;
    task.m_TcpSend = QStringLiteral("EHLO probe.example.com");
    task.m_TcpExpect = QStringLiteral("250");
    task.m_HttpGetURL = QStringLiteral("https://shop.example.com/checkout/status?full=1");
    task.m_ExpectedPattern = QStringLiteral("All systems go");
    task.m_SpiderUrl = QStringLiteral("https://www.example.com/");
    OpenOnChecks(task);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(m_pSheet.get()));
    QTest::qWait(50);
    EXPECT_TRUE(m_pSheet->grab().save(QDir(folder).filePath(QStringLiteral("checks.png"))));

    Click("advancedToggle");
    Click("responseLimit");
    Find<QSpinBox>("maxResponseMs")->setValue(1500);
    Type(Find<QLineEdit>("unwanted"), QStringLiteral("Fatal error"));
    Type(Find<QLineEdit>("acceptedStatus"), QStringLiteral("200-299, 301, 401"));
    Find<QPlainTextEdit>("headers")->setPlainText(QStringLiteral("Authorization: Bearer 5f1e0c\nAccept-Language: en"));
    QTest::qWait(50);
    EXPECT_TRUE(m_pSheet->grab().save(QDir(folder).filePath(QStringLiteral("checks-advanced.png"))));
    Click("advancedToggle");
    QTest::qWait(50);
    EXPECT_TRUE(m_pSheet->grab().save(QDir(folder).filePath(QStringLiteral("checks-closed-again.png"))));
}
