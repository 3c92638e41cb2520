// Many boxes on one host: N checks at once, each on its own pseudo-terminal,
// fed by this one process at the line's real rate. Prints the wrong verdicts,
// the checks' CPU time per box-second, their peak resident memory and the
// verdict latency after the deciding packet's last byte.
//
//   bench_many [--boxes N] [--seconds S] [--tick-ms T] [--fleet | --ser2net rfc2217|tcp]
//              [-- EXTRA CHECK ARGS]
//
// With --fleet the checks are started by one quarvo-fleet (boxes file,
// --plain, --result, --junit) instead of one by one: it prints the fleet's
// own CPU time against its checks', its peak memory, and how long after the
// last verdict it ended.
//
// With --ser2net every port is served by one ser2net (one connection each,
// chardelay off) and each check reaches its box through it by URL: it also
// prints the server's own CPU time.
//
// Defaults: 16 boxes, 5 s of undecided packets before the deciding one (up to
// a second more, box by box), each port written every 10 ms.
//
// An extra argument holding "{i}" gets the box's index in its place, so that
// e.g. "--log /tmp/x/log{i}" gives every check a file of its own.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <poll.h>
#include <sched.h>
#include <spawn.h>
#include <sstream>
#include <string>
#include <string_view>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "bench_support.h"
#include "packet.h"
#include "pty_support.h"
#include "ser2net_support.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::nanoseconds;

constexpr long LineRate = 5760;              // bytes/s: 57600 baud, 10 bits a byte
constexpr double DecidingSpreadSeconds = 1.0; // the boxes decide one after another, not in step
constexpr double TrailerSeconds = 2.0;        // a box goes on sending after its deciding packet
constexpr int PhaseGroups = 8;               // ports served at staggered instants within a tick
// A port's input queue holds 4095 bytes; once full, every byte the check
// takes lets one more in, at a kernel worker's wake-up each.
constexpr int FullQueue = 4000;
// No verdict this long after the deciding packet: the port is closed, then
// the check killed. Long, because an overloaded host has seconds of bytes
// waiting in each port's kernel buffer.
constexpr auto ClosePortAfter = std::chrono::seconds(30);
constexpr auto KillAfter = std::chrono::seconds(40);

volatile sig_atomic_t stopSignal = 0;
void onStopSignal(int signal) { stopSignal = signal; }

// Descriptors 0-2 open on /dev/null if they were closed, so that no port or
// file lands on them.
void ensureStandardStreams()
{
    int fd = open("/dev/null", O_RDWR);
    while (fd >= 0 && fd <= STDERR_FILENO)
        fd = dup(fd);
    if (fd > STDERR_FILENO)
        close(fd);
}

struct Options {
    int boxes = 16;
    int seconds = 5;
    // A USB serial adapter, as on hosts with many ports, hands its bytes on
    // about every 10 ms (when its 62-byte packet fills at this rate).
    int tickMs = 10;
    bool fleet = false;
    std::string ser2net; // "", "rfc2217" or "tcp"
    std::vector<std::string> extra;
};

bool parseNumber(const char* name, const char* text, int low, int high, int* out)
{
    char* end = nullptr;
    errno = 0;
    const long value = text != nullptr ? std::strtol(text, &end, 10) : 0;
    if (text == nullptr || *text == '\0' || *end != '\0' || errno != 0 || value < low || value > high) {
        std::fprintf(stderr, "bench_many: %s needs a whole number from %d to %d, not '%s'\n", name, low, high,
                     text != nullptr ? text : "");
        return false;
    }
    *out = static_cast<int>(value);
    return true;
}

