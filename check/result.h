// The check's result as data: one JSON object, written so that a reader
// never sees half of it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// How a check ended. The words are part of the result file's interface.
enum class Outcome {
    Correct,     // the deciding packet reported the expected channel
    Incorrect,   // ... another channel
    BoxError,    // ... an error record
    NoAnswer,    // no deciding packet before the deadline
    PortLost,    // the port ended or failed before a deciding packet
    PortFailed,  // the port could not be opened or set up
    LogFailed,   // the log file could not be opened
    Usage,       // --channel or --feedback missing
    Internal,    // the packet reader could not be created
    Interrupted, // ended by a signal
};

std::string_view outcomeWord(Outcome outcome);

// The exit status: 0 the expected channel, 1 anything else; with distinct
// statuses, 1 only when the box answered otherwise and 2 when no answer
// could be had.
int outcomeStatus(Outcome outcome, bool distinct);

struct CheckResult {
    Outcome outcome = Outcome::NoAnswer;
    int status = 1;
    const char* channel = nullptr; // as given, or null
    const char* port = nullptr;    // as given, or null
    std::optional<std::string> lastChannel; // raw bytes of the last "SSCN" value seen
    std::vector<std::string> failures;      // failure lines of the deciding packet, as printed
    std::optional<std::string> requested;   // the last requested channel printed
    uint64_t packets = 0;                   // packets that passed the reader's checks
    uint64_t reports = 0;                   // the reader's reports about bad input
    uint64_t bytes = 0;                     // bytes received from the port
    int64_t elapsedMs = 0;
    uint64_t captureDropped = 0;            // received bytes the capture file did not take in time
    std::optional<std::string> outputError; // why output or log lines were lost, or none
};

std::string resultJson(const CheckResult& result);

// Replaces `path` with the result: a new file under an unpredictable name in
// the same folder, created exclusively, written, synced, then renamed over
// `path`. 0, or -1 with errno set (nothing is left behind).
int writeResult(const char* path, const CheckResult& result);
