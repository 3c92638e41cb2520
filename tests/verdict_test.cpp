#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "verdict.h"

namespace {

using Records = std::vector<std::pair<std::string, std::string>>;

// The records laid out as the reader leaves them: codes and values pointing
// into one stretch of storage, followed by checksum digits.
Verdict judge(std::string_view expected, const Records& records, bool debug = false)
{
    std::string storage;
    for (const auto& [code, value] : records)
        storage += code + value;
    storage += "FA";
    std::vector<const char*> codes;
    std::vector<const char*> values;
    std::vector<int32_t> lengths;
    size_t at = 0;
    for (const auto& [code, value] : records) {
        codes.push_back(storage.data() + at);
        values.push_back(storage.data() + at + 4);
        lengths.push_back(static_cast<int32_t>(value.size()));
        at += 4 + value.size();
    }
    return judgePacket(expected, static_cast<int32_t>(records.size()), codes.data(), values.data(), lengths.data(),
                       debug);
}

TEST(Verdict, DecidesPrintsAndKeepsWhatTheResultNeeds)
{
    struct Case {
        const char* name;
        Records records;
        bool debug;
        Decision decision;
        Outcome failure; // looked at for failures only
        std::vector<std::string> lines;
        std::vector<std::string> failures;
        std::optional<std::string> lastChannel;
        std::optional<std::string> requested;
    };
    const auto none = std::nullopt;
    const std::vector<Case> cases{
        {"no deciding record", {{"STAT", "ok"}, {"TEMP", "41"}}, false, Decision::Undecided, {}, {}, {}, none, none},
        {"expected channel", {{"SSCN", "101"}}, false, Decision::Correct, {},
         {"Current channel '101' [correct]\n"}, {}, "101", none},
        {"another channel", {{"SSCN", "102"}}, false, Decision::Failure, Outcome::Incorrect,
         {"Current channel '102' [incorrect]\n"}, {"Current channel '102' [incorrect]"}, "102", none},
        {"a prefix of the channel is another channel", {{"SSCN", "10"}}, false, Decision::Failure,
         Outcome::Incorrect, {"Current channel '10' [incorrect]\n"}, {"Current channel '10' [incorrect]"}, "10", none},
        {"channel bytes shown printable, kept raw", {{"SSCN", "\x1b\xff"}}, false, Decision::Failure,
         Outcome::Incorrect, {"Current channel '[1B][FF]' [incorrect]\n"},
         {"Current channel '[1B][FF]' [incorrect]"}, "\x1b\xff", none},
        {"error records", {{"CEER", "X\n"}, {"PUCP", "E7"}, {"PUSP", "E8"}, {"SYD1", "v"}}, false, Decision::Failure,
         Outcome::BoxError,
         {"Channel error: X[0A]\n", "Error 'E7'\n", "Error 'E8'\n", "SYD1 Error 'v'\n"},
         {"Channel error: X[0A]", "Error 'E7'", "Error 'E8'", "SYD1 Error 'v'"}, none, none},
        // The last record that decides wins; the failure lines stay.
        {"error, then the expected channel", {{"CEER", "X"}, {"SSCN", "101"}}, false, Decision::Correct, {},
         {"Channel error: X\n", "Current channel '101' [correct]\n"}, {"Channel error: X"}, "101", none},
        {"expected channel, then an error", {{"SSCN", "101"}, {"PUCP", "E7"}}, false, Decision::Failure,
         Outcome::BoxError, {"Current channel '101' [correct]\n", "Error 'E7'\n"}, {"Error 'E7'"}, "101", none},
        {"another channel, then an error", {{"SSCN", "9"}, {"SYD1", "v"}}, false, Decision::Failure,
         Outcome::BoxError, {"Current channel '9' [incorrect]\n", "SYD1 Error 'v'\n"},
         {"Current channel '9' [incorrect]", "SYD1 Error 'v'"}, "9", none},
        {"two channels: the last counts", {{"SSCN", "5"}, {"SSCN", "7"}}, false, Decision::Failure,
         Outcome::Incorrect, {"Current channel '5' [incorrect]\n", "Current channel '7' [incorrect]\n"},
         {"Current channel '5' [incorrect]", "Current channel '7' [incorrect]"}, "7", none},
        // The requested channel's line has no line feed.
        {"requested channel", {{"CE00", "123"}}, false, Decision::Undecided, {},
         {"New channel number requested: 123"}, {}, none, "123"},
        {"requested channel, first 4 bytes", {{"CE00", "123456"}}, false, Decision::Undecided, {},
         {"New channel number requested: 1234"}, {}, none, "1234"},
        {"requested channel, 0x7F read as 0", {{"CE00", "\x7f" "123"}}, false, Decision::Undecided, {},
         {"New channel number requested: 0123"}, {}, none, "0123"},
        {"requested channel ends at a NUL", {{"CE00", std::string("1\0" "2", 3)}}, false, Decision::Undecided, {},
         {"New channel number requested: 1"}, {}, none, "1"},
        {"requested channel ending in '-' says nothing", {{"CE00", "12-"}}, false, Decision::Undecided, {}, {}, {},
         none, none},
        {"requested channel, control bytes printable", {{"CE00", "\x1b[2J"}}, false, Decision::Undecided, {},
         {"New channel number requested: [1B][2J"}, {}, none, "[1B][2J"},
        {"two requests: the last counts", {{"CE00", "1"}, {"CE00", "2"}}, false, Decision::Undecided, {},
         {"New channel number requested: 1", "New channel number requested: 2"}, {}, none, "2"},
        // A trace line ahead of each record's own line; an empty value shows
        // the byte after it.
        {"debug trace", {{"ST\x01T", "o\x7f"}, {"NONE", ""}, {"SSCN", "101"}}, true, Decision::Correct, {},
         {"ST[01]T : o[7F] [2 111]\n", "NONE :  [0 83]\n", "SSCN : 101 [3 49]\n", "Current channel '101' [correct]\n"},
         {}, "101", none},
        {"debug trace of a negative byte", {{"SYD1", "\xff"}}, true, Decision::Failure, Outcome::BoxError,
         {"SYD1 : [FF] [1 -1]\n", "SYD1 Error '[FF]'\n"}, {"SYD1 Error '[FF]'"}, none, none},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Verdict v = judge("101", c.records, c.debug);
        EXPECT_EQ(v.decision, c.decision);
        if (c.decision == Decision::Failure) {
            EXPECT_EQ(v.failure, c.failure);
        }
        EXPECT_EQ(v.lines, c.lines);
        EXPECT_EQ(v.failures, c.failures);
        EXPECT_EQ(v.lastChannel, c.lastChannel);
        EXPECT_EQ(v.requested, c.requested);
    }
}

} // namespace
