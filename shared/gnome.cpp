#include "gnome.h"

#include <cassert>
#include <cstdio>
#include <memory>
#include <new>

namespace {

constexpr char LineFeed = 0x0A;

constexpr bool isDigit(char c) { return c >= '0' && c <= '9'; }

constexpr bool isHexDigit(char c)
{
    return isDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

constexpr uint32_t digitValue(char c) { return static_cast<uint32_t>(c - '0'); }

uint32_t converthex(char c)
{
    assert(isHexDigit(c));
    const char upper = (c >= 'a' && c <= 'f') ? static_cast<char>(c - 'a' + 'A') : c;
    return isDigit(upper) ? digitValue(upper) : static_cast<uint32_t>(upper - 'A' + 10);
}

uint32_t threeDigits(const char* p) { return 100 * digitValue(p[0]) + 10 * digitValue(p[1]) + digitValue(p[2]); }

// Prints what a line feed interrupts; the line feed then begins a new packet.
void reportInterrupted(Buffer* buf, uint32_t state)
{
    const ReportSink& sink = buf->reports;
    if (state == WaitStart) {
        Buffer_unread(buf); // the line feed itself is not part of the report
        if (Buffer_bytesRead(buf) == 0) {
            Buffer_clear(buf);
            return;
        }
        ReportSink_write(sink, "Unexpected/invalid characters: [[[");
    } else {
        char head[96];
        const int n = std::snprintf(head, sizeof head,
                                    "Error: 0x0A found in state %u; discarding current buffer contents of [[[", state);
        assert(n > 0 && static_cast<size_t>(n) < sizeof head);
        ReportSink_write(sink, std::string_view(head, static_cast<size_t>(n)));
    }
    Buffer_reportContents(buf);
    ReportSink_write(sink, "]]]");
    ReportSink_endLine(sink);
    Buffer_clear(buf);
}

void reportMismatch(const ReportSink& sink, uint32_t received, uint32_t computed)
{
    char line[48];
    const int n = std::snprintf(line, sizeof line, "Checksum mismatch: %x vs %x", received, computed);
    assert(n > 0 && static_cast<size_t>(n) < sizeof line);
    ReportSink_write(sink, std::string_view(line, static_cast<size_t>(n)));
    ReportSink_endLine(sink);
}

void clearOut(int32_t* count, const char* const** codes, const char* const** values, const int32_t** lengths)
{
    *count = 0;
    *codes = nullptr;
    *values = nullptr;
    *lengths = nullptr;
}

} // namespace

Gnome* Gnome_create(ReadCallback readFn, void* readArg)
{
    return Gnome_createWithSink(readFn, readArg, ReportSink_toStream(stdout));
}

Gnome* Gnome_createWithSink(ReadCallback readFn, void* readArg, ReportSink reports)
{
    std::unique_ptr<Gnome, decltype(&Gnome_destroy)> gnome(new (std::nothrow) Gnome{}, &Gnome_destroy);
    if (!gnome)
        return nullptr;
    gnome->buffer = Buffer_createWithSink(GNOME_BUFFER_SIZE, readFn, readArg, reports);
    if (gnome->buffer == nullptr)
        return nullptr;
    gnome->state = WaitStart;
    return gnome.release();
}

void Gnome_destroy(Gnome* gnome)
{
    if (gnome == nullptr)
        return;
    Buffer_destroy(gnome->buffer);
    delete gnome;
}

int Gnome_readPacket(Gnome* g, int32_t* count, const char* const** codes, const char* const** values,
                     const int32_t** lengths)
{
    Buffer* buf = g->buffer;
    // The parser state and the running sum live in registers while bytes
    // flow; the record stores them back whenever it returns.
    uint32_t state = g->state;
    uint32_t checksum = g->checksum;
    // Abandoning keeps every received byte: they are delivered again in
    // WaitStart and shown in the report at the next line feed.
    const auto abandon = [&] {
        Buffer_unreadAll(buf);
        state = WaitStart;
    };
    const auto storeRecord = [&](const char* value, uint32_t length) {
        g->values[g->count] = value;
        g->lengths[g->count] = static_cast<int32_t>(length);
        ++g->count;
        state = g->remaining < 6 ? Checksum : RecordCode;
    };
    for (;;) {
        char b;
        if (Buffer_readChar(buf, &b) != 0) {
            g->state = state;
            g->checksum = checksum;
            clearOut(count, codes, values, lengths);
            return -1;
        }
        checksum += static_cast<unsigned char>(b);
        if (b == LineFeed) {
            reportInterrupted(buf, state);
            state = PacketLength;
            checksum = static_cast<unsigned char>(LineFeed); // the first byte of the new packet's sum
            continue;
        }
        if (state == WaitStart)
            continue; // the byte stays in the buffer as unexpected input
        const size_t token = Buffer_bytesRead(buf);
        // Value bytes are most of a packet: test them before the dispatch.
        if (state == RecordData && token < g->fieldLength)
            continue;
        switch (state) {
        case PacketLength:
            if (!isDigit(b)) {
                abandon();
            } else if (token == 3) {
                g->remaining = threeDigits(Buffer_getStart(buf));
                Buffer_updateStart(buf);
                g->count = 0;
                state = RecordCode;
            }
            break;
        case RecordCode:
            if (token < 4)
                break;
            // The arrays hold 64 records; a longer packet is treated as malformed.
            if (g->count == GNOME_MAX_RECORDS) {
                abandon();
                break;
            }
            g->codes[g->count] = Buffer_getStart(buf);
            Buffer_updateStart(buf);
            state = RecordLength;
            break;
        case RecordLength:
            if (!isDigit(b)) {
                abandon();
            } else if (token == 3) {
                g->fieldLength = threeDigits(Buffer_getStart(buf)) - 7; // wraps when R < 7
                // A record must fit, code and length digits included, in what
                // the packet length leaves: otherwise the count would wrap.
                if (g->fieldLength > g->remaining || g->remaining - g->fieldLength < 7) {
                    abandon();
                    break;
                }
                g->remaining -= 7 + g->fieldLength;
                Buffer_updateStart(buf);
                if (g->fieldLength != 0)
                    state = RecordData;
                else
                    storeRecord(Buffer_getStart(buf), 0);
            }
            break;
        case RecordData:
            storeRecord(Buffer_getStart(buf), g->fieldLength);
            Buffer_updateStart(buf);
            break;
        case Checksum: {
            checksum -= static_cast<unsigned char>(b); // checksum digits are not summed
            if (!isHexDigit(b)) {
                abandon();
                break;
            }
            if (token < 2)
                break;
            const char* digits = Buffer_getStart(buf);
            const uint32_t received = 16 * converthex(digits[0]) + converthex(digits[1]);
            const uint32_t computed = checksum & 0xFF;
            checksum = computed;
            if (received != computed) {
                reportMismatch(buf->reports, received, computed);
                abandon();
                break;
            }
            Buffer_clear(buf);
            g->state = WaitStart;
            g->checksum = checksum;
            *count = g->count;
            *codes = g->codes;
            *values = g->values;
            *lengths = g->lengths;
            return 0;
        }
        default:
            assert(!"parser state out of range");
            break;
        }
    }
}
