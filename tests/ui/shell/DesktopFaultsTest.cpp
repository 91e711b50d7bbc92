#include "MainFrameFixture.h"

#include "ui/output/OutputBar.h"
#include "ui/output/OutputList.h"
#include "ui/shell/CustomizeDialog.h"
#include "ui/tasks/VigrelView.h"

#include <QAbstractItemView>
#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QStatusBar>
#include <QStatusTipEvent>
#include <QTest>
#include <QToolBar>
#include <QToolButton>

namespace {

// What the message pane shows: a passing prompt while there is one, else its own text.
QString ShownStatus(QMainWindow* frame)
{
    if (!frame->statusBar()->currentMessage().isEmpty())
        return frame->statusBar()->currentMessage();
    const QLabel* pane = frame->statusBar()->findChild<QLabel*>(QStringLiteral("messagePane"));
    return pane ? pane->text() : QString();
}

} // namespace

TEST_F(MainFrameTest, EngineButtonShowsItsStateAndItsMessageOutlastsTheButtonsPrompt)
{
    ASSERT_TRUE(m_pFrame->Start());
    m_bHubStarted = true;
    m_pFrame->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(m_pFrame.get()));
    auto* button = qobject_cast<QToolButton*>(m_pFrame->GetToolBar()->widgetForAction(Command("engineOperating")));
    ASSERT_NE(button, nullptr);
    EXPECT_TRUE(button->isCheckable());
    EXPECT_TRUE(button->isChecked());

    QTest::mouseClick(button, Qt::LeftButton);
    EXPECT_FALSE(m_Hub.IsEngineOn());
    EXPECT_FALSE(button->isChecked());
    // The pointer leaves the button: its prompt ends, as Qt tells it with an empty tip.
    QStatusTipEvent leave {QString()};
    QApplication::sendEvent(button, &leave);
    EXPECT_EQ(ShownStatus(m_pFrame.get()), QStringLiteral("Engine stopped"));

    QTest::mouseClick(button, Qt::LeftButton);
    QApplication::sendEvent(button, &leave);
    EXPECT_TRUE(button->isChecked());
    EXPECT_TRUE(Command("engineOperating")->isChecked());
    EXPECT_EQ(ShownStatus(m_pFrame.get()), QStringLiteral("Engine started"));
}

TEST_F(MainFrameTest, NextPaneKeysPutTheFocusIntoTheOtherList)
{
    m_pFrame->show();
    m_pFrame->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(m_pFrame.get()));
    QAbstractItemView* tasks = m_pFrame->GetView()->GetItemView();
    QWidget* output = m_pFrame->GetOutputBar()->GetList();
    tasks->setFocus();
    QTRY_COMPARE(QApplication::focusWidget(), tasks);

    QTest::keyClick(QApplication::focusWidget(), Qt::Key_F6);
    EXPECT_EQ(QApplication::focusWidget(), output);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_F6);
    EXPECT_EQ(QApplication::focusWidget(), tasks);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_F6, Qt::ShiftModifier);
    EXPECT_EQ(QApplication::focusWidget(), output);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_F6, Qt::ShiftModifier);
    EXPECT_EQ(QApplication::focusWidget(), tasks);
}

TEST_F(MainFrameTest, EditMenuOpenedFromTheKeyboardJudgesTheFieldThatHadTheFocus)
{
    auto* field = new QLineEdit(QStringLiteral("hello "));
    m_pFrame->statusBar()->addPermanentWidget(field);
    m_pFrame->show();
    m_pFrame->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(m_pFrame.get()));
    field->setFocus();
    QTRY_COMPARE(QApplication::focusWidget(), field);
    field->end(false);
    QGuiApplication::clipboard()->setText(QStringLiteral("world"));

    // Alt+E puts the keyboard focus into the menu bar while the menu is open.
    QMenu* edit = m_pFrame->menuBar()->actions().at(1)->menu();
    QTest::keyClick(field, Qt::Key_E, Qt::AltModifier);
    QTRY_VERIFY(edit->isVisible());
    EXPECT_TRUE(Command("editPaste")->isEnabled());
    // The periodic refresh runs while the menu is open too.
    QTest::qWait(400);
    EXPECT_TRUE(Command("editPaste")->isEnabled());

    // Chosen from the menu, Paste reaches the field.
    Command("editPaste")->trigger();
    EXPECT_EQ(field->text(), QStringLiteral("hello world"));
    edit->close();
}

TEST_F(MainFrameTest, TopMenusHaveMnemonicsOfTheirOwn)
{
    QMap<QChar, QString> seen;
    for (const QAction* menu : m_pFrame->menuBar()->actions()) {
        const QString text = menu->text();
        const qsizetype amp = text.indexOf(u'&');
        ASSERT_GE(amp, 0) << text.toStdString();
        const QChar key = text.at(amp + 1).toLower();
        EXPECT_FALSE(seen.contains(key)) << text.toStdString() << " and " << seen.value(key).toStdString();
        seen.insert(key, text);
    }
}

TEST(CustomizeDialog, ProgramLabelTakesTheFocusToItsField)
{
    CCustomizeDialog dialog({}, {}, {CUserTool {QStringLiteral("Ping"), QStringLiteral("/bin/ping"), QString()}});
    QLabel* program = nullptr;
    for (QLabel* label : dialog.findChildren<QLabel*>()) {
        if (label->text() == QStringLiteral("&Program:"))
            program = label;
    }
    ASSERT_NE(program, nullptr);
    // Without a buddy the label shows the ampersand itself.
    auto* field = qobject_cast<QLineEdit*>(program->buddy());
    ASSERT_NE(field, nullptr);
    dialog.ShowPage(CCustomizeDialog::eToolsPage);
    dialog.show();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&dialog));
    QTest::keyClick(&dialog, Qt::Key_P, Qt::AltModifier);
    EXPECT_EQ(QApplication::focusWidget(), field);
}

TEST_F(MainFrameTest, ListAndOutputBothHaveRoomInASmallAndALargeWindow)
{
    // A first start: no layout of the user's yet. Messages fill the output window.
    for (int i = 0; i < 200; ++i)
        m_pFrame->GetOutputBar()->AddMessage(CLogMessage(eInformational, QStringLiteral("Message %1").arg(i)));
    m_pFrame->resize(1000, 800);
    m_pFrame->show();
    QCoreApplication::processEvents();
    const int list = m_pFrame->GetView()->height();
    const int output = m_pFrame->GetOutputBar()->height();
    EXPECT_GE(list, 300) << "the list has " << list << " px, the output " << output;
    EXPECT_GE(output, 150);

    m_pFrame->resize(520, 300);
    QCoreApplication::processEvents();
    EXPECT_GE(m_pFrame->GetView()->height(), 90);
    EXPECT_GE(m_pFrame->GetOutputBar()->height(), 60);
}
