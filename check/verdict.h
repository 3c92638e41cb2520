// The check's decision on one packet and its result as data: what it
// decides, the lines it prints and what the result file keeps. Judging
// prints nothing and keeps nothing, so every case can be tried in-process.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// How a check ended, in the order of the result file's words.
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

// The exit status: 0 the expected channel, 1 anything else; with distinct
// statuses, 1 only when the box answered otherwise and 2 when no answer
// could be had.
int outcomeStatus(Outcome outcome, bool distinct);

enum class Decision { Undecided, Correct, Failure };

struct Verdict {
    Decision decision = Decision::Undecided;
    Outcome failure = Outcome::BoxError; // with Decision::Failure: Incorrect or BoxError
    bool errorRecord = false;            // the packet holds an error record, whichever decides
    // To print in this order, each with its own line end ("New channel
    // number requested: " has none).
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

struct CheckResult {
    Outcome outcome = Outcome::NoAnswer;
    int status = 1;
    const char* channel = nullptr; // as given, or null
    const char* port = nullptr;    // as given, or null
    std::optional<std::string> lastChannel; // raw bytes of the last "SSCN" value seen
    std::vector<std::string> channelsSeen;  // each change of the reported channel, printable
    std::vector<std::string> failures;      // failure lines of the deciding packet, as printed
    std::optional<std::string> requested;   // the last requested channel printed
    uint64_t packets = 0;                   // packets that passed the reader's checks
    uint64_t reports = 0;                   // the reader's reports about bad input
    uint64_t bytes = 0;                     // bytes received from the port
    int64_t elapsedMs = 0;
    uint64_t captureDropped = 0;            // received bytes the capture file did not take in time
    std::optional<std::string> outputError; // why output or log lines were lost, or none
};

// Replaces `path` with the result as one JSON object, so that a reader never
// sees half of it (see AtomicFile). 0; -1 with errno set; -2 when `path` is
// not a regular file (it is left as it is).
int writeResult(const char* path, const CheckResult& result);
