// Watching, recording and replaying, end to end: the monitor, --capture of
// the check, the monitor and the terminal, and the stand-in box's --replay,
// each a child process on a real pseudo-terminal.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <fcntl.h>
#include <map>
#include <memory>
#include <regex>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "capture.h"
#include "capture_support.h"
#include "packets.h"
#include "pty_support.h"

namespace {

const std::string Monitor = QUARVO_MONITOR_PATH;

// Garbage, broken packets and control bytes around packets that decide nothing,
// then a deciding one.
std::string troubledStream()
{
    return "boot\r\x01\xFF\\" + packet({{"SSCN", "999"}}, {.badChecksum = true}) + "\n01" +
           packet({{"CE00", "12-"}, {"STAT", std::string("a\x00\"\\\xC3\xA9\x7F", 7)}}) + "\n015SSCN0" +
           packet({{"SSCN", "101"}}) + "tail";
}

std::vector<std::string> lines(const std::string& text)
{
    std::vector<std::string> out;
    size_t pos = 0;
    for (size_t eol; (eol = text.find('\n', pos)) != std::string::npos; pos = eol + 1)
        out.push_back(text.substr(pos, eol - pos));
    return out;
}

// Every byte of a capture file, in order; fails the test when it is not one.
std::string capturedBytes(const std::string& path)
{
    const std::string text = readFile(path);
    EXPECT_TRUE(text.empty() || text.back() == '\n') << "incomplete last line";
    size_t badLine = 0;
    const char* why = nullptr;
    const auto log = parseCapture(text, &badLine, &why);
    EXPECT_TRUE(log) << path << ":" << badLine << ": " << (why ? why : "");
    std::string bytes;
    for (size_t i = 0; log && i < log->count; ++i)
        bytes.append(log->chunks[i].bytes, log->chunks[i].size);
    return bytes;
}

// The monitor's text lines without their times, after checking the times'
// form and order.
std::vector<std::string> untimed(const std::string& out)
{
    std::vector<std::string> result;
    double last = 0;
    const std::regex timed(R"((\d+\.\d{6}) (.*))");
    for (const std::string& line : lines(out)) {
        std::smatch m;
        EXPECT_TRUE(std::regex_match(line, m, timed)) << line;
        if (m.empty())
            continue;
        EXPECT_GE(std::stod(m[1]), last) << line;
        last = std::stod(m[1]);
        result.push_back(m[2]);
    }
    return result;
}

const std::vector<std::string> TroubledLines{
    "report Unexpected/invalid characters: [[[boot[0D][01][FF]\\]]]",
    "report Checksum mismatch: 14 vs 13",
    "report Unexpected/invalid characters: [[[015SSCN01099914]]]",
    "report Error: 0x0A found in state 1; discarding current buffer contents of [[[01[0A]]]]",
    "packet CE00=12- STAT=a[00]\"\\[C3][A9][7F]",
    "report Error: 0x0A found in state 3; discarding current buffer contents of [[[015SSCN0[0A]]]]",
    "packet SSCN=101",
};

// --- a small JSON reader, enough to take the monitor's lines apart ---
struct Json {
    char kind = 0; // 'n'umber, 's'tring, 'a'rray, 'o'bject
    double number = 0;
    std::string text;
    std::vector<Json> items;
    std::map<std::string, Json> fields;
};

bool parseJson(std::string_view in, size_t& i, Json& out);

bool parseString(std::string_view in, size_t& i, std::string& out)
{
    if (in[i++] != '"')
        return false;
    while (i < in.size()) {
        const char c = in[i++];
        if (c == '"')
            return true;
        if (static_cast<unsigned char>(c) < 0x20)
            return false;
        if (c != '\\') {
            out += c;
            continue;
        }
        if (i >= in.size())
            return false;
        const char e = in[i++];
        static const std::string simple = "\"\\/bfnrt", meaning = "\"\\/\b\f\n\r\t";
        if (simple.find(e) != std::string::npos) {
            out += meaning[simple.find(e)];
        } else if (e == 'u' && i + 4 <= in.size()) {
            const unsigned code = static_cast<unsigned>(std::stoul(std::string(in.substr(i, 4)), nullptr, 16));
            i += 4;
            if (code < 0x80) {
                out += static_cast<char>(code);
            } else if (code < 0x800) {
                out += static_cast<char>(0xC0 | (code >> 6));
                out += static_cast<char>(0x80 | (code & 0x3F));
            } else {
                out += static_cast<char>(0xE0 | (code >> 12));
                out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
                out += static_cast<char>(0x80 | (code & 0x3F));
            }
        } else {
            return false;
        }
    }
    return false;
}

bool parseJson(std::string_view in, size_t& i, Json& out)
{
    if (i >= in.size())
        return false;
    if (in[i] == '"') {
        out.kind = 's';
        return parseString(in, i, out.text);
    }
    if (in[i] == '[' || in[i] == '{') {
        const bool object = in[i] == '{';
        out.kind = object ? 'o' : 'a';
        const char close = object ? '}' : ']';
        if (++i < in.size() && in[i] == close)
            return ++i, true;
        for (;;) {
            std::string key;
            if (object && (!parseString(in, i, key) || i >= in.size() || in[i++] != ':'))
                return false;
            Json item;
            if (!parseJson(in, i, item))
                return false;
            if (object)
                out.fields[key] = item;
            else
                out.items.push_back(item);
            if (i >= in.size())
                return false;
            if (in[i] == close)
                return ++i, true;
            if (in[i++] != ',')
                return false;
        }
    }
    size_t used = 0;
    out.kind = 'n';
    out.number = std::stod(std::string(in.substr(i)), &used);
    i += used;
    return used > 0;
}

// Each line of `text` read as one whole JSON object with a numeric time; a
// line that is not fails the test.
std::vector<Json> objectsIn(const std::string& text)
{
    std::vector<Json> objects;
    for (const std::string& line : lines(text)) {
        Json object;
        size_t at = 0;
        EXPECT_TRUE(parseJson(line, at, object) && at == line.size() && object.kind == 'o') << line;
        EXPECT_EQ(object.fields["time"].kind, 'n') << line;
        objects.push_back(std::move(object));
    }
    return objects;
}

TEST(Monitor, PrintsPacketsAndReportsInTheOrderTheyHappened)
{
    const std::string input = troubledStream();
    const ChildResult r = runOnPort(Monitor, {"{port}"}, input);
    EXPECT_EQ(untimed(r.out), TroubledLines);
    EXPECT_TRUE(std::regex_match(r.err, std::regex(".*quarvo-monitor: 2 packets, 5 reports about bad input, " +
                                                   std::to_string(input.size()) + R"( bytes in \d+\.\d{3} s\n)")))
        << r.err;
    EXPECT_EQ(r.status, 0);
}

TEST(Monitor, JsonLinesCarryTheSameFields)
{
    const ChildResult r = runOnPort(Monitor, {"--json", "{port}"}, troubledStream());
    EXPECT_EQ(r.status, 0);
    std::vector<std::string> asText;
    for (Json& object : objectsIn(r.out)) {
        const std::string type = object.fields["type"].text;
        std::string text = type;
        if (type == "report") {
            text += " " + object.fields["text"].text;
        } else {
            EXPECT_EQ(type, "packet");
            for (Json& record : object.fields["records"].items)
                text += " " + record.fields["code"].text + "=" + record.fields["value"].text;
        }
        asText.push_back(text);
    }
    EXPECT_EQ(asText, TroubledLines);
}

// A value holding a blank and '=' must not read as two records, and --hex
// tells a zero byte from the text "[00]", in both forms.
TEST(Monitor, EveryLineReadsOneWayAndHexTellsEveryByte)
{
    const std::string input =
        packet({{"ABCD", "1 SSCN=101"}}) + packet({{"SSCN", std::string("[00]\0", 5)}, {"CE00", ""}});
    const struct {
        std::vector<std::string> options;
        std::vector<std::string> lines;
    } cases[] = {
        {{}, {"packet ABCD=1[20]SSCN[3D]101", "packet SSCN=[00][00] CE00="}},
        {{"--hex"}, {"packet ABCD=31205353434E3D313031", "packet SSCN=5B30305D00 CE00="}},
        {{"--hex", "--json"}, {"packet ABCD=31205353434E3D313031", "packet SSCN=5B30305D00 CE00="}},
        {{"--json"}, {"packet ABCD=1 SSCN=101", "packet SSCN=[00][00] CE00="}},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args{"{port}"};
        args.insert(args.end(), c.options.begin(), c.options.end());
        const ChildResult r = runOnPort(Monitor, args, input);
        EXPECT_EQ(r.status, 0);
        std::vector<std::string> shown;
        const bool json = std::find(c.options.begin(), c.options.end(), "--json") != c.options.end();
        if (!json) {
            shown = untimed(r.out);
        } else {
            for (Json& object : objectsIn(r.out)) {
                std::string text = "packet";
                for (Json& record : object.fields["records"].items)
                    text += " " + record.fields["code"].text + "=" + record.fields["value"].text;
                shown.push_back(text);
            }
        }
        EXPECT_EQ(shown, c.lines) << c.options.size() << " options, json " << json;
    }
}

// A box power-cycled under a running monitor: with --reconnect it waits for
// the port, at the start and after the loss, and shows the loss and the
// return in its output, in its capture, and on the standard error as the
// check does.
TEST(Monitor, ReconnectOutlivesAPortThatVanishesAndReturns)
{
    char dir[] = "/tmp/monitor-reconnect-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string link = std::string(dir) + "/box";
    const std::string capture = std::string(dir) + "/box.cap";
    for (const bool json : {false, true}) {
        std::vector<std::string> argv{Monitor, link, "--reconnect", "--count", "2", "--capture", capture};
        if (json)
            argv.push_back("--json");
        Child monitor(argv);
        // Waiting for a port that is not there yet.
        ASSERT_TRUE(waitUntil([&] { return !monitor.errSoFar().empty(); }));
        Child sim({QUARVO_SIM_PATH, "--record", "SSCN=101", "--link", link, "--count", "2", "--vanish-after", "1",
                   "--vanish-for", "300", "--interval", "100"});
        const ChildResult r = monitor.wait();
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err.substr(0, r.err.find(Monitor)), link + ": waiting for the port: No such file or directory\n" +
                                                             link + ": port lost, reopening\n");
        std::vector<std::string> shown;
        if (!json) {
            shown = untimed(r.out);
        } else {
            for (Json& object : objectsIn(r.out))
                shown.push_back(object.fields["type"].text);
        }
        const std::vector<std::string> expected =
            json ? std::vector<std::string>{"packet", "lost", "reopened", "packet"}
                 : std::vector<std::string>{"packet SSCN=101", "lost", "reopened", "packet SSCN=101"};
        EXPECT_EQ(shown, expected);
        const std::string text = readFile(capture);
        size_t badLine = 0;
        const char* why = nullptr;
        const auto log = parseCapture(text, &badLine, &why);
        ASSERT_TRUE(log) << badLine << ": " << why;
        ASSERT_EQ(log->markCount, 2u) << text;
        EXPECT_EQ(log->marks[0].kind, CaptureMarkKind::Lost);
        EXPECT_EQ(log->marks[1].beforeChunk, 1u);
        EXPECT_GE(log->marks[1].offset - log->marks[0].offset, 300000) << text;
        sim.wait();
    }
    unlink(capture.c_str());
    rmdir(dir);
}

