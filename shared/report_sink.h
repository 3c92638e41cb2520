// Where the packet reader and its buffer send their reports about bad input:
// pieces of text (printable bytes only), then the end of each line. The
// sink is a plain value given when the reader is created; sending through
// it allocates nothing, and the bytes it hands over are only valid during
// the call.
#pragma once

#include <cstdio>
#include <string_view>

struct ReportSink {
    void (*piece)(void* arg, std::string_view text); // more of the current line
    void (*endLine)(void* arg);                       // the current line is complete
    void* arg;                                        // handed to both, not owned
};

// Writes the pieces to `stream` as they come, a line feed at each line end
// (the standard output's is the reader's default).
ReportSink ReportSink_toStream(FILE* stream);

inline void ReportSink_write(const ReportSink& sink, std::string_view text) { sink.piece(sink.arg, text); }
inline void ReportSink_endLine(const ReportSink& sink) { sink.endLine(sink.arg); }
// Sends [str, end) in printable form: bytes 0x20 to 0x7E as they are, in
// runs; every other byte as "[%02X]", so nothing from the line acts on a terminal.
void ReportSink_writePrintable(const ReportSink& sink, const char* str, const char* end);
