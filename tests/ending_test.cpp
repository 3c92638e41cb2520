// Every way out leaves the files whole and the box untouched: targets that
// take nothing, file options naming the port or one another, captures
// that must not outlive their run.
#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <map>
#include <regex>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "packets.h"
#include "pty_support.h"

namespace {

const std::string Monitor = QUARVO_MONITOR_PATH;
const std::string Term = QUARVO_TERM_PATH;

// Gives the port `bytes` as fast as its queue takes them, never blocking on
// a reader that has stopped; false if they were not all taken in time.
bool feed(Pty& pty, std::string_view bytes, std::chrono::milliseconds limit = std::chrono::seconds(5))
{
    return waitUntil(
        [&] {
            const ssize_t n = write(pty.master(), bytes.data(), bytes.size());
            if (n > 0)
                bytes.remove_prefix(static_cast<size_t>(n));
            return bytes.empty();
        },
        limit);
}

std::string repeated(const std::string& piece, size_t times)
{
    std::string all;
    for (size_t i = 0; i < times; ++i)
        all += piece;
    return all;
}

// A FIFO with a reader (the test) that never reads.
struct StuckFifo {
    std::string path = tempPath("stuck-fifo");
    int reader = -1;
    StuckFifo()
    {
        unlink(path.c_str());
        if (mkfifo(path.c_str(), 0600) != 0)
            std::abort();
        reader = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    }
    ~StuckFifo()
    {
        close(reader);
        unlink(path.c_str());
    }
};

// Gives the port lines of garbage (each one shown or reported) until
// process `pid` is blocked writing them into its full output pipe.
bool feedUntilBlockedWriting(Pty& pty, pid_t pid)
{
    const std::string line = std::string(60, 'g') + "\n";
    return waitUntil(
        [&] {
            if (readFile("/proc/" + std::to_string(pid) + "/wchan").find("pipe_write") != std::string::npos)
                return true;
            static_cast<void>(write(pty.master(), line.data(), line.size())); // the master does not block
            return false;
        },
        std::chrono::seconds(5));
}

std::vector<std::string> substituted(std::vector<std::string> args, const std::map<std::string, std::string>& names)
{
    for (std::string& a : args) {
        if (const auto found = names.find(a); found != names.end())
            a = found->second;
    }
    return args;
}

void writeText(const std::string& path, const std::string& text)
{
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_EQ(write(fd, text.data(), text.size()), ssize_t(text.size()));
    close(fd);
}

bool exists(const std::string& path)
{
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}

// A capture nobody reads holds no command past a signal or the deadline:
// what it did not take is dropped, reported and counted.
TEST(Ending, CaptureNobodyReadsNeverHoldsACommand)
{
    struct Case {
        const char* what;
        std::vector<std::string> args;
        int signo; // 0: ends by its deadline
        int status;
        std::string outcome; // in the result, when there is one
    };
    const std::vector<std::string> check{checkPath(), "--feedback", "{port}", "--channel", "101",
                                         "--capture", "{fifo}",     "--result", "{result}"};
    auto withTimeout = check;
    withTimeout.insert(withTimeout.end(), {"--timeout", "2"});
    const std::vector<Case> cases{
        {"check, SIGTERM", check, SIGTERM, 128 + SIGTERM, "interrupted"},
        {"check, deadline", withTimeout, 0, 1, "no-answer"},
        {"monitor, SIGTERM", {Monitor, "{port}", "--capture", "{fifo}"}, SIGTERM, 0, ""},
        {"terminal, SIGTERM", {Term, "{port}", "--capture", "{fifo}"}, SIGTERM, 128 + SIGTERM, ""},
    };
    // Undecided packets: several times what a pipe and the capture hold.
    const std::string flood = repeated(packet({{"XXXX", "1"}}), 25000);
    for (const Case& c : cases) {
        Pty pty;
        StuckFifo fifo;
        const std::string result = tempPath("stuck-result");
        int keys[2]; // a keyboard that stays open, for the terminal
        ASSERT_EQ(pipe2(keys, O_CLOEXEC), 0);
        Child child(substituted(c.args, {{"{port}", pty.path()}, {"{fifo}", fifo.path}, {"{result}", result}}),
                    keys[0]);
        pty.waitSetUp(child.pid());
        feed(pty, flood);
        if (c.signo != 0)
            kill(child.pid(), c.signo);
        const ChildResult r = child.wait(std::chrono::seconds(10));
        close(keys[0]);
        close(keys[1]);
        EXPECT_EQ(r.status, c.status) << c.what;
        EXPECT_TRUE(std::regex_search(r.err, std::regex(": capture " + fifo.path +
                                                        ": [1-9][0-9]* bytes dropped: the file did not take them in time\n")))
            << c.what << ": " << r.err;
        if (!c.outcome.empty()) {
            const std::string json = readFile(result);
            EXPECT_NE(json.find("\"outcome\":\"" + c.outcome + "\""), std::string::npos) << json;
            EXPECT_TRUE(std::regex_search(json, std::regex("\"capture_dropped_bytes\":[1-9][0-9]*,"))) << json;
        }
        unlink(result.c_str());
    }
}

// A capture whose reader reads again, slowly, loses nothing to the end a
// signal brings: what the file had not taken by then is waited for while it
// takes it, so every byte dropped is one the file marks.
TEST(Ending, CaptureStillReadAfterASignalLosesNothingMore)
{
    const std::vector<std::vector<std::string>> commands{
        {checkPath(), "--feedback", "{port}", "--channel", "101", "--capture", "{fifo}"},
        {Monitor, "{port}", "--capture", "{fifo}"},
        {Term, "{port}", "--capture", "{fifo}"},
    };
    const std::string flood = repeated(packet({{"XXXX", "1"}}), 25000);
    for (const auto& command : commands) {
        Pty pty;
        StuckFifo fifo;
        int keys[2]; // a keyboard that stays open, for the terminal
        ASSERT_EQ(pipe2(keys, O_CLOEXEC), 0);
        Child child(substituted(command, {{"{port}", pty.path()}, {"{fifo}", fifo.path}}), keys[0]);
        pty.waitSetUp(child.pid()); // the capture is open by then
        // The file full (and bytes dropped) when the signal comes; read from then on.
        feed(pty, flood);
        kill(child.pid(), SIGTERM);
        fcntl(fifo.reader, F_SETFL, 0);
        std::string text;
        std::thread reader([&] { // slow: a few bytes a read, to the end
            char block[16];
            for (ssize_t n; (n = read(fifo.reader, block, sizeof block)) > 0;)
                text.append(block, static_cast<size_t>(n));
        });
        const ChildResult r = child.wait(std::chrono::seconds(10));
        reader.join();
        close(keys[0]);
        close(keys[1]);
        uint64_t marked = 0;
        const std::regex mark("# dropped ([0-9]+) bytes\n");
        for (std::sregex_iterator m(text.begin(), text.end(), mark), end; m != end; ++m)
            marked += std::stoull((*m)[1]);
        std::smatch said;
        const uint64_t reported = std::regex_search(r.err, said, std::regex(" ([0-9]+) bytes dropped: "))
                                      ? std::stoull(said[1])
                                      : 0;
        EXPECT_EQ(reported, marked) << command[0] << ": " << r.err;
    }
}

// Output or a log nobody takes is let go at the deadline, and the loss is
// reported where the caller sees it.
TEST(Ending, OutputNobodyTakesIsLetGoAtTheDeadline)
{
    for (const bool toLog : {false, true}) {
        Pty pty;
        StuckFifo fifo;
        int out[2];
        ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
        // The test's own writer of the FIFO tells when it is full.
        const int fifoWriter = open(fifo.path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        const std::string result = tempPath("stuck-output-result");
        std::vector<std::string> argv{checkPath(), "--feedback", pty.path(), "--channel", "101",
                                      "--timeout",  "3",         "--result", result};
        if (toLog)
            argv.insert(argv.end(), {"--log", fifo.path});
        Child child(argv, -1, -1, toLog ? -1 : out[1]);
        pty.waitSetUp(child.pid());
        EXPECT_TRUE(feedUntilOutputStuck(pty, child, toLog ? fifoWriter : out[1]));
        const ChildResult r = child.wait(std::chrono::seconds(10));
        close(fifoWriter);
        close(out[0]);
        close(out[1]);
        EXPECT_EQ(r.status, 1) << toLog;
        EXPECT_EQ(r.err, checkPath() + ": " + (toLog ? "the log " + fifo.path : std::string("the output")) +
                             " was not taken in time: the rest of it is lost\n");
        const std::string json = readFile(result);
        EXPECT_NE(json.find(R"("outcome":"no-answer")"), std::string::npos) << json;
        EXPECT_NE(json.find(R"("output_error":"not taken in time",)"), std::string::npos) << json;
        unlink(result.c_str());
    }
}

// Everything the box's side of a pseudo-terminal has received so far.
std::string receivedBy(const Pty& pty)
{
    std::string all;
    char piece[4096];
    for (ssize_t n; (n = read(pty.master(), piece, sizeof piece)) > 0;)
        all.append(piece, static_cast<size_t>(n));
    return all;
}

// A log on a terminal may be the box's port under any name, now or once a
// link appears: refused when it is opened, so the box never receives a
// line, not even a usage text, and the status is a failed log's.
TEST(Ending, LogOnATerminalIsRefused)
{
    struct Case {
        std::vector<std::string> args;
        std::string log;
        int status;
    };
    const std::vector<Case> cases{
        {{"--feedback", "{port}", "--channel", "101", "--log", "{port}", "--result", "{result}"}, "{port}", 1},
        {{"--feedback", "{port}", "--channel", "101", "--log", "{link}", "--distinct-status"}, "{link}", 2},
        {{"--feedback", "{port}", "--channel", "101", "--log", "{other}"}, "{other}", 1},
        // A port that is not there yet is not waited for.
        {{"--feedback", "{later}", "--channel", "101", "--reconnect", "--log", "{port}"}, "{port}", 1},
        // Usage errors after the log, or before the port is named.
        {{"--feedback", "{port}", "--channel", "101", "--log", "{port}", "--timeout", "0"}, "{port}", 1},
        {{"--feedback", "{port}", "--channel", "101", "--log", "{port}", "--bogus"}, "{port}", 1},
        {{"--feedback", "{port}", "--channel", "101", "--log", "{port}", "--timeout"}, "{port}", 1},
        {{"--feedback", "{port}", "--log", "{port}", "--timeout", "5"}, "{port}", 1},
        {{"--log", "{port}", "--bogus", "--feedback", "{port}", "--channel", "101"}, "{port}", 1},
    };
    for (const Case& c : cases) {
        Pty port;
        Pty other;
        const std::string link = tempPath("port-link");
        const std::string later = tempPath("later-port");
        const std::string result = tempPath("log-tty-result");
        unlink(link.c_str());
        unlink(later.c_str());
        unlink(result.c_str());
        ASSERT_EQ(symlink(port.path().c_str(), link.c_str()), 0);
        const std::map<std::string, std::string> names{
            {"{port}", port.path()}, {"{other}", other.path()}, {"{link}", link}, {"{later}", later},
            {"{result}", result}};
        std::vector<std::string> argv{checkPath()};
        for (const std::string& a : substituted(c.args, names))
            argv.push_back(a);
        Child child(argv);
        const ChildResult r = child.wait(std::chrono::seconds(10));
        const std::string log = names.at(c.log);
        EXPECT_EQ(r.status, c.status) << log;
        EXPECT_EQ(r.err, "opening log file " + log + " for writing failed: a terminal may be the box's port\n");
        EXPECT_EQ(receivedBy(port), "") << log;
        EXPECT_EQ(receivedBy(other), "") << log;
        if (c.args.back() == "{result}") {
            EXPECT_NE(readFile(result).find(R"("outcome":"log-failed")"), std::string::npos) << log;
        }
        unlink(result.c_str());
        unlink(link.c_str());
    }
}

// Two file options naming one file are refused before anything is opened
// or replaced; neither file changes.
TEST(Ending, FileOptionsNamingOneFileAreRefused)
{
    const std::string dir = tempPath("shared-files");
    unlink(dir.c_str());
    ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
    const std::string file = dir + "/file";
    const std::string link = dir + "/link";
    const std::string fresh = dir + "/fresh";
    ASSERT_EQ(symlink(file.c_str(), link.c_str()), 0);
    struct Case {
        std::string first, firstName, second, secondName;
    };
    const std::vector<Case> cases{
        {"--log", file, "--capture", file},
        {"--log", file, "--result", link},
        {"--capture", link, "--result", file},
        // Not there yet: the same folder and name.
        {"--capture", fresh, "--result", dir + "/../" + dir.substr(5) + "/fresh"},
    };
    for (const bool distinct : {false, true}) {
        for (const Case& c : cases) {
            writeText(file, "earlier\n");
            std::vector<std::string> args{c.first, c.firstName, "--feedback", "{port}", "--channel", "101",
                                          c.second, c.secondName};
            if (distinct)
                args.push_back("--distinct-status");
            const ChildResult r = runCheck(args, packet({{"SSCN", "101"}}));
            EXPECT_EQ(r.status, distinct ? 2 : 1) << c.first << c.second;
            EXPECT_EQ(r.err, checkPath() + ": " + c.first + " " + c.firstName + " and " + c.second + " " +
                                 c.secondName + " are the same file\n");
            EXPECT_EQ(readFile(file), "earlier\n") << c.first << c.second;
            EXPECT_FALSE(exists(fresh));
        }
    }
    unlink(link.c_str());
    unlink(file.c_str());
    rmdir(dir.c_str());
}

// A log FIFO nobody reads is a log that cannot be opened, not a hang.
TEST(Ending, LogFifoWithoutAReaderIsRefusedAtOnce)
{
    const std::string fifo = tempPath("log-fifo");
    unlink(fifo.c_str());
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::string result = tempPath("log-fifo-result");
    Child child({checkPath(), "--log", fifo, "--feedback", "/dev/null", "--channel", "1", "--result", result});
    const ChildResult r = child.wait(std::chrono::seconds(10));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "opening log file " + fifo + " for writing failed: No such device or address\n");
    EXPECT_NE(readFile(result).find(R"("outcome":"log-failed")"), std::string::npos);
    unlink(result.c_str());
    unlink(fifo.c_str());
}

// A run that never reads its port still replaces an old capture.
TEST(Ending, OldCaptureIsReplacedEvenWhenThePortNeverOpens)
{
    const std::vector<std::vector<std::string>> commands{
        {checkPath(), "--feedback", "/nonexistent", "--channel", "101", "--capture", "{capture}"},
        {checkPath(), "--feedback", "/nonexistent", "--channel", "101", "--reconnect", "--timeout", "1", "--capture",
         "{capture}"},
        {Monitor, "/nonexistent", "--capture", "{capture}"},
    };
    for (const auto& command : commands) {
        const std::string capture = tempPath("stale-capture");
        writeText(capture, "# quarvo-capture 1\n0.000000 stale\n");
        Child child(substituted(command, {{"{capture}", capture}}));
        EXPECT_EQ(child.wait().status, 1);
        EXPECT_EQ(readFile(capture), "# quarvo-capture 1\n# port /nonexistent\n# line 57600 8N1\n") << command[0];
        unlink(capture.c_str());
    }
}

// One packet, then silence: its line is on disk within a second or so, so
// a harness's SIGKILL loses nothing.
TEST(Ending, CheckCaptureReachesTheDiskWhileThePortIsSilent)
{
    const std::string capture = tempPath("silent-capture");
    Pty pty;
    Child child({checkPath(), "--feedback", pty.path(), "--channel", "101", "--capture", capture});
    pty.waitSetUp(child.pid());
    pty.write(packet({{"XXXX", "1"}}), child.pid());
    EXPECT_TRUE(waitUntil([&] { return readFile(capture).find(" \\x0A013XXXX0081C7\n") != std::string::npos; },
                          std::chrono::seconds(4)));
    EXPECT_TRUE(child.running());
}

// A write cut short by an ending signal loses what it held: reported as
// output let go is.
TEST(Ending, OutputLostToASignalIsReported)
{
    const struct {
        std::string program;
        int status;
    } cases[] = {{Monitor, 0}, {Term, 128 + SIGTERM}};
    for (const auto& c : cases) {
        Pty pty;
        int out[2];
        int keys[2]; // a keyboard that stays open, for the terminal
        ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
        ASSERT_EQ(pipe2(keys, O_CLOEXEC), 0);
        Child child({c.program, pty.path()}, keys[0], -1, out[1]);
        pty.waitSetUp(child.pid());
        EXPECT_TRUE(feedUntilBlockedWriting(pty, child.pid())) << c.program;
        kill(child.pid(), SIGTERM);
        const ChildResult r = child.wait(std::chrono::seconds(10));
        for (const int fd : {out[0], out[1], keys[0], keys[1]})
            close(fd);
        EXPECT_EQ(r.status, c.status) << c.program;
        EXPECT_NE(r.err.find(c.program + ": the output was not taken in time: the rest of it is lost\n"),
                  std::string::npos)
            << c.program << ": " << r.err;
    }
}

// Output stuck at the end of --duration is let go then, not at the next
// whole second. The duration ends just past a whole second of the clock, where
// rounding up would cost most of a second.
TEST(Ending, MonitorLetsStuckOutputGoAtTheEndOfItsDuration)
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const double duration = 2.15 - static_cast<double>(now.tv_nsec) / 1e9;
    const StuckRun run = runUntilOutputStuck({Monitor, "{pty}", "--duration", std::to_string(duration)});
    ASSERT_TRUE(run.stuck);
    const ChildResult& r = run.end;
    EXPECT_EQ(r.status, 1);
    std::smatch elapsed;
    ASSERT_TRUE(std::regex_search(r.err, elapsed, std::regex(" bytes in ([0-9.]+) s\n$"))) << r.err;
    EXPECT_LT(std::stod(elapsed[1]) - duration, 0.5) << r.err;
    EXPECT_NE(r.err.find(Monitor + ": the output was not taken in time: the rest of it is lost\n"), std::string::npos)
        << r.err;
}

// The timer's own signal, sent from outside, ends a command as it would end
// one that never took it.
TEST(Ending, OutsideTimerSignalEndsAsByDefault)
{
    for (const std::string& program : {checkPath(), Monitor, Term}) {
        Pty pty;
        int keys[2];
        ASSERT_EQ(pipe2(keys, O_CLOEXEC), 0);
        std::vector<std::string> argv{program, pty.path()};
        if (program == checkPath())
            argv = {program, "--feedback", pty.path(), "--channel", "101"};
        Child child(argv, keys[0]);
        pty.waitSetUp(child.pid());
        kill(child.pid(), SIGRTMIN + 4);
        const ChildResult r = child.wait(std::chrono::seconds(10));
        close(keys[0]);
        close(keys[1]);
        EXPECT_EQ(r.status, 128 + SIGRTMIN + 4) << program;
    }
}

} // namespace
