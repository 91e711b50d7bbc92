#pragma once

#include <QObject>
#include <QString>

#include <memory>

class QLocalServer;
class QLockFile;

// Keeps one desktop instance per user and settings file. The first process holds a lock file
// and listens on a local socket; a later one finds the lock, asks the first to come back to
// the front (the tray menu's Restore) and ends. A lock left by a process that died is taken
// over, so a crash never stops the program from starting again.
class CSingleInstance : public QObject
{
    Q_OBJECT

public:
    // key names the lock and the socket: see KeyFor().
    explicit CSingleInstance(const QString& key, QObject* parent = nullptr);
    ~CSingleInstance() override;

    // "VGRClass-<user>", with a digest of the settings file when one is in use, so that
    // programs running on their own settings (tests, other profiles) do not meet.
    static QString KeyFor(const QString& settingsFile);

    // True when this process is (now) the running instance and listens for later ones.
    bool TryToBecomePrimary();
    // From a later process: asks the running instance to restore itself. False when it did
    // not answer within timeoutMs.
    bool AskPrimaryToRestore(int timeoutMs = 5000);

signals:
    // A later start asked this instance to come back to the front.
    void RestoreRequested();

private:
    void OnNewConnection();

    QString m_Key;
    std::unique_ptr<QLockFile> m_pLock;
    QLocalServer* m_pServer = nullptr;
};
