// Packet reader throughput from memory, on a mix of good packets, garbage
// and broken packets, one byte per callback as on the serial line.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <iostream>
#include <string>

#include "gnome.h"
#include "packet.h"

namespace {

struct MemorySource {
    const char* next;
    const char* end;
};

int32_t readMemory(void* arg, void* dest, uint32_t)
{
    auto* src = static_cast<MemorySource*>(arg);
    if (src->next == src->end)
        return 0;
    *static_cast<char*>(dest) = *src->next++;
    return 1;
}

std::string mixedStream(size_t atLeast)
{
    std::string error;
    PacketOptions bad;
    bad.badChecksum = true;
    const std::string block = encodePacket({{"SSCN", "101"}}, {}, &error) +
                              encodePacket({{"SSCN", "101"}, {"CEER", "X"}, {"CE00", "123"}}, {}, &error) +
                              "boot noise\r" + encodePacket({{"PUCP", "E7"}}, bad, &error) +
                              encodePacket({{"SYD1", std::string(200, 'v')}}, {}, &error) + "\n015SS";
    std::string stream;
    while (stream.size() < atLeast)
        stream += block;
    return stream;
}

void ReaderThroughput(benchmark::State& state)
{
    const std::string stream = mixedStream(1 << 20);
    int64_t packets = 0;
    for (auto _ : state) {
        MemorySource src{stream.data(), stream.data() + stream.size()};
        Gnome* g = Gnome_create(readMemory, &src);
        int32_t count;
        const char* const* codes;
        const char* const* values;
        const int32_t* lengths;
        while (Gnome_readPacket(g, &count, &codes, &values, &lengths) == 0)
            ++packets;
        Gnome_destroy(g);
    }
    benchmark::DoNotOptimize(packets);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(stream.size()));
    state.counters["packets"] = benchmark::Counter(static_cast<double>(packets), benchmark::Counter::kIsRate);
}
BENCHMARK(ReaderThroughput)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    // The reader reports on the standard output; the figures go to the error stream.
    benchmark::ConsoleReporter reporter;
    reporter.SetOutputStream(&std::cerr);
    reporter.SetErrorStream(&std::cerr);
    if (std::freopen("/dev/null", "w", stdout) == nullptr)
        return 1;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    return 0;
}
