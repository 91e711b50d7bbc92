#include "ui/options/OptionsSheet.h"

#include "OptionsTestHelpers.h"
#include "core/output/LogMessage.h"
#include "core/shell/AppSettings.h"
#include "core/shell/Hub.h"
#include "core/tasks/VigrelDoc.h"
#include "support/QtPrinters.h"
#include "support/TempSettings.h"
#include "ui/dialogs/HttpAlertDialog.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QDir>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTabWidget>

#include <gtest/gtest.h>

namespace {

class OptionsSheet : public ::testing::Test
{
protected:
    QLineEdit* Edit(const char* name) const { return FindControl<QLineEdit>(m_pSheet.get(), name); }
    QCheckBox* Box(const char* name) const { return FindControl<QCheckBox>(m_pSheet.get(), name); }

    // A new sheet over the settings as they are now, shown on a page.
    COptionsSheet& Open(int page = 0, CHub* hub = nullptr)
    {
        m_pSheet = std::make_unique<COptionsSheet>(nullptr, hub);
        m_pSheet->show();
        m_pSheet->GetTabs()->setCurrentIndex(page);
        return *m_pSheet;
    }
    void Press(QDialogButtonBox::StandardButton button)
    {
        m_pSheet->findChild<QDialogButtonBox*>()->button(button)->click();
    }
    // Presses OK; the text of the message box that refused it, if one did.
    QString PressOk()
    {
        QString refusal;
        const auto answer = AnswerNextMessageBox(&refusal);
        Press(QDialogButtonBox::Ok);
        return refusal;
    }
    QListWidgetItem* Severity(const char* name) const
    {
        return FindControl<QListWidget>(m_pSheet.get(), "SeverityShown")
            ->findItems(QString::fromLatin1(name), Qt::MatchExactly)
            .value(0);
    }

