#include "support/SecretServiceSession.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QThread>

#include <dlfcn.h>
#include <sys/prctl.h>

#include <csignal>
#include <memory>
#include <optional>

namespace {
constexpr int kStartTimeoutMs = 15000;

QString Program(const char* name)
{
    return QStandardPaths::findExecutable(QString::fromLatin1(name));
}

// A test program that crashes or is killed on a time-out takes its daemons with it.
void EndWithThisProcess(QProcess& process)
{
    process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
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

// libsecret talks to the bus through GIO's shared session connection, which by default ends
// the whole process with SIGTERM when the bus goes away: ending the test's bus would end the
// test program. GIO is loaded only with libsecret (QtKeychain loads that on its first job), so
// it is looked up rather than linked; when it is not loaded there is no such connection.
void KeepProcessWhenBusEnds()
{
    void* gio = ::dlopen("libgio-2.0.so.0", RTLD_NOW | RTLD_NOLOAD);
    if (!gio)
        return;
    using BusGetSync = void* (*)(int busType, void* cancellable, void** error);
    using SetExitOnClose = void (*)(void* connection, int exitOnClose);
    using Unref = void (*)(void* object);
    using ErrorFree = void (*)(void* error);
    const auto busGetSync = reinterpret_cast<BusGetSync>(::dlsym(gio, "g_bus_get_sync"));
    const auto setExitOnClose = reinterpret_cast<SetExitOnClose>(::dlsym(gio, "g_dbus_connection_set_exit_on_close"));
    const auto unref = reinterpret_cast<Unref>(::dlsym(gio, "g_object_unref"));
    const auto errorFree = reinterpret_cast<ErrorFree>(::dlsym(gio, "g_error_free"));
    if (busGetSync && setExitOnClose && unref && errorFree) {
        constexpr int kSessionBus = 2; // G_BUS_TYPE_SESSION
        void* error = nullptr;
        if (void* connection = busGetSync(kSessionBus, nullptr, &error)) {
            setExitOnClose(connection, 0);
            unref(connection);
        }
        if (error)
            errorFree(error);
    }
    ::dlclose(gio);
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
            UseNoBus();
            return;
        }
        if (const QString missing = CSecretServiceSession::MissingPrerequisite(); !missing.isEmpty()) {
            CurrentSessionProblem() = missing;
            UseNoBus();
            return;
        }
        auto session = std::make_unique<CSecretServiceSession>();
        if (!session->Start()) {
            CurrentSessionProblem() = QStringLiteral("the Secret Service session did not start: ") + session->Error();
            UseNoBus();
            return;
        }
        CurrentSession() = std::move(session);
    }
    void TearDown() override { CurrentSession().reset(); }

private:
    // No bus at all rather than the user's: no test may read or fill the real keyring.
    void UseNoBus()
    {
        m_NoBus.emplace();
        qputenv("DBUS_SESSION_BUS_ADDRESS", QStringLiteral("unix:path=%1/no-bus").arg(m_NoBus->path()).toUtf8());
    }

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
    KeepProcessWhenBusEnds();
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
    // A runtime folder is its user's alone; the daemons distrust one that others can enter.
    QFile::setPermissions(folder.filePath(QStringLiteral("run")),
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("HOME"), folder.filePath(QStringLiteral("home")));
    environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), folder.filePath(QStringLiteral("run")));
    environment.insert(QStringLiteral("XDG_DATA_HOME"), folder.filePath(QStringLiteral("data")));
    environment.insert(QStringLiteral("XDG_CONFIG_HOME"), folder.filePath(QStringLiteral("config")));
    environment.remove(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"));
    // With these, the new daemon would hand its work to the user's running one.
    environment.remove(QStringLiteral("GNOME_KEYRING_CONTROL"));
    environment.remove(QStringLiteral("GNOME_KEYRING_PID"));

    if (!StartBus(environment))
        return false;
    environment.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), m_Address);
    if (!StartKeyring(environment) || !WaitForSecretService())
        return false;
    qputenv("DBUS_SESSION_BUS_ADDRESS", m_Address.toUtf8());
    return true;
}

bool CSecretServiceSession::StartBus(const QProcessEnvironment& environment)
{
    // A bus of its own configuration rather than the system's session one: that one may start
    // any installed service on demand (a second keyring daemon, a wallet), a child of the bus
    // that would outlive the test; this one starts nothing, and its socket is in the folder.
    const QString socket = QDir(m_Folder.path()).filePath(QStringLiteral("bus"));
    const QString configPath = QDir(m_Folder.path()).filePath(QStringLiteral("bus.conf"));
    QFile config(configPath);
    if (!config.open(QIODevice::WriteOnly)) {
        m_Error = QStringLiteral("cannot write %1: %2").arg(configPath, config.errorString());
        return false;
    }
    config.write(QStringLiteral("<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
                                " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                                "<busconfig>\n"
                                "  <type>session</type>\n"
                                "  <listen>unix:path=%1</listen>\n"
                                "  <auth>EXTERNAL</auth>\n"
                                "  <policy context=\"default\">\n"
                                "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
                                "    <allow eavesdrop=\"true\"/>\n"
                                "    <allow own=\"*\"/>\n"
                                "  </policy>\n"
                                "</busconfig>\n")
                     .arg(socket.toHtmlEscaped())
                     .toUtf8());
    config.close();

    m_Bus.setProcessEnvironment(environment);
    EndWithThisProcess(m_Bus);
    m_Bus.start(Program("dbus-daemon"),
                {QStringLiteral("--config-file=") + configPath, QStringLiteral("--nofork"),
                 QStringLiteral("--print-address=1")});
    QElapsedTimer clock;
    clock.start();
    while (!m_Bus.canReadLine() && m_Bus.state() != QProcess::NotRunning && clock.elapsed() < kStartTimeoutMs)
        m_Bus.waitForReadyRead(100);
    m_Address = QString::fromUtf8(m_Bus.readLine()).trimmed();
    if (m_Address.isEmpty()) {
        m_Error = QStringLiteral("dbus-daemon gave no address: ") + QString::fromUtf8(m_Bus.readAllStandardError());
        return false;
    }
    return true;
}

