#include "ui/output/OutputBar.h"

#include "ModalAnswer.h"
#include "core/output/MessageLog.h"
#include "core/shell/AppSettings.h"
#include "support/QtPrinters.h"
#include "support/TempSettings.h"
#include "support/TestFiles.h"
#include "ui/output/DetailsDialog.h"
#include "ui/output/OutputList.h"

#include <QAction>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QDir>
#include <QFileDialog>
#include <QHeaderView>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>

#include <gtest/gtest.h>

namespace {

class OutputBarTest : public testing::Test
{
protected:
    void SetUp() override
    {
        m_pBar = std::make_unique<COutputBar>();
        m_pBar->resize(760, 240);
        m_pBar->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(m_pBar.get()));
    }
    void TearDown() override { COutputList::SetFileOpenerForTesting({}); }

    COutputList* List() const { return m_pBar->GetList(); }
    const CMessageLog& Log() const { return List()->GetLog(); }
    int Rows() const { return List()->model()->rowCount(); }

    void Add(int severity, const QString& text)
    {
        CLogMessage message(CSeverity(severity), text);
        message.m_Time = 1700000000;
        m_pBar->AddMessage(message);
    }
    void AddNumbered(int first, int last)
    {
        for (int n = first; n <= last; ++n)
            Add(eInformational, QStringLiteral("message %1").arg(n));
        QCoreApplication::processEvents(); // the turn of the event loop that shows them
    }
    void ChangeSettings(const std::function<void(CAppSettings&)>& change)
    {
        CAppSettings settings = GetAppSettings();
        change(settings);
        SetAppSettings(settings);
        m_pBar->ApplySettings();
    }
    QString TextOf(int row) const { return Log().GetRow(row).m_Text; }
    QString CurrentText() const { return TextOf(List()->currentIndex().row()); }
    std::vector<int> Selected() const { return List()->GetSelectedRows(); }
    bool ShowsLastRow() const
    {
        const QRect last = List()->visualRect(List()->model()->index(Rows() - 1, 0));
        return List()->viewport()->rect().contains(last); // wholly, not just a part of it
    }
    void ClickRow(int row, Qt::KeyboardModifiers modifiers = {})
    {
        const QRect rect = List()->visualRect(List()->model()->index(row, 1));
        QTest::mouseClick(List()->viewport(), Qt::LeftButton, modifiers, rect.center());
    }

    CTempSettings m_Settings;
    std::unique_ptr<COutputBar> m_pBar;
};

} // namespace

TEST_F(OutputBarTest, IsAnOutputDockWithOneTaskOutputTabOfThreeColumnsAndTheTask)
{
    EXPECT_EQ(m_pBar->windowTitle(), u"Output");
    auto* tabs = qobject_cast<QTabWidget*>(m_pBar->widget());
    ASSERT_NE(tabs, nullptr);
    ASSERT_EQ(tabs->count(), 1);
    EXPECT_EQ(tabs->tabText(0), u"Task Output");
    EXPECT_EQ(tabs->widget(0), List());

    const QAbstractItemModel* model = List()->model();
    ASSERT_EQ(model->columnCount(), 4);
    EXPECT_EQ(model->headerData(0, Qt::Horizontal).toString(), u"Time Stamp");
    EXPECT_EQ(model->headerData(1, Qt::Horizontal).toString(), u"Severity");
    EXPECT_EQ(model->headerData(2, Qt::Horizontal).toString(), u"Message");
    EXPECT_EQ(model->headerData(3, Qt::Horizontal).toString(), u"Task");
    EXPECT_GE(List()->horizontalHeader()->sectionSize(0), 150);
    EXPECT_GE(List()->horizontalHeader()->sectionSize(1), 130);

    Add(eTaskFailure, QStringLiteral("Ping failed"));
    QCoreApplication::processEvents();
    ASSERT_EQ(Rows(), 1);
    EXPECT_EQ(model->data(model->index(0, 1)).toString(), u"Task Failure");
    EXPECT_EQ(model->data(model->index(0, 2)).toString(), u"Ping failed");
    EXPECT_EQ(model->data(model->index(0, 0)).toString(), CMessageLog::FormatTimeStamp(1700000000));
    EXPECT_FALSE(model->data(model->index(0, 0), Qt::DecorationRole).value<QIcon>().isNull());
    // The stamp is never cut short, whatever the font.
    const int stampWidth = List()->fontMetrics().horizontalAdvance(CMessageLog::FormatTimeStamp(1700000000));
    EXPECT_GT(List()->horizontalHeader()->sectionSize(0), stampWidth + List()->iconSize().width());
}

