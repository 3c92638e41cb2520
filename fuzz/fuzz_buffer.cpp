// Fuzz target: the input buffer driven by a fuzzed sequence of operations,
// checked against a plain model of what it must deliver.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "buffer.h"
#include "fuzz_support.h"

namespace {

struct Source {
    const uint8_t* data;
    size_t size;
    size_t pos;
    bool failNext;
};

int32_t readSource(void* arg, void* dest, uint32_t size)
{
    auto* src = static_cast<Source*>(arg);
    if (src->failNext) {
        src->failNext = false;
        return -1;
    }
    if (src->pos >= src->size || size != 1)
        return 0;
    *static_cast<uint8_t*>(dest) = src->data[src->pos++];
    return 1;
}

constexpr size_t Size = 8;

} // namespace

// Input: first half operations, second half the bytes the source hands out.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const size_t ops = size / 2;
    Source src{data + ops, size - ops, 0, false};
    Buffer* buf = Buffer_create(Size, readSource, &src);
    require(buf != nullptr, "created");
    // Model: the bytes received since the last reset, the read position and the token start.
    std::string received;
    size_t ptr = 0;
    size_t start = 0;
    for (size_t i = 0; i < ops; ++i) {
        switch (data[i] % 7) {
        case 0:
        case 1: {
            char c;
            const bool fromStorage = ptr < received.size();
            if (!fromStorage && received.size() == Size) {
                received.clear();
                ptr = start = 0;
            }
            const bool sourceHasByte = !src.failNext && src.pos < src.size;
            const uint8_t next = sourceHasByte ? src.data[src.pos] : 0;
            const int rc = Buffer_readChar(buf, &c);
            if (fromStorage) {
                require(rc == 0 && c == received[ptr], "rewound byte delivered from storage");
                ++ptr;
            } else if (sourceHasByte) {
                require(rc == 0 && static_cast<uint8_t>(c) == next, "new byte delivered");
                received += c;
                ++ptr;
            } else {
                require(rc == -1, "end of source reported");
            }
            break;
        }
        case 2:
            if (ptr > 0) {
                Buffer_unread(buf);
                --ptr;
            }
            break;
        case 3:
            Buffer_unreadAll(buf);
            ptr = start = 0;
            break;
        case 4:
            Buffer_updateStart(buf);
            start = ptr;
            break;
        case 5:
            Buffer_clear(buf);
            received.clear();
            ptr = start = 0;
            break;
        case 6:
            Buffer_dumpContents(buf, stdout);
            src.failNext = (data[i] & 0x80) != 0;
            break;
        }
        require(buf->buffer <= buf->ptr && buf->ptr <= buf->used && buf->used <= buf->buffer + buf->size,
                "positions in order");
        require(static_cast<size_t>(buf->used - buf->buffer) == received.size(), "received count");
        require(static_cast<size_t>(buf->ptr - buf->buffer) == ptr, "read position");
        require(static_cast<size_t>(buf->start - buf->buffer) == start, "token start");
        if (buf->start <= buf->ptr)
            require(Buffer_bytesRead(buf) == ptr - start, "token length");
        require(received.compare(0, received.size(), buf->buffer, received.size()) == 0, "storage content");
    }
    Buffer_destroy(buf);
    return 0;
}
