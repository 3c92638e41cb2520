// Many checks on one host at once, as on a lab host: each must see only its
// own port's bytes, all of them.
#include <gtest/gtest.h>

#include <memory>

#include "packets.h"
#include "pty_support.h"

namespace {

TEST(ManyBoxes, SixteenChecksAtOnceEachGetTheirOwnVerdict)
{
    constexpr int Boxes = 16;
    constexpr int UndecidedPackets = 400;
    std::vector<std::unique_ptr<Pty>> ports;
    std::vector<std::unique_ptr<Child>> checks;
    std::vector<std::string> sent, expectedOut;
    for (int i = 0; i < Boxes; ++i) {
        ports.push_back(std::make_unique<Pty>());
        const std::string expected = std::to_string(200 + i);
        // Odd boxes are on a channel no check expects. A packet that reaches
        // the wrong check changes its output, a lost byte adds a line.
        sent.push_back(i % 2 == 0 ? expected : std::to_string(300 + i));
        expectedOut.push_back(i % 2 == 0 ? "Current channel '" + expected + "' [correct]\n"
                                         : "Current channel '" + sent.back() + "' [incorrect]\nFailed\n");
        checks.push_back(std::make_unique<Child>(
            std::vector<std::string>{checkPath(), "--feedback", ports.back()->path(), "--channel", expected}));
    }
    for (int i = 0; i < Boxes; ++i)
        ports[i]->waitSetUp(checks[i]->pid());

    // Packet by packet in turn, so every check is reading at the same time.
    for (int n = 0; n < UndecidedPackets; ++n)
        for (int i = 0; i < Boxes; ++i)
            ports[i]->write(packet({{"STAT", "box " + std::to_string(i)}, {"CE00", std::to_string(n) + "-"}}),
                            checks[i]->pid());
    for (int i = 0; i < Boxes; ++i)
        ports[i]->write(packet({{"SSCN", sent[i]}}), checks[i]->pid());

    for (int i = 0; i < Boxes; ++i) {
        ports[i]->waitDrained(checks[i]->pid());
        ports[i]->closeMaster(); // a check that missed its verdict ends now
        const ChildResult r = checks[i]->wait();
        EXPECT_EQ(r.out, expectedOut[i]) << "box " << i;
        EXPECT_EQ(r.err, "") << "box " << i;
        EXPECT_EQ(r.status, i % 2 == 0 ? 0 : 1) << "box " << i;
    }
}

} // namespace
