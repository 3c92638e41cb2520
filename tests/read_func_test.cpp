#include <gtest/gtest.h>

#include <chrono>
#include <sys/ioctl.h>
#include <thread>

#include "pty_support.h"
#include "read_func.h"
#include "serial.h"

namespace {

class ReadFuncTest : public testing::Test {
protected:
    void SetUp() override
    {
        fd_ = serial_openport(pty_.path().c_str(), 57600, 1);
        ASSERT_GE(fd_, 0);
    }
    void TearDown() override { serial_close(fd_); }

    int32_t call(ReadContext& context, char* byte, std::string* printed)
    {
        testing::internal::CaptureStdout();
        const int32_t got = readFunc(&context, byte, 1);
        *printed = testing::internal::GetCapturedStdout();
        return got;
    }

    Pty pty_;
    int fd_ = -1;
};

TEST_F(ReadFuncTest, PastDeadlineStillReadsWhatIsWaitingThenStops)
{
    ReadContext context{fd_, monotonic_seconds() - 5};
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
    ReadContext context{fd_, monotonic_seconds() + 2};
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

TEST_F(ReadFuncTest, ByteArrivingDuringTheWaitIsReadAtOnce)
{
    ReadContext context{fd_, monotonic_seconds() + 60};
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

TEST_F(ReadFuncTest, VanishedDeviceEndsReadingAtOnce)
{
    ReadContext context{fd_, monotonic_seconds() + 60};
    pty_.closeMaster();
    char byte = 0;
    std::string printed;
    EXPECT_LE(call(context, &byte, &printed), 0);
    EXPECT_EQ(printed, "");
}

} // namespace
