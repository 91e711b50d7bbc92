#include "support/SmtpTestServer.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QThread>

namespace {
constexpr int kStartTimeoutMs = 15000;

// Debian's own interpreter carries python3-aiosmtpd; a python3 earlier on PATH (pyenv, a
// virtual environment) usually does not.
QString Interpreter()
{
    const QString system = QStringLiteral("/usr/bin/python3");
    return QFileInfo::exists(system) ? system : QStringLiteral("python3");
}

QString ScriptPath()
{
    return QDir::cleanPath(QStringLiteral(CORVANE_TEST_DATA_DIR "/../support/smtp_test_server.py"));
}

// The client under test must reach the loopback server directly, whatever proxy the
// developer's environment names.
void BypassProxiesForLoopback()
{
    for (const char* name : {"no_proxy", "NO_PROXY"}) {
        QByteArray value = qgetenv(name);
        if (!value.contains("127.0.0.1") || !value.contains("::1")) {
            value += value.isEmpty() ? "127.0.0.1,::1" : ",127.0.0.1,::1";
            qputenv(name, value);
        }
    }
}
} // namespace

CSmtpTestServer::CSmtpTestServer() = default;

CSmtpTestServer::~CSmtpTestServer()
{
    if (m_Process.state() == QProcess::NotRunning) {
        return;
    }
    // The script ends when its input closes; kill only one that does not.
    m_Process.closeWriteChannel();
    if (!m_Process.waitForFinished(3000)) {
        m_Process.kill();
        m_Process.waitForFinished(3000);
    }
}

QString CSmtpTestServer::MissingPrerequisite()
{
    static const QString reason = [] {
        if (!QFileInfo::exists(ScriptPath())) {
            return QStringLiteral("the SMTP test server script is missing: ") + ScriptPath();
        }
        QProcess probe;
        probe.start(Interpreter(), {QStringLiteral("-c"), QStringLiteral("import aiosmtpd")});
        if (!probe.waitForFinished(15000) || probe.exitStatus() != QProcess::NormalExit || probe.exitCode() != 0) {
            return QStringLiteral("python3-aiosmtpd is not available to %1 (apt-get install python3-aiosmtpd)")
                .arg(Interpreter());
        }
        return QString();
    }();
    return reason;
}

bool CSmtpTestServer::Start()
{
    if (m_Process.state() != QProcess::NotRunning) {
        m_Error = QStringLiteral("already started");
        return false;
    }
    if (const QString missing = MissingPrerequisite(); !missing.isEmpty()) {
        m_Error = missing;
        return false;
    }
    if (!m_Folder.isValid()) {
        m_Error = QStringLiteral("no temporary folder for the received messages");
        return false;
    }
    BypassProxiesForLoopback();

    QStringList arguments {ScriptPath(),
                           QStringLiteral("--host"),
                           m_Host,
                           QStringLiteral("--output"),
                           m_Folder.path(),
                           QStringLiteral("--delay-ms"),
                           QString::number(m_nDelayMs)};
    if (!m_RejectText.isEmpty()) {
        arguments << QStringLiteral("--reject") << m_RejectText << QStringLiteral("--reject-reply") << m_RejectReply;
    }
    if (m_bRefuseNoop) {
        arguments << QStringLiteral("--refuse-noop");
    }
    if (m_Stall != eNoStall) {
        const char* stall = m_Stall == eStallAfterData ? "data" : m_Stall == eStallOnQuit ? "quit" : "drop-mail";
        arguments << QStringLiteral("--stall") << QString::fromLatin1(stall);
    }
    if (m_Tls == eImplicitTls)
        arguments << QStringLiteral("--tls");
    if (m_Tls == eStartTls || m_Tls == eStartTlsRequired)
        arguments << QStringLiteral("--starttls");
    if (m_Tls == eStartTlsRequired)
        arguments << QStringLiteral("--require-starttls");
    if (!m_User.isEmpty()) {
        arguments << QStringLiteral("--user") << m_User << QStringLiteral("--password") << m_Password;
        if (m_bLoginOverTlsOnly)
            arguments << QStringLiteral("--auth-require-tls");
    }
    m_Process.setProcessChannelMode(QProcess::SeparateChannels);
    m_Process.start(Interpreter(), arguments);
    if (!m_Process.waitForStarted(kStartTimeoutMs)) {
        m_Error = QStringLiteral("cannot start %1: %2").arg(Interpreter(), m_Process.errorString());
        return false;
    }

    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < kStartTimeoutMs) {
        if (m_Process.canReadLine()) {
            const QByteArray line = m_Process.readLine().trimmed();
            if (line.startsWith("PORT ")) {
                m_nPort = line.mid(5).toInt();
                return m_nPort > 0;
            }
            continue;
        }
        if (m_Process.state() == QProcess::NotRunning) {
            break;
        }
        m_Process.waitForReadyRead(100);
    }
    m_Error = QStringLiteral("the SMTP test server did not start: ")
        + QString::fromLocal8Bit(m_Process.readAllStandardError()).trimmed();
    return false;
}

QString CSmtpTestServer::Address() const
{
    const QString host = m_Host.contains(QLatin1Char(':')) ? QLatin1Char('[') + m_Host + QLatin1Char(']') : m_Host;
    return host + QLatin1Char(':') + QString::number(m_nPort);
}

QList<CReceivedMail> CSmtpTestServer::WaitForMessages(int count, std::chrono::milliseconds timeout) const
{
    QElapsedTimer clock;
    clock.start();
    QList<CReceivedMail> mails = ReadMessages();
    while (mails.size() < count && clock.elapsed() < timeout.count()) {
        QThread::msleep(20);
        mails = ReadMessages();
    }
    return mails;
}

QString CSmtpTestServer::CertificatePath() const
{
    return QDir(m_Folder.path()).filePath(QStringLiteral("cert.pem"));
}

int CSmtpTestServer::MailFromCount() const
{
    QFile file(QDir(m_Folder.path()).filePath(QStringLiteral("mail-froms")));
    return file.open(QIODevice::ReadOnly) ? file.readAll().trimmed().toInt() : 0;
}

int CSmtpTestServer::ConnectionCount() const
{
    QFile file(QDir(m_Folder.path()).filePath(QStringLiteral("connections")));
    return file.open(QIODevice::ReadOnly) ? file.readAll().trimmed().toInt() : 0;
}

QList<CReceivedMail> CSmtpTestServer::ReadMessages() const
{
    QList<CReceivedMail> mails;
    const QDir folder(m_Folder.path());
    const QStringList names = folder.entryList({QStringLiteral("message-*.json")}, QDir::Files, QDir::Name);
    for (const QString& name : names) {
        QFile file(folder.filePath(name));
        if (!file.open(QIODevice::ReadOnly)) {
            continue;
        }
        const QJsonObject record = QJsonDocument::fromJson(file.readAll()).object();
        CReceivedMail mail;
        mail.m_MailFrom = record.value(QStringLiteral("mail_from")).toString();
        const QJsonArray recipients = record.value(QStringLiteral("rcpt_tos")).toArray();
        for (const auto& recipient : recipients) {
            mail.m_RcptTos << recipient.toString();
        }
        mail.m_Data = QByteArray::fromBase64(record.value(QStringLiteral("data")).toString().toLatin1());
        mails << mail;
    }
    return mails;
}
