// Fuzz target: the Telnet decoder fed what a serial server might send.
// Two checks on each input: read as raw server bytes, split into chunks, it
// must decode without fault and without growing; read as a script, it
// builds data interleaved with well-formed negotiation the way a server
// would send it, and the decoder must hand over exactly that data.
#include <cstdint>
#include <span>
#include <string>

#include "fuzz_support.h"
#include "telnet.h"

namespace {

// Decodes `wire` in chunks whose sizes come from `sizes` (cycled).
std::string decode(Telnet& t, const std::string& wire, std::span<const uint8_t> sizes, std::string& replies)
{
    std::string data;
    std::string chunk;
    size_t pos = 0;
    for (size_t i = 0; pos < wire.size(); ++i) {
        const size_t size = sizes.empty() ? wire.size() : 1 + sizes[i % sizes.size()] % 16;
        chunk.assign(wire, pos, size);
        pos += chunk.size();
        auto* p = reinterpret_cast<uint8_t*>(chunk.data());
        const size_t n = Telnet_receive(t, std::span<const uint8_t>(p, chunk.size()), p, replies);
        require(n <= chunk.size(), "data no longer than its input");
        data.append(chunk, 0, n);
    }
    return data;
}

// Decodes `wire` without and then with the client's opening sent first;
// `check` is given the data and how many answer bytes the wire itself drew.
template <typename Check>
void decodeOpenedOrNot(const std::string& wire, std::span<const uint8_t> sizes, Check check)
{
    for (const bool opened : {false, true}) {
        Telnet t;
        std::string replies;
        if (opened)
            Telnet_opening(t, replies);
        const size_t before = replies.size();
        const std::string data = decode(t, wire, sizes, replies);
        check(data, replies.size() - before);
    }
}

void put(std::string& wire, uint8_t b) { wire += static_cast<char>(b); }

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::span<const uint8_t> input(data, size);
    const std::span<const uint8_t> sizes = input.first(std::min<size_t>(size, 8));

    // 1. Raw bytes, with and without the client's opening sent first.
    decodeOpenedOrNot(std::string(reinterpret_cast<const char*>(data), size), sizes,
                      [size](const std::string&, size_t answers) {
                          require(answers <= size, "answers bounded by what was received");
                      });

    // 2. A script: each step one data byte or one well-formed command.
    std::string wire;
    std::string expected;
    size_t verbs = 0;
    bool textMode = false; // the server sends CR as CR NUL once it refused binary
    for (size_t i = 0; i < size; ++i) {
        const uint8_t step = data[i];
        const uint8_t arg = i + 1 < size ? data[i + 1] : 0;
        switch (step % 8) {
        case 0: // a verb and an option
        case 1: {
            const uint8_t verb = static_cast<uint8_t>(TELNET_WILL + step / 8 % 4);
            put(wire, TELNET_IAC);
            put(wire, verb);
            put(wire, arg);
            if (arg == TELNET_BINARY && verb == TELNET_WONT)
                textMode = true;
            if (arg == TELNET_BINARY && verb == TELNET_WILL)
                textMode = false;
            ++verbs;
            ++i;
            break;
        }
        case 2: { // a subnegotiation of `arg` bytes from the input, 0xFF doubled
            put(wire, TELNET_IAC);
            put(wire, TELNET_SB);
            const size_t end = std::min(size, i + 2 + arg % 96);
            for (size_t j = i + 2; j < end; ++j) {
                put(wire, data[j]);
                if (data[j] == TELNET_IAC)
                    put(wire, TELNET_IAC);
            }
            put(wire, TELNET_IAC);
            put(wire, TELNET_SE);
            i = end - 1;
            break;
        }
        case 3: // a two-byte command (NOP, go-ahead, a stray SE...)
            put(wire, TELNET_IAC);
            put(wire, static_cast<uint8_t>(TELNET_SE + step / 8 % 10));
            break;
        default: // a data byte
            put(wire, arg);
            if (arg == TELNET_IAC)
                put(wire, TELNET_IAC);
            else if (arg == '\r' && textMode)
                put(wire, 0);
            expected += static_cast<char>(arg);
            ++i;
            break;
        }
    }
    decodeOpenedOrNot(wire, sizes, [&](const std::string& got, size_t answers) {
        require(got == expected, "exactly the data the server encoded");
        require(answers <= 3 * verbs, "at most one answer per negotiation command");
    });

    // 3. What the client encodes, the decoder gives back.
    Telnet binary;
    std::string encoded;
    Telnet_encodeData(binary, input, encoded);
    Telnet back;
    std::string replies;
    require(decode(back, encoded, sizes, replies) == std::string(reinterpret_cast<const char*>(data), size),
            "encoded data round-trips");
    require(replies.empty(), "data draws no answer");
    return 0;
}
