#include "ui/shell/SingleInstance.h"

#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QThread>

namespace {

// The tray menu's Restore command, which a later start sends to the running window.
const QByteArray kRestoreRequest = QByteArrayLiteral("32838\n");
const QByteArray kAcknowledge = QByteArrayLiteral("ok\n");

QString UserName()
{
    QString name = qEnvironmentVariable("USER");
    if (name.isEmpty())
        name = qEnvironmentVariable("USERNAME");
    if (name.isEmpty())
        name = QDir::home().dirName();
    return name;
}

} // namespace

CSingleInstance::CSingleInstance(const QString& key, QObject* parent)
    : QObject(parent)
    , m_Key(key)
{ }

CSingleInstance::~CSingleInstance()
{
    if (m_pServer)
        m_pServer->close();
}

QString CSingleInstance::KeyFor(const QString& settingsFile)
{
    QString key = QStringLiteral("VGRClass-") + UserName();
    if (!settingsFile.isEmpty()) {
        const QByteArray path = QFileInfo(settingsFile).absoluteFilePath().toUtf8();
        key += u'-' + QString::fromLatin1(QCryptographicHash::hash(path, QCryptographicHash::Sha1).toHex().left(12));
    }
    // Socket names become file names: keep them to characters every platform accepts.
    for (QChar& c : key) {
        if (!c.isLetterOrNumber() && c != u'-' && c != u'_')
            c = u'_';
    }
    return key;
}

bool CSingleInstance::TryToBecomePrimary()
{
    if (m_pServer)
        return true;
    auto lock = std::make_unique<QLockFile>(QDir::temp().filePath(m_Key + QStringLiteral(".lock")));
    // Age alone never makes the lock stale: a program may run for months. A lock whose
    // process is gone is still recognised and taken over.
    lock->setStaleLockTime(0);
    if (!lock->tryLock(0))
        return false;
    m_pLock = std::move(lock);

    // A socket file left by a crashed instance would make listen() fail.
    QLocalServer::removeServer(m_Key);
    m_pServer = new QLocalServer(this);
    m_pServer->setSocketOptions(QLocalServer::UserAccessOption);
    if (!m_pServer->listen(m_Key))
        qWarning("corvane: cannot listen for later starts: %s", qUtf8Printable(m_pServer->errorString()));
    connect(m_pServer, &QLocalServer::newConnection, this, &CSingleInstance::OnNewConnection);
    return true;
}

bool CSingleInstance::AskPrimaryToRestore(int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    // The running instance may hold the lock a moment before it listens: try again briefly.
    while (!deadline.hasExpired()) {
        QLocalSocket socket;
        socket.connectToServer(m_Key);
        if (socket.waitForConnected(int(qMax<qint64>(1, deadline.remainingTime())))) {
            socket.write(kRestoreRequest);
            if (!socket.waitForBytesWritten(int(qMax<qint64>(1, deadline.remainingTime()))))
                return false;
            while (!socket.canReadLine() && socket.waitForReadyRead(int(qMax<qint64>(1, deadline.remainingTime()))))
                ;
            return socket.readLine() == kAcknowledge;
        }
        QThread::msleep(50);
    }
    return false;
}

void CSingleInstance::OnNewConnection()
{
    while (QLocalSocket* socket = m_pServer->nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QLocalSocket::readyRead, socket, [this, socket] {
            while (socket->canReadLine()) {
                if (socket->readLine() == kRestoreRequest) {
                    socket->write(kAcknowledge);
                    socket->flush();
                    emit RestoreRequested();
                }
            }
        });
    }
}
