// The options labs use: a deadline of their own, a port that comes and goes,
// the result as data, and exit statuses that tell the failures apart.
#include <gtest/gtest.h>

#include <csignal>
#include <dirent.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <regex>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "packets.h"
#include "pty_support.h"

namespace {

const std::string NoResponse = "Failed reading response from quarvo box.\n";

std::vector<std::string> checkArgs(std::vector<std::string> extra, const std::string& port = "{port}")
{
    std::vector<std::string> args{"--feedback", port, "--channel", "101"};
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
}

ChildResult runCommand(const std::vector<std::string>& args)
{
    std::vector<std::string> argv{checkPath()};
    argv.insert(argv.end(), args.begin(), args.end());
    Child child(argv);
    return child.wait();
}

// The result file with its one varying field masked.
std::string resultOf(const std::string& path)
{
    return std::regex_replace(readFile(path), std::regex("\"elapsed_ms\":[0-9]+"), "\"elapsed_ms\":T");
}

TEST(LabOptions, TimeoutReplacesTheEightySecondsAndIsRangeChecked)
{
    Pty silent;
    Child child({checkPath(), "--feedback", silent.path(), "--channel", "101", "--timeout", "1"});
    const ChildResult r = child.wait(std::chrono::seconds(20));
    EXPECT_EQ(r.out, "select timed out\n" + NoResponse);
    EXPECT_EQ(r.status, 1);

    for (const std::string bad : {"0", "86401", "-5", "1.5", "ten", "", "99999999999999999999", " 5", "5 "}) {
        const ChildResult refused = runCommand(checkArgs({"--timeout", bad}, "/dev/null"));
        EXPECT_EQ(refused.status, 1) << bad;
        EXPECT_EQ(refused.err.substr(0, refused.err.find('\n') + 1),
                  checkPath() + ": --timeout: not a whole number of seconds from 1 to 86400: " + bad + "\n");
        EXPECT_NE(refused.err.find(" syntax:\n"), std::string::npos) << "usage text follows";
    }
}

long long elapsedMsOf(const std::string& resultPath)
{
    std::smatch m;
    const std::string text = readFile(resultPath);
    return std::regex_search(text, m, std::regex("\"elapsed_ms\":([0-9]+)")) ? std::stoll(m[1]) : -1;
}

// --timeout S means S seconds from the port's opening (from the start with
// --reconnect), not the rest of a whole second: a busy box that never
// decides, and a port that never comes. Run side by side to save time.
TEST(LabOptions, TimeoutLastsItsSecondsToTheMillisecond)
{
    const std::string dir = tempDir();
    std::vector<std::unique_ptr<Child>> boxes;
    std::vector<std::unique_ptr<Child>> checks;
    std::vector<std::string> results;
    for (int i = 0; i < 4; ++i) {
        const bool busy = i < 2;
        std::string port = dir + "/missing";
        if (busy) {
            boxes.push_back(std::make_unique<Child>(
                std::vector<std::string>{QUARVO_SIM_PATH, "--record", "XXXX=1", "--interval", "20"}));
            port = firstLineOf(*boxes.back());
        }
        results.push_back(dir + "/result" + std::to_string(i));
        std::vector<std::string> argv{checkPath(), "--feedback", port, "--channel", "101", "--timeout", "1",
                                      "--result", results.back()};
        if (!busy)
            argv.push_back("--reconnect");
        checks.push_back(std::make_unique<Child>(argv));
    }
    for (size_t i = 0; i < checks.size(); ++i) {
        const ChildResult r = checks[i]->wait();
        EXPECT_EQ(r.status, 1) << i;
        EXPECT_EQ(r.out.substr(r.out.size() - NoResponse.size()), NoResponse) << i;
        const long long elapsed = elapsedMsOf(results[i]);
        EXPECT_GE(elapsed, 1000) << i;
        EXPECT_LE(elapsed, 9000) << i;
        unlink(results[i].c_str());
    }
    for (auto& box : boxes) {
        kill(box->pid(), SIGTERM);
        box->wait();
    }
    rmdir(dir.c_str());
}

TEST(LabOptions, DistinctStatusesTellTheFailuresApart)
{
    struct Case {
        const char* what;
        std::vector<std::string> args;
        std::string input;
        int status;
    };
    const std::vector<Case> cases{
        {"expected channel", checkArgs({}), packet({{"SSCN", "101"}}), 0},
        {"wrong channel", checkArgs({}), packet({{"SSCN", "102"}}), 1},
        {"error record", checkArgs({}), packet({{"SSCN", "101"}, {"PUCP", "E"}}), 1},
        {"port ends", checkArgs({}), "\n015SS", 2},
        {"no answer", checkArgs({"--timeout", "1"}), "", 2},
    };
    for (const Case& c : cases) {
        for (const bool distinct : {false, true}) {
            std::vector<std::string> args = c.args;
            if (distinct)
                args.push_back("--distinct-status");
            const ChildResult r = runCheck(args, c.input, c.status == 2 && c.args.size() == 4);
            EXPECT_EQ(r.status, distinct ? c.status : (c.status == 0 ? 0 : 1)) << c.what << " " << distinct;
        }
    }
    // No answer could be had before the port was even read.
    const std::vector<std::vector<std::string>> unanswered{
        checkArgs({"--distinct-status"}, "/nonexistent/tty"),
        {"--distinct-status", "--feedback", "/dev/null", "--debug"},
        {"--log", "/nonexistent/dir/log", "--feedback", "/dev/null", "--channel", "1", "--distinct-status"},
    };
    for (const auto& args : unanswered)
        EXPECT_EQ(runCommand(args).status, 2) << args[0];
    // Refused before the options were all read: status 1, as ever.
    EXPECT_EQ(runCommand({"--distinct-status", "--bogus", "x"}).status, 1);
    EXPECT_EQ(runCommand({"--distinct-status", "--channel=1"}).status, 1);
}

TEST(LabOptions, ResultFileSaysHowTheCheckEnded)
{
    const std::string dir = tempDir();
    const std::string file = dir + "/result.json";
    struct Case {
        const char* what;
        std::vector<std::string> extra;
        std::string input;
        bool endInput;
        std::string json;
    };
    const std::string common = R"("channel":"101","port":"{port}",)";
    const std::vector<Case> cases{
        {"correct, with reports and a requested channel", {},
         "junk" + packet({{"SSCN", "101"}}, {.badChecksum = true}) + packet({{"CE00", "123"}, {"SSCN", "101"}}), true,
         R"({"outcome":"correct","status":0,)" + common +
             R"("current_channel":"101","failures":[],"requested_channel":"123","packets":1,"bad_input_reports":3,"bytes":{bytes},"elapsed_ms":T,"capture_dropped_bytes":0,"output_error":null,"current_channel_printable":"101","channels_seen":["101"]})"},
        // Raw bytes escaped in the value; the printed lines in printable form.
        {"box error", {"--distinct-status"}, packet({{"SSCN", "\x1b\xff"}, {"CEER", "X\"\\"}}), true,
         R"({"outcome":"box-error","status":1,)" + common +
             R"("current_channel":"\u001b\ufffd","failures":["Current channel '[1B][FF]' [incorrect]","Channel error: X\"\\"],"requested_channel":null,"packets":1,"bad_input_reports":0,"bytes":{bytes},"elapsed_ms":T,"capture_dropped_bytes":0,"output_error":null,"current_channel_printable":"[1B][FF]","channels_seen":["[1B][FF]"]})"},
        {"no answer", {"--timeout", "1", "--distinct-status"}, packet({{"XXXX", "1"}}), false,
         R"({"outcome":"no-answer","status":2,)" + common +
             R"("current_channel":null,"failures":[],"requested_channel":null,"packets":1,"bad_input_reports":0,"bytes":14,"elapsed_ms":T,"capture_dropped_bytes":0,"output_error":null,"current_channel_printable":null,"channels_seen":[]})"},
        {"port lost", {}, "\n015SS", true,
         R"({"outcome":"port-lost","status":1,)" + common +
             R"("current_channel":null,"failures":[],"requested_channel":null,"packets":0,"bad_input_reports":0,"bytes":{bytes},"elapsed_ms":T,"capture_dropped_bytes":0,"output_error":null,"current_channel_printable":null,"channels_seen":[]})"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> extra = c.extra;
        extra.insert(extra.end(), {"--result", file});
        Pty pty;
        std::vector<std::string> argv{checkPath()};
        for (const std::string& a : checkArgs(extra))
            argv.push_back(a == "{port}" ? pty.path() : a);
        Child child(argv);
        pty.waitSetUp(child.pid());
        pty.write(c.input, child.pid());
        if (c.endInput) {
            pty.waitDrained(child.pid());
            pty.closeMaster();
        }
        const ChildResult r = child.wait();
        // Every byte sent was received: the input ends each run or is all read.
        std::string json = std::regex_replace(c.json, std::regex("\\{port\\}"), pty.path());
        json = std::regex_replace(json, std::regex("\\{bytes\\}"), std::to_string(c.input.size()));
        EXPECT_EQ(resultOf(file), json + "\n") << c.what;
        EXPECT_EQ(filesIn(dir), std::vector<std::string>{"result.json"}) << c.what << ": nothing left behind";
    }

