#include "MainFrameFixture.h"

#include "Version.h"
#include "support/TestFiles.h"
#include "ui/shell/AboutBox.h"
#include "ui/shell/CustomizeDialog.h"
#include "ui/shell/SingleInstance.h"
#include "ui/shell/UserTools.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QListWidget>
#include <QSettings>
#include <QTest>
#include <QToolBar>
#include <QUuid>

#include <future>

namespace {

QStringList RecordedArguments(const QString& path)
{
    QStringList arguments;
    const QByteArray bytes = ReadBytes(path);
    for (const QByteArray& part : bytes.split('\0'))
        arguments << QString::fromUtf8(part);
    arguments.removeLast(); // after the last NUL
    return arguments;
}

QString UniqueKey()
{
    return QStringLiteral("corvane-test-") + QUuid::createUuid().toString(QUuid::Id128);
}

} // namespace

TEST(SingleInstance, ALaterStartHandsOverToTheRunningOne)
{
    const QString key = UniqueKey();
    CSingleInstance first(key);
    ASSERT_TRUE(first.TryToBecomePrimary());
    int restores = 0;
    QObject::connect(&first, &CSingleInstance::RestoreRequested, &first, [&] { ++restores; });

    CSingleInstance second(key);
    EXPECT_FALSE(second.TryToBecomePrimary());
    // The later start waits for the answer; the running one answers from its event loop.
    std::future<bool> answered = std::async(std::launch::async, [&] { return second.AskPrimaryToRestore(10000); });
    while (answered.wait_for(std::chrono::milliseconds(10)) != std::future_status::ready)
        QApplication::processEvents();
    EXPECT_TRUE(answered.get());
    QTRY_COMPARE(restores, 1);
}

TEST(SingleInstance, TheNextStartTakesOverOnceTheFirstHasEnded)
{
    const QString key = UniqueKey();
    {
        CSingleInstance first(key);
        ASSERT_TRUE(first.TryToBecomePrimary());
    }
    CSingleInstance next(key);
    EXPECT_TRUE(next.TryToBecomePrimary());
    // Nobody listens on another key: the ask gives up instead of hanging.
    CSingleInstance lonely(UniqueKey());
    EXPECT_FALSE(lonely.AskPrimaryToRestore(300));
}

TEST(SingleInstance, KeysSeparateSettingsFilesButNotCallers)
{
    const QString plain = CSingleInstance::KeyFor(QString());
    EXPECT_TRUE(plain.startsWith(QStringLiteral("VGRClass-")));
    // A relative name and the absolute one of the same file meet.
    EXPECT_EQ(CSingleInstance::KeyFor(QStringLiteral("one.ini")),
              CSingleInstance::KeyFor(QDir::current().filePath(QStringLiteral("one.ini"))));
    EXPECT_NE(CSingleInstance::KeyFor(QStringLiteral("/tmp/one.ini")),
              CSingleInstance::KeyFor(QStringLiteral("/tmp/two.ini")));
    EXPECT_NE(CSingleInstance::KeyFor(QStringLiteral("/tmp/one.ini")), plain);
    EXPECT_FALSE(CSingleInstance::KeyFor(QStringLiteral("/tmp/a b/one.ini")).contains(u' '));
}

TEST_F(MainFrameTest, HiddenToolbarButtonsStayHiddenWithoutStraySeparators)
{
    // Choose in the dialog what the toolbar shows.
    QList<QAction*> buttons;
    for (QAction* action : m_pFrame->GetToolBar()->actions()) {
        if (!action->isSeparator())
            buttons << action;
    }
    CCustomizeDialog dialog(buttons, {}, {});
    auto* list = dialog.findChild<QListWidget*>(QStringLiteral("toolbarButtons"));
    ASSERT_NE(list, nullptr);
    ASSERT_EQ(list->count(), 8);
    list->item(3)->setCheckState(Qt::Unchecked); // Operating
    list->item(7)->setCheckState(Qt::Unchecked); // About
    const QSet<QString> hidden = dialog.GetHiddenButtons();
    EXPECT_EQ(hidden, (QSet<QString> {QStringLiteral("engineOperating"), QStringLiteral("helpAbout")}));

    // Kept in the settings; the next window builds its toolbar from them.
    OpenSettingsStore()->setValue(QStringLiteral("Settings/HiddenToolbarButtons"),
                                  QStringList(hidden.begin(), hidden.end()));
    NewFrame();
    QStringList shown;
    for (const QAction* action : m_pFrame->GetToolBar()->actions())
        shown << (action->isSeparator() ? QStringLiteral("-") : action->objectName());
    EXPECT_EQ(shown, (QStringList {"fileNew", "fileOpen", "fileSave", "-", "editCut", "editCopy", "editPaste"}));
}

TEST_F(MainFrameTest, UserToolsAreKeptAndStartedWithTheirArgumentsIntact)
{
    const QString record = m_Dir.filePath(QStringLiteral("args.bin"));
    QList<CUserTool> tools;
    tools << CUserTool {QStringLiteral("Record"), QStringLiteral(CORVANE_RECORD_ARGS),
                        QStringLiteral("\"%1\" \"two words\" $HOME;rm `x` 'q'").arg(record)};
    for (int i = 0; i < 12; ++i)
        tools << CUserTool {QStringLiteral("Tool %1").arg(i), QStringLiteral("/bin/true"), QString()};
    SaveUserTools(tools);
    const QList<CUserTool> loaded = LoadUserTools();
    ASSERT_EQ(loaded.size(), kMaxUserTools);
    EXPECT_EQ(loaded.first(), tools.first());

    // The Tools menu lists them; choosing one starts its program without a shell.
    NewFrame();
    QAction* first = m_pFrame->findChild<QAction*>(QStringLiteral("userTool1"));
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->text(), QStringLiteral("Record"));
    EXPECT_NE(m_pFrame->findChild<QAction*>(QStringLiteral("userTool10")), nullptr);
    EXPECT_EQ(m_pFrame->findChild<QAction*>(QStringLiteral("userTool11")), nullptr);
    first->trigger();
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(record), 10000);
    EXPECT_EQ(RecordedArguments(record), (QStringList {"two words", "$HOME;rm", "`x`", "'q'"}));

    QString error;
    EXPECT_FALSE(RunUserTool({QStringLiteral("Broken"), m_Dir.filePath(QStringLiteral("nothing")), QString()}, &error));
    EXPECT_TRUE(error.contains(QStringLiteral("Broken")));
}

TEST(AboutBox, NamesTheProductAndItsVersion)
{
    CAboutBox about;
    const QLabel* text = about.findChild<QLabel*>(QStringLiteral("aboutText"));
    ASSERT_NE(text, nullptr);
    EXPECT_TRUE(text->text().contains(QStringLiteral("Corvane")));
    EXPECT_TRUE(text->text().contains(QStringLiteral(CORVANE_VERSION)));
    EXPECT_EQ(about.windowTitle(), QStringLiteral("About Corvane"));
    EXPECT_TRUE(GetProductWebPage().endsWith(QStringLiteral("/VGR.html")));
}
