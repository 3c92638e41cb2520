#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "net_support.h"
#include "telnet.h"

namespace {

constexpr int IAC = TELNET_IAC;
constexpr int SB = TELNET_SB;
constexpr int SE = TELNET_SE;
constexpr int WILL = TELNET_WILL;
constexpr int WONT = TELNET_WONT;
constexpr int DO = TELNET_DO;
constexpr int DONT = TELNET_DONT;
constexpr int COM = TELNET_COM_PORT;

struct Decoded {
    std::string data;
    std::string replies;
    Telnet state;
};

// Feeds `input` in the pieces that `cuts` (offsets, ascending) make, each
// decoded in place as the port layer does.
Decoded decode(const std::string& input, const std::vector<size_t>& cuts, bool opened)
{
    Decoded d;
    std::string opening;
    if (opened)
        Telnet_opening(d.state, opening);
    size_t from = 0;
    std::vector<size_t> ends = cuts;
    ends.push_back(input.size());
    for (const size_t to : ends) {
        std::string piece = input.substr(from, to - from);
        auto* p = reinterpret_cast<uint8_t*>(piece.data());
        const size_t n = Telnet_receive(d.state, std::span<const uint8_t>(p, piece.size()), p, d.replies);
        d.data.append(piece.data(), n);
        from = to;
    }
    return d;
}

struct Stream {
    const char* name;
    std::string input;
    bool opened; // the client's opening negotiation went out first
    std::string data;
    std::string replies;
    int64_t baud = -1;
    uint8_t lineErrors = 0;
};

std::vector<Stream> streams()
{
    const std::string greeting = bytes({IAC, WILL, 3, IAC, DO, 3, IAC, WILL, 1, IAC, DONT, 1, IAC, DO, 0, IAC, WILL, 0,
                                        IAC, DO, COM});
    const std::string acks = bytes({IAC, SB, COM, 101, 0, 0, 0xE1, 0, IAC, SE, IAC, SB, COM, 102, 8, IAC, SE,
                                    IAC, SB, COM, 103, 1, IAC, SE, IAC, SB, COM, 104, 1, IAC, SE});
    std::vector<Stream> list{
        {"plain data", "box\n015SSCN010101FA\n", false, "box\n015SSCN010101FA\n", ""},
        {"doubled IAC is one data byte", bytes({'a', IAC, IAC, 'b', IAC, IAC}), false, bytes({'a', 0xFF, 'b', 0xFF}),
         ""},
        {"two-byte commands are dropped", bytes({'a', IAC, TELNET_NOP, 'b', IAC, 249, 'c', IAC, 242, IAC, SE}), false,
         "abc", ""},
        // The server's greeting after our opening: only ECHO is answered.
        {"greeting after opening", greeting + "hi", true, "hi", bytes({IAC, DONT, 1})},
        // Without an opening each agreeable offer is accepted once, ECHO refused.
        {"greeting without opening", greeting, false, "",
         bytes({IAC, DO, 3, IAC, WILL, 3, IAC, DONT, 1, IAC, WILL, 0, IAC, DO, 0, IAC, WILL, COM})},
        {"repeated offers answered once",
         bytes({IAC, WILL, 0, IAC, WILL, 0, IAC, DO, 24, IAC, DO, 24, IAC, WILL, 31, IAC, WILL, 31}), false, "",
         bytes({IAC, DO, 0, IAC, WONT, 24, IAC, DONT, 31})},
        {"switching off what was on is answered, what was off is not",
         bytes({IAC, WILL, 3, IAC, WONT, 3, IAC, WONT, 3, IAC, DONT, 5}), false, "",
         bytes({IAC, DO, 3, IAC, DONT, 3})},
        {"settings confirmed", acks + "x", true, "x", "", 57600},
        {"0xFF doubled inside a value", bytes({IAC, SB, COM, 101, 0, 0, 0, IAC, IAC, IAC, SE}), false, "", "", 255},
        {"line state: errors kept, data-ready dropped",
         bytes({IAC, SB, COM, 106, 0x11, IAC, SE, 'z', IAC, SB, COM, 106, 0x0F, IAC, SE, IAC, SB, COM, 107, 0xFF, IAC,
                IAC, SE}),
         false, "z", "", -1, LINE_ERRORS},
        {"another option's subnegotiation is dropped", bytes({IAC, SB, 24, 1, IAC, SE, 'q'}), false, "q", ""},
        {"wrong-length answers are ignored", bytes({IAC, SB, COM, 101, 0, 0xE1, 0, IAC, SE, IAC, SB, COM, 102, IAC, SE}),
         false, "", "", -1},
        {"oversize subnegotiation dropped whole",
         bytes({IAC, SB, COM, 101, 0, 0, 0xE1, 0}) + std::string(200, 'x') + bytes({IAC, SE}) + "ok", false, "ok", "",
         -1},
        {"unterminated subnegotiation ends at the next command",
         bytes({IAC, SB, COM, 101, 0, 0, 0xE1, 0, IAC, WILL, 1, 'd'}), false, "d", bytes({IAC, DONT, 1}), -1},
        {"CR NUL kept while the server sends binary", bytes({'a', '\r', 0, 'b'}), true, bytes({'a', '\r', 0, 'b'}), ""},
        {"CR NUL undone once the server refuses binary",
         bytes({IAC, WONT, 0, 'a', '\r', 0, 'b', '\r', '\n', 0, '\r', IAC, IAC, 0}), true,
         bytes({'a', '\r', 'b', '\r', '\n', 0, '\r', 0xFF, 0}), ""},
    };
    return list;
}

TEST(TelnetDecoder, SameResultWhereverTheStreamIsSplit)
{
    for (const Stream& s : streams()) {
        SCOPED_TRACE(s.name);
        const Decoded whole = decode(s.input, {}, s.opened);
        EXPECT_EQ(whole.data, s.data);
        EXPECT_EQ(whole.replies, s.replies);
        EXPECT_EQ(whole.state.baud, s.baud);
        EXPECT_EQ(whole.state.lineErrors, s.lineErrors);
        for (size_t cut = 1; cut < s.input.size(); ++cut) {
            const Decoded split = decode(s.input, {cut}, s.opened);
            EXPECT_EQ(split.data, s.data) << "cut at " << cut;
            EXPECT_EQ(split.replies, s.replies) << "cut at " << cut;
            EXPECT_EQ(split.state.baud, s.baud) << "cut at " << cut;
        }
        std::vector<size_t> everyByte;
        for (size_t cut = 1; cut < s.input.size(); ++cut)
            everyByte.push_back(cut);
        const Decoded bytewise = decode(s.input, everyByte, s.opened);
        EXPECT_EQ(bytewise.data, s.data);
        EXPECT_EQ(bytewise.replies, s.replies);
        EXPECT_EQ(bytewise.state.lineErrors, s.lineErrors);
    }
}

TEST(TelnetDecoder, SettingsAndRefusalsAreRecorded)
{
    const Decoded d = decode(bytes({IAC, SB, COM, 102, 7, IAC, SE, IAC, SB, COM, 103, 2, IAC, SE, IAC, SB, COM, 104,
                                    2, IAC, SE, IAC, SB, COM, 110, 0x1E, IAC, SE, IAC, DO, COM}),
                             {}, true);
    EXPECT_EQ(d.state.dataSize, 7);
    EXPECT_EQ(d.state.parity, 2);
    EXPECT_EQ(d.state.stopSize, 2);
    EXPECT_EQ(d.state.lineStateMask, 0x1E);
    EXPECT_TRUE(Telnet_comPortAccepted(d.state));
    EXPECT_FALSE(d.state.comPortRefused);

    const Decoded refused = decode(bytes({IAC, DONT, COM}), {}, true);
    EXPECT_FALSE(Telnet_comPortAccepted(refused.state));
    EXPECT_TRUE(refused.state.comPortRefused);
    EXPECT_EQ(refused.replies, "");
}

TEST(TelnetEncoder, OpeningAndRequests)
{
    Telnet t;
    std::string out;
    Telnet_opening(t, out);
    EXPECT_EQ(out, bytes({IAC, WILL, COM, IAC, WILL, 0, IAC, WILL, 3, IAC, DO, 0, IAC, DO, 3}));
    out.clear();
    Telnet_opening(t, out); // asked already: nothing twice
    EXPECT_EQ(out, "");

    Telnet_comPortRequests(57600, out);
    EXPECT_EQ(out, bytes({IAC, SB, COM, 1, 0, 0, 0xE1, 0, IAC, SE, IAC, SB, COM, 2, 8, IAC, SE, IAC, SB, COM, 3, 1,
                          IAC, SE, IAC, SB, COM, 4, 1, IAC, SE, IAC, SB, COM, 10, 0x1E, IAC, SE}));
    out.clear();
    Telnet_comPortRequests(0x00FFFF01, out);
    EXPECT_EQ(out.substr(0, 12), bytes({IAC, SB, COM, 1, 0, IAC, IAC, IAC, IAC, 1, IAC, SE}));
    // Never SET-CONTROL (5) or PURGE-DATA (12): those could reset the box.
    for (size_t i = 0; i + 3 < out.size(); ++i) {
        if (out.compare(i, 3, bytes({IAC, SB, COM})) == 0) {
            EXPECT_TRUE(out[i + 3] != 5 && out[i + 3] != 12);
        }
    }
}

TEST(TelnetEncoder, DataRoundTripsThroughTheDecoder)
{
    std::string all;
    for (int b = 0; b < 256; ++b)
        all += static_cast<char>(b);
    all += bytes({IAC, IAC, '\r', 0});

    Telnet binary;
    std::string wire;
    Telnet_encodeData(binary, std::span(reinterpret_cast<const uint8_t*>(all.data()), all.size()), wire);
    EXPECT_EQ(wire.size(), all.size() + 3); // three 0xFF, each doubled
    EXPECT_EQ(decode(wire, {}, false).data, all);

    // Our binary mode refused: a CR goes out as CR NUL, which such a server reads as CR.
    Telnet text;
    std::string replies;
    uint8_t sink[4];
    const std::string refusal = bytes({IAC, DONT, 0});
    Telnet_receive(text, std::span(reinterpret_cast<const uint8_t*>(refusal.data()), refusal.size()), sink, replies);
    std::string stuffed;
    const std::string line = "x\ry\r\n";
    Telnet_encodeData(text, std::span(reinterpret_cast<const uint8_t*>(line.data()), line.size()), stuffed);
    EXPECT_EQ(stuffed, bytes({'x', '\r', 0, 'y', '\r', 0, '\n'}));
}

} // namespace
