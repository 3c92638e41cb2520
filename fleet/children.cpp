#include "children.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/prctl.h>
#include <unistd.h>

#include "ending_signals.h"

namespace {

bool executable(const std::string& path) { return !path.empty() && access(path.c_str(), X_OK) == 0; }

} // namespace

std::string children_findCheck()
{
    char self[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n > 0) {
        std::string beside(self, static_cast<size_t>(n));
        beside = beside.substr(0, beside.rfind('/') + 1) + "check-quarvo";
        if (executable(beside))
            return beside;
    }
    const char* path = std::getenv("PATH");
    std::string_view dirs = path != nullptr ? path : "";
    while (!dirs.empty()) {
        const size_t colon = std::min(dirs.find(':'), dirs.size());
        std::string dir(dirs.substr(0, colon));
        dirs.remove_prefix(std::min(colon + 1, dirs.size()));
        const std::string candidate = (dir.empty() ? std::string(".") : dir) + "/check-quarvo";
        if (executable(candidate))
            return candidate;
    }
    return {};
}

pid_t children_start(const std::string& program, const std::vector<std::string>& args, int outputFd, pid_t parent,
    const std::string& who)
{
    std::vector<char*> argv;
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const std::string cannot = who + ": starting " + program + " failed: ";

    // No signal handler of the fleet's may run in the child before exec:
    // everything stays blocked until the child has its default actions.
    sigset_t all, before;
    sigfillset(&all);
    sigprocmask(SIG_BLOCK, &all, &before);
    const pid_t pid = fork();
    if (pid == 0) {
        setpgid(0, 0);
        // Should the fleet die (even by SIGKILL), the check ends as if told
        // to; a fleet that died before this line is caught by the next.
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent)
            _exit(127);
        const int in = open("/dev/null", O_RDONLY);
        if (in < 0 || dup2(in, STDIN_FILENO) < 0 || dup2(outputFd, STDOUT_FILENO) < 0 ||
            dup2(outputFd, STDERR_FILENO) < 0)
            _exit(127);
        if (in > STDERR_FILENO)
            close(in);
        endingSignals_defaultsForChild();
        execv(program.c_str(), argv.data());
        const char* why = std::strerror(errno);
        [[maybe_unused]] ssize_t n = write(STDERR_FILENO, cannot.data(), cannot.size());
        n = write(STDERR_FILENO, why, std::strlen(why));
        n = write(STDERR_FILENO, "\n", 1);
        _exit(127);
    }
    const int error = errno;
    if (pid > 0)
        setpgid(pid, pid); // as the child does: whichever runs first, the group exists before a signal is sent
    sigprocmask(SIG_SETMASK, &before, nullptr);
    errno = error;
    return pid;
}

void OutputTail::append(std::string_view bytes)
{
    total_ += bytes.size();
    kept_.append(bytes.substr(bytes.size() - std::min(bytes.size(), capacity_)));
    // What is past the capacity is let go in bulk, not on every append.
    if (kept_.size() > 2 * capacity_)
        kept_.erase(0, kept_.size() - capacity_);
}

std::string OutputTail::text() const
{
    std::string text = kept_.substr(kept_.size() - std::min(kept_.size(), capacity_));
    if (total_ > text.size()) {
        const size_t eol = text.find('\n');
        text.erase(0, eol == std::string::npos ? 0 : eol + 1);
    }
    return text;
}
