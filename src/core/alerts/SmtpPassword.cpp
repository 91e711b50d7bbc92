#include "core/alerts/SmtpPassword.h"

#include "core/shell/AppSettings.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusReply>
#include <QDBusVariant>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <QMutexLocker>
#include <QPointer>
#include <QThread>
#include <QTimer>

#include <qt6keychain/keychain.h>

#include <memory>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#endif

namespace {

constexpr char kSecretStoreService[] = "Corvane";
// A store that waits for the user to unlock it (KWallet asks for days) must not hold up
// an alert or the Options sheet for good.
constexpr int kSecretStoreTimeoutMs = 10000;
// Asking whether the keyring is locked is quick when the store answers at all.
constexpr int kLockQuestionTimeoutMs = 3000;
// A password is one line; a big file named by mistake is not read whole.
constexpr qint64 kMaxPasswordLineLength = 4096;

QString NoStoreText()
{
    return QStringLiteral("No secret store is available: name a password file or set %1.")
        .arg(QLatin1String(kSmtpPasswordVariable));
}

QString SecretStoreKey(const QString& userName, const QString& server)
{
    // Blanks typed around the names must not lose the password stored under them.
    return QStringLiteral("smtp:") + userName.trimmed() + QLatin1Char('@') + server.trimmed();
}

// What one job of the secret store came to.
struct CStoreAnswer
{
    bool m_bAnswered = false;
    QKeychain::Error m_Error = QKeychain::OtherError;
    QString m_ErrorText;
    QString m_Password;
};

// Between a caller waiting for a job and the thread that runs it; the caller may give up.
struct CStoreWait
{
    QMutex m_Lock;
    CStoreAnswer m_Answer;
    QEventLoop* m_pLoop = nullptr; // null once the caller stopped waiting
};

enum eStoreJob
{
    eReadJob,
    eWriteJob,
    eDeleteJob,
};

// QtKeychain queues its jobs on one executor object, created in the thread of the first
// job, that learns of a job's end through a signal; jobs from several threads (the Options
// sheet, the alert thread, a test thread) would race on its queue or wait for a thread that
// is gone. So every job runs on this one thread, which lives as long as the application;
// the libsecret callbacks are delivered to its event loop too.
QObject* SecretStoreContext()
{
    static QMutex lock;
    static QObject* context = nullptr;
    QMutexLocker locker(&lock);
    if (!context) {
        auto* thread = new QThread;
        thread->setObjectName(QStringLiteral("SecretStore"));
        context = new QObject;
        context->moveToThread(thread);
        thread->start();
        qAddPostRoutine([] {
            QThread* storeThread = context->thread();
            storeThread->quit();
            // A job the store never answers does not block the thread's loop, so it ends.
            if (storeThread->wait(2000))
                delete storeThread;
        });
    }
    return context;
}

CStoreAnswer RunStoreJob(eStoreJob kind, const QString& key, const QString& password = QString())
{
    auto wait = std::make_shared<CStoreWait>();
    QMetaObject::invokeMethod(
        SecretStoreContext(),
        [wait, kind, key, password] {
            QKeychain::Job* job = nullptr;
            if (kind == eReadJob) {
                job = new QKeychain::ReadPasswordJob(QLatin1String(kSecretStoreService));
            } else if (kind == eWriteJob) {
                auto* write = new QKeychain::WritePasswordJob(QLatin1String(kSecretStoreService));
                write->setTextData(password);
                job = write;
            } else {
                job = new QKeychain::DeletePasswordJob(QLatin1String(kSecretStoreService));
            }
            job->setKey(key);
            job->setAutoDelete(false);
            // Never a plain-text file beside the settings when no store answers (the default,
            // stated so that no later default can change it).
            job->setInsecureFallback(false);
            QObject::connect(job, &QKeychain::Job::finished, job, [wait, kind](QKeychain::Job* done) {
                QMutexLocker locker(&wait->m_Lock);
                wait->m_Answer.m_bAnswered = true;
                wait->m_Answer.m_Error = done->error();
                wait->m_Answer.m_ErrorText = done->errorString();
                if (kind == eReadJob && done->error() == QKeychain::NoError)
                    wait->m_Answer.m_Password = static_cast<QKeychain::ReadPasswordJob*>(done)->textData();
                if (wait->m_pLoop)
                    QMetaObject::invokeMethod(wait->m_pLoop, &QEventLoop::quit, Qt::QueuedConnection);
                done->deleteLater();
            });
            job->start();
        },
        Qt::QueuedConnection);

    // A local loop keeps a window painting and a worker's own events flowing while the store
    // answers; user input waits, so an OK pressed twice cannot run into itself.
    QEventLoop loop;
    QTimer bound;
    bound.setSingleShot(true);
    QObject::connect(&bound, &QTimer::timeout, &loop, &QEventLoop::quit);
    {
        QMutexLocker locker(&wait->m_Lock);
        if (wait->m_Answer.m_bAnswered)
            return wait->m_Answer;
        wait->m_pLoop = &loop;
    }
    bound.start(kSecretStoreTimeoutMs);
    for (;;) {
        loop.exec(QEventLoop::ExcludeUserInputEvents);
        QMutexLocker locker(&wait->m_Lock);
        if (wait->m_Answer.m_bAnswered || !bound.isActive()) {
            wait->m_pLoop = nullptr;
            return wait->m_Answer; // unanswered when the bound ran out
        }
    }
}

QString StoreFailureText(const CStoreAnswer& answer, const QString& what)
{
    if (!answer.m_bAnswered)
        return QStringLiteral("The system's secret store did not answer within %1 seconds.")
            .arg(kSecretStoreTimeoutMs / 1000);
    if (answer.m_Error == QKeychain::NoBackendAvailable)
        return NoStoreText();
    return QStringLiteral("The system's secret store could not %1 the password: %2").arg(what, answer.m_ErrorText);
}

// A lookup that cannot unlock the Secret Service's keyring (nobody there to be asked, or
// the user declined) sees none of its items and reports them missing; a delete then
// deletes nothing and reports no failure. Only the lock state of the collection that new
// passwords go to (the alias "default") tells the two apart.
bool IsSecretServiceLocked()
{
    const QString service = QStringLiteral("org.freedesktop.secrets");
    QDBusConnection bus = QDBusConnection::sessionBus();
    // Asked only of a running service: a question must not start one.
    if (!bus.isConnected() || !bus.interface() || !bus.interface()->isServiceRegistered(service))
        return false;
    QDBusMessage readAlias
        = QDBusMessage::createMethodCall(service, QStringLiteral("/org/freedesktop/secrets"),
                                         QStringLiteral("org.freedesktop.Secret.Service"), QStringLiteral("ReadAlias"));
    readAlias << QStringLiteral("default");
    const QDBusReply<QDBusObjectPath> collection = bus.call(readAlias, QDBus::Block, kLockQuestionTimeoutMs);
    if (!collection.isValid() || collection.value().path() == QLatin1String("/"))
        return false;
    QDBusMessage getLocked = QDBusMessage::createMethodCall(
        service, collection.value().path(), QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
    getLocked << QStringLiteral("org.freedesktop.Secret.Collection") << QStringLiteral("Locked");
    const QDBusReply<QDBusVariant> locked = bus.call(getLocked, QDBus::Block, kLockQuestionTimeoutMs);
    return locked.isValid() && locked.value().variant().toBool();
}

// The first line of the password file, or why it cannot be used.
bool ReadPasswordFile(const QString& fileName, QString& password, QString& error)
{
    QFile file(fileName);
    if (!QFileInfo::exists(fileName)) {
        error = QStringLiteral("The password file %1 does not exist.").arg(fileName);
        return false;
    }
    if (!file.open(QIODevice::ReadOnly)) {
        error = QStringLiteral("The password file %1 cannot be read: %2").arg(fileName, file.errorString());
        return false;
    }
#ifdef Q_OS_UNIX
    // Judged on the file that was opened, so a file swapped in after the check cannot pass.
    struct stat status = {};
    if (::fstat(file.handle(), &status) != 0 || !S_ISREG(status.st_mode)) {
        error = QStringLiteral("The password file %1 is not a regular file.").arg(fileName);
        return false;
    }
    if ((status.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
        error = QStringLiteral("The password file %1 can be read by other users: make it readable by you only "
                               "(chmod 600 %1).")
                    .arg(fileName);
        return false;
    }
#endif
    QByteArray line = file.readLine(kMaxPasswordLineLength);
    if (line.endsWith('\n'))
        line.chop(1);
    if (line.endsWith('\r'))
        line.chop(1);
    if (line.isEmpty()) {
        error = QStringLiteral("The password file %1 holds no password on its first line.").arg(fileName);
        return false;
    }
    password = QString::fromUtf8(line);
    return true;
}

} // namespace

CSmtpPassword ResolveSmtpPassword(const CAppSettings& settings)
{
    CSmtpPassword password;
    if (settings.m_SmtpUserName.isEmpty())
        return password;
    if (!settings.m_SmtpPasswordFile.isEmpty()) {
        if (ReadPasswordFile(settings.m_SmtpPasswordFile, password.m_Password, password.m_Error))
            password.m_Source = CSmtpPassword::eFile;
        return password;
    }
    if (!qEnvironmentVariableIsEmpty(kSmtpPasswordVariable)) {
        password.m_Source = CSmtpPassword::eEnvironment;
        password.m_Password = qEnvironmentVariable(kSmtpPasswordVariable);
        return password;
    }
    if (!IsSecretStoreAvailable()) {
        password.m_Error = NoStoreText();
        return password;
    }
    const CStoreAnswer answer
        = RunStoreJob(eReadJob, SecretStoreKey(settings.m_SmtpUserName, settings.m_SmtpServerName));
    if (answer.m_bAnswered && answer.m_Error == QKeychain::NoError) {
        password.m_Source = CSmtpPassword::eSecretStore;
        password.m_Password = answer.m_Password;
    } else if (answer.m_bAnswered && answer.m_Error == QKeychain::EntryNotFound && IsSecretServiceLocked()) {
        password.m_Error
            = QStringLiteral("The password for %1 on %2 cannot be read: the system's secret store is "
                             "locked. Unlock it, name a password file or set %3.")
                  .arg(settings.m_SmtpUserName, settings.m_SmtpServerName, QLatin1String(kSmtpPasswordVariable));
    } else if (answer.m_bAnswered && answer.m_Error == QKeychain::EntryNotFound) {
        password.m_Error
            = QStringLiteral("No password is stored for %1 on %2: type it on the General page of the "
                             "Options, name a password file or set %3.")
                  .arg(settings.m_SmtpUserName, settings.m_SmtpServerName, QLatin1String(kSmtpPasswordVariable));
    } else {
        password.m_Error = StoreFailureText(answer, QStringLiteral("read"));
    }
    return password;
}

bool IsSecretStoreAvailable()
{
    // Asking the bus which names it has or can start is quick and starts nothing; a store
    // that is there but locked still counts, it asks the user when it is used.
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected() || !bus.interface())
        return false;
    // The Secret Service (GNOME Keyring, KeePassXC, newer KWallet) and KWallet itself, which
    // QtKeychain talks to directly on KDE desktops.
    const QStringList names {QStringLiteral("org.freedesktop.secrets"), QStringLiteral("org.kde.kwalletd6"),
                             QStringLiteral("org.kde.kwalletd5")};
    for (const QString& name : names) {
        if (bus.interface()->isServiceRegistered(name))
            return true;
    }
    const QDBusReply<QStringList> activatable = bus.interface()->activatableServiceNames();
    if (!activatable.isValid())
        return false;
    for (const QString& name : names) {
        if (activatable.value().contains(name))
            return true;
    }
    return false;
}

bool WriteSecretStorePassword(const QString& userName, const QString& server, const QString& password, QString& error)
{
    if (!IsSecretStoreAvailable()) {
        error = NoStoreText();
        return false;
    }
    const CStoreAnswer answer = RunStoreJob(eWriteJob, SecretStoreKey(userName, server), password);
    if (answer.m_bAnswered && answer.m_Error == QKeychain::NoError)
        return true;
    error = StoreFailureText(answer, QStringLiteral("store"));
    return false;
}

bool DeleteSecretStorePassword(const QString& userName, const QString& server, QString& error)
{
    if (!IsSecretStoreAvailable()) {
        error = NoStoreText();
        return false;
    }
    const CStoreAnswer answer = RunStoreJob(eDeleteJob, SecretStoreKey(userName, server));
    // Nothing stored is what deleting wants; but behind a lock the password may still be there.
    if (answer.m_bAnswered && (answer.m_Error == QKeychain::NoError || answer.m_Error == QKeychain::EntryNotFound)) {
        if (!IsSecretServiceLocked())
            return true;
        error = QStringLiteral("The system's secret store is locked: unlock it to delete the password.");
        return false;
    }
    error = StoreFailureText(answer, QStringLiteral("delete"));
    return false;
}

QString DescribePasswordLocation(const CAppSettings& settings)
{
    if (settings.m_SmtpUserName.isEmpty())
        return QStringLiteral("No login: without a user name the mail server is used without a password.");
    if (!settings.m_SmtpPasswordFile.isEmpty()) {
        // A file that will be refused says so now, not at the first alert.
        QString password;
        QString error;
        if (!ReadPasswordFile(settings.m_SmtpPasswordFile, password, error))
            return error;
        return QStringLiteral("The password is read from the file %1.").arg(settings.m_SmtpPasswordFile);
    }
    if (!qEnvironmentVariableIsEmpty(kSmtpPasswordVariable))
        return QStringLiteral("The password is read from the environment variable %1.")
            .arg(QLatin1String(kSmtpPasswordVariable));
    if (IsSecretStoreAvailable())
        return QStringLiteral("The password is kept in the system's secret store.");
    return NoStoreText();
}
