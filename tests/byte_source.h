// An in-memory byte source for the reader and the buffer: hands out one
// scripted byte per call and counts the calls.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>

struct ByteSource {
    std::string bytes;
    size_t pos = 0;
    int calls = 0;
    int32_t atEnd = 0; // what to return once the bytes are used up

    static int32_t read(void* arg, void* dest, uint32_t size)
    {
        auto* self = static_cast<ByteSource*>(arg);
        ++self->calls;
        if (self->pos >= self->bytes.size())
            return self->atEnd;
        const size_t n = std::min<size_t>(size, self->bytes.size() - self->pos);
        std::memcpy(dest, self->bytes.data() + self->pos, n);
        self->pos += n;
        return static_cast<int32_t>(n);
    }
};