TEST(Monitor, EndsAfterCountPacketsOrAfterItsDuration)
{
    const std::string three = packet({{"A001", "1"}}) + packet({{"A002", "2"}}) + packet({{"A003", "3"}});
    ChildResult r = runOnPort(Monitor, {"{port}", "--count", "2"}, three, false);
    EXPECT_EQ(untimed(r.out), (std::vector<std::string>{"packet A001=1", "packet A002=2"}));
    EXPECT_EQ(r.status, 0);

    r = runOnPort(Monitor, {"--duration", "0.2", "{port}"}, "", false);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find(": 0 packets, 0 reports about bad input, 0 bytes in "), std::string::npos) << r.err;
    EXPECT_EQ(r.status, 0);
}

// Lines that cannot be written are a failure, a closed output as much as
// a closed pipe: status 1 and one line saying so.
TEST(Monitor, ClosedOutputIsAFailure)
{
    Child sim({QUARVO_SIM_PATH, "--record", "SSCN=101", "--count", "3", "--interval", "20", "--linger", "0"});
    const std::string port = firstLineOf(sim);
    Child monitor({Monitor, port, "--count", "3"}, -1, STDOUT_FILENO);
    const ChildResult r = monitor.wait();
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find(Monitor + ": writing the output failed: Bad file descriptor\n"), std::string::npos) << r.err;
    sim.wait();
}

