#include "TerminationSignals.h"

#include <QObject>
#include <QSocketNotifier>

#include <csignal>

#include <sys/socket.h>
#include <unistd.h>

namespace {

// A signal handler may only do async-signal-safe work: it writes one byte to a socket the
// event loop watches, and the loop ends the program in an orderly way.
int g_SignalSockets[2] = {-1, -1};

void OnSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(g_SignalSockets[0], &byte, 1);
}

} // namespace

bool WatchTerminationSignals(QObject* context, std::function<void()> onSignal)
{
    if (g_SignalSockets[0] < 0 && ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, g_SignalSockets) != 0)
        return false;
    struct sigaction action
    { };
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    if (::sigaction(SIGINT, &action, nullptr) != 0 || ::sigaction(SIGTERM, &action, nullptr) != 0)
        return false;
    auto* notifier = new QSocketNotifier(g_SignalSockets[1], QSocketNotifier::Read, context);
    QObject::connect(notifier, &QSocketNotifier::activated, context, [onSignal = std::move(onSignal)] {
        char bytes[16];
        [[maybe_unused]] const ssize_t read = ::read(g_SignalSockets[1], bytes, sizeof bytes);
        onSignal();
    });
    return true;
}