    struct Early {
        std::vector<std::string> args;
        std::string json;
    };
    const std::vector<Early> early{
        {{"--feedback", "/nonexistent/tty", "--channel", "7", "--result", file},
         R"({"outcome":"port-failed","status":1,"channel":"7","port":"/nonexistent/tty",)"},
        {{"--result", file, "--feedback", "/dev/null", "--distinct-status"},
         R"({"outcome":"usage","status":2,"channel":null,"port":"/dev/null",)"},
        {{"--result", file, "--log", "/nonexistent/dir/log", "--channel", "7"},
         R"({"outcome":"log-failed","status":1,"channel":"7","port":null,)"},
    };
    for (const Early& e : early) {
        runCommand(e.args);
        EXPECT_EQ(resultOf(file).substr(0, e.json.size()), e.json);
    }
    unlink(file.c_str());
    rmdir(dir.c_str());
}

// The check often runs as root in shared folders: a link planted under the
// result's name is replaced, never written through, and a result that
// cannot be written changes nothing else.
TEST(LabOptions, ResultFileIsReplacedNotWrittenThrough)
{
    const std::string dir = tempDir();
    const std::string victim = dir + "/victim";
    const std::string file = dir + "/result.json";
    {
        std::FILE* f = std::fopen(victim.c_str(), "w");
        std::fputs("precious\n", f);
        std::fclose(f);
    }
    ASSERT_EQ(symlink(victim.c_str(), file.c_str()), 0);
    ChildResult r = runCheck(checkArgs({"--result", file}), packet({{"SSCN", "101"}}));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(readFile(victim), "precious\n");
    struct stat st {};
    ASSERT_EQ(lstat(file.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(resultOf(file).substr(0, 33), R"({"outcome":"correct","status":0,")");

    r = runCheck(checkArgs({"--result", dir + "/missing/result.json"}), packet({{"SSCN", "101"}}));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "Current channel '101' [correct]\n");
    EXPECT_EQ(r.err, checkPath() + ": writing result file " + dir +
                         "/missing/result.json failed: No such file or directory\n");
    // Nor is anything but a file or a link replaced: a typo naming a device
    // (here a pipe) must never remove it.
    const std::string fifo = dir + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    r = runCheck(checkArgs({"--result", fifo}), packet({{"SSCN", "101"}}));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, checkPath() + ": result file " + fifo + " is not a regular file: left as it is\n");
    ASSERT_EQ(lstat(fifo.c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));

    for (const std::string& name : filesIn(dir))
        unlink((dir + "/" + name).c_str());
    rmdir(dir.c_str());
}

