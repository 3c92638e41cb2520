// Input buffer: a fixed-size byte store between a byte source and a parser
// that reads one byte at a time. It fills itself through a read callback,
// remembers where the current token began, and can step back one byte or
// rewind to the first byte received so that abandoned input is read again.
#pragma once

#include <cassert>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "report_sink.h"

// Read callback: place up to `size` bytes at `dest`. More than 0 is the number
// of bytes placed; 0 (end of input) and below 0 (failure) both end reading.
using ReadCallback = int32_t (*)(void* arg, void* dest, uint32_t size);

struct Buffer {
    char* buffer;        // storage, `size` bytes, owned
    size_t size;         // capacity in bytes
    char* start;         // start of the current token
    char* ptr;           // read position: next byte to deliver
    char* used;          // one past the last byte received
    ReadCallback readFn; // byte source
    void* readArg;       // handed to every readFn call, not owned
    ReportSink reports;  // where dropped input is reported: the standard output unless given
};

// New buffer of `size` bytes, or null when memory is short or size is 0.
// Reports go to the standard output.
Buffer* Buffer_create(size_t size, ReadCallback readFn, void* readArg);
// The same, reporting to `reports`.
Buffer* Buffer_createWithSink(size_t size, ReadCallback readFn, void* readArg, ReportSink reports);
// Null is ignored.
void Buffer_destroy(Buffer* buf);

// Reports the full storage and empties it: the rare step of Buffer_fill.
void Buffer_dropFull(Buffer* buf);

// The operations the reader calls for every byte are defined here, so that
// they are inlined into it.

// The refill step of Buffer_readChar, for when every received byte has been
// delivered: exactly one byte is asked of the source.
inline int Buffer_fill(Buffer* buf, char* c)
{
    assert(buf->ptr == buf->used);
    if (buf->used >= buf->buffer + buf->size) [[unlikely]]
        Buffer_dropFull(buf);
    const int32_t got = buf->readFn(buf->readArg, buf->used, 1);
    if (got <= 0)
        return -1;
    buf->used += got;
    assert(buf->ptr <= buf->used);
    *c = *buf->ptr++;
    return 0;
}

// 0 and the next byte in *c, or -1 when the source ended or failed.
inline int Buffer_readChar(Buffer* buf, char* c)
{
    if (buf->ptr < buf->used) {
        *c = *buf->ptr++;
        return 0;
    }
    return Buffer_fill(buf, c);
}
// The next Buffer_readChar delivers the previous byte again.
void Buffer_unread(Buffer* buf);
// Everything received is delivered again from the first byte.
inline void Buffer_unreadAll(Buffer* buf) { buf->start = buf->ptr = buf->buffer; }
inline char* Buffer_getStart(Buffer* buf) { return buf->start; }
// Consumes the token read so far.
inline void Buffer_updateStart(Buffer* buf) { buf->start = buf->ptr; }
// Length of the current token.
inline size_t Buffer_bytesRead(const Buffer* buf) { return static_cast<size_t>(buf->ptr - buf->start); }
// Discards everything, including bytes received but not yet delivered.
inline void Buffer_clear(Buffer* buf) { buf->start = buf->ptr = buf->used = buf->buffer; }
// Appends `bytes` in printable form: bytes 0x20 to 0x7E as they are, every
// other byte as "[%02X]", so nothing from the line acts on a terminal.
void appendPrintable(std::string& out, std::string_view bytes);
// Prints the storage from its start up to the read position in printable form.
void Buffer_dumpContents(const Buffer* buf, FILE* stream);
// The same printable form, sent to the buffer's report sink.
void Buffer_reportContents(const Buffer* buf);
