#include "buffer.h"

#include <cassert>
#include <memory>
#include <new>
#include <string>

void appendPrintable(std::string& out, std::string_view bytes)
{
    const ReportSink toString{[](void* arg, std::string_view text) { static_cast<std::string*>(arg)->append(text); },
                              [](void*) {}, &out};
    ReportSink_writePrintable(toString, bytes.data(), bytes.data() + bytes.size());
}

void Buffer_dropFull(Buffer* buf)
{
    assert(buf->used == buf->buffer + buf->size);
    ReportSink_write(buf->reports, "Buffer full, ignored: [[[");
    ReportSink_writePrintable(buf->reports, buf->buffer, buf->used);
    ReportSink_write(buf->reports, "]]]");
    ReportSink_endLine(buf->reports);
    buf->start = buf->ptr = buf->used = buf->buffer;
}

Buffer* Buffer_create(size_t size, ReadCallback readFn, void* readArg)
{
    return Buffer_createWithSink(size, readFn, readArg, ReportSink_toStream(stdout));
}

Buffer* Buffer_createWithSink(size_t size, ReadCallback readFn, void* readArg, ReportSink reports)
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
    buf->reports = reports;
    return buf.release();
}

void Buffer_destroy(Buffer* buf)
{
    if (buf == nullptr)
        return;
    delete[] buf->buffer;
    delete buf;
}

void Buffer_unread(Buffer* buf)
{
    assert(buf->ptr > buf->buffer);
    --buf->ptr;
}

void Buffer_dumpContents(const Buffer* buf, FILE* stream)
{
    ReportSink_writePrintable(ReportSink_toStream(stream), buf->buffer, buf->ptr);
}

void Buffer_reportContents(const Buffer* buf) { ReportSink_writePrintable(buf->reports, buf->buffer, buf->ptr); }
