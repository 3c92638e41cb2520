// What the benchmarks share: the input they feed the check, the report line
// of a go-between, and the quantile their figures are given by.
#pragma once

#include <algorithm>
#include <string>
#include <unistd.h>
#include <vector>

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

// One line from the go-between; empty when it ended without one.
inline std::string readReportLine(int fd)
{
    std::string line;
    char c;
    while (read(fd, &c, 1) == 1 && c != '\n')
        line += c;
    return line;
}

// Nearest rank: the smallest value at or above fraction `q` of the sorted values.
inline double quantile(std::vector<double> values, double q)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const size_t rank = static_cast<size_t>(q * static_cast<double>(values.size()) + 0.999999);
    return values[std::clamp<size_t>(rank, 1, values.size()) - 1];
}