TEST_F(OutputBarTest, HiddenSeveritiesStayOutAndTheLimitPushesOutTheOldest)
{
    ChangeSettings([](CAppSettings& s) {
        s.m_SeverityShown[eTaskSuccess] = false;
        s.m_bLimitMessageNumber = true;
        s.m_MaxMessageNumber = 10;
    });
    Add(eTaskSuccess, QStringLiteral("Ping succeeded"));
    QCoreApplication::processEvents();
    EXPECT_EQ(Rows(), 0);

    AddNumbered(1, 11);
    ASSERT_EQ(Rows(), 10);
    EXPECT_EQ(TextOf(0), u"message 2");
    // A following user still sees the new row selected at the end.
    EXPECT_EQ(CurrentText(), u"message 11");
    EXPECT_EQ(Selected(), std::vector<int> {9});

    // 50 rows, then the limit is lowered: each new row replaces the oldest, the length stays.
    ChangeSettings([](CAppSettings& s) { s.m_bLimitMessageNumber = false; });
    AddNumbered(12, 51);
    ASSERT_EQ(Rows(), 50);
    ChangeSettings([](CAppSettings& s) {
        s.m_bLimitMessageNumber = true;
        s.m_MaxMessageNumber = 10;
    });
    EXPECT_EQ(Rows(), 50);
    AddNumbered(52, 54);
    ASSERT_EQ(Rows(), 50);
    EXPECT_EQ(TextOf(0), u"message 5");
    EXPECT_EQ(TextOf(49), u"message 54");
    EXPECT_EQ(CurrentText(), u"message 54");
}

TEST_F(OutputBarTest, FollowsTheEndUntilTheUserSelectsAnotherRow)
{
    // A burst is shown in one go, at the next turn of the event loop.
    for (int n = 1; n <= 40; ++n)
        Add(eSpiderMessage, QStringLiteral("message %1").arg(n));
    EXPECT_EQ(Rows(), 0);
    QCoreApplication::processEvents();
    ASSERT_EQ(Rows(), 40);
    EXPECT_EQ(Selected(), std::vector<int> {39});
    EXPECT_TRUE(ShowsLastRow());

    // The user picks row 5 and scrolls a little: new rows move neither.
    List()->scrollToTop();
    ClickRow(5);
    ASSERT_EQ(Selected(), std::vector<int> {5});
    QScrollBar* scroll = List()->verticalScrollBar();
    scroll->setValue(3);
    AddNumbered(41, 60);
    EXPECT_EQ(Rows(), 60);
    EXPECT_EQ(Selected(), std::vector<int> {5});
    EXPECT_EQ(CurrentText(), u"message 6");
    EXPECT_EQ(scroll->value(), 3);

    // With the list full, rows leave at the top: the selection and the rows in view stay
    // with their messages.
    ChangeSettings([](CAppSettings& s) {
        s.m_bLimitMessageNumber = true;
        s.m_MaxMessageNumber = 60;
    });
    AddNumbered(61, 62);
    EXPECT_EQ(CurrentText(), u"message 6");
    EXPECT_EQ(Selected(), std::vector<int> {3});
    EXPECT_EQ(scroll->value(), 1);
    EXPECT_FALSE(ShowsLastRow());

    // Back on the last row, it follows again.
    ClickRow(Rows() - 1);
    AddNumbered(63, 63);
    EXPECT_EQ(CurrentText(), u"message 63");
    EXPECT_EQ(Selected(), std::vector<int> {59});
    EXPECT_TRUE(ShowsLastRow());
}

TEST_F(OutputBarTest, CopyPutsSelectedRowsWithTabsAndCrLfOnTheClipboard)
{
    Add(eTaskSuccess, QStringLiteral("Ping reply"));
    Add(eTaskFailure, QStringLiteral("Site check failed\nhttp://a/ 404"));
    Add(eInformational, QStringLiteral("Finished task"));
    QCoreApplication::processEvents();
    const QString stamp = CMessageLog::FormatTimeStamp(1700000000);
    ASSERT_EQ(List()->model()->data(List()->model()->index(1, 2)).toString(), u"Double click here to see details.");

    // Nothing selected: the clipboard keeps what the user had there.
    QApplication::clipboard()->setText(QStringLiteral("mine"));
    List()->clearSelection();
    EXPECT_FALSE(m_pBar->HasSelection());
    m_pBar->Copy();
    EXPECT_EQ(QApplication::clipboard()->text(), u"mine");

    // Picked bottom-up with Ctrl, copied in list order, from the keyboard.
    ClickRow(2);
    ClickRow(0, Qt::ControlModifier);
    ClickRow(1, Qt::ControlModifier);
    EXPECT_TRUE(m_pBar->HasSelection());
    List()->setFocus();
    QTest::keyClick(List(), Qt::Key_C, Qt::ControlModifier);
    EXPECT_EQ(QApplication::clipboard()->text(),
              stamp + "\tTask Success\tPing reply\r\n" + "\t\tSite check failed\r\n\t\thttp://a/ 404\r\n" + stamp
                  + "\tInformational\tFinished task\r\n");

    m_pBar->SelectAll();
    EXPECT_EQ(Selected(), (std::vector<int> {0, 1, 2}));
    m_pBar->Copy();
    EXPECT_EQ(QApplication::clipboard()->text(), Log().GetAllText());
}