bool parseOptions(int argc, char** argv, Options* options)
{
    // Options come in pairs of name and number, but for --fleet.
    for (int i = 1; i < argc; i += 2) {
        const std::string_view arg = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        if (arg == "--") {
            options->extra.assign(argv + i + 1, argv + argc);
            return true;
        }
        bool ok = false;
        if (arg == "--fleet") {
            options->fleet = true;
            --i;
            continue;
        }
        if (arg == "--ser2net") {
            ok = value != nullptr && (std::string_view(value) == "rfc2217" || std::string_view(value) == "tcp");
            if (!ok)
                std::fprintf(stderr, "bench_many: --ser2net takes rfc2217 or tcp\n");
            else
                options->ser2net = value;
        } else if (arg == "--boxes")
            ok = parseNumber("--boxes", value, 1, 1000, &options->boxes);
        else if (arg == "--seconds")
            ok = parseNumber("--seconds", value, 1, 60, &options->seconds);
        else if (arg == "--tick-ms")
            ok = parseNumber("--tick-ms", value, 1, 100, &options->tickMs);
        else
            std::fprintf(stderr, "bench_many: unknown option '%s' (usage: bench_many [--boxes N] [--seconds S] "
                                 "[--tick-ms T] [--fleet | --ser2net rfc2217|tcp] [-- EXTRA CHECK ARGS])\n",
                         argv[i]);
        if (!ok)
            return false;
    }
    if (options->fleet && !options->ser2net.empty()) {
        std::fprintf(stderr, "bench_many: --fleet and --ser2net are not measured together\n");
        return false;
    }
    return true;
}

std::string replaceIndex(std::string text, int index)
{
    const std::string number = std::to_string(index);
    for (size_t at = text.find("{i}"); at != std::string::npos; at = text.find("{i}", at + number.size()))
        text.replace(at, 3, number);
    return text;
}

std::string encode(const std::vector<SimRecord>& records, const PacketOptions& options = {})
{
    std::string error;
    std::string bytes = encodePacket(records, options, &error);
    if (bytes.empty()) {
        std::fprintf(stderr, "bench_many: %s\n", error.c_str());
        std::exit(2);
    }
    return bytes;
}

// Undecided packets back to back, and once a second some line noise and a
// corrupted packet that would decide wrongly if it were believed.
std::string undecided(size_t bytes)
{
    const std::string status = encode({{"STAT", "ok"}, {"TEMP", "41"}, {"CE00", "12-"}});
    const std::string info = encode({{"INFO", "signal 87% snr 31.5 dB"}, {"TIME", "12:00:00"}});
    const std::string corrupted = "\x01\xFEjunk\r" + encode({{"SSCN", "999"}}, {.badChecksum = true});
    std::string stream;
    size_t nextNoise = LineRate;
    for (int n = 0; stream.size() < bytes; ++n) {
        stream += n % 2 == 0 ? status : info;
        if (stream.size() >= nextNoise) {
            stream += corrupted;
            nextNoise += LineRate;
        }
    }
    return stream;
}

struct Box {
    int index = 0;
    std::string expected;    // the channel its check is told to expect
    bool right = true;       // whether it sends that channel
    std::string verdictTail; // how the check's output must end
    std::string stream;
    size_t decidingEnd = 0; // bytes up to the deciding packet's last one
    size_t written = 0;
    std::unique_ptr<Pty> pty;
    std::string port; // what its check is given: the pty's path, or the server's URL for it
    pid_t starter = -1; // the go-between that reports the check's resource use
    pid_t pid = -1;     // the check
    int pidfd = -1;
    int report = -1;
    Clock::time_point decidingWrittenAt{};
    Clock::time_point exitedAt{};
    bool decidingWritten = false;
    bool exited = false;
    bool killed = false;
    int maxQueued = 0; // most unread bytes seen in its port at once
    int rawStatus = -1;
    double cpuMs = 0;
    long peakKiB = 0;
    long starterPeakKiB = 0;
    std::string outPath, errPath;
};

// Starts args[0] with its input from /dev/null, its output (and, when
// errPath is not null, its errors) into files, `report` as descriptor 3 when
// not -1, and no signal blocked: 0 or the error (reported).
int spawnWithFiles(pid_t* pid, std::vector<std::string>& args, const char* outPath, const char* errPath, int report)
{
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outPath, O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (errPath != nullptr)
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errPath, O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (report >= 0)
        posix_spawn_file_actions_adddup2(&actions, report, 3);
    // The stop signals are blocked here; the child gets them as usual.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
    const int error = posix_spawn(pid, argv[0], &actions, &attributes, argv.data(), environ);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0)
        std::fprintf(stderr, "bench_many: starting %s failed: %s\n", argv[0], std::strerror(error));
    return error;
}

