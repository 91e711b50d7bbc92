#include "MainFrameFixture.h"

#include "core/tasks/TaskFile.h"
#include "core/tasks/TaskKey.h"
#include "ui/output/OutputBar.h"
#include "ui/tasks/VigrelView.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QFile>
#include <QItemSelectionModel>
#include <QLineEdit>
#include <QListView>
#include <QMenuBar>
#include <QSettings>
#include <QStatusBar>
#include <QSystemTrayIcon>
#include <QTest>
#include <QToolBar>
#include <QTreeView>

namespace {

QStringList MenuTexts(const QList<QAction*>& actions)
{
    QStringList texts;
    for (const QAction* action : actions)
        texts << (action->isSeparator() ? QStringLiteral("-") : action->text());
    return texts;
}

} // namespace

TEST_F(MainFrameTest, EngineSwitchShowsItsStateFromTheStart)
{
    ASSERT_TRUE(m_pFrame->Start());
    m_bHubStarted = true;
    QAction* operating = Command("engineOperating");
    EXPECT_TRUE(operating->isCheckable());
    EXPECT_TRUE(operating->isChecked());
    EXPECT_EQ(operating->statusTip(), QStringLiteral("Starts/stops the main polling engine"));
    EXPECT_EQ(operating->toolTip(), QStringLiteral("Start/stop the engine"));
    // Nothing runs: there is nothing to stop (once the engine thread has come up).
    QTRY_VERIFY(!Command("engineStop")->isEnabled());

    operating->trigger();
    EXPECT_FALSE(m_Hub.IsEngineOn());
    EXPECT_FALSE(operating->isChecked());
    EXPECT_EQ(m_pFrame->statusBar()->currentMessage(), QStringLiteral("Engine stopped"));
    EXPECT_FALSE(Command("engineStop")->isEnabled());

    operating->trigger();
    EXPECT_TRUE(operating->isChecked());
    EXPECT_EQ(m_pFrame->statusBar()->currentMessage(), QStringLiteral("Engine started"));
}

TEST_F(MainFrameTest, MenusCarryTheirCommandsInOrder)
{
    const QList<QAction*> menus = m_pFrame->menuBar()->actions();
    EXPECT_EQ(MenuTexts(menus), (QStringList {"&File", "&Edit", "&View", "E&ngine", "&Task", "T&ools", "&Help"}));
    EXPECT_EQ(MenuTexts(menus.at(3)->menu()->actions()), (QStringList {"&Operating", "&Stop running task"}));
    EXPECT_EQ(MenuTexts(menus.at(4)->menu()->actions()),
              (QStringList {"&Add...", "&Modify...", "&Delete...", "-", "&Execute"}));
    EXPECT_EQ(MenuTexts(menus.at(6)->menu()->actions()), (QStringList {"&About Corvane..."}));
    // No recent file yet: one separator between Options and Exit.
    QStringList file;
    for (const QAction* action : menus.at(0)->menu()->actions()) {
        if (action->isVisible())
            file << (action->isSeparator() ? QStringLiteral("-") : action->text());
    }
    EXPECT_EQ(file,
              (QStringList {"&New\tCtrl+N", "&Open...\tCtrl+O", "&Save\tCtrl+S", "Save &As...",
                            "&Export output window content...", "-", "&Options...", "-", "E&xit"}));
    EXPECT_EQ(Command("fileSave")->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_S));
    EXPECT_TRUE(Command("editCopy")->shortcuts().contains(QKeySequence(Qt::CTRL | Qt::Key_Insert)));
    EXPECT_EQ(Command("viewCustomize")->statusTip(), QStringLiteral("Customize toolbars ane menus."));

    // The toolbar: New Open Save | Operating | Cut Copy Paste | About.
    EXPECT_EQ(MenuTexts(m_pFrame->GetToolBar()->actions()),
              (QStringList {"&New\tCtrl+N", "&Open...\tCtrl+O", "&Save\tCtrl+S", "-", "&Operating", "-", "Cu&t\tCtrl+X",
                            "&Copy\tCtrl+C", "&Paste\tCtrl+V", "-", "&About Corvane..."}));
    for (const QAction* action : m_pFrame->GetToolBar()->actions())
        EXPECT_TRUE(action->isSeparator() || !action->icon().isNull()) << action->text().toStdString();
}