TEST_F(OutputBarTest, ClearAsksFirstAndStartsTheDetailsKeysAgain)
{
    Add(eTaskFailure, QStringLiteral("first\nsecond"));
    Add(eTaskFailure, QStringLiteral("third\nfourth"));
    QCoreApplication::processEvents();
    ASSERT_EQ(Rows(), 2);

    {
        CModalAnswer<QMessageBox> cancel(Press(QMessageBox::Cancel));
        m_pBar->Clear();
        EXPECT_TRUE(cancel.WasShown());
        EXPECT_EQ(cancel.Text(), u"This will delete all items from the log window. Press OK to continue");
    }
    EXPECT_EQ(Rows(), 2);

    {
        CModalAnswer<QMessageBox> ok(Press(QMessageBox::Ok));
        m_pBar->Clear();
        EXPECT_TRUE(ok.WasShown());
    }
    EXPECT_EQ(Rows(), 0);

    // An empty list follows again, and a new multi-line row gets key 0.
    Add(eTaskFailure, QStringLiteral("after\nclear"));
    QCoreApplication::processEvents();
    ASSERT_EQ(Rows(), 1);
    EXPECT_EQ(Log().GetRow(0).m_nDetailsKey, 0);
    EXPECT_EQ(Selected(), std::vector<int> {0});
}

TEST_F(OutputBarTest, ExportWritesEveryRowToTheChosenFile)
{
    QTemporaryDir dir;
    const QString empty = dir.filePath(QStringLiteral("empty.txt"));
    const QString full = dir.filePath(QStringLiteral("full.txt"));
    const auto choose = [](const QString& path) {
        return [path](QFileDialog* dialog) {
            EXPECT_EQ(dialog->acceptMode(), QFileDialog::AcceptSave);
            EXPECT_EQ(dialog->nameFilters(), (QStringList {u"Text files (*.txt)"_qs, u"All files (*)"_qs}));
            dialog->selectFile(path);
            static_cast<QDialog*>(dialog)->accept(); // protected in QFileDialog
        };
    };

    {
        // The proposed name is "Log.txt"; an empty list writes an empty file.
        CModalAnswer<QFileDialog> answer([&](QFileDialog* dialog) {
            EXPECT_EQ(QFileInfo(dialog->selectedFiles().value(0)).fileName(), u"Log.txt");
            choose(empty)(dialog);
        });
        m_pBar->Export();
        ASSERT_TRUE(answer.WasShown());
    }
    ASSERT_TRUE(QFileInfo::exists(empty));
    EXPECT_TRUE(ReadBytes(empty).isEmpty());

    Add(eTaskSuccess, QStringLiteral("Ping reply"));
    Add(eSpiderMessage, QStringLiteral("Pages:\nhttp://a/"));
    List()->clearSelection(); // exports every row, selected or not
    {
        CModalAnswer<QFileDialog> answer(choose(full));
        m_pBar->Export();
    }
    const QString stamp = CMessageLog::FormatTimeStamp(1700000000);
    EXPECT_EQ(ReadBytes(full), (stamp + "\tTask Success\tPing reply\r\n\t\tPages:\r\n\t\thttp://a/\r\n").toUtf8());

    // Cancelled: nothing is written.
    {
        CModalAnswer<QFileDialog> answer([](QFileDialog* dialog) { dialog->reject(); });
        WriteBytes(full, "kept");
        m_pBar->Export();
    }
    EXPECT_EQ(ReadBytes(full), "kept");

    // A file that cannot be created is reported.
    {
        CModalAnswer<QFileDialog> answer(choose(dir.filePath(QStringLiteral("no/such/folder/x.txt"))));
        CModalAnswer<QMessageBox> error(Press(QMessageBox::Ok));
        m_pBar->Export();
        EXPECT_EQ(error.Text(), u"Unable to open log file");
    }
}