// Starts the box's check through the go-between and learns the check's pid.
bool spawnCheck(Box& box, const std::vector<std::string>& extra)
{
    std::vector<std::string> args{CHILD_USAGE_PATH, checkPath(), "--feedback", box.port, "--channel", box.expected};
    for (const std::string& a : extra)
        args.push_back(replaceIndex(a, box.index));
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) {
        std::perror("bench_many: pipe");
        return false;
    }
    const int error = spawnWithFiles(&box.starter, args, box.outPath.c_str(), box.errPath.c_str(), pipeFds[1]);
    close(pipeFds[1]);
    box.report = pipeFds[0];
    if (error != 0) {
        box.starter = -1;
        return false;
    }
    box.pid = static_cast<pid_t>(std::atol(readReportLine(box.report).c_str()));
    if (box.pid <= 0)
        return false;
    // Fails only if the check has already ended and been reaped.
    box.pidfd = static_cast<int>(syscall(SYS_pidfd_open, box.pid, 0));
    box.exited = box.pidfd < 0;
    return box.pidfd >= 0;
}

// Once the check has ended: its status and resource use from the go-between.
void collect(Box& box)
{
    if (box.starter <= 0)
        return;
    long status = -1, userUs = 0, systemUs = 0;
    std::sscanf(readReportLine(box.report).c_str(), "%ld %ld %ld %ld %ld", &status, &userUs, &systemUs, &box.peakKiB,
                &box.starterPeakKiB);
    box.rawStatus = static_cast<int>(status);
    box.cpuMs = static_cast<double>(userUs + systemUs) / 1000.0;
    waitpid(box.starter, nullptr, 0);
    box.starter = -1;
    close(box.report);
    box.report = -1;
}

void markExited(Box& box, Clock::time_point at)
{
    box.exitedAt = at;
    box.exited = true;
    close(box.pidfd);
    box.pidfd = -1;
}

void killAndCollectAll(std::vector<Box>& boxes)
{
    for (Box& box : boxes) {
        if (box.pid > 0 && !box.exited)
            kill(box.pid, SIGKILL);
        else if (box.pid <= 0 && box.starter > 0)
            kill(box.starter, SIGKILL);
    }
    for (Box& box : boxes) {
        if (box.pidfd >= 0)
            markExited(box, Clock::now());
        collect(box);
    }
}

void removeFiles(const std::vector<Box>& boxes, const std::string& dir)
{
    for (const Box& box : boxes) {
        unlink(box.outPath.c_str());
        unlink(box.errPath.c_str());
    }
    for (const char* name : {"rack.boxes", "fleet.json", "fleet.xml", "fleet.out"})
        unlink((dir + "/" + name).c_str());
    rmdir(dir.c_str());
}

double ms(rusage usage)
{
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000.0 +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1000.0;
}

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// User and system time of a running process so far, in milliseconds.
double processMs(pid_t pid)
{
    const std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
    const size_t close = stat.rfind(')');
    if (close == std::string::npos)
        return 0;
    std::istringstream fields(stat.substr(close + 2));
    std::string field;
    double ticks = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i)
        if (i >= 14)
            ticks += std::atof(field.c_str());
    return ticks * 1000.0 / static_cast<double>(sysconf(_SC_CLK_TCK));
}

std::string loadAverage()
{
    std::string text = readFile("/proc/loadavg");
    const size_t third = text.find(' ', text.find(' ', text.find(' ') + 1) + 1);
    return third == std::string::npos ? text : text.substr(0, third);
}

// Busy and total time of all processors so far, from /proc/stat.
void processorTimes(double* busy, double* total)
{
    const std::string text = readFile("/proc/stat");
    std::istringstream fields(text.substr(0, text.find('\n')));
    std::string cpu;
    fields >> cpu;
    double value = 0, idle = 0;
    *total = 0;
    for (int i = 0; fields >> value; ++i) {
        *total += value;
        if (i == 3 || i == 4) // idle, waiting for I/O
            idle += value;
    }
    *busy = *total - idle;
}

std::string firstLine(const std::string& text) { return text.substr(0, text.find('\n')); }

void writeDue(Box& box, Clock::time_point start, Clock::time_point now)
{
    const auto elapsedNs = std::chrono::duration_cast<nanoseconds>(now - start).count();
    const auto due = std::min(box.stream.size(), static_cast<size_t>(elapsedNs / 1000 * LineRate / 1000000));
    if (due <= box.written || box.pty->master() < 0)
        return;
    const ssize_t n = write(box.pty->master(), box.stream.data() + box.written, due - box.written);
    if (n <= 0)
        return; // full: the clock-based schedule catches up on the next tick
    box.written += static_cast<size_t>(n);
    if (!box.decidingWritten && box.written >= box.decidingEnd) {
        box.decidingWrittenAt = Clock::now();
        box.decidingWritten = true;
    }
}


