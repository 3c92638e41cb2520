// The check command end to end: the built program as a child process,
// listening on a real pseudo-terminal.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <unistd.h>

#include "packets.h"
#include "pty_support.h"

namespace {

std::string usage(const std::string& name)
{
    // The text scripts have always seen, kept here word for word.
    const std::string text = R"([--debug] - print debug output
[--log <logfile name>] - log output to file
[--channel <x>] Channel number the quarvo box should be tuned to
[--feedback <serial port>] Port Quarvo box is connected to,
                           eg. /dev/ttyS0
Example:

Check if the Quarvo box connected to ttyS0 is tuned to channel 123 and
not showing any errors:
)";
    return name + " syntax:\n" + text + name + " --feedback /dev/ttyS0 --channel 123\n\n";
}

ChildResult check(const std::string& input, const std::string& channel = "101", bool debug = false)
{
    std::vector<std::string> args{"--feedback", "{port}", "--channel", channel};
    if (debug)
        args.push_back("--debug");
    return runCheck(args, input);
}

const std::string Failed = "Failed\n";
const std::string NoResponse = "Failed reading response from quarvo box.\n";

// A record's value and how the check prints it.
struct Case {
    std::string value, printed;
};

TEST(Check, ExpectedChannelSucceeds)
{
    const ChildResult r = check(packet({{"SSCN", "101"}}));
    EXPECT_EQ(r.out, "Current channel '101' [correct]\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
}

TEST(Check, ChannelIsComparedAsTextAndPrintedInPrintableForm)
{
    const std::vector<Case> cases{
        {"0101", "0101"}, {"10", "10"}, {"1010", "1010"}, {"102", "102"}, {"", ""},
        // A zero byte neither cuts the value short nor makes it equal "101";
        // an escape sequence never reaches the user's terminal.
        {std::string("101\0", 4), "101[00]"}, {"\x1b[2J\x1b[H101", "[1B][2J[1B][H101"}, {"\xC8\x7F", "[C8][7F]"}};
    for (const Case& c : cases) {
        const ChildResult r = check(packet({{"SSCN", c.value}}));
        EXPECT_EQ(r.out, "Current channel '" + c.printed + "' [incorrect]\n" + Failed) << c.printed;
        EXPECT_EQ(r.status, 1) << c.printed;
    }
}

TEST(Check, LastDecidingRecordInAPacketWins)
{
    ChildResult r = check(packet({{"SSCN", "101"}, {"CEER", "X"}}));
    EXPECT_EQ(r.out, "Current channel '101' [correct]\nChannel error: X\n" + Failed);
    EXPECT_EQ(r.status, 1);

    r = check(packet({{"CEER", "X"}, {"SSCN", "101"}}));
    EXPECT_EQ(r.out, "Channel error: X\nCurrent channel '101' [correct]\n");
    EXPECT_EQ(r.status, 0);
}

TEST(Check, ErrorRecordsFail)
{
    struct Case {
        std::string code, printed;
    };
    for (const Case& c : {Case{"PUCP", "Error 'E[0D]1'\n"}, Case{"PUSP", "Error 'E[0D]1'\n"},
                          Case{"SYD1", "SYD1 Error 'E[0D]1'\n"}, Case{"CEER", "Channel error: E[0D]1\n"}}) {
        const ChildResult r = check(packet({{c.code, "E\r1"}}));
        EXPECT_EQ(r.out, c.printed + Failed) << c.code;
        EXPECT_EQ(r.status, 1) << c.code;
    }
}

TEST(Check, UndecidedPacketsAreSkippedUntilOneDecides)
{
    const ChildResult r = check(packet({{"XXXX", "1"}}) + packet({{"sscn", "101"}}) + packet({{"CE00", "12-"}}) +
                                packet({{"CE00", "123"}, {"SSCN", "101"}}));
    EXPECT_EQ(r.out, "New channel number requested: 123Current channel '101' [correct]\n");
    EXPECT_EQ(r.status, 0);
}

TEST(Check, RequestedChannelForms)
{
    const std::vector<Case> cases{
        {"123", "New channel number requested: 123"},
        {"\x7F" "123", "New channel number requested: 0123"},
        {"\x7F" "12", "New channel number requested: [7F]12"},
        {"12-", ""},
        {"-", ""},
        {"1234-", "New channel number requested: 1234"}, // only the first 4 count
        {"\x7F" "123456", "New channel number requested: 0123"},
        {"123-5", ""},
        {"", "New channel number requested: "},
        {std::string("1\0-", 3), "New channel number requested: 1"},
    };
    for (const Case& c : cases) {
        const ChildResult r = check(packet({{"CE00", c.value}, {"SSCN", "101"}}));
        EXPECT_EQ(r.out, c.printed + "Current channel '101' [correct]\n") << c.value;
        EXPECT_EQ(r.status, 0);
    }
}

TEST(Check, DebugTracesEveryRecord)
{
    const ChildResult r = check(packet({{"A\x1b" "CD", "\xC8"}, {"CE00", ""}, {"SSCN", "101"}}), "101", true);
    EXPECT_EQ(r.out,
              "A[1B]CD : [C8] [1 -56]\n"
              "CE00 :  [0 83]\n" // an empty value shows the byte after it: the next code's "S"
              "New channel number requested: SSCN : 101 [3 49]\n"
              "Current channel '101' [correct]\n");
    EXPECT_EQ(r.status, 0);
}

TEST(Check, GarbageAndBadPacketsBeforeAGoodOne)
{
    const std::string input =
        "noise\r" + packet({{"SSCN", "999"}}, {.badChecksum = true}) + "\n01" + packet({{"SSCN", "101"}});
    const ChildResult r = check(input);
    EXPECT_EQ(r.out,
              "Unexpected/invalid characters: [[[noise[0D]]]]\n"
              "Checksum mismatch: 14 vs 13\n"
              "Unexpected/invalid characters: [[[015SSCN01099914]]]\n"
              "Error: 0x0A found in state 1; discarding current buffer contents of [[[01[0A]]]]\n"
              "Current channel '101' [correct]\n");
    EXPECT_EQ(r.status, 0);
}

TEST(Check, EndOfInputBeforeAVerdictFails)
{
    ChildResult r = check("");
    EXPECT_EQ(r.out, NoResponse);
    EXPECT_EQ(r.status, 1);

    r = check(packet({{"CE00", "5-"}}) + "\n015SSCN01");
    EXPECT_EQ(r.out, NoResponse);
    EXPECT_EQ(r.status, 1);
}

TEST(Check, FewerThanThreeArgumentsShowTheUsage)
{
    const std::string name = checkPath();
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {}, {"--channel=1"}, {"--channel=1", "--feedback=/dev/ttyS0"}}) {
        Child child([&] {
            std::vector<std::string> argv{name};
            argv.insert(argv.end(), args.begin(), args.end());
            return argv;
        }());
        const ChildResult r = child.wait();
        EXPECT_EQ(r.err, usage(name));
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.status, 1);
    }
}

