#include "core/alerts/SmtpPassword.h"

#include "core/shell/AppSettings.h"
#include "support/SecretServiceSession.h"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <thread>

namespace {

// Every test of this program runs against a private Secret Service when one of the suites
// below is picked, and against no session bus at all otherwise: never the user's keyring.
[[maybe_unused]] const bool kSecretServiceRegistered = RegisterSecretServiceEnvironment("SecretStore");

// Sets or clears CORVANE_SMTP_PASSWORD for one test.
class CPasswordVariable
{
public:
    explicit CPasswordVariable(const QByteArray* value)
    {
        if (value)
            qputenv(kSmtpPasswordVariable, *value);
        else
            qunsetenv(kSmtpPasswordVariable);
    }
    ~CPasswordVariable()
    {
        if (m_bWasSet)
            qputenv(kSmtpPasswordVariable, m_Previous);
        else
            qunsetenv(kSmtpPasswordVariable);
    }

private:
    bool m_bWasSet = qEnvironmentVariableIsSet(kSmtpPasswordVariable);
    QByteArray m_Previous = qgetenv(kSmtpPasswordVariable);
};

CAppSettings LoginSettings()
{
    CAppSettings settings;
    settings.m_SmtpServerName = QStringLiteral("mail.example.org:587");
    settings.m_SmtpUserName = QStringLiteral("ann@example.org");
    return settings;
}

QString WriteFile(const QTemporaryDir& dir, const char* name, const QByteArray& content,
                  QFileDevice::Permissions permissions)
{
    const QString path = dir.filePath(QString::fromLatin1(name));
    QFile file(path);
    EXPECT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(content);
    file.close();
    EXPECT_TRUE(QFile::setPermissions(path, permissions));
    return path;
}

constexpr QFileDevice::Permissions kOwnerOnly = QFileDevice::ReadOwner | QFileDevice::WriteOwner;

} // namespace

TEST(SmtpPassword, PasswordFileIsReadOnlyWhenItsOwnerAloneCanReadIt)
{
    CPasswordVariable variable(nullptr);
    QTemporaryDir dir;
    CAppSettings settings = LoginSettings();

    settings.m_SmtpPasswordFile
        = WriteFile(dir, "open.txt", "s3cret\n", kOwnerOnly | QFileDevice::ReadGroup | QFileDevice::ReadOther);
    CSmtpPassword password = ResolveSmtpPassword(settings);
    EXPECT_EQ(password.m_Source, CSmtpPassword::eNone);
    EXPECT_TRUE(password.m_Password.isEmpty());
    EXPECT_EQ(password.m_Error.toStdString(),
              QStringLiteral("The password file %1 can be read by other users: make it readable by you only "
                             "(chmod 600 %1).")
                  .arg(settings.m_SmtpPasswordFile)
                  .toStdString());
    // The sheet shows the same refusal before any alert runs into it.
    EXPECT_EQ(DescribePasswordLocation(settings), password.m_Error);

    // Group write alone is as bad: another user could put a password of their choosing there.
    settings.m_SmtpPasswordFile = WriteFile(dir, "groupwrite.txt", "s3cret\n", kOwnerOnly | QFileDevice::WriteGroup);
    EXPECT_TRUE(ResolveSmtpPassword(settings).m_Error.contains(QStringLiteral("chmod 600")));

    // The first line is the password, without its line end; the rest of the file is not.
    settings.m_SmtpPasswordFile = WriteFile(dir, "mine.txt", "pa ss;w0rd \r\nsecond line\n", kOwnerOnly);
    password = ResolveSmtpPassword(settings);
    EXPECT_EQ(password.m_Source, CSmtpPassword::eFile);
    EXPECT_EQ(password.m_Password, QStringLiteral("pa ss;w0rd "));
    EXPECT_TRUE(password.m_Error.isEmpty());
    EXPECT_EQ(DescribePasswordLocation(settings),
              QStringLiteral("The password is read from the file %1.").arg(settings.m_SmtpPasswordFile));

    settings.m_SmtpPasswordFile = dir.filePath(QStringLiteral("missing.txt"));
    password = ResolveSmtpPassword(settings);
    EXPECT_EQ(password.m_Source, CSmtpPassword::eNone);
    EXPECT_EQ(password.m_Error,
              QStringLiteral("The password file %1 does not exist.").arg(settings.m_SmtpPasswordFile));
}

TEST(SmtpPassword, FileComesBeforeTheVariableAndNoUserNameLooksNowhere)
{
    const QByteArray value = "from-the-environment";
    CPasswordVariable variable(&value);
    QTemporaryDir dir;
    CAppSettings settings = LoginSettings();

    CSmtpPassword password = ResolveSmtpPassword(settings);
    EXPECT_EQ(password.m_Source, CSmtpPassword::eEnvironment);
    EXPECT_EQ(password.m_Password, QStringLiteral("from-the-environment"));
    EXPECT_EQ(DescribePasswordLocation(settings),
              QStringLiteral("The password is read from the environment variable CORVANE_SMTP_PASSWORD."));

    settings.m_SmtpPasswordFile = WriteFile(dir, "mine.txt", "from-the-file", kOwnerOnly);
    password = ResolveSmtpPassword(settings);
    EXPECT_EQ(password.m_Source, CSmtpPassword::eFile);
    EXPECT_EQ(password.m_Password, QStringLiteral("from-the-file"));

    // A refused file is not passed over for the variable: the user named the file on purpose.
    QFile::setPermissions(settings.m_SmtpPasswordFile, kOwnerOnly | QFileDevice::ReadOther);
    password = ResolveSmtpPassword(settings);
    EXPECT_EQ(password.m_Source, CSmtpPassword::eNone);
    EXPECT_TRUE(password.m_Password.isEmpty());

    // Without a user name there is no login, so no password is looked for anywhere.
    settings.m_SmtpUserName.clear();
    password = ResolveSmtpPassword(settings);
    EXPECT_EQ(password.m_Source, CSmtpPassword::eNone);
    EXPECT_TRUE(password.m_Password.isEmpty());
    EXPECT_TRUE(password.m_Error.isEmpty());
}

