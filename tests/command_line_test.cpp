#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <termios.h>
#include <unistd.h>
#include <vector>

#include "clock.h"
#include "command_line.h"
#include "pty_support.h"

namespace {

TEST(CommandLine, WholeNumbersAreStrict)
{
    struct Case {
        const char* text;
        int base;
        long long min;
        long long max;
        bool ok;
        long long value;
    };
    std::vector<Case> cases{
        {"5", 10, 1, 10, true, 5},      {"1", 10, 1, 10, true, 1},     {"10", 10, 1, 10, true, 10},
        {"-3", 10, -5, 5, true, -3},    {"+4", 10, 1, 10, true, 4},    {"007", 10, 1, 10, true, 7},
        {"-", 10, -5, 5, false, 0},     {".5", 10, 0, 10, false, 0},   {"1e3", 10, 1, 10000, false, 0},
        {"99999999999999999999", 10, 0, LLONG_MAX, false, 0},
        {"-99999999999999999999", 10, LLONG_MIN, 0, false, 0},
        {"9223372036854775807", 10, 0, LLONG_MAX, true, LLONG_MAX},
        // Base 0 also takes hexadecimal and octal, for byte values.
        {"0x1d", 0, 0, 255, true, 29},  {"035", 0, 0, 255, true, 29},  {"0x100", 0, 0, 255, false, 0},
        {" 0x1d", 0, 0, 255, false, 0}, {"0x1d", 10, 0, 255, false, 0},
    };
    // Out of range, or not a plain number, however near.
    for (const char* text : {"0", "11", " 5", "5 ", "\t5", "5\n", "", "+ 5", "5x", "x5", "5.0"})
        cases.push_back({text, 10, 1, 10, false, 0});
    for (const Case& c : cases) {
        long long got = -42;
        EXPECT_EQ(commandLine_parseWhole(c.text, c.base, c.min, c.max, &got), c.ok) << '"' << c.text << '"';
        EXPECT_EQ(got, c.ok ? c.value : -42) << '"' << c.text << '"';
    }
}

TEST(CommandLine, RealNumbersAreStrictAndFinite)
{
    const struct {
        const char* text;
        bool ok;
        double value;
    } cases[] = {
        {"2.5", true, 2.5}, {".5", true, 0.5}, {"-1", true, -1}, {"1e3", true, 1000}, {"+0.25", true, 0.25},
        {" 2", false, 0},   {"2 ", false, 0},  {"", false, 0},   {"nan", false, 0},   {"inf", false, 0},
        {"1e999", false, 0}, {"2s", false, 0}, {"-.", false, 0},
    };
    for (const auto& c : cases) {
        double got = -42;
        EXPECT_EQ(commandLine_parseReal(c.text, &got), c.ok) << '"' << c.text << '"';
        EXPECT_EQ(got, c.ok ? c.value : -42) << '"' << c.text << '"';
    }
}

TEST(CommandLine, LineSpeedsAreTheSerialModules)
{
    const struct {
        const char* text;
        int result;
        std::string err;
    } cases[] = {
        {"300", 1, ""},       {"9600", 1, ""},   {"19200", 1, ""},   {"57600", 1, ""},
        {"115200", 1, ""},    {"fast", -1, ""},  {" 9600", -1, ""},  {"9600 ", -1, ""},
        {"1e3", -1, ""},      {"0x2580", -1, ""},
        {"1234", 0, "Unknown baudrate: 1234\n"},  {"38400", 0, "Unknown baudrate: 38400\n"},
        {"0", 0, "Unknown baudrate: 0\n"},        {"-9600", 0, "Unknown baudrate: -9600\n"},
        // Too large for any speed, and named as typed.
        {"99999999999", 0, "Unknown baudrate: 99999999999\n"},
        {"-99999999999999999999", 0, "Unknown baudrate: -99999999999999999999\n"},
        {"038400", 0, "Unknown baudrate: 038400\n"},
    };
    for (const auto& c : cases) {
        int baud = -42;
        testing::internal::CaptureStderr();
        EXPECT_EQ(commandLine_parseBaud(c.text, &baud), c.result) << c.text;
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.err) << c.text;
        EXPECT_EQ(baud, c.result == 1 ? std::stoi(c.text) : -42) << c.text;
    }
}