// The fleet that starts the checks, and what it used.
struct FleetRun {
    pid_t pid = -1;
    int pidfd = -1;
    Clock::time_point spawnedAt{}, setUpAt{}, exitedAt{};
    // Its own high-water mark, last seen while it ran. (Its exit status's
    // figure would be this benchmark's: a process started by posix_spawn
    // shares its starter's memory until exec, and Linux keeps that peak.)
    long peakKiB = 0;
    double ownMs = 0;     // its own CPU time
    double checksMs = 0;  // its checks' CPU time
    int status = -1;
    std::string resultPath, outPath;
};

long highWaterKiB(pid_t pid)
{
    const std::string text = readFile("/proc/" + std::to_string(pid) + "/status");
    const size_t at = text.find("VmHWM:");
    return at == std::string::npos ? 0 : std::atol(text.c_str() + at + 6);
}

// Starts quarvo-fleet on every box's port, each with its own channel.
bool spawnFleet(FleetRun& fleet, std::vector<Box>& boxes, const std::string& dir, const std::vector<std::string>& extra)
{
    std::string lab;
    for (const Box& box : boxes)
        lab.append("b").append(std::to_string(box.index)).append(" ").append(box.pty->path()).append(" ")
            .append(box.expected).append("\n");
    const std::string labPath = dir + "/rack.boxes";
    FILE* f = std::fopen(labPath.c_str(), "w");
    if (f == nullptr || std::fputs(lab.c_str(), f) < 0 || std::fclose(f) != 0)
        return false;
    fleet.resultPath = dir + "/fleet.json";
    fleet.outPath = dir + "/fleet.out";
    std::vector<std::string> args{QUARVO_FLEET_PATH, "--boxes", labPath, "--plain", "--result", fleet.resultPath,
                                  "--junit", dir + "/fleet.xml"};
    args.insert(args.end(), extra.begin(), extra.end());
    fleet.spawnedAt = Clock::now();
    if (spawnWithFiles(&fleet.pid, args, fleet.outPath.c_str(), nullptr, -1) != 0)
        return false;
    fleet.pidfd = static_cast<int>(syscall(SYS_pidfd_open, fleet.pid, 0));
    // Every check holds its port, set up, before its box speaks.
    for (Box& box : boxes)
        box.pty->waitSetUp(fleet.pid);
    fleet.setUpAt = Clock::now();
    // The checks are the fleet's children; each is known by its port.
    std::istringstream children(readFile("/proc/" + std::to_string(fleet.pid) + "/task/" +
                                         std::to_string(fleet.pid) + "/children"));
    pid_t child = 0;
    while (children >> child) {
        const std::string command = readFile("/proc/" + std::to_string(child) + "/cmdline");
        for (Box& box : boxes) {
            if (box.pid <= 0 && command.find(std::string("\0", 1) + box.pty->path() + std::string("\0", 1)) !=
                                    std::string::npos) {
                box.pid = child;
                box.pidfd = static_cast<int>(syscall(SYS_pidfd_open, child, 0));
                box.exited = box.pidfd < 0;
            }
        }
    }
    for (const Box& box : boxes) {
        if (box.pid <= 0 || box.pidfd < 0) {
            std::fprintf(stderr, "bench_many: the fleet started no check for box %d\n", box.index);
            return false;
        }
    }
    return true;
}

