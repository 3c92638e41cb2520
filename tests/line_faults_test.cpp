// Faults of the line: devices that vanish, floods of garbage, every kind of
// broken packet, silence until the deadline, and a leak check of the command.
#include <gtest/gtest.h>

#include <random>
#include <sys/resource.h>

#include "packets.h"
#include "pty_support.h"

namespace {

const std::string Correct = "Current channel '101' [correct]\n";
const std::string NoResponse = "Failed reading response from quarvo box.\n";

std::string lastLine(const std::string& text)
{
    const size_t end = text.size() > 0 && text.back() == '\n' ? text.size() - 1 : text.size();
    const size_t start = text.rfind('\n', end == 0 ? 0 : end - 1);
    return text.substr(start == std::string::npos ? 0 : start + 1);
}

std::vector<std::string> checkArgs(const std::string& port)
{
    return {checkPath(), "--feedback", port, "--channel", "101"};
}

TEST(LineFaults, DeviceVanishingMidPacketEndsTheCheckAtOnce)
{
    Pty pty;
    Child child(checkArgs(pty.path()));
    pty.waitSetUp(child.pid());
    pty.write("\n015SSCN01", child.pid());
    pty.waitDrained(child.pid());
    const auto before = std::chrono::steady_clock::now();
    pty.closeMaster();
    const ChildResult r = child.wait(std::chrono::seconds(10));
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(2));
    EXPECT_EQ(r.out, NoResponse);
    EXPECT_EQ(r.status, 1);
}

TEST(LineFaults, MegabyteOfGarbageThenAGoodPacket)
{
    std::mt19937 random(7);
    std::string garbage(1 << 20, '\0');
    for (char& c : garbage)
        c = static_cast<char>(random());
    const ChildResult r = runCheck({"--feedback", "{port}", "--channel", "101"}, garbage + packet({{"SSCN", "101"}}));
    EXPECT_EQ(lastLine(r.out), Correct);
    EXPECT_EQ(r.status, 0);
}

TEST(LineFaults, LongRunWithoutLineFeedIsDroppedWithAReport)
{
    const std::string run(16 * 1024 + 100, 'Q');
    const ChildResult r = runCheck({"--feedback", "{port}", "--channel", "101"}, run + packet({{"SSCN", "101"}}));
    EXPECT_EQ(r.out, "Buffer full, ignored: [[[" + std::string(16384, 'Q') + "]]]\nUnexpected/invalid characters: [[[" +
                         std::string(100, 'Q') + "]]]\n" + Correct);
    EXPECT_EQ(r.status, 0);
}

TEST(LineFaults, EveryKindOfBrokenPacketBeforeAGoodOne)
{
    PacketOptions badSum;
    badSum.badChecksum = true;
    PacketOptions tooShort;
    tooShort.lengthOverride = 4;
    PacketOptions tooLong;
    tooLong.lengthOverride = 30;
    const std::string deciding = packet({{"SSCN", "999"}});
    std::string input = "boot\x01\xFF" + packet({{"SSCN", "999"}}, badSum) + packet({{"SSCN", "999"}}, tooShort) +
                        packet({{"SSCN", "999"}}, tooLong) + "\n0z1SSCN" + "\n015SSCN0x0" + "\n015SSCN003" +
                        "\n015SSCN010999ZZ" + "\n\n\n" + std::string(64 + 1, 'P') + "\n015SSCN010" +
                        "\n015SSCN010999F";
    std::vector<SimRecord> tooMany(65, SimRecord{"PUCP", ""});
    input += packet(tooMany);
    input += packet({{"SSCN", "101"}});
    const ChildResult r = runCheck({"--feedback", "{port}", "--channel", "101"}, input);
    EXPECT_EQ(lastLine(r.out), Correct);
    EXPECT_EQ(r.out.find("[incorrect]"), std::string::npos);
    EXPECT_EQ(r.out.find("Error '"), std::string::npos);
    EXPECT_EQ(r.status, 0);
}

// The real deadline: 80 seconds of silence.
TEST(LineFaultsSlow, SilentPortTimesOutAfterEightySeconds)
{
    Pty pty;
    const auto before = std::chrono::steady_clock::now();
    Child child(checkArgs(pty.path()));
    const ChildResult r = child.wait(std::chrono::seconds(150));
    const auto waited = std::chrono::steady_clock::now() - before;
    EXPECT_EQ(r.out, "select timed out\n" + NoResponse);
    EXPECT_EQ(r.status, 1);
    EXPECT_GE(waited, std::chrono::seconds(79));
    EXPECT_LT(waited, std::chrono::seconds(90));
}

#ifdef VALGRIND_PATH
ChildResult underValgrind(const std::string& input, bool endInput)
{
    Pty pty;
    // lax-ioctls: valgrind warns about the exclusive-mode ioctls, which take no argument.
    Child child({VALGRIND_PATH, "--quiet", "--sim-hints=lax-ioctls", "--error-exitcode=99", "--leak-check=full",
                 "--errors-for-leak-kinds=definite", "--show-leak-kinds=definite", checkPath(), "--feedback", pty.path(),
                 "--channel", "101", "--debug"});
    pty.waitSetUp(child.pid());
    pty.write(input, child.pid());
    if (endInput) {
        pty.waitDrained(child.pid());
        pty.closeMaster();
    }
    return child.wait(std::chrono::seconds(120));
}

TEST(LineFaultsValgrind, NoMemoryErrorsOrLeaksOnAnyPath)
{
    ChildResult r = underValgrind("junk" + packet({{"CE00", "\x7F" "123"}, {"SSCN", "101"}}), false);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");

    r = underValgrind("\n015SSCN01010100" + packet({{"SSCN", "102"}}), false);
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_EQ(lastLine(r.out), "Failed\n");
    EXPECT_EQ(r.err, "");

    r = underValgrind(std::string(20000, 'x') + "\n015SS", true);
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_EQ(lastLine(r.out), NoResponse);
    EXPECT_EQ(r.err, "");
}
#endif

} // namespace
