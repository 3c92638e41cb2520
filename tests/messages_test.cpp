// Every command reports its errors one way: "PROGRAM: what: why", with the
// name it was invoked by. The long-standing texts (the serial module's
// reports, the log's, the usage text, the parser's complaints) stand as
// they are. One table of each error path's first line.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include "pty_support.h"

namespace {

std::string firstLine(const std::string& text) { return text.substr(0, text.find('\n')); }

TEST(Messages, EachErrorPathsFirstLineFollowsOneConvention)
{
    const std::string check = checkPath();
    const std::string monitor = QUARVO_MONITOR_PATH;
    const std::string term = QUARVO_TERM_PATH;
    const std::string sim = QUARVO_SIM_PATH;
    const std::string fleet = QUARVO_FLEET_PATH;
    const std::string crlf = tempPath("crlf-capture");
    {
        const std::string text = "# quarvo-capture 1\r\n0.000000 a\r\n";
        const int fd = open(crlf.c_str(), O_WRONLY | O_TRUNC);
        ASSERT_EQ(write(fd, text.data(), text.size()), ssize_t(text.size()));
        close(fd);
    }
    const struct {
        std::vector<std::string> argv;
        int status;
        std::string first;
    } cases[] = {
        {{check}, 1, check + " syntax:"},
        {{check, "--channel", "1", "--bogus"}, 1, check + ": unrecognized option '--bogus'"},
        {{check, "--feedback", "/dev/null", "--debug"}, 1, check + ": missing required option --channel"},
        {{check, "--feedback", "/nonexistent/tty", "--channel", "1"}, 1, "/nonexistent/tty: No such file or directory"},
        {{check, "--log", "/nonexistent/dir/log", "--feedback", "x", "--channel", "1"}, 1,
         "opening log file /nonexistent/dir/log for writing failed: No such file or directory"},
        {{check, "--feedback", "x", "--channel", "1", "--timeout", "0"}, 1,
         check + ": --timeout: not a whole number of seconds from 1 to 86400: 0"},
        {{monitor}, 2, monitor + ": no serial port given"},
        {{monitor, "/dev/a", "--count", "0"}, 2, monitor + ": --count: not a whole number from 1 to 1000000000: 0"},
        {{monitor, "/dev/a", "--bogus"}, 2, monitor + ": unrecognized option '--bogus'"},
        {{monitor, "/nonexistent/tty"}, 1, "/nonexistent/tty: No such file or directory"},
        {{monitor, "/dev/a", "--baud", "1234"}, 2, "Unknown baudrate: 1234"},
        {{term, "/dev/a", "--baud", "1234"}, 1, "Unknown baudrate: 1234"},
        {{term}, 1, term + ": no serial port given"},
        {{term, "/dev/a", "--escape", "ab"}, 1, term + ": --escape: not a key: ab"},
        {{term, "/nonexistent/tty"}, 1, "/nonexistent/tty: No such file or directory"},
        {{sim}, 2, sim + ": give one of --record, --raw or --replay"},
        {{sim, "--record", "SSCN=1", "--count", "x"}, 2, sim + ": --count: not a whole number from 0 to 1000000000: x"},
        {{sim, "--raw", "/nonexistent/file"}, 1, sim + ": reading /nonexistent/file failed: No such file or directory"},
        {{sim, "--record", "SSCN=1", "--link", "/nonexistent/dir/box"}, 1,
         sim + ": --link /nonexistent/dir/box: No such file or directory"},
        {{sim, "--replay", crlf}, 1,
         sim + ": " + crlf +
             ":1: stray carriage return at the end of the line (a capture's lines end with a line feed alone, not CRLF)"},
        {{fleet, "--channel", "1", "--timeout", "0", "/dev/null"}, 3,
         fleet + ": --timeout: not a whole number of seconds from 1 to 86400: 0"},
    };
    for (const auto& c : cases) {
        Child child(c.argv);
        const ChildResult r = child.wait(std::chrono::seconds(10));
        EXPECT_EQ(firstLine(r.err), c.first);
        EXPECT_EQ(r.status, c.status) << c.first;
        EXPECT_EQ(r.out, "") << c.first;
    }
    unlink(crlf.c_str());
}

} // namespace
