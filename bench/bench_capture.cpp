// Figures for watching, recording and replaying:
//  - replay timing: how close to its recorded offset quarvo-sim --replay
//    sends each chunk of a 10-second capture, at speed 1;
//  - CPU per KB at the line rate (57600 baud, bytes arriving a few at a time
//    as from a USB serial adapter) for check-quarvo and quarvo-monitor, each
//    with and without --capture.
// Usage: bench_capture [line-rate seconds per run, default 5] [rounds, default 5]
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <random>
#include <spawn.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "bench_support.h"
#include "packet.h"
#include "pty_support.h"

extern char** environ;

namespace {

constexpr double LineBytesPerSecond = 5760.0;

int64_t nowMicros()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<int64_t>(t.tv_sec) * 1000000 + t.tv_nsec / 1000;
}

void sleepUntil(int64_t micros)
{
    const timespec when{static_cast<time_t>(micros / 1000000), static_cast<long>(micros % 1000000) * 1000};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &when, nullptr) == EINTR) {
    }
}

pid_t spawn(const std::vector<std::string>& args)
{
    std::vector<char*> argv;
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
        std::perror("posix_spawn");
        std::exit(1);
    }
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

double cpuMsOf(pid_t pid)
{
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000.0 +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1000.0;
}

double percentile(std::vector<double> v, double p)
{
    std::sort(v.begin(), v.end());
    return v[static_cast<size_t>(p * static_cast<double>(v.size() - 1))];
}

// --- replay timing ---

void replayTiming()
{
    // Chunks 5 to 80 ms apart over 10 seconds, each a line with its number.
    std::mt19937 random(11);
    std::vector<int64_t> offsets;
    std::string text = "# quarvo-capture 1\n";
    for (int64_t at = 300000; at < 10300000; at += 5000 + static_cast<int64_t>(random() % 75000)) {
        char line[64];
        std::snprintf(line, sizeof line, "%lld.%06lld \\x0A%06zu\n", static_cast<long long>(at / 1000000),
                      static_cast<long long>(at % 1000000), offsets.size());
        text += line;
        offsets.push_back(at);
    }
    const std::string path = tempPath("bench-replay");
    {
        FILE* f = std::fopen(path.c_str(), "w");
        std::fwrite(text.data(), 1, text.size(), f);
        std::fclose(f);
    }
    Child sim({QUARVO_SIM_PATH, "--replay", path});
    const std::string port = firstLineOf(sim);
    const int fd = open(port.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        std::perror(port.c_str());
        return;
    }
    std::vector<int64_t> arrivals;
    std::string pending;
    while (arrivals.size() < offsets.size()) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 20000) <= 0)
            break;
        char buf[256];
        const ssize_t n = read(fd, buf, sizeof buf);
        const int64_t at = nowMicros();
        if (n <= 0)
            continue;
        for (ssize_t i = 0; i < n; ++i) {
            if (buf[i] == '\n')
                arrivals.push_back(at);
        }
    }
    close(fd);
    sim.wait();
    unlink(path.c_str());
    if (arrivals.size() != offsets.size()) {
        std::printf("replay timing: only %zu of %zu chunks arrived\n", arrivals.size(), offsets.size());
        return;
    }
    // The box's start is not seen from here: it is taken as the start that
    // makes the most punctual chunk exactly on time, so every error is a lateness.
    int64_t start = arrivals[0] - offsets[0];
    for (size_t i = 0; i < offsets.size(); ++i)
        start = std::min(start, arrivals[i] - offsets[i]);
    std::vector<double> errorsMs;
    for (size_t i = 0; i < offsets.size(); ++i)
        errorsMs.push_back(static_cast<double>(arrivals[i] - offsets[i] - start) / 1000.0);
    const size_t within5 = static_cast<size_t>(std::count_if(errorsMs.begin(), errorsMs.end(), [](double e) { return e <= 5.0; }));
    std::printf("replay timing, %zu chunks over 10 s at speed 1: lateness median %.3f ms, 90th percentile %.3f ms, "
                "max %.3f ms, last chunk %.3f ms; %zu of %zu within 5 ms (target: all within 5 ms, median within 1 ms)\n",
                offsets.size(), percentile(errorsMs, 0.5), percentile(errorsMs, 0.9),
                *std::max_element(errorsMs.begin(), errorsMs.end()), errorsMs.back(), within5, offsets.size());
}

