// quarvo-fleet end to end: stand-in boxes and silent or missing ports,
// every box checked by a real check, the reports read back by real parsers.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <memory>
#include <poll.h>
#include <regex>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "clock.h"
#include "packets.h"
#include "pty_support.h"

namespace {

const std::string Fleet = QUARVO_FLEET_PATH;

void removeTree(const std::string& dir)
{
    for (const std::string& name : filesIn(dir)) {
        const std::string path = dir + "/" + name;
        struct stat st {};
        if (lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
            removeTree(path);
        else
            unlink(path.c_str());
    }
    rmdir(dir.c_str());
}

void writeFile(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

// Runs a tool of this machine (not one under test, so never through an
// emulator); its standard output, and its status in *status.
std::string runTool(const std::vector<std::string>& argv, int* status)
{
    const std::string out = tempPath("fleet-tool");
    std::vector<char*> args;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        const int fd = open(out.c_str(), O_WRONLY | O_TRUNC);
        dup2(fd, STDOUT_FILENO);
        execv(args[0], args.data());
        _exit(127);
    }
    int raw = 0;
    waitUntil([&] { return waitpid(pid, &raw, WNOHANG) == pid; }, std::chrono::seconds(30));
    *status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    std::string text = readFile(out);
    unlink(out.c_str());
    return text;
}

// "name outcome" for every box of the fleet's JSON result, and its summary
// counts, read by Python's JSON parser; the JUnit file's cases the same way
// by its XML parser (which refuses a file that is not well-formed).
constexpr const char* ReadReports = R"PY(
import json, sys, xml.etree.ElementTree as ET
r = json.load(open(sys.argv[1]))
print("json", r["status"], r["boxes"], r["correct"], r["answered_otherwise"], r["no_answer"], r["skipped"])
for b in r["results"]:
    print("box", b["name"], b["outcome"], b["current_channel"])
root = ET.parse(sys.argv[2]).getroot()
suite = root.find("testsuite")
print("suite", root.tag, suite.get("name"), suite.get("tests"), suite.get("failures"), suite.get("errors"), suite.get("skipped"))
for case in suite.findall("testcase"):
    kind = [c.tag for c in case if c.tag != "system-out"]
    message = [c.get("message") for c in case if c.tag != "system-out"]
    print("case", case.get("name"), case.get("classname"), kind[0] if kind else "passed", message[0] if message else "")
)PY";

std::string readReports(const std::string& result, const std::string& junit)
{
    int status = -1;
    const std::string text = runTool({"/usr/bin/python3", "-c", ReadReports, result, junit}, &status);
    EXPECT_EQ(status, 0) << text;
    int lint = -1;
    runTool({"/usr/bin/xmllint", "--noout", junit}, &lint);
    EXPECT_EQ(lint, 0) << "xmllint refuses " << junit;
    return text;
}

bool hasLine(const std::string& text, const std::string& line)
{
    return ("\n" + text).find("\n" + line + "\n") != std::string::npos;
}

// The checks a fleet runs: its children.
std::vector<pid_t> childrenOf(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children");
    std::vector<pid_t> pids;
    pid_t child = 0;
    while (in >> child)
        pids.push_back(child);
    return pids;
}

bool gone(pid_t pid)
{
    const std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
    const size_t paren = stat.rfind(')');
    return stat.empty() || (paren != std::string::npos && stat.compare(paren + 2, 1, "Z") == 0);
}

// Children cannot be started by an emulated program: the emulator does not
// follow exec into another binary of its processor.
#ifdef QUARVO_TEST_EMULATOR
constexpr bool Emulated = true;
#else
constexpr bool Emulated = false;
#endif
#define SKIP_UNDER_EMULATOR()                                                                                          \
    if (Emulated)                                                                                                      \
    GTEST_SKIP() << "under the emulator the fleet cannot start check-quarvo (exec of an arm64 program from an "        \
                    "emulated one fails: Exec format error); FleetEmulated checks that this is what it reports"

struct StandIn {
    std::unique_ptr<Child> sim;
    std::string port;
};

StandIn standIn(const std::vector<std::string>& records)
{
    std::vector<std::string> argv{QUARVO_SIM_PATH, "--interval", "100"};
    for (const std::string& r : records)
        argv.insert(argv.end(), {"--record", r});
    StandIn box{std::make_unique<Child>(argv), ""};
    box.port = firstLineOf(*box.sim);
    return box;
}

TEST(Fleet, SixteenBoxesWithMixedOutcomesEachRightInTheReports)
{
    SKIP_UNDER_EMULATOR();
    const std::string dir = tempDir();
    struct Kind {
        const char* name;
        std::vector<std::string> records; // empty: a silent port; "missing": no port at all
        const char* outcome;
        const char* junit;
        const char* channel;
    };
    const std::vector<Kind> kinds{
        {"tuned", {"SSCN=101"}, "correct", "passed", "101"},
        {"wrong", {"SSCN=102"}, "incorrect", "failure", "102"},
        {"hostile", {"SSCN=\\x1b]0;x\\x07<&\\xff"}, "incorrect", "failure", "\x1b]0;x\x07<&\xEF\xBF\xBD"},
        {"broken", {"SSCN=101", "CEER=X"}, "box-error", "failure", "101"},
        {"silent", {}, "no-answer", "error", "None"},
        {"missing", {"missing"}, "port-failed", "error", "None"},
    };
    std::vector<StandIn> sims;
    std::vector<std::unique_ptr<Pty>> silent;
    std::string lab = "# sixteen boxes\n";
    std::vector<std::pair<std::string, const Kind*>> expected;
    for (int i = 0; i < 16; ++i) {
        const Kind& kind = kinds[static_cast<size_t>(i) % kinds.size()];
        std::string port;
        if (kind.records.empty()) {
            silent.push_back(std::make_unique<Pty>());
            port = silent.back()->path();
        } else if (kind.records[0] == "missing") {
            port = "/nonexistent/tty" + std::to_string(i);
        } else {
            sims.push_back(standIn(kind.records));
            port = sims.back().port;
        }
        const std::string name = std::string(kind.name) + "-" + std::to_string(i);
        lab += name + " " + port + (i % 2 == 0 ? " 101\n" : "\n");
        expected.emplace_back(name, &kind);
    }
    writeFile(dir + "/lab", lab);
    Child fleet({Fleet, "--boxes", dir + "/lab", "--channel", "101", "--timeout", "1", "--junit", dir + "/junit.xml",
        "--result", dir + "/result.json", "--suite", "rack<7>", "--capture-dir", dir + "/captures"});
    const ChildResult r = fleet.wait(std::chrono::seconds(60));
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(std::regex_search(r.out, std::regex("\n16/16 done: 3 correct, 9 incorrect, 4 no answer, [0-9]+ s\n$")))
        << r.out;
    // Each box's line, and the last lines of a failing one's check.
    EXPECT_TRUE(std::regex_search(r.out,
        std::regex("(^|\n)hostile-2 incorrect \\[1B\\]\\]0;x\\[07\\]<&\\[FF\\] [0-9]+\n"
                   "  Current channel '\\[1B\\]\\]0;x\\[07\\]<&\\[FF\\]' \\[incorrect\\]\n  Failed\n")))
        << r.out;
    EXPECT_TRUE(std::regex_search(r.out, std::regex("(^|\n)silent-4 no-answer - [0-9]+\n  select timed out\n")))
        << r.out;
    EXPECT_EQ(r.out.find('\x1b'), std::string::npos) << "a box's bytes reached the output";

    const std::string reports = readReports(dir + "/result.json", dir + "/junit.xml");
    EXPECT_TRUE(hasLine(reports, "json 1 16 3 9 4 0")) << reports;
    EXPECT_TRUE(hasLine(reports, "suite testsuites rack<7> 16 9 4 0")) << reports;
    for (const auto& [name, kind] : expected) {
        EXPECT_TRUE(hasLine(reports, "box " + name + " " + kind->outcome + " " + kind->channel)) << name << "\n"
                                                                                                 << reports;
        EXPECT_NE(reports.find("case " + name + " rack<7> " + kind->junit + " " +
                      (std::string(kind->junit) == "passed" ? "" : kind->outcome)),
            std::string::npos)
            << name << "\n"
            << reports;
    }
    EXPECT_NE(reports.find("case broken-3 rack<7> failure box-error: Channel error: X\n"), std::string::npos)
        << reports;
    // Every box has its capture, one whose port never opened too (so that no
    // old capture stands for this run); the fleet's own folder is gone.
    EXPECT_EQ(filesIn(dir + "/captures").size(), 16u);
    EXPECT_EQ(filesIn(dir), (std::vector<std::string>{"captures", "junit.xml", "lab", "result.json"}));
    removeTree(dir);
}

// --wait reaches every check: one box is tuned while it is checked, the
// other stays on another channel until the deadline.
TEST(Fleet, WaitIsPassedToEveryCheck)
{
    SKIP_UNDER_EMULATOR();
    const std::string dir = tempDir();
    Pty tuning;
    StandIn wrong = standIn({"SSCN=102"});
    writeFile(dir + "/lab", "tuning " + tuning.path() + "\nwrong " + wrong.port + "\n");
    Child fleet({Fleet, "--boxes", dir + "/lab", "--channel", "101", "--timeout", "2", "--wait", "--result",
        dir + "/result.json"});
    tuning.waitSetUp(fleet.pid());
    tuning.write(packet({{"SSCN", "100"}}));
    tuning.waitDrained();
    tuning.write(packet({{"SSCN", "101"}}));
    const ChildResult r = fleet.wait();
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_TRUE(std::regex_search(r.out, std::regex("(^|\n)tuning correct 101 [0-9]+\n"))) << r.out;
    EXPECT_TRUE(std::regex_search(r.out,
        std::regex("(^|\n)wrong incorrect 102 [0-9]+\n  Current channel '102' \\[incorrect\\]\n  select timed out\n"
                   "  Current channel '102' \\[incorrect\\]\n  Failed\n")))
        << r.out;
    const std::string result = readFile(dir + "/result.json");
    EXPECT_NE(result.find(R"("channels_seen":["100","101"]})"), std::string::npos) << result;
    EXPECT_NE(result.find(R"("channels_seen":["102"]})"), std::string::npos) << result;
    EXPECT_EQ(boxReceived(tuning), "");
    kill(wrong.sim->pid(), SIGTERM);
    wrong.sim->wait();
    removeTree(dir);
}

TEST(Fleet, RefusesWhatItCannotRunWithAStatusOfItsOwn)
{
    const std::string dir = tempDir();
    writeFile(dir + "/bad", "a /dev/null 1\nb\n");
    writeFile(dir + "/twice", "a /dev/null 1\nb " + dir + "/null 1\n");
    symlink("/dev/null", (dir + "/null").c_str());
    symlink("/dev/zero", (dir + "/zero").c_str());
    mkdir((dir + "/caps").c_str(), 0700);
    struct Case {
        std::vector<std::string> args;
        std::string err; // the first line
    };
    const std::vector<Case> cases{
        {{}, "no boxes: give their ports, or --boxes FILE"},
        {{"/dev/null"}, "port /dev/null has no channel: give --channel, or name it in a boxes file"},
        {{"--channel", "1", "--jobs", "0", "/dev/null"}, "--jobs: not a whole number from 1 to 100000: 0"},
        {{"--channel", "1", "--timeout", "86401", "/dev/null"},
            "--timeout: not a whole number of seconds from 1 to 86400: 86401"},
        {{"--boxes", dir + "/bad"}, dir + "/bad:2: a box is written NAME PORT [CHANNEL], not 'b'"},
        {{"--boxes", dir + "/twice"},
            dir + "/twice:2: port " + dir + "/null is also the port of box 'a' (" + dir +
                "/twice:1): two checks on one port would each see half of what the box sends"},
        // One server port named two ways is one port, refused before any check starts.
        {{"--channel", "1", "rfc2217://127.0.0.1:4001", "RFC2217://localhost:04001"},
            "command line: port RFC2217://localhost:04001 is also the port of box '127.0.0.1_4001' (command line): "
            "two checks on one port would each see half of what the box sends"},
        {{"--boxes", dir + "/none"}, "boxes file " + dir + "/none: No such file or directory"},
        {{"--channel", "1", "/dev/null", "--junit", dir + "/out", "--result", dir + "/./out"},
            "--junit and --result name the same file"},
        {{"--channel", "1", "/dev/null", "--capture-dir", dir + "/bad"}, "--capture-dir " + dir + "/bad: not a folder"},
        {{"--channel", "1", "/dev/null", "--bogus"}, "unrecognized option '--bogus'"},
        // The reports' files: in a folder that exists, and never a file the
        // checks use (a link to a port would become a regular file).
        {{"--channel", "1", "/dev/null", "--junit", dir + "/no/j.xml"},
            "--junit " + dir + "/no/j.xml: folder " + dir + "/no: No such file or directory"},
        {{"--channel", "1", "/dev/zero", "--junit", dir + "/zero"}, "--junit " + dir + "/zero is also the port of box 'zero'"},
        {{"--channel", "1", "/dev/null", "--capture-dir", dir + "/caps", "--result", dir + "/caps/null.cap"},
            "--result " + dir + "/caps/null.cap is also the capture file of box 'null'"},
        {{"--channel", "1", "/dev/null", "--capture-dir", dir + "/new", "--junit", dir + "/new/null.cap"},
            "--junit " + dir + "/new/null.cap: folder " + dir + "/new: No such file or directory"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> argv{Fleet};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        Child child(argv);
        const ChildResult r = child.wait();
        EXPECT_EQ(r.status, 3) << c.err;
        // Named as it was called, as getopt's own refusals would name it.
        EXPECT_EQ(r.err.substr(0, r.err.find('\n')), Fleet + ": " + c.err);
        EXPECT_EQ(r.out, "");
    }
    EXPECT_EQ(filesIn(dir), (std::vector<std::string>{"bad", "caps", "null", "twice", "zero"})) << "nothing was written";
    EXPECT_EQ(filesIn(dir + "/caps"), std::vector<std::string>{});
    removeTree(dir);
}

// --help and --version answer on the standard output; an answer that could
// not be written is a failure, never a false success.
TEST(Fleet, HelpAndVersionSayWhetherTheyWereWritten)
{
    const std::pair<std::string, std::string> cases[] = {
        {"--help", "usage: " + Fleet + " --channel N [options] PORT...\n"},
        {"--version", std::string("quarvo-fleet ") + QUARVO_VERSION + "\n"}};
    for (const auto& [option, outStart] : cases) {
        Child child({Fleet, option});
        const ChildResult r = child.wait();
        EXPECT_EQ(r.status, 0) << option;
        EXPECT_EQ(r.out.substr(0, outStart.size()), outStart) << option;
        const int full = open("/dev/full", O_WRONLY);
        ASSERT_GE(full, 0);
        Child onFull({Fleet, option}, -1, -1, full);
        close(full);
        EXPECT_EQ(onFull.wait().status, 1) << option;
    }
}

// A box whose check cannot be started is that box's error; the others go on.
// A copy of the fleet in `dir`, where it finds a check-quarvo put there.
std::string fleetIn(const std::string& dir)
{
    const std::string copy = dir + "/quarvo-fleet";
    writeFile(copy, readFile(Fleet));
    chmod(copy.c_str(), 0755);
    return copy;
}

TEST(Fleet, ABoxWhoseCheckCannotStartIsThatBoxsError)
{
    SKIP_UNDER_EMULATOR();
    const std::string dir = tempDir();
    const std::string copy = fleetIn(dir);
    const char* path = std::getenv("PATH");
    const std::string savedPath = path != nullptr ? path : "";
    setenv("PATH", dir.c_str(), 1);
    Child alone({copy, "--channel", "101", "--plain", "/dev/null", "/dev/zero"});
    ChildResult r = alone.wait();
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out,
        "null start-failed - 0\n  " + copy + ": check-quarvo is neither beside this program nor on PATH\n"
        "zero start-failed - 0\n  " + copy + ": check-quarvo is neither beside this program nor on PATH\n"
        "2/2 done: 0 correct, 0 incorrect, 2 no answer, 0 s\n");

    // One that is there but cannot be run.
    writeFile(dir + "/check-quarvo", "");
    chmod((dir + "/check-quarvo").c_str(), 0755);
    Child broken({copy, "--channel", "101", "/dev/null"});
    r = broken.wait();
    setenv("PATH", savedPath.c_str(), 1);
    EXPECT_EQ(r.status, 2);
    EXPECT_TRUE(std::regex_search(r.out,
        std::regex("^null start-failed - [0-9]+\n  " + copy + ": starting " + dir +
            "/check-quarvo failed: Exec format error\n")))
        << r.out;
    removeTree(dir);
}

// Under the emulator children cannot be started; the fleet must say so per
// box and still write complete reports.
TEST(FleetEmulated, SaysWhyNoCheckCouldStart)
{
    if (!Emulated)
        GTEST_SKIP() << "only under the emulator";
    const std::string dir = tempDir();
    Child fleet({Fleet, "--channel", "101", "/dev/null", "--junit", dir + "/j.xml", "--result", dir + "/r.json"});
    const ChildResult r = fleet.wait();
    EXPECT_EQ(r.status, 2);
    EXPECT_TRUE(std::regex_search(r.out,
        std::regex("^null start-failed - [0-9]+\n  .*/quarvo-fleet: starting .*/check-quarvo "
                   "failed: Exec format error\n")))
        << r.out;
    const std::string reports = readReports(dir + "/r.json", dir + "/j.xml");
    EXPECT_TRUE(hasLine(reports, "box null start-failed None")) << reports;
    removeTree(dir);
}

// The checks are the fleet's children: a signal reaches each once, through
// the fleet; boxes never started are skipped; nothing is left behind. Every
// ending signal of the commands' one list does this, an outside alarm too.
TEST(Fleet, EndingSignalMidRunLeavesCompleteFilesAndNoCheck)
{
    SKIP_UNDER_EMULATOR();
    for (const int signo : {SIGTERM, SIGALRM}) {
        const std::string dir = tempDir();
        const std::string tmp = dir + "/tmp";
        mkdir(tmp.c_str(), 0700);
        setenv("TMPDIR", tmp.c_str(), 1);
        std::vector<std::unique_ptr<Pty>> ports;
        std::vector<std::string> argv{Fleet, "--channel", "101", "--jobs", "2", "--timeout", "60", "--junit",
            dir + "/j.xml", "--result", dir + "/r.json"};
        for (int i = 0; i < 4; ++i) {
            ports.push_back(std::make_unique<Pty>());
            argv.push_back(ports.back()->path());
        }
        Child fleet(argv);
        unsetenv("TMPDIR");
        ports[0]->waitSetUp(fleet.pid());
        ports[1]->waitSetUp(fleet.pid());
        const std::vector<pid_t> checks = childrenOf(fleet.pid());
        ASSERT_EQ(checks.size(), 2u);
        kill(fleet.pid(), signo);
        const ChildResult r = fleet.wait();
        EXPECT_EQ(r.status, 128 + signo) << r.out << r.err;
        for (const pid_t check : checks)
            EXPECT_TRUE(gone(check)) << check;
        const std::string reports = readReports(dir + "/r.json", dir + "/j.xml");
        EXPECT_TRUE(hasLine(reports, "json " + std::to_string(128 + signo) + " 4 0 0 2 2")) << reports;
        EXPECT_TRUE(hasLine(reports, "suite testsuites quarvo-fleet 4 0 2 2")) << reports;
        for (size_t i = 0; i < 4; ++i) {
            const std::string name = ports[i]->path().substr(ports[i]->path().rfind('/') + 1);
            EXPECT_TRUE(hasLine(reports, "box " + name + (i < 2 ? " interrupted None" : " skipped None"))) << reports;
        }
        EXPECT_EQ(filesIn(tmp), std::vector<std::string>{}) << "the fleet's folder is removed";
        removeTree(dir);
    }
}

// A check that does not end when the fleet passes an ending signal on is
// killed at the end of the grace, or at once when the fleet is told again.
TEST(Fleet, ASecondEndingSignalKillsChecksThatDoNotEnd)
{
    SKIP_UNDER_EMULATOR();
    const std::string dir = tempDir();
    const std::string copy = fleetIn(dir);
    // It says it was told, and goes on.
    writeFile(dir + "/check-quarvo",
        "#!/bin/sh\ntrap ': > " + dir + "/told' TERM\n: > " + dir + "/ready\nwhile :; do sleep 1; done\n");
    chmod((dir + "/check-quarvo").c_str(), 0755);
    Child fleet({copy, "--channel", "101", "--plain", "--timeout", "60", "/dev/null"});
    const auto made = [&](const char* name) { return access((dir + "/" + name).c_str(), F_OK) == 0; };
    ASSERT_TRUE(waitUntil([&] { return made("ready"); }));
    const std::vector<pid_t> checks = childrenOf(fleet.pid());
    ASSERT_EQ(checks.size(), 1u);
    kill(fleet.pid(), SIGTERM);
    ASSERT_TRUE(waitUntil([&] { return made("told"); }));
    const int64_t told = Clock_now();
    kill(fleet.pid(), SIGTERM);
    const ChildResult r = fleet.wait();
    EXPECT_LT(Clock_now() - told, 4 * CLOCK_SECOND) << "not held for the grace";
    EXPECT_EQ(r.status, 128 + SIGTERM) << r.out << r.err;
    EXPECT_TRUE(gone(checks[0]));
    EXPECT_TRUE(std::regex_search(r.out, std::regex("^null interrupted - [0-9]+\n"))) << r.out;
    removeTree(dir);
}

// The write end of a pipe that is full and that nobody reads.
int fullPipe(int* readEnd)
{
    int fds[2];
    if (pipe(fds) != 0)
        std::abort();
    fcntl(fds[1], F_SETFL, O_NONBLOCK);
    const std::string chunk(4096, 'x');
    while (write(fds[1], chunk.data(), chunk.size()) > 0) {
    }
    fcntl(fds[1], F_SETFL, 0); // the fleet gets it as a reader that stopped would leave it
    *readEnd = fds[0];
    return fds[1];
}

// Output nobody takes holds the fleet no longer than its last check's
// deadline and the grace, or an ending signal: meanwhile it goes on
// starting and reaping checks, and its files are written all the same.
TEST(Fleet, OutputNobodyTakesNeverHoldsTheFleet)
{
    SKIP_UNDER_EMULATOR();
    for (const int signo : {0, SIGTERM}) {
        const std::string dir = tempDir();
        int readEnd = -1;
        const int writeEnd = fullPipe(&readEnd);
        Pty a, b;
        Child fleet({Fleet, "--channel", "101", "--jobs", "1", "--timeout", signo == 0 ? "1" : "60", "--junit",
                        dir + "/j.xml", "--result", dir + "/r.json", a.path(), b.path()},
            -1, -1, writeEnd);
        close(writeEnd);
        a.waitSetUp(fleet.pid());
        if (signo != 0)
            kill(fleet.pid(), signo);
        const auto start = std::chrono::steady_clock::now();
        const ChildResult r = fleet.wait(std::chrono::seconds(30));
        const auto took = std::chrono::steady_clock::now() - start;
        close(readEnd);
        const std::string reports = readReports(dir + "/r.json", dir + "/j.xml");
        if (signo == 0) {
            // Two checks of one second one after the other, then 5 s of grace.
            EXPECT_EQ(r.status, 2) << r.err;
            EXPECT_LT(took, std::chrono::seconds(15));
            EXPECT_TRUE(hasLine(reports, "json 2 2 0 0 2 0")) << reports;
        } else {
            EXPECT_EQ(r.status, 128 + signo) << r.err;
            EXPECT_LT(took, std::chrono::seconds(8));
            EXPECT_TRUE(hasLine(reports, "json 143 2 0 0 1 1")) << reports;
        }
        EXPECT_EQ(r.err, Fleet + ": the output was not taken in time: the rest of it is lost\n");
        removeTree(dir);
    }
}

// A reader that leaves (`| head -1`) stops the printing; with files to
// write the rack still completes and they hold the real outcomes, and
// without them SIGPIPE ends the fleet.
TEST(Fleet, AClosedOutputStillGivesTheFilesTheirOutcomes)
{
    SKIP_UNDER_EMULATOR();
    for (const bool files : {true, false}) {
        const std::string dir = tempDir();
        int fds[2];
        ASSERT_EQ(pipe(fds), 0);
        close(fds[0]);
        Pty a, b;
        std::vector<std::string> argv{Fleet, "--channel", "101", "--timeout", "1", a.path(), b.path()};
        if (files)
            argv.insert(argv.end(), {"--junit", dir + "/j.xml", "--result", dir + "/r.json"});
        Child fleet(argv, -1, -1, fds[1]);
        close(fds[1]);
        const ChildResult r = fleet.wait(std::chrono::seconds(30));
        if (files) {
            EXPECT_EQ(r.status, 2) << r.err;
            EXPECT_EQ(r.err, Fleet + ": the standard output was closed: nothing more is printed; the rack goes on "
                                     "for its files\n");
            const std::string reports = readReports(dir + "/r.json", dir + "/j.xml");
            EXPECT_TRUE(hasLine(reports, "json 2 2 0 0 2 0")) << reports;
        } else {
            EXPECT_EQ(r.status, 128 + SIGPIPE) << r.err;
        }
        removeTree(dir);
    }
}

std::string commandLineOf(pid_t pid)
{
    std::string words = readFile("/proc/" + std::to_string(pid) + "/cmdline");
    std::replace(words.begin(), words.end(), '\0', ' ');
    return words;
}

// A stopped check never holds the fleet: one that used the terminal from
// its background group is ended at once, any other once it is 10 s past
// its deadline. Either box has no result, and says why.
TEST(Fleet, StoppedChecksAreEndedByTheFleet)
{
    SKIP_UNDER_EMULATOR();
    const std::string dir = tempDir();
    Pty touched, stopped;
    Child fleet({Fleet, "--channel", "101", "--timeout", "1", "--result", dir + "/r.json", "--junit", dir + "/j.xml",
        touched.path(), stopped.path()});
    touched.waitSetUp(fleet.pid());
    stopped.waitSetUp(fleet.pid());
    const std::vector<pid_t> checks = childrenOf(fleet.pid());
    ASSERT_EQ(checks.size(), 2u);
    for (const pid_t check : checks)
        kill(check, commandLineOf(check).find(touched.path() + " ") != std::string::npos ? SIGTTOU : SIGSTOP);
    const ChildResult r = fleet.wait(std::chrono::seconds(40));
    EXPECT_EQ(r.status, 2) << r.out << r.err;
    for (const pid_t check : checks)
        EXPECT_TRUE(gone(check)) << check;
    const std::string name = [](const Pty& p) { return p.path().substr(p.path().rfind('/') + 1); }(touched);
    const std::string late = stopped.path().substr(stopped.path().rfind('/') + 1);
    EXPECT_TRUE(std::regex_search(r.out, std::regex("(^|\n)" + name + " no-result - [0-9]{1,4}\n")))
        << "ended at once\n"
        << r.out;
    EXPECT_TRUE(std::regex_search(r.out, std::regex("(^|\n)" + late + " no-result - 1[1-9][0-9]{3}\n")))
        << "ended 10 s past its deadline\n"
        << r.out;
    const std::string result = readFile(dir + "/r.json");
    EXPECT_NE(result.find("stopped by SIGTTOU (it used the terminal from the background): ended by the fleet"),
        std::string::npos)
        << result;
    EXPECT_NE(result.find("still running 10 s past its deadline: ended by the fleet"), std::string::npos) << result;
    readReports(dir + "/r.json", dir + "/j.xml");
    removeTree(dir);
}

// A box that floods its check costs the fleet's folder nothing: only the
// last 16 KiB of each check's output is ever kept, in memory.
TEST(Fleet, AFloodingBoxKeepsTheFleetsFolderSmall)
{
    SKIP_UNDER_EMULATOR();
    const std::string dir = tempDir();
    const std::string tmp = dir + "/tmp";
    mkdir(tmp.c_str(), 0700);
    setenv("TMPDIR", tmp.c_str(), 1);
    Pty port;
    Child fleet({Fleet, "--channel", "101", "--timeout", "2", "--junit", dir + "/j.xml", "--plain", port.path()});
    unsetenv("TMPDIR");
    port.waitSetUp(fleet.pid());
    const std::string lines = [] {
        std::string text;
        for (int i = 0; i < 64; ++i)
            text += std::string(60, 'g') + "\n"; // each one reported
        return text;
    }();
    size_t fed = 0;
    off_t largest = 0;
    std::string_view rest;
    waitUntil(
        [&] {
            for (int i = 0; i < 16; ++i) {
                if (rest.empty())
                    rest = lines;
                const ssize_t n = write(port.master(), rest.data(), rest.size());
                if (n <= 0)
                    break;
                rest.remove_prefix(static_cast<size_t>(n));
                fed += static_cast<size_t>(n);
            }
            for (const std::string& folder : filesIn(tmp)) {
                off_t size = 0;
                for (const std::string& file : filesIn(tmp + "/" + folder)) {
                    struct stat st {};
                    if (stat((tmp + "/" + folder + "/" + file).c_str(), &st) == 0)
                        size += st.st_size;
                }
                largest = std::max(largest, size);
            }
            return !fleet.running();
        },
        std::chrono::seconds(30));
    const ChildResult r = fleet.wait();
    EXPECT_EQ(r.status, 2) << r.out << r.err;
    EXPECT_GT(fed, 1u << 20) << "the box did not flood";
    EXPECT_LT(largest, 64 * 1024);
    const std::string junit = readFile(dir + "/j.xml");
    EXPECT_LT(junit.size(), 20u * 1024);
    EXPECT_NE(junit.find("gggg"), std::string::npos) << "the last of what the check printed is there";
    removeTree(dir);
}

TEST(Fleet, KilledFleetLeavesNoCheckRunning)
{
    SKIP_UNDER_EMULATOR();
    const std::string tmp = tempDir();
    setenv("TMPDIR", tmp.c_str(), 1);
    Pty a, b;
    Child fleet({Fleet, "--channel", "101", "--timeout", "60", a.path(), b.path()});
    unsetenv("TMPDIR");
    a.waitSetUp(fleet.pid());
    b.waitSetUp(fleet.pid());
    const std::vector<pid_t> checks = childrenOf(fleet.pid());
    ASSERT_EQ(checks.size(), 2u);
    kill(fleet.pid(), SIGKILL);
    EXPECT_EQ(fleet.wait().status, 128 + SIGKILL);
    for (const pid_t check : checks)
        EXPECT_TRUE(waitUntil([&] { return gone(check); }, std::chrono::seconds(10)))
            << "check " << check << " runs on";
    removeTree(tmp);
}

// On a terminal: a table redrawn in place, fitted to the window and
// following its changes, then the final state and summary.
TEST(Fleet, LiveViewOnATerminalFitsTheWindow)
{
    SKIP_UNDER_EMULATOR();
    Pty screen;
    winsize size{10, 60, 0, 0};
    ioctl(screen.master(), TIOCSWINSZ, &size);
    std::vector<StandIn> sims;
    std::vector<std::unique_ptr<Pty>> silent;
    std::vector<std::string> argv{Fleet, "--channel", "101", "--timeout", "2"};
    for (int i = 0; i < 12; ++i) {
        if (i < 3) {
            sims.push_back(standIn({"SSCN=101"}));
            argv.push_back(sims.back().port);
        } else {
            silent.push_back(std::make_unique<Pty>());
            argv.push_back(silent.back()->path());
        }
    }
    const char* term = std::getenv("TERM");
    const std::string savedTerm = term != nullptr ? term : "";
    setenv("TERM", "xterm", 1);
    Child fleet(argv, -1, -1, screen.slave());
    if (savedTerm.empty())
        unsetenv("TERM");
    else
        setenv("TERM", savedTerm.c_str(), 1);

    std::string shown;
    bool resizedWindow = false;
    const auto drain = [&] {
        char chunk[4096];
        ssize_t n;
        while ((n = read(screen.master(), chunk, sizeof chunk)) > 0)
            shown.append(chunk, static_cast<size_t>(n));
    };
    waitUntil(
        [&] {
            drain();
            // Once the first table is up, the window narrows.
            if (!resizedWindow && shown.find("waiting") != std::string::npos) {
                winsize narrow{7, 56, 0, 0};
                ioctl(screen.master(), TIOCSWINSZ, &narrow);
                kill(fleet.pid(), SIGWINCH);
                resizedWindow = true;
            }
            return !fleet.running();
        },
        std::chrono::seconds(30));
    drain();
    const ChildResult r = fleet.wait();
    EXPECT_EQ(r.status, 2);
    ASSERT_TRUE(resizedWindow);
    EXPECT_EQ(shown.substr(0, 6), "\x1b[?25l") << "the cursor is hidden while the table is drawn";
    EXPECT_EQ(shown.substr(shown.size() - 6), "\x1b[?25h") << "and shown again at the end";
    // Every drawing fits the window (the last one the narrowed window), and
    // the pending boxes come first when they cannot all be shown.
    size_t frames = 0;
    std::vector<std::string> lines;
    for (size_t at = shown.find("\x1b[J"); at != std::string::npos; at = shown.find("\x1b[J", at + 1)) {
        const size_t end = shown.find('\x1b', at + 1);
        const std::string frame = shown.substr(at + 3, end == std::string::npos ? std::string::npos : end - at - 3);
        lines.clear();
        for (size_t p = 0, eol; (eol = frame.find('\n', p)) != std::string::npos; p = eol + 1)
            lines.push_back(frame.substr(p, eol - p));
        EXPECT_LE(lines.size(), 9u) << frame;
        for (const std::string& line : lines)
            EXPECT_LT(line.size(), 60u) << line;
        ASSERT_GT(lines.size(), 3u) << frame;
        EXPECT_EQ(lines[0].substr(0, 4), "NAME");
        EXPECT_EQ(lines[lines.size() - 2].substr(0, 4), "... ") << frame;
        ++frames;
    }
    EXPECT_EQ(lines.size(), 6u) << "the last drawing fits the narrowed window";
    for (const std::string& line : lines)
        EXPECT_LT(line.size(), 56u) << line;
    EXPECT_TRUE(
        std::regex_search(lines.back(), std::regex("^12/12 done: 3 correct, 0 incorrect, 9 no answer, [0-9]+ s$")))
        << lines.back();
    EXPECT_GE(frames, 3u);
    EXPECT_NE(shown.find("waiting"), std::string::npos);
    EXPECT_NE(shown.find("no-answer"), std::string::npos);
}

} // namespace
