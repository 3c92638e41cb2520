// A capture read back whole for the tests' assertions, through the streaming
// reader: chunks and marks in file order.
#pragma once

#include <deque>
#include <memory>
#include <string>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

#include "capture.h"

struct CaptureChunk {
    int64_t offset;
    const char* bytes;
    size_t size;
};

struct CaptureMark {
    int64_t offset;
    CaptureMarkKind kind;
    size_t beforeChunk; // the index of the first chunk that follows it
};

struct CaptureLog {
    std::vector<CaptureChunk> chunks;
    std::vector<CaptureMark> marks;
    std::deque<std::string> storage;
    size_t count = 0;
    size_t markCount = 0;
};

// Null when `text` is not a capture: then *badLine and *why say why.
inline std::unique_ptr<CaptureLog> parseCapture(const std::string& text, size_t* badLine = nullptr,
                                                const char** why = nullptr)
{
    const int fd = memfd_create("capture", MFD_CLOEXEC);
    if (fd < 0 || write(fd, text.data(), text.size()) != ssize_t(text.size()) || lseek(fd, 0, SEEK_SET) != 0)
        return nullptr;
    auto log = std::make_unique<CaptureLog>();
    CaptureReader* reader = CaptureReader_open(fd);
    CaptureItem item{};
    int got;
    while ((got = CaptureReader_next(reader, &item)) == 1) {
        if (item.isMark) {
            log->marks.push_back({item.offset, item.kind, log->chunks.size()});
            continue;
        }
        const std::string& bytes = log->storage.emplace_back(item.bytes, item.size);
        log->chunks.push_back({item.offset, bytes.data(), bytes.size()});
    }
    if (badLine != nullptr)
        *badLine = got < 0 ? CaptureReader_line(reader) : 0;
    if (why != nullptr)
        *why = got < 0 ? CaptureReader_why(reader) : nullptr;
    CaptureReader_destroy(reader);
    close(fd);
    log->count = log->chunks.size();
    log->markCount = log->marks.size();
    return got < 0 ? nullptr : std::move(log);
}

// Captures the reader refuses, each with the number of the line it names:
// the reader's tests and the replay's share them.
struct MalformedCapture {
    std::string text;
    size_t line;
};
inline std::vector<MalformedCapture> malformedCaptures()
{
    const std::string first = "# quarvo-capture 1\n";
    const std::string head = first + "# port x\n";
    return {
        {"", 1},
        {"# quarvo-capture 2\n0.000001 a\n", 1},
        {"# other-format 1\n", 1},
        {"0.000001 a\n", 1},
        {head + "0.000001 a\n\n", 4},
        {head + "0.00001 a\n", 3},
        {head + "1.000000a\n", 3},
        {head + "1.000000 \n", 3},
        {head + "1.000000 a b\n", 3},
        {head + "1.000000 \\x4\n", 3},
        {head + "1.000000 \\x+1\n", 3},
        {head + "1.000000 \\x-1\n", 3},
        {head + "1.000000 \\x4g\n", 3},
        {head + "1.000000 \\y41\n", 3},
        {head + "1.000000 a\\\n", 3},
        {head + "1.000000 a\r\n", 3},
        {head + "x1.000000 a\n", 3},
        {head + "2.000000 a\n1.999999 b\n", 4},
        {head + "1.000000 a\n1.000000 b", 4},
        {first + "0.000000 ok\n0.000001 two words\n", 3},
        {"# quarvo-capture 9\n", 1},
        {first + "# port p\n1.000000 \\x0\n", 3},
        {"# quarvo-capture 1\r\n0.000000 a\r\n", 1},
        // Marks of the port come in turns, the first after a loss.
        {first + "# reopened 1.000000\n", 2},
        {first + "# lost 1.000000\n# lost 2.000000\n", 3},
        {first + "# lost 1.000000\n1.500000 a\n", 3},
        {first + "1.000000 a\n# lost 0.500000\n", 3},
        {first + "# lost 1.000000\n# reopened 0.900000\n", 3},
    };
}
