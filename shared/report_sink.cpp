#include "report_sink.h"

#include <cassert>

namespace {

constexpr bool isPrintable(unsigned char b) { return b >= 0x20 && b <= 0x7E; }

void streamPiece(void* arg, std::string_view text) { std::fwrite(text.data(), 1, text.size(), static_cast<FILE*>(arg)); }

void streamEndLine(void* arg) { std::fputc('\n', static_cast<FILE*>(arg)); }

} // namespace

ReportSink ReportSink_toStream(FILE* stream) { return ReportSink{streamPiece, streamEndLine, stream}; }

void ReportSink_writePrintable(const ReportSink& sink, const char* str, const char* end)
{
    assert(end >= str);
    static constexpr char hex[] = "0123456789ABCDEF";
    const char* run = str;
    for (const char* p = str; p != end; ++p) {
        const auto b = static_cast<unsigned char>(*p);
        if (isPrintable(b))
            continue;
        if (p != run)
            sink.piece(sink.arg, std::string_view(run, static_cast<size_t>(p - run)));
        const char tag[4] = {'[', hex[b >> 4], hex[b & 0xF], ']'};
        sink.piece(sink.arg, std::string_view(tag, sizeof tag));
        run = p + 1;
    }
    if (end != run)
        sink.piece(sink.arg, std::string_view(run, static_cast<size_t>(end - run)));
}