TEST(CommandLine, OneSerialPort)
{
    char a[] = "cmd", b[] = "/dev/x", d[] = "/dev/y";
    char* argv[] = {a, b, d};
    const struct {
        std::vector<const char*> words;
        int first; // argv[first..3) came after "--"
        const char* port;
        std::string err;
    } cases[] = {
        {{"/dev/p"}, 3, "/dev/p", ""},
        {{}, 2, "/dev/y", ""},
        {{}, 3, nullptr, "cmd: no serial port given\n"},
        {{"/dev/p"}, 2, nullptr, "cmd: more than one serial port given\n"},
        {{"/dev/p", "/dev/q"}, 3, nullptr, "cmd: more than one serial port given\n"},
    };
    for (const auto& c : cases) {
        testing::internal::CaptureStderr();
        const char* port = commandLine_singlePort(c.words, 3, argv, c.first, "cmd");
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.err);
        EXPECT_STREQ(port, c.port);
    }
}

// An unknown line speed is refused before anything is opened: the port is
// left as it was set up and no capture is made.
TEST(CommandLine, MonitorAndTerminalRefuseAnUnknownLineSpeedBeforeOpeningAnything)
{
    const struct {
        std::string program;
        int status;
    } cases[] = {{QUARVO_MONITOR_PATH, 2}, {QUARVO_TERM_PATH, 1}};
    for (const auto& c : cases) {
        Pty pty;
        termios before{};
        ASSERT_EQ(tcgetattr(pty.slave(), &before), 0);
        const std::string capture = tempPath("unknown-speed");
        unlink(capture.c_str()); // a name nobody holds
        Child child({c.program, pty.path(), "--capture", capture, "--baud", "1234"});
        const ChildResult r = child.wait(std::chrono::seconds(10));
        EXPECT_EQ(r.status, c.status) << c.program;
        EXPECT_EQ(r.err, "Unknown baudrate: 1234\n") << c.program;
        EXPECT_EQ(r.out, "") << c.program;
        termios after{};
        ASSERT_EQ(tcgetattr(pty.slave(), &after), 0);
        EXPECT_EQ(cfgetispeed(&after), cfgetispeed(&before)) << c.program;
        EXPECT_EQ(after.c_cflag, before.c_cflag) << c.program;
        EXPECT_NE(access(capture.c_str(), F_OK), 0) << c.program;
        unlink(capture.c_str());
    }
}

} // namespace

// The one time type: saturating, never negative, rounded up for poll.
TEST(Clock, DeadlinesSaturateAndRoundUp)
{
    EXPECT_TRUE(Deadline_isNever(Deadline_after(5, INT64_MAX - 2)));
    EXPECT_EQ(Deadline_after(5, 10).at, 15);
    EXPECT_EQ(Deadline_left({10}, 25), 0);
    EXPECT_EQ(Deadline_left(DEADLINE_NEVER, 25), INT64_MAX);
    EXPECT_TRUE(Deadline_passed({10}, 10));
    EXPECT_FALSE(Deadline_passed(DEADLINE_NEVER, INT64_MAX - 1));
    EXPECT_EQ(Deadline_pollMs({CLOCK_MILLISECOND + 1}, 0), 2);
    EXPECT_EQ(Deadline_pollMs({3'000'000 * CLOCK_SECOND}, 0), INT_MAX);
    EXPECT_EQ(Deadline_pollMs(DEADLINE_NEVER, 0), -1);
    timespec storage{};
    EXPECT_EQ(Deadline_timespec(DEADLINE_NEVER, 0, &storage), nullptr);
    const timespec* left = Deadline_timespec({3 * CLOCK_SECOND + 7}, CLOCK_SECOND, &storage);
    ASSERT_NE(left, nullptr);
    EXPECT_EQ(left->tv_sec, 2);
    EXPECT_EQ(left->tv_nsec, 7);
    const int64_t first = Clock_now();
    EXPECT_LE(first, Clock_now());
}