    CTempSettings m_Settings;
    CTempConfigHome m_ConfigHome;
    QTemporaryDir m_Dir;
    std::unique_ptr<COptionsSheet> m_pSheet;
};

TEST_F(OptionsSheet, EveryFieldIsStoredSavedAndSurvivesAReload)
{
    const QString logFile = m_Dir.filePath(QStringLiteral("corvane log.txt"));
    Open(0);
    TypeInto(Edit("SmtpServerName"), QStringLiteral("mail.example.org"));
    FindControl<QSpinBox>(m_pSheet.get(), "SmtpPort")->setValue(2525);
    FindControl<QComboBox>(m_pSheet.get(), "SmtpSecurity")->setCurrentIndex(2);
    TypeInto(Edit("SmtpUserName"), QStringLiteral("ann@example.org"));
    TypeInto(Edit("SmtpFromAddress"), QStringLiteral("Monitor <monitor@example.org>"));
    TypeInto(Edit("SmtpPasswordFile"), QStringLiteral("/etc/corvane/smtp-password"));
    TypeInto(Edit("TlsCaFile"), QStringLiteral("/etc/corvane/company-ca.pem"));
    SetChecked(Box("MinimizeToTray"), false);
    SetChecked(Box("AutoStart"), true);
    SetChecked(Box("AutoOpenTasks"), true);
    TypeInto(Edit("AutoOpenFileName"), QStringLiteral("/home/ann/My Tasks/sites.cvn"));
    auto* connections = FindControl<QSpinBox>(m_pSheet.get(), "SpiderConnections");
    EXPECT_EQ(connections->value(), 8);
    connections->setFocus();
    QTest::keyClick(connections, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClicks(connections, QStringLiteral("20"));
    m_pSheet->GetTabs()->setCurrentIndex(1);
    TypeInto(Edit("MaxFailCount"), QStringLiteral("3"));
    SetChecked(Box("SendEmail"), true);
    TypeInto(Edit("AlertEmailAddresses"), QStringLiteral("ops@example.org; ann@example.org"));
    SetChecked(Box("SendHttp"), true);
    TypeInto(Edit("AlertHttpUrl"), QStringLiteral("https://hooks.example.org/a?n=%N&e=%E"));
    SetChecked(Box("RunApplication"), true);
    TypeInto(Edit("AlertApplicationName"), QStringLiteral("notify-send %N %E"));
    m_pSheet->GetTabs()->setCurrentIndex(2);
    Severity("Task Success")->setCheckState(Qt::Unchecked);
    Severity("Spider Message")->setCheckState(Qt::Unchecked);
    TypeInto(Edit("MaxMessageNumber"), QStringLiteral("250"));
    SetChecked(Box("LogToFile"), true);
    TypeInto(Edit("LogFileName"), logFile);
    EXPECT_EQ(PressOk(), QString());
    EXPECT_EQ(m_pSheet->result(), QDialog::Accepted);

    // Saved at once: a new run reads the values back from the store.
    m_Settings.Reload();
    const CAppSettings& s = GetAppSettings();
    EXPECT_EQ(s.m_SmtpServerName, QStringLiteral("mail.example.org"));
    EXPECT_EQ(s.m_SmtpPort, 2525);
    EXPECT_EQ(s.m_SmtpSecurity, eSmtpSecurityTls);
    EXPECT_EQ(s.m_SmtpUserName, QStringLiteral("ann@example.org"));
    EXPECT_EQ(s.m_SmtpFromAddress, QStringLiteral("Monitor <monitor@example.org>"));
    EXPECT_EQ(s.m_SmtpPasswordFile, QStringLiteral("/etc/corvane/smtp-password"));
    EXPECT_EQ(s.m_TlsCaFile, QStringLiteral("/etc/corvane/company-ca.pem"));
    EXPECT_FALSE(s.m_bMinimizeToTray);
    EXPECT_FALSE(s.m_bAnimateIcon); // never checked, so confirming turns it off
    EXPECT_TRUE(s.m_bAutoStart);
    EXPECT_TRUE(s.m_bAutoOpenTasks);
    EXPECT_EQ(s.m_AutoOpenFileName, QStringLiteral("/home/ann/My Tasks/sites.cvn"));
    EXPECT_EQ(s.m_SpiderConnections, 20);
    EXPECT_TRUE(s.m_bAlertAboutFailuresOnly);
    EXPECT_EQ(s.m_MaxFailCount, 3);
    EXPECT_EQ(s.m_AlertMethods, 1 | 2 | 4);
    EXPECT_EQ(s.m_AlertEmailAddresses, QStringLiteral("ops@example.org; ann@example.org"));
    EXPECT_EQ(s.m_AlertHttpUrl, QStringLiteral("https://hooks.example.org/a?n=%N&e=%E"));
    EXPECT_EQ(s.m_AlertApplicationName, QStringLiteral("notify-send %N %E"));
    EXPECT_EQ(s.m_SeverityShown,
              (QMap<int, bool> {{0, true}, {1, false}, {2, true}, {3, true}, {4, true}, {5, false}, {6, true}}));
    EXPECT_TRUE(s.m_bLimitMessageNumber);
    EXPECT_EQ(s.m_MaxMessageNumber, 250);
    EXPECT_TRUE(s.m_bLogToFile);
    EXPECT_EQ(s.m_LogFileName, logFile);

    // The next opening shows them again, severities sorted by name.
    Open(2);
    QStringList rows;
    for (int row = 0; row < 7; ++row) {
        const QListWidgetItem* item = FindControl<QListWidget>(m_pSheet.get(), "SeverityShown")->item(row);
        rows << item->text() + (item->checkState() == Qt::Checked ? QStringLiteral(" +") : QStringLiteral(" -"));
    }
    EXPECT_EQ(rows,
              (QStringList {"Action Succeeded +", "Application Failure +", "Informational +", "Spider Message -",
                            "Task Failure +", "Task Stopped +", "Task Success -"}));
    EXPECT_EQ(Edit("AlertApplicationName")->text(), QStringLiteral("notify-send %N %E"));
    EXPECT_EQ(Edit("MaxMessageNumber")->text(), QStringLiteral("250"));
    EXPECT_EQ(FindControl<QComboBox>(m_pSheet.get(), "SmtpSecurity")->currentText(), u"SSL/TLS");
    EXPECT_EQ(FindControl<QSpinBox>(m_pSheet.get(), "SpiderConnections")->value(), 20);
}

// The Request... dialog of the default alert edits what new tasks take over, as the task
// page's edits the task's own.
TEST_F(OptionsSheet, TheHttpRequestOfTheDefaultAlertReachesTheSettingsAndComesBack)
{
    Open(1);
    SetChecked(Box("SendHttp"), true);
    FindControl<QPushButton>(m_pSheet.get(), "HttpRequest")->click();
    auto* dialog = m_pSheet->findChild<CHttpAlertDialog*>();
    ASSERT_NE(dialog, nullptr);
    dialog->ApplyPreset(CHttpAlertDialog::eNtfy);
    dialog->findChild<QLineEdit*>(QStringLiteral("requestUrl"))->setText(QStringLiteral("https://ntfy.sh/ops"));
    dialog->findChild<QPlainTextEdit*>(QStringLiteral("requestBody"))->setPlainText(QStringLiteral("%N is %S"));
    dialog->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok)->click();
    EXPECT_EQ(Edit("AlertHttpUrl")->text(), u"https://ntfy.sh/ops");
    EXPECT_TRUE(PressOk().isEmpty());

    const CAppSettings& settings = GetAppSettings();
    EXPECT_EQ(settings.m_AlertHttpUrl, u"https://ntfy.sh/ops");
    EXPECT_EQ(settings.m_AlertHttpMethod, u"POST");
    EXPECT_EQ(settings.m_AlertHttpBody, u"%N is %S");
    EXPECT_EQ(settings.m_AlertHttpContentType, u"text/plain");

    Open(1);
    FindControl<QPushButton>(m_pSheet.get(), "HttpRequest")->click();
    dialog = m_pSheet->findChild<CHttpAlertDialog*>();
    ASSERT_NE(dialog, nullptr);
    const CHttpAlertTemplates shown = dialog->Templates();
    EXPECT_EQ(shown.m_Url, u"https://ntfy.sh/ops");
    EXPECT_EQ(shown.m_Method, u"POST");
    EXPECT_EQ(shown.m_Body, u"%N is %S");
    EXPECT_EQ(shown.m_ContentType, u"text/plain");
    dialog->reject();
}

TEST_F(OptionsSheet, CancelChangesNothing)
{
    const CAppSettings before = GetAppSettings();
    SaveAppSettings();
    QFile store(m_Settings.IniPath());
    ASSERT_TRUE(store.open(QIODevice::ReadOnly));
    const QByteArray storeBefore = store.readAll();
    store.close();

    Open(0);
    TypeInto(Edit("SmtpServerName"), QStringLiteral("changed.example.org"));
    SetChecked(Box("AutoStart"), true);
    SetChecked(Box("SendEmail"), true);
    SetChecked(Box("LogToFile"), true);
    Press(QDialogButtonBox::Cancel);

    EXPECT_EQ(m_pSheet->result(), QDialog::Rejected);
    EXPECT_TRUE(GetAppSettings() == before);
    ASSERT_TRUE(store.open(QIODevice::ReadOnly));
    EXPECT_EQ(store.readAll(), storeBefore);
    EXPECT_FALSE(QFile::exists(m_ConfigHome.EntryPath()));
}

TEST_F(OptionsSheet, AutoStartEntryIsWrittenAndRemoved)
{
    const QString program = QCoreApplication::applicationFilePath();
    Open(0);
    SetChecked(Box("AutoStart"), true);
    SetChecked(Box("AutoOpenTasks"), true);
    TypeInto(Edit("AutoOpenFileName"), QStringLiteral("/home/ann/My Tasks/site checks.cvn"));
    PressOk();
    // The path with blanks stays one argument and "-minimize" is one of its own.
    EXPECT_TRUE(m_ConfigHome.ReadEntry().contains(
        QStringLiteral("\nExec=%1 --settings %2 \"/home/ann/My Tasks/site checks.cvn\" -minimize\n")
            .arg(program, GetSettingsFile())))
        << m_ConfigHome.ReadEntry().toStdString();

    // Without a task file the start opens nothing and stays in the window.
    Open(0);
    EXPECT_TRUE(Box("AutoStart")->isChecked());
    SetChecked(Box("AutoOpenTasks"), false);
    PressOk();
    EXPECT_TRUE(
        m_ConfigHome.ReadEntry().contains(QStringLiteral("\nExec=%1 --settings %2\n").arg(program, GetSettingsFile())));

    // Cancel leaves the entry; unchecking and OK removes it, and a checked but disabled
    // "Open task file" is still stored.
    Open(0);
    SetChecked(Box("AutoOpenTasks"), true);
    SetChecked(Box("AutoStart"), false);
    Press(QDialogButtonBox::Cancel);
    EXPECT_TRUE(QFile::exists(m_ConfigHome.EntryPath()));
    Open(0);
    SetChecked(Box("AutoOpenTasks"), true);
    SetChecked(Box("AutoStart"), false);
    PressOk();
    EXPECT_FALSE(QFile::exists(m_ConfigHome.EntryPath()));
    EXPECT_FALSE(GetAppSettings().m_bAutoStart);
    EXPECT_TRUE(GetAppSettings().m_bAutoOpenTasks);

    // The box shows what the system holds, not the stored flag.
    Open(0);
    SetChecked(Box("AutoStart"), true);
    PressOk();
    ASSERT_TRUE(QFile::remove(m_ConfigHome.EntryPath())); // removed with the desktop's own tools
    Open(0);
    EXPECT_FALSE(Box("AutoStart")->isChecked());
}

TEST_F(OptionsSheet, MessageLimitMustBeTenToHundredThousand)
{
    const QString refusal = QStringLiteral("Please enter an integer between 10 and 100000.");
    Open(2);
    for (const QString& wrong : {QStringLiteral("9"), QStringLiteral("100001"), QString()}) {
        TypeInto(Edit("MaxMessageNumber"), wrong);
        EXPECT_EQ(PressOk(), refusal) << wrong.toStdString();
        EXPECT_TRUE(m_pSheet->isVisible());
        EXPECT_EQ(m_pSheet->focusWidget(), Edit("MaxMessageNumber"));
    }
    // Nor can the page be left.
    QString leaving;
    const auto answer = AnswerNextMessageBox(&leaving);
    m_pSheet->GetTabs()->setCurrentIndex(0);
    EXPECT_EQ(leaving, refusal);
    EXPECT_EQ(m_pSheet->GetTabs()->currentIndex(), 2);
    EXPECT_EQ(GetAppSettings().m_MaxMessageNumber, 1000);

    for (const char* right : {"10", "100000"}) {
        Open(2);
        TypeInto(Edit("MaxMessageNumber"), QString::fromLatin1(right));
        EXPECT_EQ(PressOk(), QString());
        EXPECT_EQ(GetAppSettings().m_MaxMessageNumber, QByteArray(right).toInt());
    }

    // A bad number read from the store brings the Output page forward at OK.
    CAppSettings settings = GetAppSettings();
    settings.m_MaxMessageNumber = 5;
    SetAppSettings(settings);
    Open(0);
    EXPECT_EQ(PressOk(), refusal);
    EXPECT_EQ(m_pSheet->GetTabs()->currentIndex(), 2);

    // With the limit off the number is unused and its box disabled: no refusal that would leave
    // the user stuck, and the last good number is kept.
    SetChecked(Box("LimitMessageNumber"), false);
    EXPECT_EQ(PressOk(), QString());
    EXPECT_FALSE(GetAppSettings().m_bLimitMessageNumber);
    EXPECT_EQ(GetAppSettings().m_MaxMessageNumber, 5);
}

TEST_F(OptionsSheet, OkReopensTheHubsLogFile)
{
    CVigrelDoc document;
    CHub hub(&document);
    QStringList shown;
    QObject::connect(&hub, &CHub::MessageShown, &hub, [&](const CLogMessage& message) { shown << message.m_Text; });
    const QString logFile = m_Dir.filePath(QStringLiteral("output log.txt"));
    Open(2, &hub);
    SetChecked(Box("LogToFile"), true);
    TypeInto(Edit("LogFileName"), logFile);
    PressOk();
    EXPECT_EQ(shown, QStringList {QStringLiteral("Logging output to file '%1'").arg(logFile)});
    EXPECT_TRUE(QFile::exists(logFile));
}

TEST_F(OptionsSheet, RunOptionsSheetTellsWhetherItWasConfirmed)
{
    for (const auto button : {QDialogButtonBox::Ok, QDialogButtonBox::Cancel}) {
        const auto answer = WhenModalOpens<COptionsSheet>([button](COptionsSheet* sheet) {
            TypeInto(FindControl<QLineEdit>(sheet, "SmtpServerName"), QStringLiteral("relay %1").arg(button));
            sheet->findChild<QDialogButtonBox*>()->button(button)->click();
        });
        EXPECT_EQ(RunOptionsSheet(nullptr, nullptr), button == QDialogButtonBox::Ok);
        EXPECT_TRUE(answer->Acted());
        EXPECT_EQ(GetAppSettings().m_SmtpServerName, QStringLiteral("relay %1").arg(QDialogButtonBox::Ok));
    }
}

// Pictures of the pages for a person to look at, when CORVANE_SCREENSHOT_DIR names a folder.
TEST_F(OptionsSheet, Screenshots)
{
    const QString folder = qEnvironmentVariable("CORVANE_SCREENSHOT_DIR");
    if (folder.isEmpty())
        GTEST_SKIP() << "CORVANE_SCREENSHOT_DIR is not set";
    CAppSettings settings = GetAppSettings();
    settings.m_SmtpServerName = QStringLiteral("mail.example.org");
    settings.m_SmtpSecurity = eSmtpSecurityStartTls;
    settings.m_SmtpUserName = QStringLiteral("ann@example.org");
    settings.m_AlertMethods = 1 | 2;
    settings.m_AlertEmailAddresses = QStringLiteral("ops@example.org; ann@example.org");
    settings.m_AlertApplicationName = QStringLiteral("notify-send \"%N failed\" %E");
    settings.m_bAutoOpenTasks = true;
    settings.m_AutoOpenFileName = QStringLiteral("/home/ann/My Tasks/sites.cvn");
    settings.m_bLogToFile = true;
    settings.m_LogFileName = QStringLiteral("/home/ann/corvane.log");
    settings.m_SeverityShown[5] = false;
    settings.m_HistoryDatabase = QStringLiteral("postgresql://probe@db.example.org:5432/corvane");
    SetAppSettings(settings);
    Open(0);
    Box("AutoStart")->setChecked(true);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(m_pSheet.get()));
    const char* names[] = {"general", "alerts", "output", "history"};
    for (int page = 0; page < 4; ++page) {
        m_pSheet->GetTabs()->setCurrentIndex(page);
        QTest::qWait(50);
        EXPECT_TRUE(m_pSheet->grab().save(QDir(folder).filePath(QStringLiteral("options-%1.png").arg(names[page]))));
    }
}

} // namespace