TEST(Monitor, InterruptedWithACaptureLeavesCompleteLinesOfEveryByte)
{
    for (const int signo : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGALRM}) {
        const std::string capture = tempPath("monitor-capture");
        Pty pty;
        Child monitor({Monitor, pty.path(), "--capture", capture});
        waitUntilLocked(monitor.pid());
        // Ends inside a chunk: the line in progress must be completed.
        const std::string input = packet({{"SSCN", "101"}}) + "\n015SS";
        pty.write(input, monitor.pid());
        pty.waitDrained(monitor.pid());
        waitUntil([&] { return !monitor.running() || monitor.outSoFar().find("packet") != std::string::npos; });
        kill(monitor.pid(), signo);
        const ChildResult r = monitor.wait();
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(untimed(r.out), std::vector<std::string>{"packet SSCN=101"});
        EXPECT_NE(r.err.find(": 1 packets, 0 reports about bad input, " + std::to_string(input.size()) + " bytes in "),
                  std::string::npos)
            << r.err;
        EXPECT_EQ(capturedBytes(capture), input);
        unlink(capture.c_str());
    }
}

// A box that sends something and then hangs: its bytes reach the capture
// on disk while the monitor still waits, not only when it ends.
TEST(Monitor, CaptureReachesTheDiskAfterASecondOfQuiet)
{
    const std::string capture = tempPath("monitor-quiet");
    Pty pty;
    Child monitor({Monitor, pty.path(), "--capture", capture});
    pty.waitSetUp(monitor.pid());
    pty.write(packet({{"SSCN", "101"}}), monitor.pid());
    // A data line (one not starting with "#") on disk, while the monitor waits.
    const auto hasData = [&] {
        const std::string text = readFile(capture);
        return text.find("\n") != std::string::npos && std::regex_search(text, std::regex("(^|\n)[0-9]"));
    };
    EXPECT_TRUE(waitUntil(hasData));
    EXPECT_TRUE(monitor.running());
    EXPECT_EQ(capturedBytes(capture), packet({{"SSCN", "101"}}));
    kill(monitor.pid(), SIGTERM);
    EXPECT_EQ(monitor.wait().status, 0);
    unlink(capture.c_str());
}

