#include <gtest/gtest.h>

#include <memory>

#include "buffer.h"
#include "byte_source.h"

namespace {

using BufferPtr = std::unique_ptr<Buffer, decltype(&Buffer_destroy)>;

BufferPtr makeBuffer(size_t size, ByteSource& source)
{
    return BufferPtr(Buffer_create(size, &ByteSource::read, &source), &Buffer_destroy);
}

std::string readN(Buffer* buf, int n)
{
    std::string got;
    for (int i = 0; i < n; ++i) {
        char c = 0;
        EXPECT_EQ(Buffer_readChar(buf, &c), 0);
        got += c;
    }
    return got;
}

std::string dump(const Buffer* buf)
{
    testing::internal::CaptureStdout();
    Buffer_dumpContents(buf, stdout);
    return testing::internal::GetCapturedStdout();
}

TEST(Buffer, RewindDeliversStoredBytesWithoutAskingTheSource)
{
    ByteSource source{"abcd"};
    auto buf = makeBuffer(16, source);
    EXPECT_EQ(readN(buf.get(), 3), "abc");
    EXPECT_EQ(source.calls, 3);

    Buffer_unreadAll(buf.get());
    EXPECT_EQ(Buffer_getStart(buf.get()), buf->buffer);
    EXPECT_EQ(readN(buf.get(), 3), "abc");
    EXPECT_EQ(source.calls, 3);
    EXPECT_EQ(readN(buf.get(), 1), "d");
    EXPECT_EQ(source.calls, 4);

    Buffer_unread(buf.get());
    EXPECT_EQ(readN(buf.get(), 1), "d");
    EXPECT_EQ(source.calls, 4);
}

TEST(Buffer, TokensAndClear)
{
    ByteSource source{"abcdef"};
    auto buf = makeBuffer(16, source);
    readN(buf.get(), 2);
    EXPECT_EQ(Buffer_bytesRead(buf.get()), 2u);
    Buffer_updateStart(buf.get());
    EXPECT_EQ(Buffer_bytesRead(buf.get()), 0u);
    readN(buf.get(), 3);
    EXPECT_EQ(std::string(Buffer_getStart(buf.get()), Buffer_bytesRead(buf.get())), "cde");
    // The dump always starts at the storage, not at the token.
    EXPECT_EQ(dump(buf.get()), "abcde");

    // Clear drops even bytes received but not yet delivered.
    Buffer_unreadAll(buf.get());
    Buffer_clear(buf.get());
    EXPECT_EQ(dump(buf.get()), "");
    EXPECT_EQ(readN(buf.get(), 1), "f");
}

TEST(Buffer, FullStorageIsReportedDroppedAndReused)
{
    ByteSource source{"ab\ncde"};
    auto buf = makeBuffer(4, source);
    EXPECT_EQ(readN(buf.get(), 4), "ab\nc");
    testing::internal::CaptureStdout();
    EXPECT_EQ(readN(buf.get(), 1), "d");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Buffer full, ignored: [[[ab[0A]c]]]\n");
    EXPECT_EQ(buf->ptr, buf->buffer + 1);
    EXPECT_EQ(Buffer_getStart(buf.get()), buf->buffer);
}

TEST(Buffer, FullStorageIsResetEvenWhenTheSourceThenEnds)
{
    ByteSource source{"abcd"};
    auto buf = makeBuffer(4, source);
    readN(buf.get(), 4);
    testing::internal::CaptureStdout();
    char c = 0;
    EXPECT_EQ(Buffer_readChar(buf.get(), &c), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Buffer full, ignored: [[[abcd]]]\n");
    EXPECT_EQ(buf->used, buf->buffer);
}

TEST(Buffer, PrintableFormShowsControlAndHighBytesInHex)
{
    ByteSource source{std::string("A\n\r\x80 ~\x7F\x1F", 8)};
    auto buf = makeBuffer(16, source);
    readN(buf.get(), 8);
    EXPECT_EQ(dump(buf.get()), "A[0A][0D][80] ~[7F][1F]");
}

TEST(Buffer, SourceEndOrFailureIsNotFinal)
{
    ByteSource source{"x"};
    auto buf = makeBuffer(8, source);
    char c = 0;
    EXPECT_EQ(Buffer_readChar(buf.get(), &c), 0);
    EXPECT_EQ(Buffer_readChar(buf.get(), &c), -1);
    source.atEnd = -1;
    EXPECT_EQ(Buffer_readChar(buf.get(), &c), -1);
    source.bytes += "y";
    EXPECT_EQ(Buffer_readChar(buf.get(), &c), 0);
    EXPECT_EQ(c, 'y');
    EXPECT_EQ(dump(buf.get()), "xy");
}

TEST(Buffer, ZeroSizeIsRefusedAndNullIsIgnored)
{
    ByteSource source{"a"};
    EXPECT_EQ(Buffer_create(0, &ByteSource::read, &source), nullptr);
    Buffer_destroy(nullptr);
}

TEST(BufferDeathTest, StepBackBeforeStorageStopsTheProgram)
{
    ByteSource source{""};
    auto buf = makeBuffer(8, source);
    EXPECT_DEATH(Buffer_unread(buf.get()), "ptr > buf->buffer");
}

} // namespace