TEST_F(OutputBarTest, DoubleClickOpensTheDetailsOfAMultiLineRowOnly)
{
    QList<QUrl> opened;
    bool canOpen = true;
    COutputList::SetFileOpenerForTesting([&](const QUrl& url) {
        opened << url;
        return canOpen;
    });
    Add(eTaskFailure, QStringLiteral("one line"));
    Add(eTaskFailure, QStringLiteral("Site check failed\nhttp://a/ 404"));
    QCoreApplication::processEvents();

    const auto doubleClick = [&](int row) {
        const QPoint where = List()->visualRect(List()->model()->index(row, 2)).center();
        QTest::mouseClick(List()->viewport(), Qt::LeftButton, {}, where);
        QTest::mouseDClick(List()->viewport(), Qt::LeftButton, {}, where);
    };
    doubleClick(0);
    EXPECT_TRUE(opened.isEmpty());
    QTest::mouseDClick(List()->viewport(), Qt::LeftButton, {}, QPoint(5, List()->viewport()->height() - 3));
    EXPECT_TRUE(opened.isEmpty()); // below the rows

    doubleClick(1);
    ASSERT_EQ(opened.size(), 1);
    const QString file = opened.first().toLocalFile();
    EXPECT_TRUE(file.endsWith(u".txt"));
    EXPECT_EQ(ReadBytes(file), "Site check failed\r\nhttp://a/ 404");
    QFile::remove(file);

    // Enter on the row does the same; without a viewer the text is shown in the program,
    // read-only, and Copy takes it whole.
    canOpen = false;
    List()->setFocus();
    QApplication::clipboard()->clear();
    QString shown;
    bool readOnly = false;
    CModalAnswer<CDetailsDialog> viewer([&](CDetailsDialog* dialog) {
        shown = dialog->GetTextEdit()->toPlainText();
        readOnly = dialog->GetTextEdit()->isReadOnly();
        dialog->findChild<QPushButton*>(QStringLiteral("Copy"))->click();
        dialog->reject();
    });
    QTest::keyClick(List(), Qt::Key_Return);
    ASSERT_EQ(opened.size(), 2);
    QFile::remove(opened.last().toLocalFile());
    ASSERT_TRUE(viewer.WasShown());
    EXPECT_EQ(shown, u"Site check failed\nhttp://a/ 404");
    EXPECT_TRUE(readOnly);
    EXPECT_EQ(QApplication::clipboard()->text(), u"Site check failed\nhttp://a/ 404");
}

TEST_F(OutputBarTest, ContextMenuOffersTheFourCommandsInOrder)
{
    Add(eInformational, QStringLiteral("row"));
    QCoreApplication::processEvents();
    List()->clearSelection();

    QContextMenuEvent event(QContextMenuEvent::Keyboard, QPoint(10, 10),
                            List()->viewport()->mapToGlobal(QPoint(10, 10)));
    QApplication::sendEvent(List()->viewport(), &event);
    auto* menu = List()->findChild<QMenu*>();
    ASSERT_NE(menu, nullptr);
    EXPECT_TRUE(menu->isVisible());
    QStringList items;
    for (QAction* action : menu->actions())
        items << (action->isSeparator() ? u"-"_qs : action->text());
    EXPECT_EQ(items, (QStringList {u"&Copy"_qs, u"C&lear"_qs, u"-"_qs, u"&Select all"_qs, u"-"_qs, u"&Export..."_qs}));
    EXPECT_FALSE(List()->GetCopyAction()->isEnabled()); // nothing selected to copy
    menu->hide();

    List()->GetSelectAllAction()->trigger();
    EXPECT_TRUE(m_pBar->HasSelection());
}

TEST_F(OutputBarTest, Screenshot)
{
    const QString dir = qEnvironmentVariable("CORVANE_SCREENSHOT_DIR");
    if (dir.isEmpty())
        GTEST_SKIP() << "set CORVANE_SCREENSHOT_DIR to save a picture of the output bar";
    const char* texts[] = {"Starting task Home page",
                           "Ping reply from example.org in 12 ms",
                           "Page http://example.org/missing answered 404 Not Found",
                           "Unable to send the alert e-mail: the SMTP server refused the connection",
                           "Alert e-mail sent to ops@example.org",
                           "Spider fetched http://example.org/about",
                           "Task execution stopped"};
    for (int code = 0; code < 7; ++code)
        Add(code, QString::fromLatin1(texts[code]));
    Add(eTaskFailure,
        QStringLiteral("Site check found 2 broken links\nhttp://example.org/a 404\nhttp://example.org/b 500"));
    Add(eInformational, QStringLiteral("Finished task Home page"));
    QCoreApplication::processEvents();
    m_pBar->resize(900, 260);
    QCoreApplication::processEvents();
    EXPECT_TRUE(m_pBar->grab().save(QDir(dir).filePath(QStringLiteral("output.png"))));
}
