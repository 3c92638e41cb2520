// The stand-in box: the check must pass and fail against it exactly as it
// would against a real box.
#include <gtest/gtest.h>

#include <csignal>
#include <unistd.h>

#include "packet.h"
#include "pty_support.h"

namespace {

ChildResult checkAgainst(const std::vector<std::string>& simArgs, const std::string& channel, int stdinFd = -1)
{
    std::vector<std::string> argv{QUARVO_SIM_PATH};
    argv.insert(argv.end(), simArgs.begin(), simArgs.end());
    Child sim(argv, stdinFd);
    const std::string port = firstLineOf(sim);
    EXPECT_EQ(port.rfind("/dev/pts/", 0), 0u) << port;
    Child check({checkPath(), "--feedback", port, "--channel", channel});
    ChildResult r = check.wait(std::chrono::seconds(20));
    sim.wait(std::chrono::seconds(10));
    return r;
}

TEST(Packet, EncodesTheFormatTheBoxSends)
{
    std::string error;
    EXPECT_EQ(encodePacket({{"SSCN", "101"}}, {}, &error), "\n015SSCN010101FA");
    EXPECT_EQ(encodePacket({{"SSCN", "101"}, {"CEER", "X"}}, {}, &error), "\n023SSCN010101CEER008X08");
    PacketOptions lower;
    lower.lowerCaseHex = true;
    EXPECT_EQ(encodePacket({{"SSCN", "101"}}, lower, &error), "\n015SSCN010101fa");
    EXPECT_EQ(encodePacket({{"SSC", "1"}}, {}, &error), "");
    EXPECT_EQ(encodePacket({{"SSCN", "1\n"}}, {}, &error), "");
    EXPECT_EQ(encodePacket({}, {}, &error), "");
    EXPECT_EQ(encodePacket({{"SSCN", std::string(993, 'x')}}, {}, &error), "");

    SimRecord record;
    EXPECT_TRUE(parseRecord("CE00=\\x7F123", &record, &error));
    EXPECT_EQ(record.value, "\x7F" "123");
    EXPECT_FALSE(parseRecord("CE00", &record, &error));
    EXPECT_FALSE(parseRecord("CE0=1", &record, &error));
    EXPECT_FALSE(parseRecord("CE00=\\x7", &record, &error));
    EXPECT_FALSE(parseRecord("CE00=\\x0A", &record, &error));

    // Escapes: a doubled backslash, or \x and two hex digits of either case.
    const std::pair<std::string, std::string> escapes[] = {
        {"a\\\\b", "a\\b"}, {"\\x41\\x6a\\xfF", "Aj\xff"}, {"\\\\x41", "\\x41"}, {"", ""}};
    std::string bytes;
    for (const auto& [text, meant] : escapes) {
        EXPECT_TRUE(unescape(text, &bytes)) << text;
        EXPECT_EQ(bytes, meant) << text;
    }
    for (const char* bad : {"\\", "a\\x4", "\\x4g", "\\y41", "\\x+1", "\\x-1"})
        EXPECT_FALSE(unescape(bad, &bytes)) << bad;
}

TEST(Sim, CheckPassesAndFailsAgainstTheStandInBox)
{
    ChildResult r = checkAgainst({"--record", "SSCN=101", "--count", "1"}, "101");
    EXPECT_EQ(r.out, "Current channel '101' [correct]\n");
    EXPECT_EQ(r.status, 0);

    r = checkAgainst({"--record", "SSCN=101", "--record", "CEER=X", "--count", "1"}, "101");
    EXPECT_EQ(r.out, "Current channel '101' [correct]\nChannel error: X\nFailed\n");
    EXPECT_EQ(r.status, 1);

    // The check decides on the first packet; the box ends once it is gone.
    r = checkAgainst({"--record", "SSCN=7", "--garbage", "x\\x01", "--count", "1"}, "7");
    EXPECT_EQ(r.out, "Unexpected/invalid characters: [[[x[01]]]]\nCurrent channel '7' [correct]\n");
    EXPECT_EQ(r.status, 0);
}

TEST(Sim, BadChecksumsNeverSettleTheCheck)
{
    const ChildResult r =
        checkAgainst({"--record", "SSCN=101", "--bad-checksum", "--count", "2", "--interval", "10", "--linger", "2000"},
                     "101");
    EXPECT_EQ(r.out, "Checksum mismatch: fb vs fa\n"
                     "Unexpected/invalid characters: [[[015SSCN010101FB]]]\n"
                     "Checksum mismatch: fb vs fa\n"
                     "Failed reading response from quarvo box.\n");
    EXPECT_EQ(r.status, 1);
}

TEST(Sim, RawBytesFromStandardInput)
{
    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    const std::string bytes = "\n015SSCN010101FA";
    ASSERT_EQ(write(pipeFds[1], bytes.data(), bytes.size()), ssize_t(bytes.size()));
    close(pipeFds[1]);
    const ChildResult r = checkAgainst({"--raw", "-"}, "101", pipeFds[0]);
    close(pipeFds[0]);
    EXPECT_EQ(r.out, "Current channel '101' [correct]\n");
    EXPECT_EQ(r.status, 0);
}

// The packet sent just before the port vanishes reaches its reader first.
TEST(Sim, VanishingPortLetsItsReaderTakeTheLastPacket)
{
    char dir[] = "/tmp/vanish-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string link = std::string(dir) + "/box";
    Child sim({QUARVO_SIM_PATH, "--record", "SSCN=101", "--link", link, "--vanish-after", "2", "--interval", "1000"});
    ASSERT_EQ(firstLineOf(sim).rfind("/dev/pts/", 0), 0u);
    // The monitor ends when the port goes.
    Child monitor({QUARVO_MONITOR_PATH, link});
    const ChildResult r = monitor.wait();
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.err.find(": 2 packets, "), std::string::npos) << r.out << r.err;
    kill(sim.pid(), SIGTERM);
    sim.wait();
    rmdir(dir);
}

TEST(Sim, UsageErrors)
{
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {}, {"--record", "SSC=1"}, {"--record", "SSCN=1", "--count", "x"}, {"--record", "SSCN=1", "--raw", "-"},
             {"--record", "SSCN=1", "extra"}, {"--bogus"},
             // Numbers out of range or with a blank, and options --raw cannot honour.
             {"--record", "SSCN=1", "--linger", "9223372036854775807"}, {"--record", "SSCN=1", "--interval", "-1"},
             {"--record", "SSCN=1", "--count", "1000000001"}, {"--record", "SSCN=1", "--count", " 2"},
             {"--raw", "-", "--count", "2"},
             {"--raw", "-", "--interval", "5"}, {"--raw", "-", "--garbage", "x"}, {"--raw", "-", "--bad-checksum"}}) {
        std::vector<std::string> argv{QUARVO_SIM_PATH};
        argv.insert(argv.end(), args.begin(), args.end());
        Child sim(argv);
        const ChildResult r = sim.wait(std::chrono::seconds(5));
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.out, "");
        EXPECT_NE(r.err, "");
    }
    Child missing({QUARVO_SIM_PATH, "--raw", "/nonexistent/file"});
    const ChildResult r = missing.wait(std::chrono::seconds(5));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, std::string(QUARVO_SIM_PATH) + ": reading /nonexistent/file failed: No such file or directory\n");
}

} // namespace
