// Input buffer: a fixed-size byte store between a byte source and a parser
// that reads one byte at a time. It fills itself through a read callback,
// remembers where the current token began, and can step back one byte or
// rewind to the first byte received so that abandoned input is read again.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

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
    FILE* reports;       // where dropped input is reported: the standard output unless set
};

// New buffer of `size` bytes, or null when memory is short or size is 0.
Buffer* Buffer_create(size_t size, ReadCallback readFn, void* readArg);
// Null is ignored.
void Buffer_destroy(Buffer* buf);

// 0 and the next byte in *c, or -1 when the source ended or failed.
int Buffer_readChar(Buffer* buf, char* c);
// The next Buffer_readChar delivers the previous byte again.
void Buffer_unread(Buffer* buf);
// Everything received is delivered again from the first byte.
void Buffer_unreadAll(Buffer* buf);
char* Buffer_getStart(Buffer* buf);
// Consumes the token read so far.
void Buffer_updateStart(Buffer* buf);
// Length of the current token.
size_t Buffer_bytesRead(const Buffer* buf);
// Discards everything, including bytes received but not yet delivered.
void Buffer_clear(Buffer* buf);
// Writes [str, end) in printable form: bytes 0x20 to 0x7E as they are, every
// other byte as "[%02X]", so nothing from the line acts on a terminal.
void asciiPrint(FILE* stream, const char* str, const char* end);
// The same printable form, appended to `out`.
void appendPrintable(std::string& out, std::string_view bytes);
// Prints the storage from its start up to the read position in printable form.
void Buffer_dumpContents(const Buffer* buf, FILE* stream);