// Output nobody reads (a stopped pager) must not keep the stop signals out.
TEST(Monitor, StopSignalEndsAMonitorBlockedOnItsOutput)
{
    const StuckRun run = runUntilOutputStuck({Monitor, "{pty}"}, SIGTERM);
    ASSERT_TRUE(run.stuck);
    EXPECT_EQ(run.end.status, 0) << run.end.err;
}

TEST(Monitor, UsageErrorsAndVersion)
{
    const struct {
        std::vector<std::string> args;
        int status;
        std::string errStart;
    } cases[] = {
        {{}, 2, Monitor + ": no serial port given\n"},
        {{"/dev/a", "/dev/b"}, 2, Monitor + ": more than one serial port given\n"},
        {{"/dev/a", "--count", "0"}, 2, Monitor + ": --count: not a whole number from 1 to 1000000000: 0\n"},
        {{"/dev/a", "--count", "5x"}, 2, Monitor + ": --count: not a whole number from 1 to 1000000000: 5x\n"},
        {{"/dev/a", "--duration", "-1"}, 2, Monitor + ": --duration: not a number of seconds above 0"},
        {{"/dev/a", "--duration", "nan"}, 2, Monitor + ": --duration: not a number of seconds above 0"},
        {{"/dev/a", "--baud", "fast"}, 2,
         Monitor + ": --baud: not a line speed (300, 9600, 19200, 57600 or 115200): fast\n"},
        {{"/dev/a", "--bogus"}, 2, Monitor + ": unrecognized option '--bogus'\n"},
        {{"/nonexistent/tty"}, 1, "/nonexistent/tty: No such file or directory\n"},
        // Refused before the port is opened.
        {{"/nonexistent/tty", "--baud", "38400"}, 2, "Unknown baudrate: 38400\n"},
        {{"/nonexistent/tty", "--baud", "99999999999"}, 2, "Unknown baudrate: 99999999999\n"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> argv{Monitor};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        Child child(argv);
        const ChildResult r = child.wait(std::chrono::seconds(10));
        EXPECT_EQ(r.status, c.status) << c.errStart;
        EXPECT_EQ(r.err.substr(0, c.errStart.size()), c.errStart);
        EXPECT_EQ(r.out, "");
    }
    Child version({Monitor, "--version"});
    const ChildResult r = version.wait();
    EXPECT_EQ(r.out, std::string("quarvo-monitor ") + QUARVO_VERSION + "\n");
    EXPECT_EQ(r.status, 0);
}

std::vector<std::string> checkArgs(const std::vector<std::string>& extra = {})
{
    std::vector<std::string> args{"--feedback", "{port}", "--channel", "101"};
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
}

TEST(CheckCapture, RecordsEveryByteReadAndChangesNothingElse)
{
    const std::vector<std::string> inputs{
        troubledStream(),
        packet({{"SSCN", "102"}}),
        std::string(20000, 'z') + "\n015SS", // no verdict: the port ends
    };
    for (const std::string& input : inputs) {
        const ChildResult plain = runCheck(checkArgs(), input);
        const std::string capture = tempPath("check-capture");
        const ChildResult captured = runCheck(checkArgs({"--capture", capture}), input);
        EXPECT_EQ(captured.out, plain.out);
        EXPECT_EQ(captured.err, plain.err);
        EXPECT_EQ(captured.status, plain.status);
        // Everything up to the verdict; what came with the deciding bytes
        // may be in it too, as received, but nothing else.
        const std::string got = capturedBytes(capture);
        const size_t decided = plain.status == 0 ? input.size() - 4 : input.size();
        EXPECT_GE(got.size(), decided);
        EXPECT_EQ(got, input.substr(0, got.size()));
        unlink(capture.c_str());
    }
}

TEST(CheckCapture, UnwritableCaptureIsReportedOnceAndChangesNothingElse)
{
    const std::string input = troubledStream();
    const ChildResult plain = runCheck(checkArgs(), input);
    // A pipe nobody reads must not hold the check (and its port) for ever.
    const std::string fifo = tempPath("capture-fifo");
    unlink(fifo.c_str());
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::vector<std::pair<std::string, std::string>> cases{
        {"/nonexistent/dir/capture", "No such file or directory"},
        {"/dev/full", "No space left on device"},
        {fifo, "No such device or address"},
    };
    for (const auto& [path, why] : cases) {
        const ChildResult r = runCheck(checkArgs({"--capture", path}), input);
        EXPECT_EQ(r.out, plain.out);
        EXPECT_EQ(r.status, plain.status);
        EXPECT_EQ(r.err, checkPath() + ": capture " + path + ": " + why + "\n");
    }
    unlink(fifo.c_str());
}

TEST(Replay, RoundTripFromMonitorCaptureThroughTheStandInBoxGivesTheSameCheck)
{
    const std::vector<std::string> streams{
        troubledStream(),
        std::string("\x00\x7F", 2) + packet({{"SSCN", "7"}}) + packet({{"PUCP", "E\x1B[2J"}}),
        packet({{"CE00", "\x7F" "123"}}) + "\n\n\n" + packet({{"SSCN", "101"}}, {.lengthOverride = 30}),
    };
    for (const std::string& stream : streams) {
        const ChildResult direct = runCheck(checkArgs(), stream);
        const std::string capture = tempPath("round-trip");
        const ChildResult monitored = runOnPort(Monitor, {"{port}", "--capture", capture}, stream);
        ASSERT_EQ(monitored.status, 0) << monitored.err;

        Child sim({QUARVO_SIM_PATH, "--replay", capture, "--linger", "10000"});
        const std::string port = firstLineOf(sim);
        ASSERT_EQ(port.rfind("/dev/pts/", 0), 0u) << port;
        Child check({checkPath(), "--feedback", port, "--channel", "101"});
        const ChildResult replayed = check.wait();
        // A check that decided leaves bytes unread: the box is not waited for.
        EXPECT_EQ(replayed.out, direct.out);
        EXPECT_EQ(replayed.status, direct.status);
        unlink(capture.c_str());
    }
}

TEST(Replay, MalformedCaptureIsRefusedByLineBeforeAnythingIsSent)
{
    for (const MalformedCapture& c : malformedCaptures()) {
        const std::string path = tempPath("bad-capture");
        {
            const int fd = open(path.c_str(), O_WRONLY | O_TRUNC);
            ASSERT_EQ(write(fd, c.text.data(), c.text.size()), ssize_t(c.text.size()));
            close(fd);
        }
        Child sim({QUARVO_SIM_PATH, "--replay", path});
        const ChildResult r = sim.wait(std::chrono::seconds(10));
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, ""); // not even a port
        const std::string prefix = std::string(QUARVO_SIM_PATH) + ": " + path + ":" + std::to_string(c.line) + ": ";
        EXPECT_EQ(r.err.substr(0, prefix.size()), prefix) << r.err;
        unlink(path.c_str());
    }
}

