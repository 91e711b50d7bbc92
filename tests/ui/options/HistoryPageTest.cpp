// The History page of the Options sheet: where the result history lives and for how long,
// and the two buttons that reach the database from a worker thread.
#include "OptionsTestHelpers.h"
#include "core/history/HistoryStore.h"
#include "core/shell/AppSettings.h"
#include "support/QtPrinters.h"
#include "support/TempSettings.h"
#include "ui/options/HistoryPreferencesPage.h"
#include "ui/options/OptionsSheet.h"

#include <QDialogButtonBox>
#include <QDir>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalSpy>
#include <QSpinBox>
#include <QTabWidget>
#include <QTcpServer>

#include <gtest/gtest.h>

#include <limits>

namespace {

class HistoryPage : public ::testing::Test
{
protected:
    // A new sheet over the settings as they are now, on the History page.
    CHistoryPreferencesPage* Open()
    {
        m_pSheet = std::make_unique<COptionsSheet>(nullptr, nullptr);
        m_pSheet->show();
        m_pSheet->GetTabs()->setCurrentWidget(m_pSheet->GetHistoryPage());
        return m_pSheet->GetHistoryPage();
    }
    void PressOk() { m_pSheet->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok)->click(); }
    template<class T> T* Control(const char* name) const { return FindControl<T>(m_pSheet.get(), name); }
    QLineEdit* Edit(const char* name) const { return Control<QLineEdit>(name); }

    void ChangeSettings(const std::function<void(CAppSettings&)>& change)
    {
        CAppSettings settings = GetAppSettings();
        change(settings);
        SetAppSettings(settings);
    }

    // Clicks a button whose work runs in the background and returns the text of the message
    // box that tells its outcome.
    QString ClickAndWait(const char* button)
    {
        CHistoryPreferencesPage* page = m_pSheet->GetHistoryPage();
        QSignalSpy finished(page, &CHistoryPreferencesPage::WorkFinished);
        QString text;
        const auto answer = AnswerNextMessageBox(&text);
        Control<QPushButton>(button)->click();
        // The answer comes through the event loop, never within the click: the window goes
        // on while the database is reached.
        EXPECT_TRUE(page->IsBusy());
        EXPECT_FALSE(Control<QPushButton>(button)->isEnabled());
        EXPECT_TRUE(text.isEmpty());
        EXPECT_TRUE(finished.wait(60000)) << "the work did not end";
        EXPECT_FALSE(page->IsBusy());
        EXPECT_TRUE(Control<QPushButton>(button)->isEnabled());
        return text;
    }

    CTempSettings m_Settings;
    CTempConfigHome m_ConfigHome;
    QTemporaryDir m_Dir;
    std::unique_ptr<COptionsSheet> m_pSheet;
};

TEST_F(HistoryPage, LoadsAndStoresTheHistorySettings)
{
    ChangeSettings([](CAppSettings& s) {
        s.m_bHistoryEnabled = false;
        s.m_HistoryRetentionDays = 30;
        s.m_HistoryDatabase = QStringLiteral("postgresql://ann@db.example.org:6543/corvane");
    });
    Open();
    EXPECT_FALSE(Control<QCheckBox>("HistoryEnabled")->isChecked());
    EXPECT_TRUE(Control<QRadioButton>("HistoryServer")->isChecked());
    EXPECT_EQ(Edit("HistoryHost")->text(), u"db.example.org");
    EXPECT_EQ(Control<QSpinBox>("HistoryPort")->value(), 6543);
    EXPECT_EQ(Edit("HistoryDatabaseName")->text(), u"corvane");
    EXPECT_EQ(Edit("HistoryUser")->text(), u"ann");
    EXPECT_EQ(Control<QSpinBox>("HistoryRetentionDays")->value(), 30);
    // Off: nothing else can be changed.
    for (const char* name :
         {"HistoryServer", "HistoryHost", "HistoryRetentionDays", "HistoryTestConnection", "HistoryClear"})
        EXPECT_FALSE(Control<QWidget>(name)->isEnabled()) << name;

    SetChecked(Control<QCheckBox>("HistoryEnabled"), true);
    EXPECT_TRUE(Edit("HistoryHost")->isEnabled());
    EXPECT_FALSE(Edit("HistoryFilePath")->isEnabled()) << "the file is not used with a server";
    TypeInto(Edit("HistoryHost"), QStringLiteral("127.0.0.1"));
    TypeInto(Edit("HistoryDatabaseName"), QStringLiteral("probes"));
    TypeInto(Edit("HistoryUser"), QStringLiteral("bob"));
    Control<QSpinBox>("HistoryRetentionDays")->setValue(400);
    PressOk();
    ASSERT_EQ(m_pSheet->result(), QDialog::Accepted);

    m_Settings.Reload();
    const CAppSettings& s = GetAppSettings();
    EXPECT_TRUE(s.m_bHistoryEnabled);
    EXPECT_EQ(s.m_HistoryRetentionDays, 400);
    EXPECT_EQ(s.m_HistoryDatabase, u"postgresql://bob@127.0.0.1:6543/probes");
    CHistoryLocation location;
    QString error;
    ASSERT_TRUE(CHistoryLocation::Parse(s.m_HistoryDatabase, location, &error)) << error.toStdString();
    EXPECT_EQ(location.m_Kind, CHistoryLocation::ePostgres);
    EXPECT_EQ(location.m_Host, u"127.0.0.1");
    EXPECT_EQ(location.m_Port, 6543);
    EXPECT_EQ(location.m_Database, u"probes");
    EXPECT_EQ(location.m_User, u"bob");

    // Back to this computer: the default file, which the page names.
    Open();
    EXPECT_EQ(Edit("HistoryHost")->text(), u"127.0.0.1");
    Control<QRadioButton>("HistoryThisComputer")->click();
    EXPECT_FALSE(Edit("HistoryHost")->isEnabled());
    CHistoryLocation defaultFile;
    ASSERT_TRUE(CHistoryLocation::Parse(QString(), defaultFile, &error));
    EXPECT_EQ(Edit("HistoryFilePath")->text(), QDir::toNativeSeparators(defaultFile.m_Path));
    EXPECT_TRUE(Edit("HistoryFilePath")->isReadOnly());
    PressOk();
    EXPECT_EQ(GetAppSettings().m_HistoryDatabase, QString());

    // A file or a URI written into the settings by hand is shown, and kept as written.
    const QString file = m_Dir.filePath(QStringLiteral("shared/history.sqlite"));
    const QString uri = QStringLiteral("postgresql://probe@10.0.0.5/corvane?sslmode=require&connect_timeout=5");
    for (const QString& setting : {file, uri}) {
        ChangeSettings([&](CAppSettings& s) { s.m_HistoryDatabase = setting; });
        Open();
        EXPECT_EQ(Control<QRadioButton>("HistoryThisComputer")->isChecked(), setting == file);
        if (setting == file)
            EXPECT_EQ(Edit("HistoryFilePath")->text(), QDir::toNativeSeparators(file));
        else
            EXPECT_EQ(Control<QSpinBox>("HistoryPort")->value(), 5432);
        PressOk();
        EXPECT_EQ(GetAppSettings().m_HistoryDatabase, setting);
    }
    // The URI's options stay when the server is changed.
    Open();
    TypeInto(Edit("HistoryDatabaseName"), QStringLiteral("other"));
    PressOk();
    EXPECT_EQ(GetAppSettings().m_HistoryDatabase,
              u"postgresql://probe@10.0.0.5:5432/other?sslmode=require&connect_timeout=5");
}

