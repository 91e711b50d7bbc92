#include "core/alerts/AlertProgram.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#if defined(__linux__)
#include <sys/syscall.h>
#endif

namespace {

void MarkCloseOnExec(int fd)
{
    const int flags = ::fcntl(fd, F_GETFD);
    if (flags >= 0 && !(flags & FD_CLOEXEC))
        ::fcntl(fd, F_SETFD, flags | FD_CLOEXEC);
}

// Our own descriptors are opened close-on-exec, but not every library's: libcurl's internal
// socket pairs, for one, are not. Every descriptor beyond the standard three is marked
// before a program starts, so the program gets none of them. Marking one that another
// thread opened is harmless: nothing in this process passes a descriptor on by exec.
void MarkDescriptorsCloseOnExec()
{
#if defined(__linux__)
    const char* folder = "/proc/self/fd";
#else
    const char* folder = "/dev/fd";
#endif
    if (DIR* listing = ::opendir(folder)) {
        const int own = ::dirfd(listing);
        while (const dirent* entry = ::readdir(listing)) {
            char* end = nullptr;
            const long fd = std::strtol(entry->d_name, &end, 10);
            if (end != entry->d_name && *end == '\0' && fd > STDERR_FILENO && fd != own)
                MarkCloseOnExec(int(fd));
        }
        ::closedir(listing);
        return;
    }
    const long limit = std::min<long>(::sysconf(_SC_OPEN_MAX), 65536);
    for (int fd = STDERR_FILENO + 1; fd < limit; ++fd)
        MarkCloseOnExec(fd);
}

// A descriptor that becomes readable when the process ends, whoever reaps it, and that
// cannot be fooled by a later process reusing the id; -1 where the system has none.
int OpenProcessWatch(pid_t pid)
{
#if defined(__linux__) && defined(SYS_pidfd_open)
    return int(::syscall(SYS_pidfd_open, pid, 0));
#else
    (void)pid;
    errno = ENOSYS;
    return -1;
#endif
}

} // namespace

CAlertProgram::~CAlertProgram()
{
    Forget();
}

void CAlertProgram::Forget()
{
    if (m_nWatch >= 0)
        ::close(int(m_nWatch));
    m_nWatch = -1;
    m_nProcessId = 0;
}

bool CAlertProgram::Start(const QString& program, const QStringList& arguments)
{
    Forget();
    MarkDescriptorsCloseOnExec();
    const qint64 processId = StartDetached(program, arguments);
    if (processId == 0)
        return false;
    m_nProcessId = processId;
    m_nWatch = OpenProcessWatch(pid_t(processId));
    // Gone already: nothing is left to wait for.
    if (m_nWatch < 0 && errno == ESRCH)
        m_nProcessId = 0;
    return true;
}

bool CAlertProgram::IsRunning() const
{
    if (m_nProcessId <= 0)
        return false;
    if (m_nWatch >= 0) {
        pollfd watch {int(m_nWatch), POLLIN, 0};
        return ::poll(&watch, 1, 0) == 0;
    }
    // Without a pidfd: the id may have been reused meanwhile, and an ended process that
    // nobody reaped yet still counts; the best there is.
    return ::kill(pid_t(m_nProcessId), 0) == 0 || errno == EPERM;
}