// Waits for the fleet's end and reads what it and its checks used, from its
// remains before they are reaped.
void collectFleet(FleetRun& fleet)
{
    if (fleet.pid <= 0)
        return;
    pollfd p{fleet.pidfd, POLLIN, 0};
    while (poll(&p, 1, 10) == 0)
        fleet.peakKiB = std::max(fleet.peakKiB, highWaterKiB(fleet.pid));
    fleet.exitedAt = Clock::now();
    siginfo_t info{};
    waitid(P_PID, static_cast<id_t>(fleet.pid), &info, WEXITED | WNOWAIT);
    // Fields 14 to 17 of /proc/PID/stat: user and system time, its own and its reaped children's.
    const std::string stat = readFile("/proc/" + std::to_string(fleet.pid) + "/stat");
    std::istringstream fields(stat.substr(stat.rfind(')') + 2));
    std::string field;
    double ticks[4] = {};
    for (int i = 3; i <= 17 && fields >> field; ++i)
        if (i >= 14)
            ticks[i - 14] = std::atof(field.c_str());
    const double msPerTick = 1000.0 / static_cast<double>(sysconf(_SC_CLK_TCK));
    fleet.ownMs = (ticks[0] + ticks[1]) * msPerTick;
    fleet.checksMs = (ticks[2] + ticks[3]) * msPerTick;
    int raw = 0;
    waitpid(fleet.pid, &raw, 0);
    fleet.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    close(fleet.pidfd);
    fleet.pid = -1;
}

// The box's object in the fleet's result says the verdict it should.
bool fleetVerdictRight(const std::string& result, const Box& box)
{
    const std::string start = "{\"name\":\"b" + std::to_string(box.index) + "\",";
    const size_t at = result.find(start);
    if (at == std::string::npos)
        return false;
    const std::string object = result.substr(at, result.find('\n', at) - at);
    const std::string sent = box.right ? box.expected : "";
    return object.find(box.right ? "\"outcome\":\"correct\"" : "\"outcome\":\"incorrect\"") != std::string::npos &&
           (!box.right || object.find("\"current_channel\":\"" + box.expected + "\"") != std::string::npos);
}

} // namespace