TEST_F(MainFrameTest, TaskCommandsFollowTheSelection)
{
    for (const char* name : {"One", "Two", "Three"})
        m_Document.AddTask(Task(QString::fromLatin1(name)));
    QTreeView* list = m_pFrame->GetView()->findChild<QTreeView*>();
    ASSERT_NE(list, nullptr);
    ASSERT_EQ(list->model()->rowCount(), 3);
    QItemSelectionModel* selection = list->selectionModel();

    m_pFrame->UpdateCommandUI();
    EXPECT_TRUE(Command("taskAdd")->isEnabled());
    EXPECT_FALSE(Command("taskExecute")->isEnabled());
    EXPECT_FALSE(Command("taskModify")->isEnabled());
    EXPECT_FALSE(Command("taskDelete")->isEnabled());

    selection->select(list->model()->index(1, 0), QItemSelectionModel::Select | QItemSelectionModel::Rows);
    EXPECT_TRUE(Command("taskExecute")->isEnabled());
    EXPECT_TRUE(Command("taskModify")->isEnabled());
    EXPECT_TRUE(Command("taskDelete")->isEnabled());

    selection->select(list->model()->index(2, 0), QItemSelectionModel::Select | QItemSelectionModel::Rows);
    EXPECT_FALSE(Command("taskExecute")->isEnabled());
    EXPECT_FALSE(Command("taskModify")->isEnabled());
    EXPECT_TRUE(Command("taskDelete")->isEnabled());

    selection->clearSelection();
    EXPECT_FALSE(Command("taskExecute")->isEnabled());
}

TEST_F(MainFrameTest, TitleFollowsTheDocument)
{
    EXPECT_EQ(m_pFrame->windowTitle(), QStringLiteral("Untitled[*] - Corvane"));
    EXPECT_FALSE(m_pFrame->isWindowModified());

    m_Document.AddTask(Task(QStringLiteral("One")));
    EXPECT_TRUE(m_pFrame->isWindowModified());

    m_NextFileName = m_Dir.filePath(QStringLiteral("mine.cvn"));
    Command("fileSave")->trigger(); // no name yet: Save asks for one
    EXPECT_TRUE(QFile::exists(m_NextFileName));
    EXPECT_EQ(m_pFrame->windowTitle(), QStringLiteral("mine.cvn[*] - Corvane"));
    EXPECT_FALSE(m_pFrame->isWindowModified());

    Command("fileNew")->trigger();
    EXPECT_EQ(m_pFrame->windowTitle(), QStringLiteral("Untitled[*] - Corvane"));
    EXPECT_TRUE(m_Shown.isEmpty()) << m_Shown.join(u'|').toStdString();
}

TEST_F(MainFrameTest, AChangedDocumentIsOfferedForSavingFirst)
{
    m_Document.AddTask(Task(QStringLiteral("Keep me")));

    m_NextAnswer = QMessageBox::Cancel;
    EXPECT_FALSE(m_pFrame->OnFileNew());
    EXPECT_EQ(m_Shown, QStringList {QStringLiteral("Save changes to Untitled?")});
    EXPECT_EQ(m_Document.GetTaskCount(), 1);

    // Yes on an unnamed document asks for a name and saves there before going on.
    m_NextAnswer = QMessageBox::Yes;
    m_NextFileName = m_Dir.filePath(QStringLiteral("kept.cvn"));
    EXPECT_TRUE(m_pFrame->OnFileNew());
    EXPECT_EQ(m_Document.GetTaskCount(), 0);
    QList<CTask> saved;
    ASSERT_TRUE(ReadTaskFile(m_NextFileName, saved, nullptr));
    ASSERT_EQ(saved.size(), 1);
    EXPECT_EQ(saved.first().m_Name, QStringLiteral("Keep me"));

    // No throws the changes away; closing the window asks the same question.
    m_Document.AddTask(Task(QStringLiteral("Drop me")));
    m_NextAnswer = QMessageBox::Cancel;
    EXPECT_FALSE(m_pFrame->close());
    m_NextAnswer = QMessageBox::No;
    EXPECT_TRUE(m_pFrame->OnFileNew());
    EXPECT_EQ(m_Document.GetTaskCount(), 0);
    EXPECT_EQ(m_Shown.size(), 4);

    // A termination signal ends the program without the question.
    m_Document.AddTask(Task(QStringLiteral("Unsaved")));
    m_Shown.clear();
    m_pFrame->show();
    m_pFrame->CloseWithoutPrompt();
    EXPECT_FALSE(m_pFrame->isVisible());
    EXPECT_TRUE(m_Shown.isEmpty());
}

