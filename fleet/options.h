// The fleet's command line.
#pragma once

#include <optional>
#include <string>
#include <vector>

struct FleetOptions {
    const char* program = "quarvo-fleet"; // as invoked, for messages
    std::optional<std::string> channel; // for boxes without one
    std::string boxesFile; // "-" for the standard input; empty when not given
    long jobs = 0;         // 0: all at once
    long timeout = 0;      // 0: the check's own deadline
    bool reconnect = false;
    std::string captureDir;
    std::string junit;
    std::string result;
    std::string suite = "quarvo-fleet";
    bool plain = false;
    bool help = false;
    bool version = false;
    std::vector<std::string> ports; // boxes given by their ports alone
};

// A whole number from `low` to `high`, written in decimal and nothing else.
bool parseWholeNumber(const char* text, long low, long high, long* out);

// Reads the options; an empty string, or what is wrong with them in one
// printable line. Words after "--" are ports.
std::string options_parse(int argc, char** argv, FleetOptions* options);