int main(int argc, char** argv)
{
    ensureStandardStreams();
    Options options;
    if (!parseOptions(argc, argv, &options))
        return 2;
    const int n = options.boxes;

    // A pseudo-terminal pair and a process handle for every box.
    rlimit files{};
    getrlimit(RLIMIT_NOFILE, &files);
    const rlim_t needed = static_cast<rlim_t>(3 * n + 64);
    if (files.rlim_cur < needed) {
        files.rlim_cur = std::min(needed, files.rlim_max);
        setrlimit(RLIMIT_NOFILE, &files);
        if (files.rlim_cur < needed) {
            std::fprintf(stderr, "bench_many: %d boxes need %lu open files, the limit is %lu\n", n,
                         static_cast<unsigned long>(needed), static_cast<unsigned long>(files.rlim_cur));
            return 2;
        }
    }

    // Stop signals only interrupt the wait, so that every child is reaped
    // and every file removed however the run ends.
    sigset_t stopSignals, waitMask;
    sigemptyset(&stopSignals);
    for (const int s : {SIGINT, SIGTERM, SIGHUP})
        sigaddset(&stopSignals, s);
    sigprocmask(SIG_BLOCK, &stopSignals, &waitMask);
    sigdelset(&waitMask, SIGINT);
    sigdelset(&waitMask, SIGTERM);
    sigdelset(&waitMask, SIGHUP);
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    for (const int s : {SIGINT, SIGTERM, SIGHUP})
        sigaction(s, &action, nullptr);

    // The driver stands for the boxes' hardware, which sends on time however
    // busy the host is: it runs ahead of the checks where allowed (root), and
    // its children start at the normal priority.
    sched_param normal{};
    const bool ahead = sched_setscheduler(0, SCHED_OTHER | SCHED_RESET_ON_FORK, &normal) == 0 &&
                       setpriority(PRIO_PROCESS, 0, -10) == 0;

    char dirTemplate[] = "/tmp/bench_many-XXXXXX";
    if (mkdtemp(dirTemplate) == nullptr) {
        std::perror("bench_many: mkdtemp");
        return 2;
    }
    const std::string dir = dirTemplate;

    std::vector<Box> boxes(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) {
        Box& box = boxes[static_cast<size_t>(i)];
        box.index = i;
        box.expected = std::to_string(100 + i);
        // Every fourth box is on a channel no check expects: both verdicts are
        // exercised, and a deciding packet reaching the wrong check shows.
        box.right = i % 4 != 3;
        const std::string sent = box.right ? box.expected : std::to_string(100 + n + i);
        box.verdictTail = box.right ? "Current channel '" + sent + "' [correct]\n"
                                    : "Current channel '" + sent + "' [incorrect]\nFailed\n";
        const double before = options.seconds + DecidingSpreadSeconds * i / n;
        box.stream = undecided(static_cast<size_t>(before * LineRate)) + encode({{"SSCN", sent}});
        box.decidingEnd = box.stream.size();
        box.stream += undecided(static_cast<size_t>(TrailerSeconds * LineRate));
        box.pty = std::make_unique<Pty>();
        box.port = box.pty->path();
        box.outPath = dir + "/out" + std::to_string(i);
        box.errPath = dir + "/err" + std::to_string(i);
    }

    // One server for every box, as one per rack.
    std::unique_ptr<Ser2net> server;
    if (!options.ser2net.empty()) {
        if (ser2netPath().empty()) {
            std::fprintf(stderr, "bench_many: ser2net is not installed (setup/packages.sh installs it)\n");
            removeFiles(boxes, dir);
            return 3;
        }
        std::vector<std::string> devices;
        for (const Box& box : boxes)
            devices.push_back(box.pty->path());
        server = std::make_unique<Ser2net>(devices, options.ser2net == "rfc2217" ? Ser2net::Mode::Telnet
                                                                                  : Ser2net::Mode::Raw);
        if (!server->start()) {
            std::fprintf(stderr, "bench_many: ser2net did not start: %s\n", firstLine(server->log()).c_str());
            removeFiles(boxes, dir);
            return 3;
        }
        for (Box& box : boxes)
            box.port = server->url(static_cast<size_t>(box.index));
    }

    const std::string loadBefore = loadAverage();
    // Every check must hold its port before its box speaks.
    int endedEarly = -1;
    FleetRun fleet;
    if (options.fleet && !spawnFleet(fleet, boxes, dir, options.extra)) {
        if (fleet.pid > 0)
            kill(fleet.pid, SIGTERM);
        collectFleet(fleet);
        killAndCollectAll(boxes);
        removeFiles(boxes, dir);
        return 3;
    }
    for (Box& box : boxes) {
        if (options.fleet)
            break;
        if (!spawnCheck(box, options.extra)) {
            endedEarly = box.index;
            break;
        }
    }
    for (Box& box : boxes) {
        if (endedEarly >= 0 || options.fleet)
            break;
        // Through the server: its device is open once the check's
        // connection was taken.
        waitUntilOpened(server ? server->pid() : box.pid, box.pty->path());
        pollfd p{box.pidfd, POLLIN, 0};
        if (poll(&p, 1, 0) == 1)
            endedEarly = box.index;
    }
    if (endedEarly >= 0) {
        killAndCollectAll(boxes);
        const Box& box = boxes[static_cast<size_t>(endedEarly)];
        std::fprintf(stderr, "bench_many: check %d ended before opening its port: %s\n", endedEarly,
                     firstLine(readFile(box.errPath)).c_str());
        removeFiles(boxes, dir);
        return 3;
    }

    rusage selfBefore{};
    getrusage(RUSAGE_SELF, &selfBefore);
    double busyBefore = 0, totalBefore = 0;
    processorTimes(&busyBefore, &totalBefore);
    const double serverBefore = server ? processMs(server->pid()) : 0;
    const auto start = Clock::now();
    const int groups = std::min(PhaseGroups, n);
    const auto subTick = std::chrono::duration_cast<Clock::duration>(std::chrono::milliseconds(options.tickMs)) / groups;
    auto nextTick = start;
    const auto hardLimit = start + std::chrono::seconds(options.seconds + 1) + KillAfter + std::chrono::seconds(5);
    int group = 0;
    int running = n;
    int closed = 0;
    std::vector<pollfd> waits;
    std::vector<Box*> waiting;
    while (running > 0 && stopSignal == 0) {
        auto now = Clock::now();
        if (now >= nextTick) {
            for (size_t i = static_cast<size_t>(group); i < boxes.size(); i += static_cast<size_t>(groups))
                if (!boxes[i].exited)
                    writeDue(boxes[i], start, now);
            if (group == 0) {
                for (Box& box : boxes) {
                    int queued = 0;
                    if (!box.exited && ioctl(box.pty->slave(), FIONREAD, &queued) == 0)
                        box.maxQueued = std::max(box.maxQueued, queued);
                    // A check that stops reading never gets its deciding packet.
                    if (!box.exited && !box.killed && now > hardLimit) {
                        kill(box.pid, SIGKILL);
                        box.killed = true;
                    }
                    if (box.exited || !box.decidingWritten)
                        continue;
                    // A check that missed its verdict sees its port end, then is killed.
                    if (now - box.decidingWrittenAt > ClosePortAfter && box.pty->master() >= 0) {
                        box.pty->closeMaster();
                        ++closed;
                    }
                    if (now - box.decidingWrittenAt > KillAfter && !box.killed) {
                        kill(box.pid, SIGKILL);
                        box.killed = true;
                    }
                }
            }
            group = (group + 1) % groups;
            nextTick += subTick;
            if (now - nextTick > subTick * groups)
                nextTick = now + subTick; // fallen behind: no burst of catching up
        }
        waits.clear();
        waiting.clear();
        for (Box& box : boxes) {
            if (!box.exited) {
                waits.push_back({box.pidfd, POLLIN, 0});
                waiting.push_back(&box);
            }
        }
        now = Clock::now();
        const auto left = std::max(nanoseconds(0), std::chrono::duration_cast<nanoseconds>(nextTick - now));
        const timespec timeout{static_cast<time_t>(left.count() / 1000000000), static_cast<long>(left.count() % 1000000000)};
        if (ppoll(waits.data(), waits.size(), &timeout, &waitMask) <= 0)
            continue;
        const auto seen = Clock::now();
        for (size_t i = 0; i < waits.size(); ++i) {
            if (waits[i].revents != 0) {
                markExited(*waiting[i], seen);
                --running;
            }
        }
    }
    if (stopSignal != 0) {
        if (fleet.pid > 0)
            kill(fleet.pid, SIGKILL);
        collectFleet(fleet);
        killAndCollectAll(boxes);
        removeFiles(boxes, dir);
        std::fprintf(stderr, "bench_many: stopped by signal %d; every check ended and reaped\n",
                     static_cast<int>(stopSignal));
        return 128 + static_cast<int>(stopSignal);
    }
    const double serverMs = server ? processMs(server->pid()) - serverBefore : 0;
    rusage selfAfter{};
    getrusage(RUSAGE_SELF, &selfAfter);
    double busyAfter = 0, totalAfter = 0;
    processorTimes(&busyAfter, &totalAfter);
    for (Box& box : boxes)
        collect(box);
    collectFleet(fleet);
    const std::string fleetResult = options.fleet ? readFile(fleet.resultPath) : std::string();

    int wrong = 0;
    double cpuMs = 0;
    double boxSeconds = 0;
    std::vector<double> rssMiB, starterMiB, latencyMs;
    Clock::time_point lastExit = start;
    int maxQueued = 0, full = 0;
    const long cores = std::max(1L, sysconf(_SC_NPROCESSORS_ONLN));
    for (Box& box : boxes) {
        const int status = box.rawStatus < 0          ? -1
                           : WIFEXITED(box.rawStatus) ? WEXITSTATUS(box.rawStatus)
                                                      : 128 + WTERMSIG(box.rawStatus);
        const std::string out = readFile(box.outPath);
        const bool tailRight = out.size() >= box.verdictTail.size() &&
                               out.compare(out.size() - box.verdictTail.size(), std::string::npos, box.verdictTail) == 0;
        const bool right = options.fleet ? fleetVerdictRight(fleetResult, box)
                                         : status == (box.right ? 0 : 1) && tailRight;
        if (!right || !box.decidingWritten) {
            if (++wrong <= 5)
                std::fprintf(stderr, "box %d: status %d, output ends '%s', error output '%s'\n", box.index, status,
                             out.substr(out.size() > 60 ? out.size() - 60 : 0).c_str(),
                             firstLine(readFile(box.errPath)).c_str());
        }
        cpuMs += box.cpuMs;
        boxSeconds += seconds(box.exitedAt - start);
        lastExit = std::max(lastExit, box.exitedAt);
        maxQueued = std::max(maxQueued, box.maxQueued);
        full += box.maxQueued >= FullQueue ? 1 : 0;
        rssMiB.push_back(static_cast<double>(box.peakKiB) / 1024.0);
        starterMiB.push_back(static_cast<double>(box.starterPeakKiB) / 1024.0);
        if (box.decidingWritten && !box.killed)
            latencyMs.push_back(seconds(box.exitedAt - box.decidingWrittenAt) * 1000.0);
    }
    removeFiles(boxes, dir);
    if (options.fleet) {
        cpuMs = fleet.checksMs;
        // Every fourth box is on a wrong channel: the rack answered otherwise.
        if (fleet.status != (n >= 4 ? 1 : 0)) {
            std::fprintf(stderr, "quarvo-fleet ended with status %d\n", fleet.status);
            ++wrong;
        }
    }

    std::string extra;
    for (const std::string& a : options.extra)
        extra += " " + a;
    std::printf("%d boxes at %ld bytes/s each, deciding after %d-%.0f s, ports written every %d ms%s; extra check "
                "arguments:%s\n",
                n, LineRate, options.seconds, options.seconds + DecidingSpreadSeconds, options.tickMs,
                options.ser2net.empty() ? "" : (", through one ser2net (" + options.ser2net + "://)").c_str(),
                extra.empty() ? " none" : extra.c_str());
    if (!ahead)
        std::printf("  (the driver could not raise its priority: under load the boxes fall behind the line rate)\n");
    std::printf("  wrong verdicts: %d of %d (target 0)", wrong, n);
    if (closed > 0)
        std::printf("; %d of them had no verdict %lld s after the deciding packet", closed,
                    static_cast<long long>(ClosePortAfter.count()));
    std::printf("\n");
    std::printf("  CPU time per box-second: %.2f ms (target <= 10 ms); this driver's own: %.2f ms\n",
                cpuMs / boxSeconds, (ms(selfAfter) - ms(selfBefore)) / boxSeconds);
    if (server)
        std::printf("  ser2net's own CPU time per box-second: %.2f ms (clock ticks of %.0f ms)\n", serverMs / boxSeconds,
                    1000.0 / static_cast<double>(sysconf(_SC_CLK_TCK)));
    std::printf("  the %ld processors were %.0f %% busy, the checks' own share %.0f %%; most bytes waiting in a port: "
                "%d, %d ports full (their check over %.1f s behind)\n",
                cores, 100.0 * (busyAfter - busyBefore) / std::max(1.0, totalAfter - totalBefore),
                100.0 * cpuMs / (1000.0 * seconds(lastExit - start) * static_cast<double>(cores)), maxQueued, full,
                static_cast<double>(FullQueue) / LineRate);
    if (options.fleet) {
        std::printf("  quarvo-fleet: all %d checks set up %.0f ms after it was started; it ended %.0f ms after the "
                    "last verdict (target <= 500 ms): %.2f s from its start, the slowest box's verdict %.2f s\n",
                    n, seconds(fleet.setUpAt - fleet.spawnedAt) * 1000.0, seconds(fleet.exitedAt - lastExit) * 1000.0,
                    seconds(fleet.exitedAt - fleet.spawnedAt), seconds(lastExit - fleet.spawnedAt));
        std::printf("  quarvo-fleet's own CPU time: %.0f ms, %.1f %% of its checks' %.0f ms (target <= 10 %%; "
                    "clock ticks of %.0f ms)\n",
                    fleet.ownMs, 100.0 * fleet.ownMs / std::max(1.0, fleet.checksMs), fleet.checksMs,
                    1000.0 / static_cast<double>(sysconf(_SC_CLK_TCK)));
        std::printf("  quarvo-fleet's peak resident memory: %.2f MiB (target < 8 MiB; its high-water mark, read every "
                    "10 ms until it ended)\n",
                    static_cast<double>(fleet.peakKiB) / 1024.0);
    } else {
        std::printf("  peak resident memory per check: median %.2f MiB, max %.2f MiB (target < 3 MiB; "
                    "the figure cannot be below the %.2f MiB of the process that starts it)\n",
                    quantile(rssMiB, 0.5), quantile(rssMiB, 1.0), quantile(starterMiB, 1.0));
    }
    std::printf("  verdict latency after the deciding packet's last byte: median %.2f ms, p99 %.2f ms, max %.2f ms "
                "(target p99 < 15 ms)\n",
                quantile(latencyMs, 0.5), quantile(latencyMs, 0.99), quantile(latencyMs, 1.0));
    std::printf("  load average before: %s, after: %s\n", loadBefore.c_str(), loadAverage().c_str());
    return wrong == 0 ? 0 : 1;
}
