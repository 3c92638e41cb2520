#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>
#include <sys/ioctl.h>
#include <thread>

#include "feed.h"
#include "pty_support.h"
#include "read_func.h"

namespace {

class ReadFuncTest : public testing::Test {
protected:
    void SetUp() override
    {
        PortName name;
        name.path = pty_.path();
        FeedOptions options;
        options.readLate = true; // as the check reads
        feed_ = Feed_create(name, name.path, options);
        PortError error;
        ASSERT_TRUE(Feed_open(feed_, DEADLINE_NEVER, &error));
        fd_ = Feed_fd(feed_);
    }
    void TearDown() override { Feed_destroy(feed_); }

    // A reader's context on the feed, reading until `deadline`.
    ReadContext readingUntil(Deadline deadline)
    {
        Feed_setDeadline(feed_, deadline);
        ReadContext context;
        context.feed = feed_;
        return context;
    }

    int32_t call(ReadContext& context, char* byte, std::string* printed)
    {
        testing::internal::CaptureStdout();
        const int32_t got = readFunc(&context, byte, 1);
        *printed = testing::internal::GetCapturedStdout();
        return got;
    }

    Pty pty_;
    Feed* feed_ = nullptr;
    int fd_ = -1;
};

TEST_F(ReadFuncTest, PastDeadlineStillReadsWhatIsWaitingThenStops)
{
    ReadContext context = readingUntil({Clock_now() - 5 * CLOCK_SECOND});
    ASSERT_TRUE(pty_.write("ab"));
    // Bytes written to the master reach the port's queue a moment later.
    int waiting = 0;
    while (ioctl(fd_, FIONREAD, &waiting) == 0 && waiting < 2)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    char byte = 0;
    std::string printed;
    EXPECT_EQ(call(context, &byte, &printed), 1);
    EXPECT_EQ(byte, 'a');
    EXPECT_EQ(call(context, &byte, &printed), 1);
    EXPECT_EQ(byte, 'b');
    EXPECT_EQ(printed, "");

    const auto before = std::chrono::steady_clock::now();
    EXPECT_EQ(call(context, &byte, &printed), -1);
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(100));
    EXPECT_EQ(printed, "select timed out\n");
}

TEST_F(ReadFuncTest, WaitsUntilTheDeadlineInWholeSeconds)
{
    ReadContext context = readingUntil(checkDeadline(Clock_now(), 2, false));
    char byte = 0;
    std::string printed;
    const auto before = std::chrono::steady_clock::now();
    EXPECT_EQ(call(context, &byte, &printed), -1);
    const auto waited = std::chrono::steady_clock::now() - before;
    // Whole seconds: between one and two seconds, depending on where in the
    // current second the wait began.
    EXPECT_GE(waited, std::chrono::milliseconds(990));
    EXPECT_LT(waited, std::chrono::milliseconds(2500));
    EXPECT_EQ(printed, "select timed out\n");
}

// The 80-second rule counts whole seconds from the second the check is in;
// --timeout counts from the moment itself.
TEST(CheckDeadline, WholeSecondsFromTheSecondNowIsInOrExactly)
{
    constexpr int64_t now = 5 * CLOCK_SECOND + 700 * CLOCK_MILLISECOND;
    EXPECT_EQ(checkDeadline(now, 80, false).at, 85 * CLOCK_SECOND);
    EXPECT_EQ(checkDeadline(5 * CLOCK_SECOND, 80, false).at, 85 * CLOCK_SECOND);
    EXPECT_EQ(checkDeadline(now, 2, true).at, now + 2 * CLOCK_SECOND);
}

TEST_F(ReadFuncTest, ByteArrivingDuringTheWaitIsReadAtOnce)
{
    ReadContext context = readingUntil(Deadline_after(Clock_now(), 60 * CLOCK_SECOND));
    std::thread writer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        pty_.write("z");
    });
    char byte = 0;
    std::string printed;
    const auto before = std::chrono::steady_clock::now();
    EXPECT_EQ(call(context, &byte, &printed), 1);
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(5));
    writer.join();
    EXPECT_EQ(byte, 'z');
}

// A program that reads the same port without taking the lock can take a byte
// between the wait and the read. That must cost the check nothing but the byte.
TEST_F(ReadFuncTest, ReaderThatTakesBytesFirstIsNoFailure)
{
    const int other = open(pty_.path().c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(other, 0);
    std::atomic<bool> racing{true};
    std::atomic<int> stolen{0};
    std::thread thief([&] {
        // Reads without waiting, as fast as it can: it often takes a byte
        // after the check's wait has seen it and before the check reads it.
        while (racing) {
            char c;
            if (read(other, &c, 1) == 1)
                ++stolen;
            else
                std::this_thread::yield();
        }
    });
    ReadContext context = readingUntil(Deadline_after(Clock_now(), 60 * CLOCK_SECOND));
    std::atomic<int> received{0};
    std::atomic<int> failures{0};
    std::thread check([&] {
        for (char c = 0; c != 'Z';) {
            if (readFunc(&context, &c, 1) != 1) {
                ++failures;
                return;
            }
            ++received;
        }
    });
    // One byte at a time, each once both readers wait for it, until the
    // other reader has won a good number of the races.
    for (int sent = 0; sent < 20000 && stolen < 500 && failures == 0; ++sent) {
        pty_.write("x");
        int waiting = 1;
        while (ioctl(fd_, FIONREAD, &waiting) == 0 && waiting > 0)
            std::this_thread::yield();
    }
    racing = false;
    thief.join();
    close(other);
    if (failures == 0)
        pty_.write("Z");
    check.join();
    EXPECT_EQ(failures, 0);
    EXPECT_GT(received, 0);
}

TEST_F(ReadFuncTest, VanishedDeviceEndsReadingAtOnce)
{
    ReadContext context = readingUntil(Deadline_after(Clock_now(), 60 * CLOCK_SECOND));
    pty_.closeMaster();
    char byte = 0;
    std::string printed;
    EXPECT_LE(call(context, &byte, &printed), 0);
    EXPECT_EQ(printed, "");
}

} // namespace