TEST_F(HistoryPage, TestConnectionToAServerThatIsNotThereReportsTheFailure)
{
    // A port nothing listens on.
    QTcpServer probe;
    ASSERT_TRUE(probe.listen(QHostAddress::LocalHost));
    const int port = probe.serverPort();
    probe.close();

    Open();
    Control<QRadioButton>("HistoryServer")->click();
    TypeInto(Edit("HistoryHost"), QStringLiteral("127.0.0.1"));
    Control<QSpinBox>("HistoryPort")->setValue(port);
    TypeInto(Edit("HistoryDatabaseName"), QStringLiteral("corvane"));
    TypeInto(Edit("HistoryUser"), QStringLiteral("corvane"));
    const QString text = ClickAndWait("HistoryTestConnection");
    EXPECT_TRUE(
        text.startsWith(QStringLiteral("Cannot connect to postgresql://corvane@127.0.0.1:%1/corvane").arg(port)))
        << text.toStdString();
    EXPECT_FALSE(text.contains(u"Connected")) << text.toStdString();
}

TEST_F(HistoryPage, ClearHistoryAsksFirstAndClearsWhereItSays)
{
    const QString file = m_Dir.filePath(QStringLiteral("history.sqlite"));
    CHistoryLocation location;
    QString error;
    ASSERT_TRUE(CHistoryLocation::Parse(file, location, &error)) << error.toStdString();
    {
        CHistoryStore store;
        ASSERT_TRUE(store.Open(location, &error)) << error.toStdString();
        CCheckResult result;
        result.m_TaskKey = QStringLiteral("3f1c2a94-7d5e-4b08-a6c1-0e9d8b7f5a21");
        result.m_TaskName = QStringLiteral("Shop");
        result.m_CheckKind = 2;
        result.m_StartMs = 1700000000000;
        result.m_Verdict = eVerdict::eSuccess;
        result.m_Text = QStringLiteral("Shop: OK");
        ASSERT_TRUE(store.Record({result}, &error)) << error.toStdString();
    }
    auto recorded = [&] {
        CHistoryStore store;
        EXPECT_TRUE(store.Open(location, &error)) << error.toStdString();
        return store.GetResults(QString(), 0, std::numeric_limits<qint64>::max()).size();
    };
    ASSERT_EQ(recorded(), 1);

    ChangeSettings([&](CAppSettings& s) { s.m_HistoryDatabase = file; });
    Open();
    // No: nothing happens.
    QString question;
    {
        const auto answer = WhenModalOpens<QMessageBox>([&](QMessageBox* box) {
            question = box->text();
            box->button(QMessageBox::No)->click();
        });
        Control<QPushButton>("HistoryClear")->click();
    }
    EXPECT_TRUE(question.contains(location.Describe())) << question.toStdString();
    EXPECT_FALSE(m_pSheet->GetHistoryPage()->IsBusy());
    EXPECT_EQ(recorded(), 1);

    // Yes: cleared on a worker thread, and said so.
    auto confirm = WhenModalOpens<QMessageBox>([](QMessageBox* box) { box->button(QMessageBox::Yes)->click(); });
    const QString outcome = [&] {
        CHistoryPreferencesPage* page = m_pSheet->GetHistoryPage();
        QSignalSpy finished(page, &CHistoryPreferencesPage::WorkFinished);
        Control<QPushButton>("HistoryClear")->click();
        confirm.reset();
        QString text;
        const auto answer = AnswerNextMessageBox(&text);
        EXPECT_TRUE(finished.wait(60000));
        return text;
    }();
    EXPECT_EQ(outcome, QStringLiteral("The history in %1 was cleared.").arg(location.Describe()));
    EXPECT_EQ(recorded(), 0);
}

} // namespace