// The check never writes to the port, even when told to record into it.
TEST(LabOptions, CaptureNamingThePortIsRefused)
{
    Pty pty;
    Child child({checkPath(), "--feedback", pty.path(), "--channel", "101", "--capture", pty.path()});
    pty.waitSetUp(child.pid());
    pty.write(packet({{"SSCN", "101"}}), child.pid());
    const ChildResult r = child.wait();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, checkPath() + ": capture " + pty.path() + ": is the port itself: nothing is recorded\n");
    char byte;
    EXPECT_EQ(read(pty.master(), &byte, 1), -1) << "the box received something";
}

// A port behind a fixed name (as /dev/serial/by-id gives) that goes away and
// comes back as another device.
TEST(LabOptions, ReconnectFollowsAPortThatVanishesAndReturns)
{
    const std::string dir = tempDir();
    const std::string link = dir + "/box";
    const std::string capture = dir + "/box.cap";
    Child child({checkPath(), "--feedback", link, "--channel", "101", "--reconnect", "--timeout", "30", "--capture",
                 capture});
    // Waiting for a port that is not there yet.
    std::string err;
    ASSERT_TRUE(waitUntil([&] { return !(err = child.errSoFar()).empty(); }));

    auto first = std::make_unique<Pty>();
    ASSERT_EQ(symlink(first->path().c_str(), link.c_str()), 0);
    first->waitSetUp(child.pid());
    first->write(packet({{"XXXX", "1"}}) + "\n015SS", child.pid()); // cut short by the loss
    first->waitDrained(child.pid());
    first.reset(); // the device vanishes
    unlink(link.c_str());

    Pty second;
    ASSERT_EQ(symlink(second.path().c_str(), link.c_str()), 0);
    second.waitSetUp(child.pid());
    second.write(packet({{"SSCN", "101"}}), child.pid());
    const ChildResult r = child.wait();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "Error: 0x0A found in state 2; discarding current buffer contents of [[[015SS[0A]]]]\n"
                     "Current channel '101' [correct]\n");
    EXPECT_EQ(r.err, link + ": waiting for the port: No such file or directory\n" + link +
                         ": port lost, reopening\n");
    // The capture marks the loss and the return between the two ports' bytes.
    const std::regex marked("(.|\n)* \\\\x0A015SS\n# lost [0-9]+\\.[0-9]{6}\n# reopened [0-9]+\\.[0-9]{6}\n"
                            "[0-9]+\\.[0-9]{6} \\\\x0A015SSCN010101FA\n");
    EXPECT_TRUE(std::regex_match(readFile(capture), marked)) << readFile(capture);
    unlink(capture.c_str());
    unlink(link.c_str());
    rmdir(dir.c_str());
}

