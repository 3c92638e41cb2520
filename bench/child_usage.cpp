// child_usage COMMAND [ARGS...]: runs COMMAND as a child of this small
// process and reports on descriptor 3, one line each,
//   "<pid>"  once it is started, then
//   "<wait status> <user us> <system us> <peak resident KiB> <own peak resident KiB>"
// once it has ended.
//
// Why a go-between: a process's peak resident memory counts that of the
// memory it was started from (Linux carries it across fork and exec), so a
// command started straight from a big benchmark would report the benchmark's
// memory. Started from here it reports its own, or at least this process's
// own, which the last field gives for comparison.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

constexpr int ReportFd = 3;

long ownPeakKiB()
{
    // The high-water mark of this process's own memory since it was started.
    FILE* status = std::fopen("/proc/self/status", "r");
    long kib = -1;
    char line[128];
    while (status != nullptr && std::fgets(line, sizeof line, status) != nullptr)
        if (std::sscanf(line, "VmHWM: %ld kB", &kib) == 1)
            break;
    if (status != nullptr)
        std::fclose(status);
    return kib;
}

long microseconds(const timeval& t) { return static_cast<long>(t.tv_sec) * 1000000L + static_cast<long>(t.tv_usec); }

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fputs("usage: child_usage COMMAND [ARGS...] (reports on descriptor 3)\n", stderr);
        return 2;
    }
    // The report is for the benchmark, not for the command.
    fcntl(ReportFd, F_SETFD, FD_CLOEXEC);
    pid_t pid = -1;
    const int error = posix_spawn(&pid, argv[1], nullptr, nullptr, argv + 1, environ);
    if (error != 0) {
        std::fprintf(stderr, "child_usage: starting %s failed: %s\n", argv[1], std::strerror(error));
        dprintf(ReportFd, "-1\n");
        return 127;
    }
    dprintf(ReportFd, "%d\n", static_cast<int>(pid));
    int status = 0;
    rusage usage{};
    while (wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
    }
    dprintf(ReportFd, "%d %ld %ld %ld %ld\n", status, microseconds(usage.ru_utime), microseconds(usage.ru_stime),
            usage.ru_maxrss, ownPeakKiB());
    return 0;
}