TEST_F(MainFrameTest, OpenAndSaveFailuresAreReportedWithTheReason)
{
    m_Document.AddTask(Task(QStringLiteral("Mine")));
    const QString missing = m_Dir.filePath(QStringLiteral("missing.cvn"));
    EXPECT_FALSE(m_pFrame->OpenDocumentFile(missing));
    ASSERT_EQ(m_Shown.size(), 1);
    EXPECT_TRUE(m_Shown.first().contains(QStringLiteral("missing.cvn"))) << m_Shown.first().toStdString();
    EXPECT_EQ(m_Document.GetTaskCount(), 1); // the open document stays as it was
    EXPECT_TRUE(m_pFrame->GetRecentFiles().GetFiles().isEmpty());

    m_NextFileName = m_Dir.filePath(QStringLiteral("no/such/folder/tasks.cvn"));
    m_Shown.clear();
    EXPECT_FALSE(m_pFrame->OnFileSaveAs());
    ASSERT_EQ(m_Shown.size(), 1);
    EXPECT_TRUE(m_Shown.first().contains(QStringLiteral("tasks.cvn"))) << m_Shown.first().toStdString();
    EXPECT_TRUE(m_Document.IsModified());
    EXPECT_TRUE(m_pFrame->isWindowModified());
    EXPECT_EQ(m_pFrame->windowTitle(), QStringLiteral("Untitled[*] - Corvane"));
}

TEST_F(MainFrameTest, RecentFilesKeepTheLastFourNewestFirst)
{
    QStringList paths;
    for (int i = 1; i <= 5; ++i) {
        paths << m_Dir.filePath(QStringLiteral("tasks%1.cvn").arg(i));
        CTask task = Task(QStringLiteral("T%1").arg(i));
        task.m_TaskGuid = NewTaskKey(); // as the window saves it, so it opens unmodified
        ASSERT_TRUE(WriteTaskFile(paths.last(), {task}, nullptr));
        ASSERT_TRUE(m_pFrame->OpenDocumentFile(paths.last()));
    }
    ASSERT_TRUE(m_pFrame->OpenDocumentFile(paths.at(2))); // again: moves to the top, not listed twice
    const QStringList expected {paths.at(2), paths.at(4), paths.at(3), paths.at(1)};
    EXPECT_EQ(m_pFrame->GetRecentFiles().GetFiles(), expected);

    NewFrame(); // the next run offers the same list in the File menu
    EXPECT_EQ(m_pFrame->GetRecentFiles().GetFiles(), expected);
    QAction* first = m_pFrame->findChild<QAction*>(QStringLiteral("recentFile1"));
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->text(), QStringLiteral("&1 ") + QDir::toNativeSeparators(paths.at(2)));
    EXPECT_EQ(m_pFrame->findChild<QAction*>(QStringLiteral("recentFile5")), nullptr);

    // Choosing an entry opens it; one whose file has gone is reported and dropped.
    m_pFrame->findChild<QAction*>(QStringLiteral("recentFile2"))->trigger();
    EXPECT_EQ(m_Document.GetPathName(), paths.at(4));
    ASSERT_TRUE(QFile::remove(paths.at(1)));
    m_pFrame->findChild<QAction*>(QStringLiteral("recentFile4"))->trigger();
    EXPECT_EQ(m_Shown.size(), 1);
    EXPECT_EQ(m_pFrame->GetRecentFiles().GetFiles().size(), 3);
    EXPECT_EQ(m_pFrame->findChild<QAction*>(QStringLiteral("recentFile4")), nullptr);
}