// The stand-in box's port vanishes for two seconds; the check still decides.
TEST(LabOptions, ReconnectAgainstAStandInBoxThatGoesAwayForTwoSeconds)
{
    const std::string dir = tempDir();
    const std::string link = dir + "/box";
    Child sim({QUARVO_SIM_PATH, "--record", "SSCN=101", "--link", link, "--vanish-after", "0", "--vanish-for",
               "2000", "--interval", "100"});
    firstLineOf(sim);
    Child check({checkPath(), "--feedback", link, "--channel", "101", "--reconnect", "--timeout", "20"});
    const ChildResult r = check.wait();
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "Current channel '101' [correct]\n");
    // A second box takes the name over; the first, ending, leaves it alone.
    Child second({QUARVO_SIM_PATH, "--record", "SSCN=101", "--link", link});
    const std::string secondPort = firstLineOf(second);
    kill(sim.pid(), SIGTERM);
    sim.wait();
    char target[256] = {};
    EXPECT_GT(readlink(link.c_str(), target, sizeof target - 1), 0);
    EXPECT_EQ(target, secondPort);
    kill(second.pid(), SIGTERM);
    second.wait();
    struct stat st {};
    EXPECT_NE(lstat(link.c_str(), &st), 0) << "the box removes its link when it ends";
    rmdir(dir.c_str());
}

