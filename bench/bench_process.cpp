// Whole-process figures for check-quarvo over real pseudo-terminals:
// throughput beside a bare one-byte read loop, verdict latency, and CPU time
// and peak memory while listening to a silent port.
#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "bench_support.h"
#include "packet.h"
#include "pty_support.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

// With `report`, the check is started through child_usage, which writes its
// pid and, once it has ended, its resource use to *report: started straight
// from here its peak memory would count this benchmark's.
pid_t spawnCheck(const std::string& port, int* report = nullptr)
{
    const std::string check = checkPath();
    std::vector<char*> argv{const_cast<char*>(check.c_str()), const_cast<char*>("--feedback"),
                            const_cast<char*>(port.c_str()), const_cast<char*>("--channel"),
                            const_cast<char*>("101"), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    int pipeFds[2] = {-1, -1};
    if (report != nullptr) {
        if (pipe2(pipeFds, O_CLOEXEC) != 0) {
            std::perror("pipe");
            std::exit(1);
        }
        argv.insert(argv.begin(), const_cast<char*>(CHILD_USAGE_PATH));
        posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 3);
    }
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
        std::perror("posix_spawn");
        std::exit(1);
    }
    posix_spawn_file_actions_destroy(&actions);
    if (report != nullptr) {
        close(pipeFds[1]);
        *report = pipeFds[0];
    }
    return pid;
}

int waitExit(pid_t pid, rusage* usage = nullptr)
{
    int status = 0;
    rusage ignored{};
    wait4(pid, &status, 0, usage != nullptr ? usage : &ignored);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The old floor: one readiness wait and one read per byte, as the check did
// before it took what is waiting in one read.
pid_t spawnBareLoop(const std::string& port, size_t bytes)
{
    const pid_t pid = fork();
    if (pid == 0) {
        const int fd = open(port.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        size_t got = 0;
        while (got < bytes) {
            pollfd readable{fd, POLLIN, 0};
            if (poll(&readable, 1, 80'000) != 1)
                _exit(1);
            char c;
            if (read(fd, &c, 1) == 1)
                ++got;
        }
        _exit(0);
    }
    return pid;
}

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

double throughputOfCheck(const std::string& stream)
{
    Pty pty;
    const pid_t pid = spawnCheck(pty.path());
    waitUntilOpened(pid, pty.path());
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const auto start = Clock::now();
    pty.write(stream, pid);
    if (waitExit(pid) != 0)
        std::fprintf(stderr, "check did not reach its verdict\n");
    return static_cast<double>(stream.size()) / secondsSince(start);
}

double throughputOfBareLoop(const std::string& stream)
{
    Pty pty;
    const pid_t pid = spawnBareLoop(pty.path(), stream.size());
    waitUntilOpened(pid, pty.path());
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const auto start = Clock::now();
    pty.write(stream, pid);
    waitExit(pid);
    return static_cast<double>(stream.size()) / secondsSince(start);
}

double verdictLatencyMs()
{
    std::string error;
    const std::string deciding = encodePacket({{"SSCN", "101"}}, {}, &error);
    Pty pty;
    const pid_t pid = spawnCheck(pty.path());
    waitUntilOpened(pid, pty.path());
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    pty.write(deciding, pid);
    const auto written = Clock::now();
    waitExit(pid);
    return secondsSince(written) * 1000.0;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

} // namespace

int main(int argc, char** argv)
{
    const size_t bytes = argc > 1 ? std::stoul(argv[1]) : 200000;
    const int silentSeconds = argc > 2 ? std::stoi(argv[2]) : 10;
    const std::string stream = undecidedStream(bytes);

    std::vector<double> checkRates;
    std::vector<double> bareRates;
    for (int round = 0; round < 5; ++round) {
        bareRates.push_back(throughputOfBareLoop(stream));
        checkRates.push_back(throughputOfCheck(stream));
    }
    const double check = median(checkRates);
    const double bare = median(bareRates);
    std::printf("pty throughput: check-quarvo %.0f bytes/s, bare wait+read loop %.0f bytes/s: %.0f %% of the loop "
                "(target >= 80 %%); %.0f x the line rate of 5760 bytes/s\n",
                check, bare, 100.0 * check / bare, check / 5760.0);

    std::vector<double> latencies;
    for (int i = 0; i < 41; ++i)
        latencies.push_back(verdictLatencyMs());
    std::sort(latencies.begin(), latencies.end());
    std::printf("verdict latency: median %.3f ms, 90th percentile %.3f ms, max %.3f ms (target: median <= 2 ms)\n",
                median(latencies), latencies[latencies.size() * 9 / 10], latencies.back());

    Pty silent;
    int report = -1;
    const pid_t starter = spawnCheck(silent.path(), &report);
    const pid_t pid = static_cast<pid_t>(std::atol(readReportLine(report).c_str()));
    waitUntilOpened(pid, silent.path());
    std::this_thread::sleep_for(std::chrono::seconds(silentSeconds));
    kill(pid, SIGTERM);
    long status = 0, userUs = 0, systemUs = 0, peakKiB = 0;
    std::sscanf(readReportLine(report).c_str(), "%ld %ld %ld %ld", &status, &userUs, &systemUs, &peakKiB);
    close(report);
    waitExit(starter);
    const double cpuMs = static_cast<double>(userUs + systemUs) / 1000.0;
    std::printf("silent port for %d s: CPU time %.2f ms (target <= 10 ms), peak resident memory %.2f MiB "
                "(target <= 4 MiB)\n",
                silentSeconds, cpuMs, static_cast<double>(peakKiB) / 1024.0);
    return 0;
}