// --help and --version alone are answered, not refused for want of
// arguments; every other short command line still gets the usage text.
TEST(Check, HelpAndVersionOnTheStandardOutput)
{
    const std::string check = checkPath();
    const std::string term = QUARVO_TERM_PATH;
    const std::string checkHelp = "Usage: " + check + " --feedback PORT --channel NUMBER [options]\n";
    struct Case {
        std::vector<std::string> argv;
        int status;
        std::string outStart;
        std::string err;
    };
    const std::vector<Case> cases{
        {{check, "--help"}, 0, checkHelp, ""},
        {{check, "--version"}, 0, std::string("check-quarvo ") + QUARVO_VERSION + "\n", ""},
        {{check, "--feedback", "/dev/null", "--channel", "1", "--help"}, 0, checkHelp, ""},
        {{check, "--help", "x"}, 1, "", usage(check)},
        {{check, "--vers"}, 1, "", usage(check)},
        {{term, "--help"}, 0, "Usage: " + term + " PORT [options]\n", ""},
    };
    for (const Case& c : cases) {
        Child child(c.argv);
        const ChildResult r = child.wait();
        EXPECT_EQ(r.status, c.status) << c.argv[1];
        EXPECT_EQ(r.out.substr(0, c.outStart.size()), c.outStart) << c.argv[1];
        EXPECT_EQ(r.out.empty(), c.outStart.empty()) << c.argv[1];
        EXPECT_EQ(r.err, c.err) << c.argv[1];
    }
    // Every option, one line each.
    Child help({check, "--help"});
    const std::string out = help.wait().out;
    for (const char* option : {"feedback", "channel", "debug", "log", "capture", "timeout", "reconnect", "result",
                               "distinct-status", "help", "version"})
        EXPECT_NE(out.find(std::string("\n  --") + option + " "), std::string::npos) << option;
}

