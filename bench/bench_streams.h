// Input the benchmarks feed the check: undecided packets, then the deciding one.
#pragma once

#include <string>

#include "packet.h"

// At least `atLeast` bytes of packets that decide nothing, then one that
// reports channel 101.
inline std::string undecidedStream(size_t atLeast)
{
    std::string error;
    const std::string filler = encodePacket({{"STAT", "ok"}, {"TEMP", "41"}, {"CE00", "12-"}}, {}, &error);
    std::string stream;
    while (stream.size() < atLeast)
        stream += filler;
    return stream + encodePacket({{"SSCN", "101"}}, {}, &error);
}