TEST_F(MainFrameTest, WindowStateComesBackInTheNextRun)
{
    m_pFrame->show();
    m_pFrame->resize(723, 456);
    Command("viewOutput")->trigger();
    Command("viewToolbar")->trigger();
    Command("viewStatusBar")->trigger();
    EXPECT_TRUE(m_pFrame->GetOutputBar()->isHidden());
    EXPECT_FALSE(Command("viewOutput")->isChecked());
    ASSERT_TRUE(m_pFrame->close());

    const auto store = OpenSettingsStore();
    EXPECT_TRUE(store->contains(QStringLiteral("Settings/Geometry")));
    EXPECT_TRUE(store->contains(QStringLiteral("Settings/WindowState")));

    NewFrame();
    m_pFrame->show();
    EXPECT_EQ(m_pFrame->size(), QSize(723, 456));
    EXPECT_TRUE(m_pFrame->GetOutputBar()->isHidden());
    EXPECT_TRUE(m_pFrame->GetToolBar()->isHidden());
    EXPECT_TRUE(m_pFrame->statusBar()->isHidden());
    EXPECT_FALSE(Command("viewToolbar")->isChecked());
    Command("viewOutput")->trigger();
    EXPECT_FALSE(m_pFrame->GetOutputBar()->isHidden());
}

TEST_F(MainFrameTest, WithoutATrayMinimiseIsOrdinaryAndTrayCommandsAreOff)
{
    ASSERT_FALSE(QSystemTrayIcon::isSystemTrayAvailable()); // the offscreen platform has none
    m_pFrame->show();
    m_pFrame->UpdateCommandUI();
    EXPECT_FALSE(Command("trayMinimize")->isEnabled());
    EXPECT_FALSE(Command("trayRestore")->isEnabled());
    EXPECT_FALSE(m_pFrame->OnTrayMinimize());

    m_pFrame->MinimizeAtStart();
    QApplication::processEvents();
    EXPECT_TRUE(m_pFrame->isMinimized());
    EXPECT_TRUE(m_pFrame->isVisible()); // never hidden: nothing could bring it back
    EXPECT_FALSE(m_pFrame->IsInTray());

    m_pFrame->BringToFront();
    EXPECT_FALSE(m_pFrame->isMinimized());
    EXPECT_TRUE(m_pFrame->isVisible());
}

TEST_F(MainFrameTest, MinimiseToTrayAndBack)
{
    CMainFrame::SetTrayAvailableForTesting(true);
    m_pFrame->show();
    m_pFrame->UpdateCommandUI();
    EXPECT_TRUE(Command("trayMinimize")->isEnabled());
    EXPECT_FALSE(Command("trayRestore")->isEnabled());

    // The window's own minimise goes to the tray.
    m_pFrame->showMinimized();
    QTRY_VERIFY(m_pFrame->IsInTray());
    EXPECT_FALSE(m_pFrame->isVisible());
    EXPECT_FALSE(Command("trayMinimize")->isEnabled());
    EXPECT_TRUE(Command("trayRestore")->isEnabled());
    EXPECT_FALSE(m_pFrame->OnTrayMinimize()); // twice in a row: nothing more

    // A later start brings it back from the tray.
    m_pFrame->BringToFront();
    EXPECT_FALSE(m_pFrame->IsInTray());
    EXPECT_TRUE(m_pFrame->isVisible());
    EXPECT_FALSE(m_pFrame->isMinimized());
    EXPECT_FALSE(m_pFrame->OnTrayRestore());

    // With the option off, minimising is ordinary and the tray commands are off.
    ChangeSettings([](CAppSettings& settings) { settings.m_bMinimizeToTray = false; });
    m_pFrame->UpdateCommandUI();
    EXPECT_FALSE(Command("trayMinimize")->isEnabled());
    m_pFrame->showMinimized();
    QApplication::processEvents();
    QApplication::processEvents();
    EXPECT_FALSE(m_pFrame->IsInTray());
    EXPECT_TRUE(m_pFrame->isVisible());

    // In the tray when the option is switched off: Restore still brings the window back.
    ChangeSettings([](CAppSettings& settings) { settings.m_bMinimizeToTray = true; });
    m_pFrame->showNormal();
    ASSERT_TRUE(m_pFrame->OnTrayMinimize());
    ChangeSettings([](CAppSettings& settings) { settings.m_bMinimizeToTray = false; });
    Command("trayRestore")->trigger();
    EXPECT_TRUE(m_pFrame->isVisible());
}