// --- CPU per KB at the line rate ---

// Feeds `stream` to the program at the line rate, 6 bytes a millisecond
// or so, then ends the input; its CPU time in milliseconds.
double cpuAtLineRate(const std::vector<std::string>& args, const std::string& stream)
{
    Pty pty;
    std::vector<std::string> argv;
    for (const std::string& a : args)
        argv.push_back(a == "{port}" ? pty.path() : a);
    const pid_t pid = spawn(argv);
    waitUntilLocked(pid);
    constexpr size_t Piece = 6;
    const int64_t start = nowMicros();
    for (size_t sent = 0; sent < stream.size(); sent += Piece) {
        sleepUntil(start + static_cast<int64_t>(static_cast<double>(sent) * 1e6 / LineBytesPerSecond));
        pty.write(std::string_view(stream).substr(sent, Piece), pid);
    }
    pty.waitDrained(pid);
    pty.closeMaster();
    return cpuMsOf(pid);
}

} // namespace

int main(int argc, char** argv)
{
    const int seconds = argc > 1 ? std::stoi(argv[1]) : 5;
    const int rounds = argc > 2 ? std::stoi(argv[2]) : 5;
    replayTiming();

    const std::string stream = undecidedStream(static_cast<size_t>(seconds * LineBytesPerSecond));
    const double kb = static_cast<double>(stream.size()) / 1024.0;
    const std::string capture = tempPath("bench-capture");
    const std::string monitor = QUARVO_MONITOR_PATH;
    struct Run {
        const char* name;
        std::vector<std::string> args;
        std::vector<double> cpuMs{};
    };
    std::vector<Run> runs{
        {"check-quarvo", {checkPath(), "--feedback", "{port}", "--channel", "101"}},
        {"check-quarvo --capture", {checkPath(), "--feedback", "{port}", "--channel", "101", "--capture", capture}},
        {"quarvo-monitor", {monitor, "{port}"}},
        {"quarvo-monitor --capture", {monitor, "{port}", "--capture", capture}},
        {"quarvo-monitor --json --capture", {monitor, "{port}", "--json", "--capture", capture}},
    };
    // Interleaved rounds, so that a change in the machine's load touches every kind of run alike.
    for (int round = 0; round < rounds; ++round) {
        for (Run& run : runs)
            run.cpuMs.push_back(cpuAtLineRate(run.args, stream));
    }
    // The least of the runs is the cost with the least interference from
    // other work on the machine; the median is shown beside it.
    std::printf("CPU at the line rate, %.1f KB over %.1f s in 6-byte pieces, least (median) of %d runs:\n", kb,
                static_cast<double>(stream.size()) / LineBytesPerSecond, rounds);
    std::vector<double> least;
    for (const Run& run : runs) {
        const double cpu = percentile(run.cpuMs, 0.0);
        const double median = percentile(run.cpuMs, 0.5);
        least.push_back(cpu);
        std::printf("  %-32s %7.2f (%.2f) ms CPU, %.3f (%.3f) ms per KB, %.2f (%.2f) ms per box-second\n", run.name,
                    cpu, median, cpu / kb, median / kb, cpu / (static_cast<double>(stream.size()) / LineBytesPerSecond),
                    median / (static_cast<double>(stream.size()) / LineBytesPerSecond));
    }
    unlink(capture.c_str());
    std::printf("monitor / check CPU per KB: %.2f (target <= 1.3); --capture adds %.1f %% to the check, %.1f %% to "
                "the monitor (target <= 10 %%)\n",
                least[2] / least[0], 100.0 * (least[1] / least[0] - 1.0), 100.0 * (least[3] / least[2] - 1.0));
    return 0;
}
