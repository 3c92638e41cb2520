// Fuzz target: the packet reader fed arbitrary bytes. Every packet it
// returns must be what the bytes really framed: 1 to 64 records lying inside
// the bytes received, record lengths that add up, and a right checksum.
// The other direction too: the same bytes, read as a recipe for a stream of
// garbage and well-formed packets, must give back every one of those packets.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

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

using Record = std::pair<std::string, std::string>; // code, value
using Packet = std::vector<Record>;

// Takes bytes off the front of the fuzzer's input; zeros once it is used up.
struct Recipe {
    const uint8_t* data;
    size_t size;
    size_t pos = 0;
    bool more() const { return pos < size; }
    uint8_t next() { return pos < size ? data[pos++] : 0; }
    // Any byte but a line feed, which would start a new packet.
    char field() { const uint8_t b = next(); return static_cast<char>(b == '\n' ? 'n' : b); }
};

// A well-formed packet: its line feed, a length from the records' sum up to
// five more, the records, and the checksum in either case.
std::string encode(const Packet& packet, unsigned extra, bool lowerCase)
{
    std::string body;
    unsigned recordSum = 0;
    for (const auto& [code, value] : packet) {
        const unsigned r = 7 + static_cast<unsigned>(value.size());
        char digits[4];
        std::snprintf(digits, sizeof digits, "%03u", r);
        body += code + digits + value;
        recordSum += r;
    }
    char head[5];
    std::snprintf(head, sizeof head, "\n%03u", recordSum + extra);
    std::string bytes = head + body;
    unsigned sum = 0;
    for (const char c : bytes)
        sum += static_cast<uint8_t>(c);
    char tail[3];
    std::snprintf(tail, sizeof tail, lowerCase ? "%02x" : "%02X", sum & 0xFF);
    return bytes + tail;
}

void checkEveryPacketComesBack(const uint8_t* data, size_t size)
{
    Recipe recipe{data, size};
    std::string stream;
    std::vector<Packet> sent;
    while (recipe.more()) {
        const uint8_t op = recipe.next();
        if (op & 1) { // garbage, with no line feed in it
            for (unsigned n = recipe.next(); n > 0; --n)
                stream += recipe.field();
            continue;
        }
        Packet packet;
        unsigned total = 0;
        for (unsigned records = 1 + (op >> 1) % GNOME_MAX_RECORDS; records > 0; --records) {
            std::string code;
            for (int i = 0; i < 4; ++i)
                code += recipe.field();
            std::string value;
            for (unsigned n = recipe.next() % 40; n > 0; --n)
                value += recipe.field();
            if (total + 7 + value.size() + 5 > 999)
                break;
            total += 7 + static_cast<unsigned>(value.size());
            packet.emplace_back(code, value);
        }
        if (packet.empty())
            continue;
        const uint8_t form = recipe.next();
        stream += encode(packet, form % 6, form & 0x80);
        sent.push_back(packet);
    }

    MemorySource src{reinterpret_cast<const uint8_t*>(stream.data()), stream.size(), 0};
    Gnome* g = Gnome_create(readMemory, &src);
    require(g != nullptr, "reader created");
    size_t received = 0;
    int32_t count = 0;
    const char* const* codes = nullptr;
    const char* const* values = nullptr;
    const int32_t* lengths = nullptr;
    while (Gnome_readPacket(g, &count, &codes, &values, &lengths) == 0) {
        require(received < sent.size(), "no packet that was not sent");
        const Packet& expected = sent[received++];
        require(static_cast<size_t>(count) == expected.size(), "every record of a packet");
        for (int32_t i = 0; i < count; ++i) {
            require(std::string(codes[i], 4) == expected[i].first, "record code as sent");
            require(std::string(values[i], static_cast<size_t>(lengths[i])) == expected[i].second,
                    "record value as sent");
        }
    }
    require(received == sent.size(), "every packet sent comes back, in order");
    Gnome_destroy(g);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    checkEveryPacketComesBack(data, size);
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
