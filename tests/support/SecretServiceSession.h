#pragma once

#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <gtest/gtest.h>

// A private session bus with GNOME Keyring's Secret Service on it, its login keyring
// unlocked, so that the secret store is real but never the user's. The bus address goes
// into this process's DBUS_SESSION_BUS_ADDRESS, which Qt and libsecret read once, on their
// first connection: so the session must exist before anything in the process touches the
// session bus, which is why it is started as a test environment (see below), not by a test.
class CSecretServiceSession
{
public:
    CSecretServiceSession();
    ~CSecretServiceSession();
    CSecretServiceSession(const CSecretServiceSession&) = delete;
    CSecretServiceSession& operator=(const CSecretServiceSession&) = delete;

    // Empty when dbus-daemon and gnome-keyring-daemon are installed; otherwise what is missing.
    static QString MissingPrerequisite();

    // Returns once the Secret Service answers on the new bus; false with Error() otherwise.
    bool Start();
    QString Error() const { return m_Error; }

    // The object paths of every secret the service holds, asked for as any other client would.
    QStringList StoredItems() const;
    // Locks the login keyring, as a screen lock or a timeout would; true once it is locked.
    bool LockKeyring() const;

    // The session of this process, started by the environment; null when none was wanted.
    static CSecretServiceSession* Current();
    // Why Current() has no running session: GTEST_SKIP text, or a failure to report.
    static QString CurrentProblem();

private:
    bool StartBus(const QProcessEnvironment& environment);
    bool StartKeyring(const QProcessEnvironment& environment);
    bool WaitForSecretService();
    QString KeyringLogPath() const;
    // The daemon's complaints, for an error text; empty when it had none.
    QString KeyringLog() const;
    // One call on the session's bus with dbus-send; its reply or error as text.
    QString Ask(const QStringList& call) const;

    QTemporaryDir m_Folder;
    QProcess m_Bus;
    QProcess m_Keyring;
    QString m_Address;
    QString m_Error;
};

// Starts a CSecretServiceSession before the first test of the process when a test of a suite
// whose name begins with suitePrefix is going to run, and makes it Current(). Register it
// from a static initialiser of the test file, so it comes before any test.
bool RegisterSecretServiceEnvironment(const char* suitePrefix);

// For the first lines of a test that needs the session: skips with the reason when the
// prerequisites are missing or the session would not start.
#define REQUIRE_SECRET_SERVICE_SESSION()                                                                               \
    do {                                                                                                               \
        if (!CSecretServiceSession::Current()) {                                                                       \
            const QString problem = CSecretServiceSession::CurrentProblem();                                           \
            GTEST_SKIP() << problem.toStdString();                                                                     \
        }                                                                                                              \
    } while (false)