// A capture that marks a loss: under --link the replayed port goes and comes
// back, so a check with --reconnect meets the loss as it happened; without
// --link the gap is a silence on one port.
TEST(Replay, MarkedLossClosesAndReopensThePortUnderTheLink)
{
    const std::string capture = tempPath("lost-capture");
    {
        const std::string text = "# quarvo-capture 1\n0.000000 \\x0A013XXXX0081C7\n0.010000 \\x0A015SS\n"
                                 "# lost 0.600000\n# reopened 1.200000\n1.300000 \\x0A015SSCN010101FA\n";
        const int fd = open(capture.c_str(), O_WRONLY | O_TRUNC);
        ASSERT_EQ(write(fd, text.data(), text.size()), ssize_t(text.size()));
        close(fd);
    }
    const std::string cut = "Error: 0x0A found in state 2; discarding current buffer contents of [[[015SS[0A]]]]\n";
    char dir[] = "/tmp/replay-link-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string link = std::string(dir) + "/box";
    for (const bool linked : {true, false}) {
        std::vector<std::string> simArgs{QUARVO_SIM_PATH, "--replay", capture};
        if (linked)
            simArgs.insert(simArgs.end(), {"--link", link});
        Child sim(simArgs);
        const std::string port = firstLineOf(sim);
        std::vector<std::string> checkArgv{checkPath(), "--feedback", linked ? link : port, "--channel", "101"};
        if (linked)
            checkArgv.insert(checkArgv.end(), {"--reconnect", "--timeout", "20"});
        Child check(checkArgv);
        const ChildResult r = check.wait();
        EXPECT_EQ(r.out, cut + "Current channel '101' [correct]\n") << linked;
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, linked ? link + ": port lost, reopening\n" : "");
        const ChildResult box = sim.wait();
        EXPECT_EQ(lines(box.out).size(), linked ? 2u : 1u) << box.out; // the port's path, each time it comes
    }
    rmdir(dir);
    unlink(capture.c_str());
}

