#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "byte_source.h"
#include "gnome.h"
#include "packets.h"

namespace {

const std::string Example = "\n015SSCN010101FA";

using Records = std::vector<std::pair<std::string, std::string>>;

struct Outcome {
    int rc;
    Records records;
    std::string printed;
};

class Reader {
public:
    explicit Reader(std::string bytes) : source_{std::move(bytes)}, gnome_(Gnome_create(&ByteSource::read, &source_), &Gnome_destroy) {}
    Reader(std::string bytes, ReportSink reports)
        : source_{std::move(bytes)}, gnome_(Gnome_createWithSink(&ByteSource::read, &source_, reports), &Gnome_destroy)
    {
    }

    Outcome next()
    {
        int32_t count = -7;
        const char* const* codes = nullptr;
        const char* const* values = nullptr;
        const int32_t* lengths = nullptr;
        testing::internal::CaptureStdout();
        Outcome o;
        o.rc = Gnome_readPacket(gnome_.get(), &count, &codes, &values, &lengths);
        o.printed = testing::internal::GetCapturedStdout();
        if (o.rc == -1) {
            EXPECT_EQ(count, 0);
            EXPECT_EQ(codes, nullptr);
            EXPECT_EQ(values, nullptr);
            EXPECT_EQ(lengths, nullptr);
        }
        for (int32_t i = 0; i < count; ++i)
            o.records.emplace_back(std::string(codes[i], 4), std::string(values[i], static_cast<size_t>(lengths[i])));
        return o;
    }

