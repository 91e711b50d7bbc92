#include "ServiceNotify.h"

#include <algorithm>
#include <cstdint>
#include <ctime>

#ifdef CORVANE_HAVE_SYSTEMD
#include <systemd/sd-daemon.h>
#endif

CServiceNotifier::CServiceNotifier(QObject* parent)
    : QObject(parent)
{
#ifdef CORVANE_HAVE_SYSTEMD
    uint64_t watchdogUs = 0;
    // The environment is left as it is (unset_environment 0): sd_notify reads NOTIFY_SOCKET
    // again at every call.
    if (sd_watchdog_enabled(0, &watchdogUs) > 0 && watchdogUs > 0) {
        // Half the limit, as sd_watchdog_enabled(3) advises: a tick that comes late because the
        // loop was busy still arrives before the manager gives up on the program. The ticks come
        // from the event loop that takes the engine's messages, so a loop that hangs stops them.
        m_Watchdog.setInterval(int(std::clamp<uint64_t>(watchdogUs / 2000, 1, INT32_MAX)));
        connect(&m_Watchdog, &QTimer::timeout, this, [] { Send("WATCHDOG=1"); });
        m_Watchdog.start();
    }
#endif
}

void CServiceNotifier::NotifyReady(const QString& status)
{
    Send("READY=1\nSTATUS=" + status.toUtf8().replace('\n', ' '));
}

void CServiceNotifier::NotifyReloading()
{
    // systemd 253 and later (Type=notify-reload) want the reload's start on the monotonic clock,
    // to tell this reload from an older one; earlier versions ignore the field.
    timespec now {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const quint64 us = quint64(now.tv_sec) * 1000000u + quint64(now.tv_nsec) / 1000u;
    Send("RELOADING=1\nMONOTONIC_USEC=" + QByteArray::number(us));
}

void CServiceNotifier::NotifyStopping()
{
    Send("STOPPING=1");
}

void CServiceNotifier::Send([[maybe_unused]] const QByteArray& state)
{
#ifdef CORVANE_HAVE_SYSTEMD
    // Without NOTIFY_SOCKET sd_notify does nothing; a manager that went away is no reason to
    // stop monitoring, so its answer is not looked at.
    sd_notify(0, state.constData());
#endif
}
