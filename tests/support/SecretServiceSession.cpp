#include "support/SecretServiceSession.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcessEnvironment>
#include <QStandardPaths>
#include <QThread>

#include <memory>
#include <optional>

namespace {
constexpr int kStartTimeoutMs = 15000;

QString Program(const char* name)
{
    return QStandardPaths::findExecutable(QString::fromLatin1(name));
}

void EndProcess(QProcess& process)
{
    if (process.state() == QProcess::NotRunning)
        return;
    process.terminate();
    if (!process.waitForFinished(3000)) {
        process.kill();
        process.waitForFinished(3000);
    }
}

std::unique_ptr<CSecretServiceSession>& CurrentSession()
{
    static std::unique_ptr<CSecretServiceSession> session;
    return session;
}

QString& CurrentSessionProblem()
{
    static QString problem = QStringLiteral("no test environment started a Secret Service session");
    return problem;
}

class CSecretServiceEnvironment : public ::testing::Environment
{
public:
    explicit CSecretServiceEnvironment(const char* suitePrefix)
        : m_SuitePrefix(suitePrefix)
    { }

    void SetUp() override
    {
        if (!AnyTestWillRun()) {
            // No bus at all rather than the user's: no test may read or fill the real keyring.
            m_NoBus.emplace();
            qputenv("DBUS_SESSION_BUS_ADDRESS", QStringLiteral("unix:path=%1/no-bus").arg(m_NoBus->path()).toUtf8());
            return;
        }
        if (const QString missing = CSecretServiceSession::MissingPrerequisite(); !missing.isEmpty()) {
            CurrentSessionProblem() = missing;
            return;
        }
        auto session = std::make_unique<CSecretServiceSession>();
        if (!session->Start()) {
            CurrentSessionProblem() = QStringLiteral("the Secret Service session did not start: ") + session->Error();
            return;
        }
        CurrentSession() = std::move(session);
    }
    void TearDown() override { CurrentSession().reset(); }

private:
    bool AnyTestWillRun() const
    {
        const ::testing::UnitTest* unit = ::testing::UnitTest::GetInstance();
        for (int i = 0; i < unit->total_test_suite_count(); ++i) {
            const ::testing::TestSuite* suite = unit->GetTestSuite(i);
            if (!QString::fromUtf8(suite->name()).startsWith(QString::fromUtf8(m_SuitePrefix)))
                continue;
            for (int j = 0; j < suite->total_test_count(); ++j) {
                if (suite->GetTestInfo(j)->should_run())
                    return true;
            }
        }
        return false;
    }

    const char* m_SuitePrefix;
    std::optional<QTemporaryDir> m_NoBus;
};
} // namespace

CSecretServiceSession::CSecretServiceSession() = default;

CSecretServiceSession::~CSecretServiceSession()
{
    EndProcess(m_Keyring);
    EndProcess(m_Bus);
}

QString CSecretServiceSession::MissingPrerequisite()
{
    for (const char* name : {"dbus-daemon", "dbus-send", "gnome-keyring-daemon"}) {
        if (Program(name).isEmpty())
            return QStringLiteral("%1 is not installed (apt-get install dbus-daemon dbus-bin gnome-keyring)")
                .arg(QString::fromLatin1(name));
    }
    return QString();
}

