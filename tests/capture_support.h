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
