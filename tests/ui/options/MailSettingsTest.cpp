// The mail server's settings on the General page: a test message through a real server with
// the values as typed, and a password that never reaches the settings file.
#include "OptionsTestHelpers.h"
#include "core/alerts/SmtpPassword.h"
#include "core/shell/AppSettings.h"
#include "support/SmtpTestServer.h"
#include "support/TempSettings.h"
#include "ui/options/GeneralPreferencesPage.h"
#include "ui/options/OptionsSheet.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QLabel>
#include <QPushButton>
#include <QSignalSpy>
#include <QTabWidget>

#include <gtest/gtest.h>

namespace {

const QString kUser = QStringLiteral("monitor@x.test");
const QString kPassword = QStringLiteral("Tr0ub4dor&3");

class MailSettings : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (const QString missing = CSmtpTestServer::MissingPrerequisite(); !missing.isEmpty())
            GTEST_SKIP() << missing.toStdString();
        m_Server.SetTls(CSmtpTestServer::eStartTlsRequired);
        m_Server.SetLogin(kUser, kPassword, true);
        ASSERT_TRUE(m_Server.Start()) << m_Server.Error().toStdString();
        m_Sheet.show();
    }
    template<class T = QLineEdit> T* Control(const char* name) const { return FindControl<T>(&m_Sheet, name); }

    // Clicks "Send test e-mail" and returns the text of the message box that tells the outcome.
    QString SendTestMail()
    {
        CGeneralPreferencesPage* page = m_Sheet.GetGeneralPage();
        QSignalSpy finished(page, &CGeneralPreferencesPage::TestMailFinished);
        QString text;
        const auto answer = AnswerNextMessageBox(&text);
        Control<QPushButton>("SendTestMail")->click();
        // The window goes on while the server is reached.
        EXPECT_TRUE(page->IsSendingTestMail());
        EXPECT_FALSE(Control<QPushButton>("SendTestMail")->isEnabled());
        EXPECT_TRUE(finished.wait(60000)) << "the test message never ended";
        EXPECT_TRUE(Control<QPushButton>("SendTestMail")->isEnabled());
        return text;
    }
    QByteArray SettingsFile() const
    {
        QFile file(m_Settings.IniPath());
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    CTempSettings m_Settings;
    CTempConfigHome m_ConfigHome;
    CSmtpTestServer m_Server;
    COptionsSheet m_Sheet {nullptr, nullptr};
};

TEST_F(MailSettings, TestMailUsesTheSheetAsTypedAndThePasswordStaysOutOfTheSettings)
{
    TypeInto(Control("SmtpServerName"), m_Server.Address());
    Control<QComboBox>("SmtpSecurity")->setCurrentIndex(eSmtpSecurityStartTls);
    TypeInto(Control("SmtpUserName"), kUser);
    TypeInto(Control("SmtpPassword"), kPassword);
    TypeInto(Control("TlsCaFile"), m_Server.CertificatePath());
    // As edited on the Alerts page, not yet confirmed.
    Control("AlertEmailAddresses")->setText(QStringLiteral("desk@x.test"));

    const QString sent = SendTestMail();
    EXPECT_TRUE(sent.startsWith(u"Test message sent to desk@x.test. The server answered: 250")) << sent.toStdString();
    const QList<CReceivedMail> mails = m_Server.WaitForMessages(1);
    ASSERT_EQ(mails.size(), 1);
    EXPECT_EQ(mails[0].m_RcptTos, QStringList {QStringLiteral("desk@x.test")});
    EXPECT_TRUE(mails[0].m_Data.contains("Subject: Corvane: test message")) << mails[0].m_Data.toStdString();

    // A wrong password is named as such, and nothing goes out.
    TypeInto(Control("SmtpPassword"), QStringLiteral("wrong-one"));
    const QString refused = SendTestMail();
    EXPECT_TRUE(refused.startsWith(u"Unable to send e-mail message. The server refused the login for user "
                                   u"monitor@x.test: check the user name and password."))
        << refused.toStdString();
    EXPECT_EQ(m_Server.WaitForMessages(2, std::chrono::milliseconds(300)).size(), 1);

    if (IsSecretStoreAvailable())
        GTEST_SKIP() << "a real secret store answers here; the test does not write into it";
    // Without a secret store a typed password cannot be kept: OK says what to do instead and
    // the sheet stays open.
    QString refusal;
    {
        const auto answer = AnswerNextMessageBox(&refusal);
        m_Sheet.findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok)->click();
        QTRY_VERIFY(!refusal.isEmpty());
    }
    EXPECT_TRUE(refusal.contains(u"No secret store is available")) << refusal.toStdString();
    EXPECT_TRUE(refusal.contains(u"CORVANE_SMTP_PASSWORD")) << refusal.toStdString();
    EXPECT_TRUE(m_Sheet.isVisible());
    EXPECT_EQ(m_Sheet.GetTabs()->currentWidget(), m_Sheet.GetGeneralPage());

    Control("SmtpPassword")->clear();
    m_Sheet.findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok)->click();
    EXPECT_EQ(m_Sheet.result(), QDialog::Accepted);
    const QByteArray saved = SettingsFile();
    EXPECT_TRUE(saved.contains(kUser.toUtf8())) << saved.toStdString();
    EXPECT_FALSE(saved.contains(kPassword.toUtf8()));
    EXPECT_FALSE(saved.contains("wrong-one"));
    // The sheet tells where the password would be looked for.
    COptionsSheet again(nullptr, nullptr);
    EXPECT_TRUE(FindControl<QLabel>(&again, "PasswordLocation")->text().startsWith(u"No secret store is available"));
    EXPECT_EQ(FindControl<QLineEdit>(&again, "SmtpPassword")->placeholderText(), u"unchanged");
}

} // namespace
