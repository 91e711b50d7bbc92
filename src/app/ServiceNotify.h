#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QTimer>

// Tells a service manager (systemd, through sd_notify) how the headless monitor stands: ready,
// reloading its task file, stopping; and, when the manager asked for a watchdog, that the
// event loop still turns, at half the interval it gave. Sends nothing when the program was not
// started by one (no NOTIFY_SOCKET) or was built without libsystemd.
class CServiceNotifier : public QObject
{
public:
    explicit CServiceNotifier(QObject* parent = nullptr);

    // status is a line for `systemctl status`.
    void NotifyReady(const QString& status);
    void NotifyReloading();
    void NotifyStopping();

private:
    static void Send(const QByteArray& state);

    QTimer m_Watchdog;
};