TEST(SmtpPassword, WithoutASecretStoreNothingIsStoredAndTheUserIsToldWhatToDo)
{
    if (CSecretServiceSession::Current())
        GTEST_SKIP() << "a Secret Service runs in this process; run this test on its own";
    CPasswordVariable variable(nullptr);
    const CAppSettings settings = LoginSettings();
    const QString advice
        = QStringLiteral("No secret store is available: name a password file or set CORVANE_SMTP_PASSWORD.");
    EXPECT_FALSE(IsSecretStoreAvailable());
    QString error;
    EXPECT_FALSE(
        WriteSecretStorePassword(settings.m_SmtpUserName, settings.m_SmtpServerName, QStringLiteral("pw"), error));
    EXPECT_EQ(error, advice);
    EXPECT_EQ(ResolveSmtpPassword(settings).m_Error, advice);
    EXPECT_EQ(DescribePasswordLocation(settings), advice);
}

TEST(SecretStoreSmtpPassword, StoredPasswordIsFoundPerUserAndServerFromAnyThreadUntilDeleted)
{
    REQUIRE_SECRET_SERVICE_SESSION();
    const CSecretServiceSession& service = *CSecretServiceSession::Current();
    CPasswordVariable variable(nullptr);
    const CAppSettings settings = LoginSettings();
    ASSERT_TRUE(IsSecretStoreAvailable());
    ASSERT_TRUE(service.StoredItems().isEmpty());
    EXPECT_EQ(DescribePasswordLocation(settings), QStringLiteral("The password is kept in the system's secret store."));

    QString error;
    ASSERT_TRUE(
        WriteSecretStorePassword(settings.m_SmtpUserName, settings.m_SmtpServerName, QStringLiteral("k3y ring"), error))
        << error.toStdString();
    // Held by the Secret Service itself, where any of its clients sees it: not in a file
    // that merely reads it back.
    EXPECT_EQ(service.StoredItems().size(), 1);
    CSmtpPassword password = ResolveSmtpPassword(settings);
    EXPECT_EQ(password.m_Source, CSmtpPassword::eSecretStore);
    EXPECT_EQ(password.m_Password, QStringLiteral("k3y ring"));
    EXPECT_TRUE(password.m_Error.isEmpty()) << password.m_Error.toStdString();

    // The alert thread asks from a thread of its own; a thread without any event loop works too.
    CSmtpPassword fromThread;
    std::thread reader([&] { fromThread = ResolveSmtpPassword(settings); });
    reader.join();
    EXPECT_EQ(fromThread.m_Password, QStringLiteral("k3y ring"));

    // Another login on the same server has a password of its own.
    CAppSettings other = settings;
    other.m_SmtpUserName = QStringLiteral("bob@example.org");
    password = ResolveSmtpPassword(other);
    EXPECT_EQ(password.m_Source, CSmtpPassword::eNone);
    EXPECT_TRUE(password.m_Password.isEmpty());
    EXPECT_TRUE(password.m_Error.startsWith(QStringLiteral("No password is stored for bob@example.org on "
                                                           "mail.example.org:587")))
        << password.m_Error.toStdString();

    ASSERT_TRUE(DeleteSecretStorePassword(settings.m_SmtpUserName, settings.m_SmtpServerName, error))
        << error.toStdString();
    EXPECT_TRUE(service.StoredItems().isEmpty());
    password = ResolveSmtpPassword(settings);
    EXPECT_EQ(password.m_Source, CSmtpPassword::eNone);
    EXPECT_TRUE(password.m_Password.isEmpty());
    // Deleting what is not there is no failure.
    EXPECT_TRUE(DeleteSecretStorePassword(settings.m_SmtpUserName, settings.m_SmtpServerName, error));
}

// Leaves the keyring locked (unlocking needs a prompt), so it comes last.
TEST(SecretStoreSmtpPassword, LockedKeyringIsNotTakenForOneWithoutThePassword)
{
    REQUIRE_SECRET_SERVICE_SESSION();
    const CSecretServiceSession& service = *CSecretServiceSession::Current();
    CPasswordVariable variable(nullptr);
    const CAppSettings settings = LoginSettings();
    QString error;
    ASSERT_TRUE(
        WriteSecretStorePassword(settings.m_SmtpUserName, settings.m_SmtpServerName, QStringLiteral("k3y ring"), error))
        << error.toStdString();
    const int stored = service.StoredItems().size();
    ASSERT_TRUE(service.LockKeyring());

    // Told to type the password again, the user would only store it a second time behind the
    // same lock; what helps is unlocking.
    const CSmtpPassword password = ResolveSmtpPassword(settings);
    EXPECT_EQ(password.m_Source, CSmtpPassword::eNone);
    EXPECT_TRUE(password.m_Password.isEmpty());
    EXPECT_EQ(password.m_Error.toStdString(),
              "The password for ann@example.org on mail.example.org:587 cannot be read: the system's secret store is "
              "locked. Unlock it, name a password file or set CORVANE_SMTP_PASSWORD.");

    // A delete that cannot reach the password must not say it is gone.
    EXPECT_FALSE(DeleteSecretStorePassword(settings.m_SmtpUserName, settings.m_SmtpServerName, error));
    EXPECT_EQ(error, QStringLiteral("The system's secret store is locked: unlock it to delete the password."));
    EXPECT_EQ(service.StoredItems().size(), stored);
}
