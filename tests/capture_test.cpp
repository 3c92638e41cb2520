// The capture format: what the writer puts on disk, what the reader accepts
// and refuses, and what a file that cannot keep up loses.
#include <gtest/gtest.h>

#include <csignal>
#include <memory>
#include <regex>
#include <sys/ioctl.h>
#include <thread>
#include <unistd.h>

#include "capture.h"
#include "capture_support.h"
#include "clock.h"
#include "ending_signals.h"
#include "pty_support.h"


// The stamp `micros` after the capture's time zero.
static int64_t stampAt(const Capture* c, int64_t micros) { return Capture_zero(c) + micros * 1000; }
namespace {

using LogPtr = std::unique_ptr<CaptureLog>;

LogPtr parse(const std::string& text, size_t* badLine = nullptr, const char** why = nullptr)
{
    return parseCapture(text, badLine, why);
}

// The data lines of a capture file, its header left out.
std::string dataLines(const std::string& text)
{
    std::string out;
    size_t pos = 0;
    for (size_t eol; (eol = text.find('\n', pos)) != std::string::npos; pos = eol + 1) {
        if (text[pos] != '#')
            out += text.substr(pos, eol + 1 - pos);
    }
    return out;
}

// A started capture written into a pipe whose other end is the test's.
struct PipeCapture {
    Capture* capture;
    int readEnd;
    std::string path;
};

PipeCapture captureIntoPipe()
{
    int ends[2];
    if (pipe(ends) != 0)
        std::abort();
    const std::string path = "/proc/self/fd/" + std::to_string(ends[1]);
    Capture* c = Capture_open(path.c_str(), "prog", "p", 57600);
    Capture_start(c, -1);
    close(ends[1]); // the capture holds its own
    return {c, ends[0], path};
}

// Reads `fd` to its end into *text, `block` bytes a read, on a thread that
// leaves every signal to the writer's, as in a command.
std::thread readAll(int fd, std::string* text, size_t block = 4096)
{
    return std::thread([=] {
        sigset_t all;
        sigfillset(&all);
        pthread_sigmask(SIG_BLOCK, &all, nullptr);
        std::string got(block, '\0');
        for (ssize_t n; (n = read(fd, got.data(), block)) > 0;)
            text->append(got.data(), static_cast<size_t>(n));
    });
}

// Appends `lines` lines of LineBytes to `c`, 30 ms of capture time apart;
// how many it refused.
constexpr size_t LineBytes = 100;
size_t appendLines(Capture* c, size_t lines)
{
    const std::string line(LineBytes, 'a');
    size_t refused = 0;
    for (size_t i = 0; i < lines; ++i)
        refused += Capture_append(c, line.data(), line.size(), stampAt(c, static_cast<int64_t>(i) * 30000)) != 0;
    return refused;
}

struct Append {
    std::string bytes;
    int64_t at;
};

std::string written(const std::vector<Append>& appends)
{
    const std::string path = tempPath("capture");
    Capture* c = Capture_open(path.c_str(), "test", "/dev/ttyS0", 57600);
    Capture_start(c, -1);
    for (const Append& a : appends)
        EXPECT_EQ(Capture_append(c, a.bytes.data(), a.bytes.size(), stampAt(c, a.at)), 0);
    Capture_close(c, CAPTURE_CLOSE_WAIT_MS);
    const std::string text = readFile(path);
    unlink(path.c_str());
    return text;
}

TEST(Capture, HeaderNamesFormatPortLineAndStart)
{
    const std::string text = written({});
    EXPECT_TRUE(std::regex_match(text, std::regex("# quarvo-capture 1\n"
                                                  "# port /dev/ttyS0\n"
                                                  "# line 57600 8N1\n"
                                                  "# start \\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{6}Z\n")))
        << text;
    // A raw TCP port's settings are not known; readers take the file all the same.
    const std::string path = tempPath("capture");
    Capture* c = Capture_open(path.c_str(), "test", "tcp://box:2002", 0);
    Capture_start(c, -1);
    Capture_append(c, "x", 1, stampAt(c, 5));
    Capture_close(c, CAPTURE_CLOSE_WAIT_MS);
    const std::string unknown = readFile(path);
    unlink(path.c_str());
    EXPECT_EQ(unknown.substr(0, unknown.find("# start")), "# quarvo-capture 1\n# port tcp://box:2002\n# line unknown\n");
    size_t badLine = 0;
    const char* why = nullptr;
    const LogPtr log = parse(unknown, &badLine, &why);
    ASSERT_NE(log, nullptr) << why;
    EXPECT_EQ(log->count, 1u);
}

TEST(Capture, ChunksStartAtLineFeedsAfterGapsAndWhenFull)
{
    const std::string full(CAPTURE_MAX_CHUNK, 'a');
    const struct {
        std::vector<Append> appends;
        std::string lines;
    } cases[] = {
        {{{"ab", 5}, {"c", 7}}, "0.000005 abc\n"},
        {{{"x\n015", 1000}, {"SS\nA", 1200}}, "0.001000 x\n0.001000 \\x0A015SS\n0.001200 \\x0AA\n"},
        // A gap of exactly 20 ms continues the chunk; a longer one ends it.
        {{{"a", 0}, {"b", 20000}, {"c", 40001}}, "0.000000 ab\n0.040001 c\n"},
        {{{full + "b", 3000000}}, "3.000000 " + full + "\n3.000000 b\n"},
        {{{std::string("\x00 \\\x7F\xFF~!", 7), 12345678}}, "12.345678 \\x00\\x20\\x5C\\x7F\\xFF~!\n"},
        // A clock that seems to step back is held at the last time.
        {{{"a\n", 900}, {"b", 800}}, "0.000900 a\n0.000900 \\x0Ab\n"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(dataLines(written(c.appends)), c.lines);
}

TEST(Capture, EveryByteSurvivesWritingAndReading)
{
    std::string all;
    for (int b = 0; b < 256; ++b)
        all += static_cast<char>(b);
    const std::string text = written({{all, 1}, {all, 2500000}});
    const LogPtr log = parse(text);
    ASSERT_TRUE(log);
    std::string back;
    int64_t last = -1;
    for (size_t i = 0; i < log->count; ++i) {
        EXPECT_GE(log->chunks[i].offset, last);
        last = log->chunks[i].offset;
        back.append(log->chunks[i].bytes, log->chunks[i].size);
    }
    EXPECT_EQ(back, all + all);
    EXPECT_EQ(log->chunks[log->count - 1].offset, 2500000);
}

// Marks of a lost and reopened port come back in order, with the chunk each
// stands before; a comment of another form is still passed over. Marks out
// of turn are among the malformed captures.
TEST(Capture, ReaderHandsOverLostAndReopenedMarks)
{
    const std::string head = "# quarvo-capture 1\n";
    const LogPtr log = parse(head + "0.100000 a\n# lost 0.200000\n# lost and found\n# reopened 1.500000\n"
                                    "1.600000 b\n# lost 2.000000\n");
    ASSERT_TRUE(log);
    ASSERT_EQ(log->count, 2u);
    ASSERT_EQ(log->markCount, 3u);
    const CaptureMarkKind Lost = CaptureMarkKind::Lost;
    const CaptureMarkKind Reopened = CaptureMarkKind::Reopened;
    const CaptureMark expected[] = {{200000, Lost, 1}, {1500000, Reopened, 1}, {2000000, Lost, 2}};
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(log->marks[i].offset, expected[i].offset) << i;
        EXPECT_EQ(log->marks[i].kind, expected[i].kind) << i;
        EXPECT_EQ(log->marks[i].beforeChunk, expected[i].beforeChunk) << i;
    }
}

// A time has as many digits as it needs, up to the largest count of
// microseconds; past it, and with nothing after it, the message says so.
TEST(Capture, TimesOfAnyLengthThatFitsAreRead)
{
    const std::string head = "# quarvo-capture 1\n";
    const struct {
        std::string time;
        int64_t offset;  // -1: refused
        const char* why; // part of the message
    } cases[] = {
        {"1234567890123.000001", 1234567890123000001, nullptr},
        {"0000000000000000000000001.500000", 1500000, nullptr},
        {"9223372036854.775807", INT64_MAX, nullptr},
        {"9223372036854.775808", -1, "9223372036854.775807"},
        {"99999999999999999999999.000000", -1, "9223372036854.775807"},
    };
    for (const auto& c : cases) {
        for (const std::string& line : {c.time + " a\n", "# lost " + c.time + "\n"}) {
            size_t badLine = 0;
            const char* why = nullptr;
            const LogPtr log = parse(head + line, &badLine, &why);
            if (c.offset < 0) {
                EXPECT_FALSE(log) << line;
                EXPECT_EQ(badLine, 2u) << line;
                EXPECT_NE(std::string(why ? why : "").find(c.why), std::string::npos) << line << why;
                continue;
            }
            ASSERT_TRUE(log) << line << why;
            const int64_t got = log->count == 1 ? log->chunks[0].offset : log->marks.at(0).offset;
            EXPECT_EQ(got, c.offset) << line;
        }
    }
    const char* why = nullptr;
    EXPECT_FALSE(parse(head + "12.000000\n", nullptr, &why));
    EXPECT_NE(std::string(why ? why : "").find("nothing after the time"), std::string::npos) << why;
}

// Lines are read through a bounded buffer: a comment longer than it is passed
// over, a data line longer than it is refused by number, and lines across
// the buffer's refills are read whole.
TEST(Capture, ReaderHoldsOnlyALineAtATime)
{
    const std::string head = "# quarvo-capture 1\n";
    const std::string longComment = "# " + std::string(3 * CAPTURE_MAX_LINE, 'c') + "\n";
    const LogPtr log = parse(head + longComment + "1.000000 a\n" + longComment + "# lost 2.000000\n");
    ASSERT_TRUE(log);
    EXPECT_EQ(log->count, 1u);
    EXPECT_EQ(log->markCount, 1u);

    std::string many = head;
    std::string bytes;
    for (int i = 0; i < 40000; ++i) {
        many += "1.000000 " + std::to_string(i) + "\n";
        bytes += std::to_string(i);
    }
    const LogPtr all = parse(many);
    ASSERT_TRUE(all);
    std::string back;
    for (const CaptureChunk& chunk : all->chunks)
        back.append(chunk.bytes, chunk.size);
    EXPECT_EQ(back, bytes);

    size_t line = 0;
    const char* why = nullptr;
    EXPECT_FALSE(parse(head + "# x\n1.000000 " + std::string(CAPTURE_MAX_LINE, 'a') + "\n", &line, &why));
    EXPECT_EQ(line, 3u);
    EXPECT_NE(std::string(why ? why : "").find("longer than"), std::string::npos) << why;
    EXPECT_FALSE(parse(std::string(CAPTURE_MAX_LINE + 10, 'x'), &line, &why));
    EXPECT_EQ(line, 1u);
    EXPECT_NE(std::string(why ? why : "").find("not a capture"), std::string::npos) << why;
    EXPECT_FALSE(parse(head + "# " + std::string(CAPTURE_MAX_LINE, 'c'), &line, &why));
    EXPECT_EQ(line, 2u);
}

TEST(Capture, ReaderRefusesMalformedLinesByNumber)
{
    const std::string head = "# quarvo-capture 1\n# port x\n";
    for (const MalformedCapture& c : malformedCaptures()) {
        size_t line = 99;
        const char* why = nullptr;
        EXPECT_FALSE(parse(c.text, &line, &why)) << c.text;
        EXPECT_EQ(line, c.line) << c.text;
        EXPECT_NE(why, nullptr);
    }
    // Line ends of another system are named as such, on the first line too.
    const std::pair<std::string, size_t> crlfCases[] = {{"# quarvo-capture 1\r\n0.000001 a\r\n", 1},
                                                        {head + "# start x\r\n", 3}};
    for (const auto& [crlf, number] : crlfCases) {
        size_t line = 0;
        const char* why = nullptr;
        EXPECT_FALSE(parse(crlf, &line, &why));
        EXPECT_EQ(line, number);
        EXPECT_NE(std::string(why).find("carriage return"), std::string::npos) << why;
    }
    // A text file of another system is no capture at all, and is told so.
    size_t dosLine = 0;
    const char* dosWhy = nullptr;
    EXPECT_FALSE(parse("hello\r\n", &dosLine, &dosWhy));
    EXPECT_EQ(dosLine, 1u);
    EXPECT_NE(std::string(dosWhy).find("not a capture"), std::string::npos) << dosWhy;
    // Comment lines anywhere are passed over; escapes in either case.
    const LogPtr good = parse(head + "# note\n0.500000 x\n1.000000 \\x0a\\x0A\n# end\n");
    ASSERT_TRUE(good);
    ASSERT_EQ(good->count, 2u);
    EXPECT_EQ(good->chunks[0].offset, 500000);
    EXPECT_EQ(std::string(good->chunks[1].bytes, good->chunks[1].size), "\n\n");
}

// A pipe whose reader stops never holds the writer: what it cannot take is
// dropped, counted, marked where the gap is, and reported once.
TEST(Capture, APipeThatTakesNothingDropsMarksAndCountsWithoutWaiting)
{
    testing::internal::CaptureStderr();
    const auto [c, readEnd, path] = captureIntoPipe();
    // Far more than the pipe and the capture's own storage hold together.
    constexpr size_t Lines = 3000;
    ASSERT_EQ(appendLines(c, Lines), 0u);
    std::string text;
    std::thread reader = readAll(readEnd, &text);
    ASSERT_TRUE(waitUntil([fd = readEnd] {
        int waiting = 0;
        return ioctl(fd, FIONREAD, &waiting) == 0 && waiting == 0;
    }));
    ASSERT_EQ(Capture_append(c, "tail", 4, stampAt(c, static_cast<int64_t>(Lines) * 30000)), 0);
    const uint64_t dropped = Capture_close(c, 5000);
    reader.join();
    close(readEnd);
    const std::string err = testing::internal::GetCapturedStderr();

    const LogPtr log = parse(text);
    ASSERT_TRUE(log) << "not a complete capture";
    std::string bytes;
    for (size_t i = 0; i < log->count; ++i)
        bytes.append(log->chunks[i].bytes, log->chunks[i].size);
    ASSERT_GT(dropped, 0u);
    const size_t kept = Lines * LineBytes - dropped;
    EXPECT_EQ(bytes, std::string(kept, 'a') + "tail");
    // The mark stands where the bytes went missing, just before the tail.
    const std::string mark = "# dropped " + std::to_string(dropped) + " bytes\n";
    ASSERT_NE(text.find(mark), std::string::npos);
    EXPECT_EQ(text.substr(text.find(mark) + mark.size()), std::to_string(Lines * 30000 / 1000000) + "." +
                                                              std::to_string(Lines * 30000 % 1000000 + 1000000).substr(1) +
                                                              " tail\n");
    EXPECT_EQ(err, "prog: capture " + path + ": " + std::to_string(dropped) +
                       " bytes dropped: the file did not take them in time\n");
}

// After an ending signal the capture's end waits for a file that still
// takes its text, and gives up one that takes nothing a tenth of a second
// later, never the whole wait offered.
TEST(Capture, AfterASignalTheEndWaitsOnlyWhileTheFileTakesText)
{
    endingSignals_start(true);
    for (const bool reads : {true, false}) {
        testing::internal::CaptureStderr();
        const auto [c, readEnd, path] = captureIntoPipe();
        // More than the pipe holds, less than the pipe and the capture together.
        constexpr size_t Lines = 1000;
        ASSERT_EQ(appendLines(c, Lines), 0u);
        std::string text;
        std::thread reader = reads ? readAll(readEnd, &text, 16) : std::thread(); // slow: a few bytes a read
        endingSignals_nudgeWrites(); // as an ending signal does
        const int64_t before = Clock_now();
        const uint64_t dropped = Capture_close(c, 5000);
        const int64_t took = Clock_now() - before;
        if (reader.joinable())
            reader.join();
        close(readEnd);
        const std::string err = testing::internal::GetCapturedStderr();
        if (reads) {
            EXPECT_EQ(dropped, 0u) << took;
            EXPECT_EQ(err, "");
            const LogPtr log = parse(text);
            ASSERT_TRUE(log) << "not a complete capture";
            EXPECT_EQ(log->count, Lines);
        } else {
            EXPECT_GT(dropped, 0u);
            EXPECT_LT(took, 2 * CLOCK_SECOND);
            EXPECT_NE(err.find(" bytes dropped: the file did not take them in time\n"), std::string::npos) << err;
        }
    }
}

// Marks of the port come in turns, and find room even in a capture whose
// file took nothing: a loss is never written without its return.
TEST(Capture, PortMarksComeInTurnsAndAlwaysFindRoom)
{
    const std::string path = tempPath("capture-marks");
    Capture* c = Capture_open(path.c_str(), "prog", "p", 57600);
    Capture_start(c, -1);
    Capture_mark(c, CaptureMarkKind::Reopened, stampAt(c, 50000)); // nothing was lost: no mark
    Capture_append(c, "ab", 2, stampAt(c, 100000));
    Capture_mark(c, CaptureMarkKind::Lost, stampAt(c, 200000));
    Capture_mark(c, CaptureMarkKind::Lost, stampAt(c, 250000));
    Capture_mark(c, CaptureMarkKind::Reopened, stampAt(c, 500000));
    Capture_append(c, "cd", 2, stampAt(c, 600000));
    Capture_close(c, CAPTURE_CLOSE_WAIT_MS);
    EXPECT_EQ(dataLines(readFile(path)), "0.100000 ab\n0.600000 cd\n");
    EXPECT_NE(readFile(path).find("\n0.100000 ab\n# lost 0.200000\n# reopened 0.500000\n0.600000 cd\n"),
              std::string::npos)
        << readFile(path);
    unlink(path.c_str());

    testing::internal::CaptureStderr();
    const PipeCapture piped = captureIntoPipe();
    c = piped.capture;
    appendLines(c, 3000);
    Capture_mark(c, CaptureMarkKind::Lost, stampAt(c, 90000000));
    Capture_mark(c, CaptureMarkKind::Reopened, stampAt(c, 91000000));
    std::string text;
    std::thread reader = readAll(piped.readEnd, &text);
    Capture_close(c, 5000);
    reader.join();
    close(piped.readEnd);
    testing::internal::GetCapturedStderr();
    const LogPtr log = parse(text);
    ASSERT_TRUE(log) << "not a complete capture";
    ASSERT_EQ(log->markCount, 2u);
    EXPECT_NE(text.find(" bytes\n# lost 90.000000\n# reopened 91.000000\n"), std::string::npos)
        << "the drops, then the loss and its return";
}

TEST(Capture, UnwritableFileIsReportedOnceAndTakesNothing)
{
    for (const std::string path : {"/nonexistent/dir/capture", "/dev/full"}) {
        testing::internal::CaptureStderr();
        Capture* c = Capture_open(path.c_str(), "prog", "p", 57600);
    Capture_start(c, -1);
        ASSERT_NE(c, nullptr);
        for (int i = 0; i < 3; ++i)
            EXPECT_EQ(Capture_append(c, "\nabc", 4, stampAt(c, i)), -1);
        Capture_close(c, CAPTURE_CLOSE_WAIT_MS);
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(err, "prog: capture " + path + ": " +
                           (path == "/dev/full" ? "No space left on device" : "No such file or directory") + "\n");
    }
}

} // namespace