TEST(Check, ExtraWordPassesTheCountAndIsIgnoredWhateverTheEnvironment)
{
    for (const bool posixlyCorrect : {false, true}) {
        // Options after a stray word are still read when POSIXLY_CORRECT is set.
        if (posixlyCorrect)
            setenv("POSIXLY_CORRECT", "1", 1);
        const ChildResult r = runCheck({"--channel=101", "extra", "--feedback", "{port}"}, packet({{"SSCN", "101"}}));
        unsetenv("POSIXLY_CORRECT");
        EXPECT_EQ(r.out, "Current channel '101' [correct]\n") << posixlyCorrect;
        EXPECT_EQ(r.err, "") << posixlyCorrect;
        EXPECT_EQ(r.status, 0) << posixlyCorrect;
    }
}

// With a standard stream closed by the caller, the port must not take its
// number: the verdict would be written to the box.
TEST(Check, ClosedStandardStreamsNeverSendAnythingToTheBox)
{
    for (const int closed : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
        for (const bool withLog : {false, true}) {
            const std::string log = tempPath("closed-stream-log");
            Pty pty;
            std::vector<std::string> argv{checkPath(), "--feedback", pty.path(), "--channel", "101"};
            if (withLog)
                argv.insert(argv.end(), {"--log", log});
            Child child(argv, -1, closed);
            pty.waitSetUp(child.pid());
            pty.write(packet({{"SSCN", "102"}}), child.pid());
            const ChildResult r = child.wait();
            const std::string where = "closed " + std::to_string(closed) + (withLog ? " with log" : "");
            EXPECT_EQ(r.status, 1) << where;
            char byte;
            EXPECT_EQ(read(pty.master(), &byte, 1), -1) << where << ": the box received something";
            const std::string printed = "Current channel '102' [incorrect]\n" + Failed;
            const bool lost = closed == STDOUT_FILENO && !withLog; // printed to /dev/null
            EXPECT_EQ(withLog ? readFile(log) : r.out, lost ? "" : printed) << where;
            unlink(log.c_str());
        }
    }
}

// The verdict stays in the status; output lost on a full disk is reported.
TEST(Check, OutputThatCannotBeWrittenIsReported)
{
    const int full = open("/dev/full", O_WRONLY);
    ASSERT_GE(full, 0);
    Pty pty;
    Child child({checkPath(), "--feedback", pty.path(), "--channel", "101"}, -1, -1, full);
    close(full);
    pty.waitSetUp(child.pid());
    pty.write(packet({{"SSCN", "101"}}), child.pid());
    const ChildResult r = child.wait();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, checkPath() + ": writing the output failed: No space left on device\n");
}

// A log that cannot be written is said where the caller sees it, and in
// the result; the verdict still decides the status.
TEST(Check, LogThatCannotBeWrittenIsReportedOnTheOriginalErrorOutput)
{
    const std::string result = tempPath("full-log-result");
    const ChildResult r = runCheck({"--feedback", "{port}", "--channel", "101", "--log", "/dev/full", "--result", result},
                                   packet({{"SSCN", "101"}}));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, checkPath() + ": writing the log /dev/full failed: No space left on device\n");
    EXPECT_NE(readFile(result).find(R"("output_error":"No space left on device",)"), std::string::npos);
    unlink(result.c_str());
}

// Descriptor numbers past 1024 do not fit a select set; a parent that leaks
// descriptors must not change the verdict.
TEST(Check, PortDescriptorAboveTheSelectLimit)
{
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    if (limit.rlim_max < 1200)
        GTEST_SKIP() << "no room for 1,100 descriptors";
    const rlimit saved = limit;
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
    std::vector<int> leaked;
    for (int i = 0; i < 1100; ++i)
        leaked.push_back(open("/dev/null", O_RDONLY)); // inherited by the check
    const ChildResult r = check(packet({{"SSCN", "101"}}));
    for (int fd : leaked)
        close(fd);
    setrlimit(RLIMIT_NOFILE, &saved);
    EXPECT_EQ(r.out, "Current channel '101' [correct]\n");
    EXPECT_EQ(r.status, 0);
}

