// Verdict latency through a serial server against a local port, side by
// side in one run: the time from the deciding packet's last byte written on
// the box's side to the check's end, for a local pseudo-terminal and for the
// same pseudo-terminal behind ser2net (rfc2217:// and tcp://), with
// ser2net's batching off (chardelay: false) and on (its default).
//
//   bench_remote [--rounds N]
//
// Each round is a fresh check, set up and reading (an undecided packet it
// took is in its capture) before the deciding packet is written.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <poll.h>
#include <string>
#include <string_view>
#include <sys/syscall.h>
#include <unistd.h>
#include <vector>

#include "bench_support.h"
#include "capture.h"
#include "capture_support.h"
#include "packet.h"
#include "pty_support.h"
#include "ser2net_support.h"

namespace {

using Clock = std::chrono::steady_clock;

std::string encode(const std::vector<SimRecord>& records)
{
    std::string error;
    std::string bytes = encodePacket(records, {}, &error);
    if (bytes.empty()) {
        std::fprintf(stderr, "bench_remote: %s\n", error.c_str());
        std::exit(2);
    }
    return bytes;
}

// Whether the capture already holds `bytes`.
bool captured(const std::string& path, const std::string& bytes)
{
    const std::string text = readFile(path);
    size_t badLine = 0;
    const char* why = nullptr;
    const auto log = parseCapture(text, &badLine, &why);
    if (log == nullptr)
        return false;
    std::string all;
    for (size_t i = 0; i < log->count; ++i)
        all.append(log->chunks[i].bytes, log->chunks[i].size);
    return all.find(bytes) != std::string::npos;
}

bool holds(pid_t pid, const std::string& path)
{
    const std::string dir = "/proc/" + std::to_string(pid) + "/fd/";
    for (int fd = 0; fd < 64; ++fd) {
        char target[256];
        const ssize_t n = readlink((dir + std::to_string(fd)).c_str(), target, sizeof target - 1);
        if (n > 0 && std::string_view(target, static_cast<size_t>(n)) == path)
            return true;
    }
    return false;
}

struct Setup {
    const char* name;
    bool remote;
    Ser2net::Mode mode;
    bool charDelay;
};

// Latencies in milliseconds, one a round; empty after a failure (reported).
std::vector<double> measure(const Setup& setup, int rounds)
{
    Pty pty;
    std::unique_ptr<Ser2net> server;
    if (setup.remote) {
        server = std::make_unique<Ser2net>(pty.path(), setup.mode, false, setup.charDelay);
        if (!server->start()) {
            std::fprintf(stderr, "bench_remote: ser2net did not start: %s\n", server->log().c_str());
            return {};
        }
    }
    const std::string warmUp = encode({{"STAT", "ok"}, {"TEMP", "41"}});
    const std::string deciding = encode({{"SSCN", "101"}});
    const std::string capture = tempPath("bench-remote-capture");
    std::vector<double> latencies;
    for (int round = 0; round < rounds; ++round) {
        const std::string port = server ? server->url() : pty.path();
        Child check({checkPath(), "--feedback", port, "--channel", "101", "--timeout", "30", "--capture", capture});
        if (server)
            waitUntilOpened(server->pid(), pty.path());
        else
            pty.waitSetUp(check.pid());
        // Reading: the undecided packet reached the capture (within its
        // second of quiet), so the connection and its settings are done.
        if (!pty.write(warmUp) || !waitUntil([&] { return captured(capture, warmUp) || !check.running(); })) {
            std::fprintf(stderr, "bench_remote: %s: the check never read its port\n", setup.name);
            return {};
        }
        const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, check.pid(), 0));
        const auto written = Clock::now();
        pty.write(deciding);
        pollfd ended{pidfd, POLLIN, 0};
        poll(&ended, 1, 30000);
        const auto at = Clock::now();
        close(pidfd);
        const ChildResult r = check.wait();
        if (r.status != 0) {
            std::fprintf(stderr, "bench_remote: %s: status %d: %s%s\n", setup.name, r.status, r.out.c_str(),
                         r.err.c_str());
            return {};
        }
        latencies.push_back(std::chrono::duration<double, std::milli>(at - written).count());
        // The server lets go of the device before the next client comes.
        if (server)
            waitUntil([&] { return !holds(server->pid(), pty.path()); }, std::chrono::seconds(10));
    }
    unlink(capture.c_str());
    return latencies;
}

} // namespace

int main(int argc, char** argv)
{
    int rounds = 15;
    if (argc == 3 && std::string_view(argv[1]) == "--rounds")
        rounds = std::atoi(argv[2]);
    if (rounds < 1 || rounds > 1000 || (argc != 1 && argc != 3)) {
        std::fprintf(stderr, "usage: bench_remote [--rounds N (1 to 1000)]\n");
        return 2;
    }
    const Setup setups[] = {
        {"local pty", false, Ser2net::Mode::Raw, false},
        {"rfc2217://, chardelay: false", true, Ser2net::Mode::Telnet, false},
        {"tcp://, chardelay: false", true, Ser2net::Mode::Raw, false},
        {"rfc2217://, ser2net's default batching", true, Ser2net::Mode::Telnet, true},
        {"tcp://, ser2net's default batching", true, Ser2net::Mode::Raw, true},
    };
    const bool haveServer = !ser2netPath().empty();
    std::printf("verdict latency after the deciding packet's last byte, %d checks each (target: through ser2net "
                "with chardelay: false, median within 1 ms of the local pty's)\n",
                rounds);
    int failed = 0;
    double localMedian = 0;
    for (const Setup& setup : setups) {
        if (setup.remote && !haveServer) {
            std::printf("  %-40s skipped: ser2net is not installed\n", setup.name);
            continue;
        }
        const std::vector<double> ms = measure(setup, rounds);
        if (ms.empty()) {
            ++failed;
            continue;
        }
        const double median = quantile(ms, 0.5);
        if (!setup.remote)
            localMedian = median;
        std::printf("  %-40s median %6.2f ms, p90 %6.2f ms, max %6.2f ms", setup.name, median, quantile(ms, 0.9),
                    quantile(ms, 1.0));
        if (setup.remote)
            std::printf("  (%+.2f ms against the local pty)", median - localMedian);
        std::printf("\n");
    }
    return failed == 0 ? 0 : 1;
}
