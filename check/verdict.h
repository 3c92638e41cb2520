// The check's decision on one packet, as data: what it decides, the lines it
// prints and what the result file keeps. Prints nothing and keeps nothing,
// so every case can be tried in-process.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "result.h"

enum class Decision { Undecided, Correct, Failure };

struct Verdict {
    Decision decision = Decision::Undecided;
    Outcome failure = Outcome::BoxError; // with Decision::Failure: Incorrect or BoxError
    // To print in this order, each with its own line end ("New channel
    // number requested: " has none, as it never had).
    std::vector<std::string> lines;
    std::vector<std::string> failures;      // the failure lines as printed, without line feed
    std::optional<std::string> lastChannel; // raw bytes of the packet's last "SSCN" value
    std::optional<std::string> requested;   // the last requested channel printed, in printable form
};

// Judges one packet's records (as Gnome_readPacket gives them) against the
// expected channel. The last record that decides wins. With `debug`, every
// record also gets its trace line, ahead of what it says.
Verdict judgePacket(std::string_view expected, int32_t count, const char* const* codes, const char* const* values,
                    const int32_t* lengths, bool debug);
