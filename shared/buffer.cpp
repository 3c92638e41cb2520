#include "buffer.h"

#include <cassert>
#include <memory>
#include <new>
#include <string>

namespace {

constexpr bool isPrintable(unsigned char b) { return b >= 0x20 && b <= 0x7E; }

} // namespace

void appendPrintable(std::string& out, std::string_view bytes)
{
    static constexpr char hex[] = "0123456789ABCDEF";
    for (const char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        if (isPrintable(b)) {
            out += c;
        } else {
            const char tag[4] = {'[', hex[b >> 4], hex[b & 0xF], ']'};
            out.append(tag, sizeof tag);
        }
    }
}

// Printable bytes go out in runs; every other byte as "[%02X]".
void asciiPrint(FILE* stream, const char* str, const char* end)
{
    assert(end >= str);
    static constexpr char hex[] = "0123456789ABCDEF";
    const char* run = str;
    for (const char* p = str; p != end; ++p) {
        const auto b = static_cast<unsigned char>(*p);
        if (isPrintable(b))
            continue;
        if (p != run)
            std::fwrite(run, 1, static_cast<size_t>(p - run), stream);
        const char tag[4] = {'[', hex[b >> 4], hex[b & 0xF], ']'};
        std::fwrite(tag, 1, sizeof tag, stream);
        run = p + 1;
    }
    if (end != run)
        std::fwrite(run, 1, static_cast<size_t>(end - run), stream);
}

namespace {

// Refill step of Buffer_readChar: exactly one byte is asked for.
int Buffer_fill(Buffer* buf, char* c)
{
    assert(buf->ptr == buf->used);
    if (buf->used >= buf->buffer + buf->size) {
        assert(buf->used == buf->buffer + buf->size);
        std::fputs("Buffer full, ignored: [[[", buf->reports);
        asciiPrint(buf->reports, buf->buffer, buf->used);
        std::fputs("]]]\n", buf->reports);
        buf->start = buf->ptr = buf->used = buf->buffer;
    }
    const int32_t got = buf->readFn(buf->readArg, buf->used, 1);
    if (got <= 0)
        return -1;
    buf->used += got;
    assert(buf->ptr <= buf->used);
    *c = *buf->ptr++;
    return 0;
}

} // namespace

Buffer* Buffer_create(size_t size, ReadCallback readFn, void* readArg)
{
    // Storage of no bytes could not hold even the byte a refill asks for.
    if (size == 0)
        return nullptr;
    std::unique_ptr<Buffer, decltype(&Buffer_destroy)> buf(new (std::nothrow) Buffer{}, &Buffer_destroy);
    if (!buf)
        return nullptr;
    // Storage need not be cleared: only received bytes are ever read.
    buf->buffer = new (std::nothrow) char[size];
    if (buf->buffer == nullptr)
        return nullptr;
    buf->size = size;
    buf->start = buf->ptr = buf->used = buf->buffer;
    buf->readFn = readFn;
    buf->readArg = readArg;
    buf->reports = stdout;
    return buf.release();
}

void Buffer_destroy(Buffer* buf)
{
    if (buf == nullptr)
        return;
    delete[] buf->buffer;
    delete buf;
}

int Buffer_readChar(Buffer* buf, char* c)
{
    if (buf->ptr < buf->used) {
        *c = *buf->ptr++;
        return 0;
    }
    return Buffer_fill(buf, c);
}

void Buffer_unread(Buffer* buf)
{
    assert(buf->ptr > buf->buffer);
    --buf->ptr;
}

void Buffer_unreadAll(Buffer* buf) { buf->start = buf->ptr = buf->buffer; }

char* Buffer_getStart(Buffer* buf) { return buf->start; }

void Buffer_updateStart(Buffer* buf) { buf->start = buf->ptr; }

size_t Buffer_bytesRead(const Buffer* buf) { return static_cast<size_t>(buf->ptr - buf->start); }

void Buffer_clear(Buffer* buf) { buf->start = buf->ptr = buf->used = buf->buffer; }

void Buffer_dumpContents(const Buffer* buf, FILE* stream) { asciiPrint(stream, buf->buffer, buf->ptr); }