bool CSecretServiceSession::Start()
{
    if (!m_Folder.isValid()) {
        m_Error = QStringLiteral("no temporary folder");
        return false;
    }
    // The daemons get a home and a runtime folder of their own: the keyring files and the
    // keyring's control socket stay inside the temporary folder, away from the user's.
    const QDir folder(m_Folder.path());
    for (const char* sub : {"home", "run", "data", "config"})
        folder.mkpath(QString::fromLatin1(sub));
    QFile::setPermissions(folder.filePath(QStringLiteral("run")),
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("HOME"), folder.filePath(QStringLiteral("home")));
    environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), folder.filePath(QStringLiteral("run")));
    environment.insert(QStringLiteral("XDG_DATA_HOME"), folder.filePath(QStringLiteral("data")));
    environment.insert(QStringLiteral("XDG_CONFIG_HOME"), folder.filePath(QStringLiteral("config")));
    environment.remove(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"));

    m_Bus.setProcessEnvironment(environment);
    m_Bus.start(Program("dbus-daemon"),
                {QStringLiteral("--session"), QStringLiteral("--nofork"), QStringLiteral("--print-address=1")});
    QElapsedTimer clock;
    clock.start();
    while (!m_Bus.canReadLine() && m_Bus.state() != QProcess::NotRunning && clock.elapsed() < kStartTimeoutMs)
        m_Bus.waitForReadyRead(100);
    m_Address = QString::fromUtf8(m_Bus.readLine()).trimmed();
    if (m_Address.isEmpty()) {
        m_Error = QStringLiteral("dbus-daemon gave no address: ") + QString::fromUtf8(m_Bus.readAllStandardError());
        return false;
    }
    environment.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), m_Address);

    // --unlock reads the login keyring's password from standard input and creates the keyring
    // with it; an empty password reads as none, so the keyring would stay locked behind a prompt.
    m_Keyring.setProcessEnvironment(environment);
    // It waits for its output to be read before it goes on, which nobody here does.
    m_Keyring.setStandardOutputFile(QProcess::nullDevice());
    m_Keyring.setStandardErrorFile(folder.filePath(QStringLiteral("keyring.log")));
    m_Keyring.start(
        Program("gnome-keyring-daemon"),
        {QStringLiteral("--foreground"), QStringLiteral("--components=secrets"), QStringLiteral("--unlock")});
    if (!m_Keyring.waitForStarted(kStartTimeoutMs)) {
        m_Error = QStringLiteral("gnome-keyring-daemon did not start: ") + m_Keyring.errorString();
        return false;
    }
    m_Keyring.write("corvane-test-keyring");
    m_Keyring.closeWriteChannel();
    if (!WaitForSecretService())
        return false;
    qputenv("DBUS_SESSION_BUS_ADDRESS", m_Address.toUtf8());
    return true;
}

bool CSecretServiceSession::WaitForSecretService()
{
    // The service is usable once it answers for its default collection, which the unlocked
    // login keyring becomes when first written to.
    QElapsedTimer clock;
    clock.start();
    QString lastAnswer;
    while (clock.elapsed() < kStartTimeoutMs) {
        if (m_Keyring.state() == QProcess::NotRunning) {
            m_Error
                = QStringLiteral("gnome-keyring-daemon ended: ") + QString::fromUtf8(m_Keyring.readAllStandardError());
            return false;
        }
        // Until the daemon's control socket is there, an activated second daemon would not
        // find it and would serve a keyring of its own, locked and without a login collection.
        if (!QFileInfo::exists(QDir(m_Folder.path()).filePath(QStringLiteral("run/keyring/control")))) {
            QThread::msleep(50);
            continue;
        }
        // The daemon takes the service's name when the bus first asks for it (by activation,
        // which finds the running daemon through its control socket and hands over to it).
        lastAnswer
            = Ask({QStringLiteral("--dest=org.freedesktop.secrets"), QStringLiteral("/org/freedesktop/secrets"),
                   QStringLiteral("org.freedesktop.Secret.Service.ReadAlias"), QStringLiteral("string:default")});
        if (lastAnswer.contains(QStringLiteral("object path")))
            return true;
        QThread::msleep(100);
    }
    m_Error = QStringLiteral("the Secret Service did not answer: ") + lastAnswer;
    return false;
}

QString CSecretServiceSession::Ask(const QStringList& call) const
{
    QProcess probe;
    probe.setProcessEnvironment(m_Keyring.processEnvironment());
    probe.start(Program("dbus-send"),
                QStringList {QStringLiteral("--session"), QStringLiteral("--print-reply")} + call);
    probe.waitForFinished(5000);
    return QString::fromUtf8(probe.readAllStandardOutput() + probe.readAllStandardError());
}

CSecretServiceSession* CSecretServiceSession::Current()
{
    return CurrentSession().get();
}

QString CSecretServiceSession::CurrentProblem()
{
    return CurrentSessionProblem();
}

bool RegisterSecretServiceEnvironment(const char* suitePrefix)
{
    ::testing::AddGlobalTestEnvironment(new CSecretServiceEnvironment(suitePrefix));
    return true;
}