TEST(Replay, LoopsAtAnySpeedAndRefusesBadNumbers)
{
    const std::string capture = tempPath("loop-capture");
    {
        const std::string text = "# quarvo-capture 1\n0.000000 \\x0A015SSCN010101FA\n0.500000 xy\n";
        const int fd = open(capture.c_str(), O_WRONLY | O_TRUNC);
        ASSERT_EQ(write(fd, text.data(), text.size()), ssize_t(text.size()));
        close(fd);
    }
    Child sim({QUARVO_SIM_PATH, "--replay", capture, "--loop", "3", "--speed", "50"});
    const std::string port = firstLineOf(sim);
    Child monitor({Monitor, port});
    const ChildResult r = monitor.wait();
    EXPECT_EQ(untimed(r.out), (std::vector<std::string>{"packet SSCN=101", "report Unexpected/invalid characters: [[[xy]]]",
                                                        "packet SSCN=101", "report Unexpected/invalid characters: [[[xy]]]",
                                                        "packet SSCN=101"}));
    EXPECT_EQ(sim.wait().status, 0);

    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"--replay", capture, "--speed", "0"}, {"--replay", capture, "--speed", "fast"},
             {"--replay", capture, "--loop", "-1"}, {"--record", "SSCN=1", "--loop", "2"},
             {"--replay", capture, "--raw", "-"}}) {
        std::vector<std::string> argv{QUARVO_SIM_PATH};
        argv.insert(argv.end(), args.begin(), args.end());
        Child bad(argv);
        const ChildResult refused = bad.wait(std::chrono::seconds(10));
        EXPECT_EQ(refused.status, 2) << args[2];
        EXPECT_EQ(refused.out, "");
    }
    unlink(capture.c_str());
}