bool CSecretServiceSession::StartKeyring(const QProcessEnvironment& environment)
{
    m_Keyring.setProcessEnvironment(environment);
    EndWithThisProcess(m_Keyring);
    m_Keyring.setStandardOutputFile(QProcess::nullDevice());
    m_Keyring.setStandardErrorFile(KeyringLogPath());
    // --unlock creates the login keyring with the password read from standard input up to its
    // end and leaves it unlocked, so that no prompt is ever wanted; it is the default collection.
    m_Keyring.start(
        Program("gnome-keyring-daemon"),
        {QStringLiteral("--foreground"), QStringLiteral("--components=secrets"), QStringLiteral("--unlock")});
    if (!m_Keyring.waitForStarted(kStartTimeoutMs)) {
        m_Error = QStringLiteral("gnome-keyring-daemon did not start: ") + m_Keyring.errorString();
        return false;
    }
    // Nothing runs an event loop here, so the password reaches the pipe only by waiting for it;
    // until the pipe is closed the daemon waits for more of it and serves nothing.
    m_Keyring.write("corvane-test-keyring");
    if (!m_Keyring.waitForBytesWritten(kStartTimeoutMs)) {
        m_Error = QStringLiteral("gnome-keyring-daemon did not read its password: ") + m_Keyring.errorString();
        return false;
    }
    m_Keyring.closeWriteChannel();
    return true;
}

bool CSecretServiceSession::WaitForSecretService()
{
    // The daemon takes the service's name once the login keyring is unlocked; the name is
    // asked for without calling the service, so an early question cannot start anything.
    QElapsedTimer clock;
    clock.start();
    QString lastAnswer;
    while (clock.elapsed() < kStartTimeoutMs) {
        if (m_Keyring.state() == QProcess::NotRunning) {
            m_Error = QStringLiteral("gnome-keyring-daemon ended: ") + KeyringLog();
            return false;
        }
        lastAnswer = Ask({QStringLiteral("--dest=org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
                          QStringLiteral("org.freedesktop.DBus.NameHasOwner"),
                          QStringLiteral("string:org.freedesktop.secrets")});
        if (lastAnswer.contains(QStringLiteral("boolean true")))
            break;
        QThread::msleep(50);
    }
    if (!lastAnswer.contains(QStringLiteral("boolean true"))) {
        m_Error = QStringLiteral("the Secret Service did not appear on the bus: ") + lastAnswer + KeyringLog();
        return false;
    }
    // The secret store writes to the collection behind the alias "default"; without one, a
    // write would fail or wait for a prompt that nobody answers.
    lastAnswer = Ask({QStringLiteral("--dest=org.freedesktop.secrets"), QStringLiteral("/org/freedesktop/secrets"),
                      QStringLiteral("org.freedesktop.Secret.Service.ReadAlias"), QStringLiteral("string:default")});
    if (!lastAnswer.contains(QStringLiteral("object path \"/org/freedesktop/secrets/collection/"))) {
        m_Error = QStringLiteral("the Secret Service has no default collection: ") + lastAnswer + KeyringLog();
        return false;
    }
    return true;
}

QString CSecretServiceSession::KeyringLogPath() const
{
    return QDir(m_Folder.path()).filePath(QStringLiteral("keyring.log"));
}

QString CSecretServiceSession::KeyringLog() const
{
    QFile log(KeyringLogPath());
    if (!log.open(QIODevice::ReadOnly))
        return QString();
    return QStringLiteral(" (gnome-keyring-daemon: ") + QString::fromUtf8(log.readAll()).trimmed() + QLatin1Char(')');
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

QStringList CSecretServiceSession::StoredItems() const
{
    // No attributes match every item, locked or not; the reply lists their object paths.
    const QString answer
        = Ask({QStringLiteral("--dest=org.freedesktop.secrets"), QStringLiteral("/org/freedesktop/secrets"),
               QStringLiteral("org.freedesktop.Secret.Service.SearchItems"), QStringLiteral("dict:string:string:")});
    QStringList items;
    static const QRegularExpression path(QStringLiteral("object path \"([^\"]+)\""));
    for (QRegularExpressionMatchIterator it = path.globalMatch(answer); it.hasNext();)
        items << it.next().captured(1);
    return items;
}

bool CSecretServiceSession::LockKeyring() const
{
    const QString collection = QStringLiteral("/org/freedesktop/secrets/collection/login");
    Ask({QStringLiteral("--dest=org.freedesktop.secrets"), QStringLiteral("/org/freedesktop/secrets"),
         QStringLiteral("org.freedesktop.Secret.Service.Lock"), QStringLiteral("array:objpath:") + collection});
    return Ask({QStringLiteral("--dest=org.freedesktop.secrets"), collection,
                QStringLiteral("org.freedesktop.DBus.Properties.Get"),
                QStringLiteral("string:org.freedesktop.Secret.Collection"), QStringLiteral("string:Locked")})
        .contains(QStringLiteral("boolean true"));
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
