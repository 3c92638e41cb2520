// Fuzz target: the packet reader fed arbitrary bytes. Every packet it
// returns must be what the bytes really framed: 1 to 64 records lying inside
// the bytes received, record lengths that add up, and a right checksum.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "fuzz_support.h"
#include "gnome.h"

namespace {

struct MemorySource {
    const uint8_t* data;
    size_t size;
    size_t pos;
};

int32_t readMemory(void* arg, void* dest, uint32_t size)
{
    auto* src = static_cast<MemorySource*>(arg);
    if (src->pos >= src->size || size == 0)
        return 0;
    *static_cast<uint8_t*>(dest) = src->data[src->pos++];
    return 1;
}

int digit(uint8_t b) { return b - '0'; }

int hex(uint8_t b)
{
    if (b >= '0' && b <= '9')
        return b - '0';
    if (b >= 'a' && b <= 'f')
        return b - 'a' + 10;
    return b - 'A' + 10;
}

void checkPacket(const MemorySource& src, const Gnome* g, int32_t count, const char* const* codes,
                 const char* const* values, const int32_t* lengths)
{
    require(count >= 1 && count <= GNOME_MAX_RECORDS, "record count 1 to 64");
    // The packet runs from the last line feed up to the source position.
    const size_t end = src.pos;
    size_t lf = end;
    while (lf > 0 && src.data[lf - 1] != '\n')
        --lf;
    require(lf > 0, "a packet begins with a line feed");
    const size_t start = lf - 1;
    const size_t bytes = end - lf; // without the line feed
    require(bytes >= 3 + 7 + 2, "packet long enough for one record");
    const char* storage = g->buffer->buffer;
    require(std::memcmp(storage, src.data + lf, bytes) == 0, "storage holds the packet from its first byte");

    unsigned sum = 0;
    for (size_t i = start; i < end - 2; ++i)
        sum += src.data[i];
    require((sum & 0xFF) == static_cast<unsigned>(16 * hex(src.data[end - 2]) + hex(src.data[end - 1])),
            "checksum right");

    const int packetLength = 100 * digit(src.data[lf]) + 10 * digit(src.data[lf + 1]) + digit(src.data[lf + 2]);
    const char* expectedCode = storage + 3;
    int recordSum = 0;
    for (int32_t i = 0; i < count; ++i) {
        require(codes[i] == expectedCode, "records back to back");
        require(lengths[i] >= 0 && values[i] == codes[i] + 7, "value after code and length");
        require(values[i] + lengths[i] <= storage + bytes - 2, "value inside the packet");
        const int r = 100 * digit(static_cast<uint8_t>(codes[i][4])) + 10 * digit(static_cast<uint8_t>(codes[i][5])) +
                      digit(static_cast<uint8_t>(codes[i][6]));
        require(r == lengths[i] + 7, "record length field matches");
        recordSum += r;
        expectedCode = values[i] + lengths[i];
    }
    require(expectedCode == storage + bytes - 2, "checksum follows the last record");
    require(packetLength >= recordSum && packetLength <= recordSum + 5, "packet length within the accepted range");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    MemorySource src{data, size, 0};
    Gnome* g = Gnome_create(readMemory, &src);
    require(g != nullptr, "reader created");
    for (;;) {
        int32_t count = -1;
        const char* const* codes = nullptr;
        const char* const* values = nullptr;
        const int32_t* lengths = nullptr;
        if (Gnome_readPacket(g, &count, &codes, &values, &lengths) != 0) {
            require(count == 0 && codes == nullptr && values == nullptr && lengths == nullptr, "cleared on end");
            break;
        }
        checkPacket(src, g, count, codes, values, lengths);
    }
    Gnome_destroy(g);
    return 0;
}