// The highest resident memory of a running process, in KiB.
long peakKiB(pid_t pid)
{
    const std::string status = readFile("/proc/" + std::to_string(pid) + "/status");
    const size_t at = status.find("VmHWM:");
    return at == std::string::npos ? -1 : std::stol(status.substr(at + 6));
}

// A capture far larger than the box's memory may grow is replayed from a
// pipe: read as it goes, never held whole.
TEST(Replay, CaptureFromAPipeIsReplayedWithoutBeingHeldWhole)
{
#if defined(__aarch64__)
    GTEST_SKIP() << "under the emulator the memory read is the emulator's";
#endif
    const std::string line = "0.000000 " + std::string(4000, 'a') + "\n";
    const std::string comment = "# " + std::string(4000, 'c') + "\n";
    int ends[2];
    ASSERT_EQ(pipe2(ends, O_CLOEXEC), 0); // the sim must not hold the write end
    Child sim({QUARVO_SIM_PATH, "--replay", "-"}, ends[0]);
    close(ends[0]);
    constexpr int Lines = 1000;
    std::thread feeder([&] {
        std::string text = "# quarvo-capture 1\n";
        for (int i = 0; i < Lines; ++i)
            text += line + comment + comment + comment;
        text += "0.000001 END\n";
        EXPECT_EQ(write(ends[1], text.data(), text.size()), ssize_t(text.size())); // 16 MiB
        close(ends[1]);
    });
    const std::string port = firstLineOf(sim);
    feeder.join();
    ASSERT_EQ(port.rfind("/dev/pts/", 0), 0u) << port << sim.errSoFar();
    const int fd = open(port.c_str(), O_RDONLY | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    std::string got;
    char chunk[65536];
    ssize_t n;
    while (got.size() < 3 || got.compare(got.size() - 3, 3, "END") != 0) {
        if ((n = read(fd, chunk, sizeof chunk)) <= 0)
            break;
        got.append(chunk, static_cast<size_t>(n));
    }
    const long peak = peakKiB(sim.pid());
    close(fd);
    EXPECT_EQ(got.size(), size_t(Lines) * 4000 + 3);
    EXPECT_GT(peak, 0);
    EXPECT_LT(peak, 12 * 1024) << "KiB at most, for a capture of 16 MiB";
    EXPECT_EQ(sim.wait().status, 0);
}

// quarvo-term recording into a capture, on a pty, its keyboard a pipe the
// test holds.
struct CapturingTerm {
    explicit CapturingTerm(const char* name) : capture(tempPath(name))
    {
        EXPECT_EQ(pipe2(keys, O_CLOEXEC), 0);
        term = std::make_unique<Child>(std::vector<std::string>{QUARVO_TERM_PATH, port.path(), "--capture", capture},
                                       keys[0]);
        close(keys[0]);
        waitUntilLocked(term->pid());
    }
    ~CapturingTerm()
    {
        endKeyboard();
        unlink(capture.c_str());
    }
    CapturingTerm(const CapturingTerm&) = delete;
    CapturingTerm& operator=(const CapturingTerm&) = delete;

    void send(const std::string& bytes)
    {
        port.write(bytes, term->pid());
        port.waitDrained(term->pid());
    }
    // The end of the keyboard ends the session.
    void endKeyboard()
    {
        if (keys[1] >= 0)
            close(keys[1]);
        keys[1] = -1;
    }

    int keys[2]{-1, -1};
    std::string capture;
    Pty port;
    std::unique_ptr<Child> term;
};

TEST(TermCapture, RecordsWhatThePortSent)
{
    CapturingTerm t("term-capture");
    const std::string input = std::string("hi\n\x01\x00\xFF", 6);
    t.send(input);
    t.endKeyboard();
    EXPECT_EQ(t.term->wait().status, 0);
    EXPECT_EQ(capturedBytes(t.capture), input);
}

// A box that sent something and fell silent leaves it on disk within a
// second or so, while the session goes on.
TEST(TermCapture, ReachesTheDiskAfterASecondOfQuiet)
{
    CapturingTerm t("term-quiet-capture");
    t.send("HELLO-1234");
    EXPECT_TRUE(waitUntil([&] { return readFile(t.capture).find(" HELLO-1234\n") != std::string::npos; }));
    EXPECT_TRUE(t.term->running());
    kill(t.term->pid(), SIGTERM);
    EXPECT_EQ(t.term->wait(std::chrono::seconds(10)).status, 128 + SIGTERM);
}

} // namespace