// Ended by a signal: the result and the capture are complete, and the
// process ends as the signal ends it.
TEST(LabOptions, SignalEndsTheCheckWithItsFilesComplete)
{
    // SIGALRM too: the check's own timer uses a signal of its own.
    for (const int signo : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE, SIGALRM}) {
        const std::string result = tempPath("signal-result");
        const std::string capture = tempPath("signal-capture");
        Pty pty;
        Pty screen; // a terminal for the output, so its lines show at once
        Child child({checkPath(), "--feedback", pty.path(), "--channel", "101", "--debug", "--result", result,
                     "--capture", capture},
                    -1, -1, screen.slave());
        pty.waitSetUp(child.pid());
        pty.write(packet({{"XXXX", "1"}}), child.pid());
        // The packet has been read and judged once its trace line shows.
        std::string shown;
        for (int i = 0; i < 10000 && shown.find("XXXX : 1 [1 49]\n") == std::string::npos; ++i) {
            char c;
            if (read(screen.master(), &c, 1) == 1)
                shown += c;
            else
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        kill(child.pid(), signo);
        const ChildResult r = child.wait();
        EXPECT_EQ(r.status, 128 + signo);
        EXPECT_EQ(resultOf(result), R"({"outcome":"interrupted","status":)" + std::to_string(128 + signo) +
                                        R"(,"channel":"101","port":")" + pty.path() +
                                        R"(","current_channel":null,"failures":[],"requested_channel":null,"packets":1,"bad_input_reports":0,"bytes":14,"elapsed_ms":T,"capture_dropped_bytes":0,"output_error":null,"current_channel_printable":null,"channels_seen":[]})"
                                        "\n");
        const std::string captured = readFile(capture);
        EXPECT_NE(captured.find(" \\x0A013XXXX0081C7\n"), std::string::npos) << captured;
        unlink(result.c_str());
        unlink(capture.c_str());
    }
}

// True when `text` is `pattern` with each "..." in it standing for any text.
bool holdsInOrder(const std::string& text, const std::string& pattern)
{
    std::vector<std::string> pieces;
    for (size_t from = 0, gap = 0; gap != std::string::npos; from = gap + 3) {
        gap = pattern.find("...", from);
        pieces.push_back(pattern.substr(from, gap == std::string::npos ? gap : gap - from));
    }
    size_t at = 0;
    for (size_t i = 0; i < pieces.size(); ++i) {
        const std::string& piece = pieces[i];
        const size_t found =
            i + 1 == pieces.size() ? text.size() - std::min(text.size(), piece.size()) : text.find(piece, at);
        if (found == std::string::npos || found < at || (i == 0 && found != 0) ||
            text.compare(found, piece.size(), piece) != 0)
            return false;
        at = found + piece.size();
    }
    return true;
}