    Gnome* gnome() { return gnome_.get(); }
    ByteSource& source() { return source_; }

private:
    ByteSource source_;
    std::unique_ptr<Gnome, decltype(&Gnome_destroy)> gnome_;
};

TEST(Gnome, ReadsTheExamplePackets)
{
    Reader r(Example + "\n023SSCN010101CEER008X08");
    Outcome first = r.next();
    EXPECT_EQ(first.rc, 0);
    EXPECT_EQ(first.records, (Records{{"SSCN", "101"}}));
    EXPECT_EQ(first.printed, "");
    Outcome second = r.next();
    EXPECT_EQ(second.rc, 0);
    EXPECT_EQ(second.records, (Records{{"SSCN", "101"}, {"CEER", "X"}}));
    EXPECT_EQ(r.next().rc, -1);
}

TEST(Gnome, ResynchronisesOnLineFeedsAndReportsWhatItSkipped)
{
    struct Case {
        std::string input;
        std::string printed;
    };
    std::vector<Case> cases{
        {"\n015SSCN01010100" + Example,
         "Checksum mismatch: 0 vs fa\nUnexpected/invalid characters: [[[015SSCN01010100]]]\n"},
    };
    // A line feed ends the packet it stands in, in whichever state.
    const std::pair<std::string, int> cut[] = {{"", 1},          {"01", 1},          {"015SS", 2},
                                               {"015SSCN01", 3}, {"015SSCN0101", 4}, {"015SSCN010101F", 5}};
    for (const auto& [skipped, state] : cut)
        cases.push_back({"\n" + skipped + Example, "Error: 0x0A found in state " + std::to_string(state) +
                                                       "; discarding current buffer contents of [[[" + skipped +
                                                       "[0A]]]]\n"});
    // Bytes no packet holds are skipped up to the next line feed, and shown.
    const std::pair<std::string, std::string> invalid[] = {
        {"xyz", "xyz"},
        {"\n0x5SSCN010101FA\r", "0x5SSCN010101FA[0D]"},
        {"\n015SSCN0a0101FA", "015SSCN0a0101FA"},
        {"\n015SSCN010101FG", "015SSCN010101FG"},
        {"\n015SSCN006", "015SSCN006"},
        {std::string("\x80\x01", 2), "[80][01]"},
    };
    for (const auto& [before, shown] : invalid)
        cases.push_back({before + Example, "Unexpected/invalid characters: [[[" + shown + "]]]\n"});
    for (const Case& c : cases) {
        Reader r(c.input);
        Outcome o = r.next();
        EXPECT_EQ(o.rc, 0) << c.input;
        EXPECT_EQ(o.records, (Records{{"SSCN", "101"}})) << c.input;
        EXPECT_EQ(o.printed, c.printed) << c.input;
    }
}

TEST(Gnome, ChecksumDigitsInEitherCase)
{
    Reader r("\n015SSCN010101fa\n015SSCN010101Fa");
    EXPECT_EQ(r.next().records, (Records{{"SSCN", "101"}}));
    EXPECT_EQ(r.next().records, (Records{{"SSCN", "101"}}));
}

TEST(Gnome, AcceptsPacketLengthsFromRecordsUpToFiveMore)
{
    const std::vector<SimRecord> record{{"SSCN", "101"}};
    for (int length = 10; length <= 15; ++length) {
        Reader r(packet(record, {.lengthOverride = length}));
        Outcome o = r.next();
        EXPECT_EQ(o.rc, 0) << length;
        EXPECT_EQ(o.records, (Records{{"SSCN", "101"}})) << length;
    }
    // One too long: another record is expected, so the next line feed discards it.
    const std::string sixteen = packet(record, {.lengthOverride = 16});
    Reader tooLong(sixteen + Example);
    EXPECT_EQ(tooLong.next().printed,
              "Error: 0x0A found in state 2; discarding current buffer contents of [[[" + sixteen.substr(1) + "[0A]]]]\n");
}

TEST(Gnome, RecordOverrunningThePacketLengthIsAbandonedAtOnce)
{
    // The count left never wraps: the record is dropped as soon as its
    // length is known, and reported with the next line feed.
    const std::vector<SimRecord> record{{"SSCN", "101"}};
    for (int length : {0, 3, 9}) {
        const std::string bad = packet(record, {.lengthOverride = length});
        Reader r(bad + Example);
        Outcome o = r.next();
        EXPECT_EQ(o.rc, 0);
        EXPECT_EQ(o.printed, "Unexpected/invalid characters: [[[" + bad.substr(1) + "]]]\n") << length;
    }
}

TEST(Gnome, EmptyValuePointsAfterItsLengthDigits)
{
    Reader r(packet({{"CEER", ""}, {"SSCN", "7"}}));
    int32_t count = 0;
    const char* const* codes = nullptr;
    const char* const* values = nullptr;
    const int32_t* lengths = nullptr;
    ASSERT_EQ(Gnome_readPacket(r.gnome(), &count, &codes, &values, &lengths), 0);
    ASSERT_EQ(count, 2);
    EXPECT_EQ(lengths[0], 0);
    EXPECT_EQ(values[0], codes[0] + 7);
    EXPECT_EQ(values[0], codes[1]);
    EXPECT_EQ(std::string(values[1], 1), "7");
}

TEST(Gnome, SixtyFourRecordsFitAndASixtyFifthAbandonsThePacket)
{
    std::vector<SimRecord> many(64, SimRecord{"PUCP", ""});
    Reader fits(packet(many));
    Outcome o = fits.next();
    EXPECT_EQ(o.rc, 0);
    EXPECT_EQ(o.records.size(), 64u);

    many.push_back({"SSCN", "1"});
    const std::string tooMany = packet(many);
    Reader r(tooMany + Example);
    o = r.next();
    EXPECT_EQ(o.rc, 0);
    EXPECT_EQ(o.records, (Records{{"SSCN", "101"}}));
    EXPECT_EQ(o.printed, "Unexpected/invalid characters: [[[" + tooMany.substr(1) + "]]]\n");
}

TEST(Gnome, LongestPossiblePacketOfEmptyRecords)
{
    // 142 empty records in a 999-byte packet: more than the reader holds.
    std::string body;
    unsigned sum = '\n' + '9' + '9' + '9';
    for (int i = 0; i < 142; ++i)
        body += "PUCP007";
    for (unsigned char b : body)
        sum += b;
    char digits[3];
    std::snprintf(digits, sizeof digits, "%02X", sum & 0xFF);
    Reader r("\n999" + body + digits + Example);
    Outcome o = r.next();
    EXPECT_EQ(o.rc, 0);
    EXPECT_EQ(o.records, (Records{{"SSCN", "101"}}));
}

TEST(Gnome, SourceEndingMidPacketClearsTheResultAndReadingCanGoOn)
{
    Reader r("\n015SSCN01");
    EXPECT_EQ(r.next().rc, -1);
    r.source().bytes += "0101FA";
    Outcome o = r.next();
    EXPECT_EQ(o.rc, 0);
    EXPECT_EQ(o.records, (Records{{"SSCN", "101"}}));
}

TEST(Gnome, BytesBeforeTheFirstLineFeedAreNeverAPacket)
{
    Reader r("015SSCN010101FA" + Example);
    Outcome o = r.next();
    EXPECT_EQ(o.printed, "Unexpected/invalid characters: [[[015SSCN010101FA]]]\n");
    EXPECT_EQ(o.records.size(), 1u);
}

// A sink that keeps each report line whole, as a caller stamping lines sees them.
struct LineSink {
    std::vector<std::string> lines{""};
    ReportSink sink()
    {
        return {[](void* arg, std::string_view text) { static_cast<LineSink*>(arg)->lines.back().append(text); },
                [](void* arg) { static_cast<LineSink*>(arg)->lines.emplace_back(); }, this};
    }
};

TEST(Gnome, ReportsGoToTheSinkGivenLineByLineAndNothingToTheStandardOutput)
{
    // Every kind of report: the reader's own and its buffer's.
    LineSink reports;
    Reader r(std::string(GNOME_BUFFER_SIZE + 1, 'z') + "\n015SSCN01010100\n01" + Example, reports.sink());
    const Outcome o = r.next();
    EXPECT_EQ(o.records, (Records{{"SSCN", "101"}}));
    EXPECT_EQ(o.printed, "");
    EXPECT_EQ(reports.lines, (std::vector<std::string>{
                                 "Buffer full, ignored: [[[" + std::string(GNOME_BUFFER_SIZE, 'z') + "]]]",
                                 "Unexpected/invalid characters: [[[z]]]",
                                 "Checksum mismatch: 0 vs fa",
                                 "Unexpected/invalid characters: [[[015SSCN01010100]]]",
                                 "Error: 0x0A found in state 1; discarding current buffer contents of [[[01[0A]]]]",
                                 "",
                             }));
}

TEST(Gnome, DestroyAcceptsNull) { Gnome_destroy(nullptr); }

} // namespace
