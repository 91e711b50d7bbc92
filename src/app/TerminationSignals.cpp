#include "TerminationSignals.h"

#include <QObject>
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>

#include <sys/socket.h>
#include <unistd.h>

namespace {

// A signal handler may only do async-signal-safe work: it writes the signal's number to a
// socket the event loop watches, and the loop does the rest. Both ends are close-on-exec, so
// no program started for an alert inherits them, and non-blocking, so that a flood of signals
// can never block the handler on a full socket (the loop only needs one byte of each kind).
int g_SignalSockets[2] = {-1, -1};

void OnSignal(int signal)
{
    // The handler runs between any two statements of the interrupted code, which may be about
    // to read errno.
    const int savedErrno = errno;
    const char byte = char(signal);
    [[maybe_unused]] const ssize_t written = ::write(g_SignalSockets[0], &byte, 1);
    errno = savedErrno;
}

// SIGPIPE gets a handler that does nothing rather than SIG_IGN: a handler is reset by exec,
// an ignored signal would stay ignored in every program started for an alert.
void OnBrokenPipe(int) { }

bool Install(int signal, void (*handler)(int))
{
    struct sigaction action
    { };
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    return ::sigaction(signal, &action, nullptr) == 0;
}

} // namespace

bool WatchTerminationSignals(QObject* context, std::function<void()> onTerminate, std::function<void()> onHangup)
{
    if (g_SignalSockets[0] < 0
        && ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, g_SignalSockets) != 0)
        return false;
    if (!Install(SIGINT, OnSignal) || !Install(SIGTERM, OnSignal) || (onHangup && !Install(SIGHUP, OnSignal)))
        return false;
    auto* notifier = new QSocketNotifier(g_SignalSockets[1], QSocketNotifier::Read, context);
    QObject::connect(notifier, &QSocketNotifier::activated, context,
                     [onTerminate = std::move(onTerminate), onHangup = std::move(onHangup)] {
                         bool terminate = false;
                         bool hangup = false;
                         char bytes[64];
                         for (;;) {
                             const ssize_t count = ::read(g_SignalSockets[1], bytes, sizeof bytes);
                             if (count < 0 && errno == EINTR)
                                 continue;
                             if (count <= 0)
                                 break;
                             for (ssize_t i = 0; i < count; ++i) {
                                 if (bytes[i] == char(SIGHUP))
                                     hangup = true;
                                 else
                                     terminate = true;
                             }
                         }
                         // A reopen asked for before the end still happens, so that the last
                         // lines go to the file logrotate expects them in.
                         if (hangup && onHangup)
                             onHangup();
                         if (terminate)
                             onTerminate();
                     });
    return true;
}

void IgnoreBrokenPipe()
{
    Install(SIGPIPE, OnBrokenPipe);
}