TEST_F(MainFrameTest, EditCommandsActOnTheFocusedField)
{
    auto* field = new QLineEdit(QStringLiteral("hello world"));
    m_pFrame->statusBar()->addPermanentWidget(field);
    m_pFrame->show();
    m_pFrame->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(m_pFrame.get()));
    field->setFocus();
    QTRY_COMPARE(QApplication::focusWidget(), field);

    m_pFrame->UpdateCommandUI();
    EXPECT_FALSE(Command("editCopy")->isEnabled()); // nothing selected
    field->setSelection(6, 5);
    m_pFrame->UpdateCommandUI();
    EXPECT_TRUE(Command("editCopy")->isEnabled());
    EXPECT_TRUE(Command("editCut")->isEnabled());

    Command("editCut")->trigger();
    EXPECT_EQ(field->text(), QStringLiteral("hello "));
    EXPECT_EQ(QApplication::clipboard()->text(), QStringLiteral("world"));
    EXPECT_TRUE(Command("editUndo")->isEnabled());
    EXPECT_TRUE(Command("editPaste")->isEnabled());
    Command("editPaste")->trigger();
    Command("editPaste")->trigger();
    EXPECT_EQ(field->text(), QStringLiteral("hello worldworld"));
    Command("editUndo")->trigger();
    EXPECT_NE(field->text(), QStringLiteral("hello worldworld"));

    field->setReadOnly(true);
    field->selectAll();
    m_pFrame->UpdateCommandUI();
    EXPECT_FALSE(Command("editCut")->isEnabled());
    EXPECT_FALSE(Command("editPaste")->isEnabled());
    EXPECT_TRUE(Command("editCopy")->isEnabled());
}

TEST_F(MainFrameTest, NothingCallsIntoTheWindowWhileItIsTornDown)
{
    // Shown, with the focus in a field: tearing it down hides the output window and moves
    // the focus, after the frame's own destructor has run.
    auto* field = new QLineEdit;
    m_pFrame->statusBar()->addPermanentWidget(field);
    m_pFrame->show();
    m_pFrame->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(m_pFrame.get()));
    field->setFocus();
    QTRY_COMPARE(QApplication::focusWidget(), field);

    // destroyed() comes from ~QWidget, before the children go: whatever is still connected
    // into the frame then would be called on an object that is no longer a CMainFrame.
    QStringList stillConnected;
    QObject::connect(m_pFrame.get(), &QObject::destroyed, qApp, [&stillConnected](QObject* frame) {
        if (QObject::disconnect(qApp, nullptr, frame, nullptr))
            stillConnected << QStringLiteral("application");
        for (QObject* child : frame->findChildren<QObject*>()) {
            if (QObject::disconnect(child, nullptr, frame, nullptr))
                stillConnected << QString::fromLatin1(child->metaObject()->className());
        }
    });
    m_pFrame.reset();
    stillConnected.removeDuplicates();
    EXPECT_TRUE(stillConnected.isEmpty()) << stillConnected.join(u' ').toStdString();
}