// --wait: a report of another channel decides nothing, and is printed once
// per change. Each step is read before the next is written, so the check's
// state carries across reads.
TEST(LabOptions, WaitListensPastReportsOfAnotherChannel)
{
    const auto sscn = [](const std::string& channel) { return packet({{"SSCN", channel}}); };
    const auto line = [](const std::string& channel, bool correct = false) {
        return "Current channel '" + channel + (correct ? "' [correct]\n" : "' [incorrect]\n");
    };
    const std::string deadline = "select timed out\n";
    const std::vector<std::string> tuning{sscn("100") + sscn("100"), packet({{"CE00", "101"}}), sscn("100"),
                                          sscn("102"), sscn("101")};
    // A box that alternates: every change is shown, 64 of them kept.
    std::vector<std::string> flapping;
    std::string flapped;
    std::string first64;
    for (int i = 0; i < 70; ++i) {
        const std::string channel = i % 2 == 0 ? "100" : "102";
        flapping.push_back(sscn(channel));
        flapped += line(channel);
        if (i < 64)
            first64 += std::string(i == 0 ? "" : ",") + "\"" + channel + "\"";
    }
    struct Case {
        const char* what;
        std::vector<std::string> extra;
        std::vector<std::string> steps;
        std::string out;
        int status;
        std::string result; // the result file from "outcome" to its end, "..." for what varies
    };
    const std::vector<Case> cases{
        {"confirmed after old reports", {"--wait", "--timeout", "60"}, tuning,
         line("100") + "New channel number requested: 101" + line("102") + line("101", true), 0,
         R"(correct",...,"channels_seen":["100","102","101"]})"},
        {"traces of repeated reports stay", {"--wait", "--timeout", "60", "--debug"},
         {sscn("100"), sscn("100"), sscn("101")},
         "SSCN : 100 [3 49]\n" + line("100") + "SSCN : 100 [3 49]\nSSCN : 101 [3 49]\n" + line("101", true), 0,
         R"(correct",...,"channels_seen":["100","101"]})"},
        {"unchanged without --wait", {"--timeout", "60"}, tuning, line("100") + "Failed\n", 1,
         R"(incorrect",...,"channels_seen":["100"]})"},
        {"an error record fails at once", {"--wait", "--timeout", "60", "--distinct-status"},
         {sscn("100"), packet({{"SSCN", "100"}, {"CEER", "7"}})},
         line("100") + line("100") + "Channel error: 7\nFailed\n", 1,
         R"(box-error",...,"failures":["Current channel '100' [incorrect]","Channel error: 7"],...,"channels_seen":["100"]})"},
        {"the deadline with another channel", {"--wait", "--timeout", "1", "--distinct-status"},
         {sscn("100"), sscn("100"), sscn("102"), sscn("102")},
         line("100") + line("102") + deadline + line("102") + "Failed\n", 1,
         R"(incorrect",...,"failures":["Current channel '102' [incorrect]"],...,"channels_seen":["100","102"]})"},
        {"a box that flaps", {"--wait", "--timeout", "1"}, flapping, flapped + deadline + line("102") + "Failed\n", 1,
         R"(incorrect",...,"channels_seen":[)" + first64 + "]}"},
        {"no channel at the deadline", {"--wait", "--timeout", "1", "--distinct-status"}, {packet({{"XXXX", "1"}})},
         deadline + NoResponse, 2, R"(no-answer",...,"current_channel_printable":null,"channels_seen":[]})"},
    };
    const std::string file = tempPath("wait-result");
    for (const Case& c : cases) {
        Pty pty;
        std::vector<std::string> argv{checkPath(), "--feedback", pty.path(), "--channel", "101", "--result", file};
        argv.insert(argv.end(), c.extra.begin(), c.extra.end());
        Child child(argv);
        pty.waitSetUp(child.pid());
        for (const std::string& step : c.steps) {
            pty.write(step, child.pid());
            pty.waitDrained(child.pid());
        }
        const ChildResult r = child.wait();
        EXPECT_EQ(r.out, c.out) << c.what;
        EXPECT_EQ(r.status, c.status) << c.what;
        EXPECT_TRUE(holdsInOrder(readFile(file), "{\"outcome\":\"" + c.result + "\n")) << c.what << "\n"
                                                                                      << readFile(file);
        EXPECT_EQ(boxReceived(pty), "") << c.what << ": nothing is sent to the box";
    }
    unlink(file.c_str());
}

// Output nobody reads blocks the check's writes; a signal must still end it.
TEST(LabOptions, SignalEndsACheckBlockedOnItsOutput)
{
    const std::string result = tempPath("blocked-result");
    const StuckRun run =
        runUntilOutputStuck({checkPath(), "--feedback", "{pty}", "--channel", "101", "--result", result}, SIGTERM);
    ASSERT_TRUE(run.stuck);
    EXPECT_EQ(run.end.status, 128 + SIGTERM);
    EXPECT_EQ(resultOf(result).substr(0, 39), R"({"outcome":"interrupted","status":143,")");
    unlink(result.c_str());
}

} // namespace
