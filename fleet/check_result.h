// Reading the result file a check leaves: one JSON object.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct CheckReport {
    std::string outcome;
    std::optional<int> status;
    std::optional<std::string> currentChannel; // as the box sent it (UTF-8)
    // The same in printable form, exact whatever the bytes; from a check
    // that writes it.
    std::optional<std::string> currentChannelPrintable;
    std::vector<std::string> failures;         // the failure lines printed
    int64_t elapsedMs = 0;
};

// The members the fleet reads from `json`, or nothing when it is not a
// JSON object with a string "outcome" (a result cut short, say). Members
// it does not know are skipped.
std::optional<CheckReport> checkResult_parse(std::string_view json);
