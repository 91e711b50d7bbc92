// Stands in for a user's alert program that misbehaves or tells on its parent:
//   alert_probe [--started FILE] [--fds FILE] [--print BYTES] [--sleep SECONDS]
// --started appends "started PID" to FILE (O_APPEND, so concurrent starts all show);
// --fds writes one line "FD TARGET" for each descriptor the program was started with,
// written to a temporary file first and renamed, so a reader never sees half of it;
// --print writes BYTES bytes of text lines to standard output and as many to standard error;
// --sleep then waits that long before ending. The others act in the order given.
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

bool AppendStarted(const char* path)
{
    const int file = ::open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (file < 0)
        return false;
    const std::string line = "started " + std::to_string(::getpid()) + "\n";
    const bool written = ::write(file, line.data(), line.size()) == ssize_t(line.size());
    ::close(file);
    return written;
}

bool WriteDescriptors(const std::string& path)
{
    DIR* folder = ::opendir("/proc/self/fd");
    if (!folder)
        return false;
    // The listing's own descriptor is not one the program was started with.
    const int own = ::dirfd(folder);
    std::string text;
    while (const dirent* entry = ::readdir(folder)) {
        if (entry->d_name[0] == '.')
            continue;
        const int fd = std::atoi(entry->d_name);
        if (fd == own)
            continue;
        char target[4096];
        const std::string link = std::string("/proc/self/fd/") + entry->d_name;
        const ssize_t size = ::readlink(link.c_str(), target, sizeof target - 1);
        text += std::to_string(fd) + " " + (size > 0 ? std::string(target, size_t(size)) : std::string("?")) + "\n";
    }
    ::closedir(folder);
    const std::string temporary = path + ".part";
    std::FILE* file = std::fopen(temporary.c_str(), "wbe");
    if (!file)
        return false;
    std::fwrite(text.data(), 1, text.size(), file);
    if (std::fclose(file) != 0)
        return false;
    return std::rename(temporary.c_str(), path.c_str()) == 0;
}

void Print(long long bytes)
{
    std::string line(99, 'x');
    line += '\n';
    for (long long written = 0; written < bytes; written += (long long)line.size()) {
        // Nobody may be reading: a closed or full channel is no reason to stop early.
        if (::write(STDOUT_FILENO, line.data(), line.size()) < 0
            || ::write(STDERR_FILENO, line.data(), line.size()) < 0)
            break;
    }
}

} // namespace

int main(int argc, char** argv)
{
    int sleepSeconds = 0;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        const char* value = argv[i + 1];
        if (option == "--started") {
            if (!AppendStarted(value))
                return 1;
        } else if (option == "--fds") {
            if (!WriteDescriptors(value))
                return 1;
        } else if (option == "--print") {
            Print(std::atoll(value));
        } else if (option == "--sleep") {
            sleepSeconds = std::atoi(value);
        } else {
            return 2;
        }
    }
    if (sleepSeconds > 0)
        ::sleep(unsigned(sleepSeconds));
    return 0;
}