TEST(Check, RejectedOptionsShowTheParserComplaintThenUsage)
{
    const std::string name = checkPath();
    struct Case {
        std::vector<std::string> args;
        std::string complaint;
    };
    const std::vector<Case> cases{
        {{"--channel", "1", "-x"}, name + ": invalid option -- 'x'\n"},
        {{"--channel", "1", "--verbose"}, name + ": unrecognized option '--verbose'\n"},
        {{"--channel", "1", "--feedback"}, name + ": option '--feedback' requires an argument\n"},
        {{"--channel", "1", "--debug=1"}, name + ": option '--debug' doesn't allow an argument\n"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> argv{name};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        Child child(argv);
        const ChildResult r = child.wait();
        EXPECT_EQ(r.err, c.complaint + usage(name));
        EXPECT_EQ(r.status, 1);
    }
}

TEST(Check, UnambiguousPrefixesAndLaterOptionsWin)
{
    const ChildResult r = runCheck({"--chan", "7", "--feed", "/nonexistent", "--fe", "{port}", "--c", "101", "--deb"},
                                   packet({{"SSCN", "101"}}));
    EXPECT_EQ(r.out, "SSCN : 101 [3 49]\nCurrent channel '101' [correct]\n");
    EXPECT_EQ(r.status, 0);
}

TEST(Check, MissingOptionsAreNamedAndThePortIsNotOpened)
{
    const std::string name = checkPath();
    Child noChannel({name, "--feedback", "/nonexistent/port", "--debug"});
    ChildResult r = noChannel.wait();
    EXPECT_EQ(r.err, name + ": missing required option --channel\n" + usage(name));
    EXPECT_EQ(r.status, 1);

    Child neither({name, "--debug", "x", "y"});
    r = neither.wait();
    EXPECT_EQ(r.err, name + ": missing required option --channel\n" + usage(name));

    Child noPort({name, "--channel", "1", "--debug"});
    r = noPort.wait();
    EXPECT_EQ(r.err, name + ": missing required option --feedback\n" + usage(name));
    EXPECT_EQ(r.status, 1);
}

TEST(Check, PortThatCannotBeOpened)
{
    const std::string name = checkPath();
    Child missing({name, "--feedback", "/nonexistent/ttyQ", "--channel", "1"});
    ChildResult r = missing.wait();
    EXPECT_EQ(r.err, "/nonexistent/ttyQ: No such file or directory\n"
                     "Opening feedback serial port failed: No such file or directory\n");
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.status, 1);

    const std::string file = tempPath("plain-file");
    Child regular({name, "--feedback", file, "--channel", "1"});
    r = regular.wait();
    EXPECT_EQ(r.err, "tcsetattr: Inappropriate ioctl for device\n"
                     "Opening feedback serial port failed: Inappropriate ioctl for device\n");
    EXPECT_EQ(r.status, 1);
    unlink(file.c_str());
}

TEST(Check, PortInUseByAnotherProgramIsRefusedAtOnce)
{
    Pty pty;
    Child first({checkPath(), "--feedback", pty.path(), "--channel", "101"});
    waitUntilLocked(first.pid());
    Child second({checkPath(), "--feedback", pty.path(), "--channel", "101"});
    const ChildResult r = second.wait(std::chrono::seconds(10));
    EXPECT_EQ(r.err, pty.path() + ": port is in use by another program\n"
                                  "Opening feedback serial port failed: Device or resource busy\n");
    EXPECT_EQ(r.status, 1);
    pty.write(packet({{"SSCN", "101"}}));
    EXPECT_EQ(first.wait().status, 0);
    // The port's exclusive mode ends with the check, so the next can open it.
    int exclusive = 0;
    if (ioctl(pty.slave(), TIOCGEXCL, &exclusive) == 0) { // not under an emulator
        EXPECT_EQ(exclusive, 0);
    }
}

TEST(Check, LogAppendsBothStreamsAndNeverTruncates)
{
    const std::string log = tempPath("check-log");
    {
        const int fd = open(log.c_str(), O_WRONLY | O_APPEND);
        ASSERT_EQ(write(fd, "earlier\n", 8), 8);
        close(fd);
    }
    ChildResult r = runCheck({"--log", log, "--feedback", "{port}", "--log", log, "--channel", "101"},
                             packet({{"SSCN", "101"}}));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(readFile(log), "earlier\nCurrent channel '101' [correct]\n");

    // Errors land in the log too, after what is already there.
    const std::string name = checkPath();
    Child bad({name, "--log", log, "--channel", "1", "--bogus"});
    r = bad.wait();
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(readFile(log), "earlier\nCurrent channel '101' [correct]\n" + name + ": unrecognized option '--bogus'\n" +
                                 usage(name));
    unlink(log.c_str());
}

TEST(Check, UnopenableLogFileIsReportedWhereErrorsWentBefore)
{
    const std::string name = checkPath();
    Child child({name, "--log", "/nonexistent/dir/check.log", "--feedback", "/dev/null", "--channel", "1"});
    const ChildResult r = child.wait();
    EXPECT_EQ(r.err, "opening log file /nonexistent/dir/check.log for writing failed: No such file or directory\n");
    EXPECT_EQ(r.status, 1);
}

} // namespace
