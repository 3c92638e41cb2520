// The packet reader's byte source for the check: bytes from the feedback
// port's feed, never waiting past the check's deadline.
#pragma once

#include <cstdint>
#include <span>

#include "clock.h"

struct Feed;

// Why readFunc gave no byte.
enum class ReadEnd { None, TimedOut, Lost, Interrupted, Refused };

struct ReadContext {
    Feed* feed = nullptr;
    ReadEnd end = ReadEnd::None; // set when readFunc returns 0 or less
    uint64_t bytes = 0;          // bytes received from the port
    // With reconnect, told each time the port opens: false refuses it
    // (ReadEnd::Refused).
    bool (*opened)(void* arg) = nullptr;
    void* arg = nullptr;
    // What the last read brought beyond the bytes handed over: the feed's,
    // valid until it is stepped again. One read per waiting run of bytes.
    std::span<const char> ahead{};
};

// The check's deadline for a check starting at `now`: with an exact
// --timeout `seconds` later to the nanosecond; under the 80-second rule at
// the whole second `seconds` after the second `now` is in (a check that
// hears nothing ends 79 to 80 s after it opened the port).
Deadline checkDeadline(int64_t now, int64_t seconds, bool exact);

// Hands over bytes already read from the port; otherwise waits on the feed
// until its deadline, then reads. "select timed out" on the standard output
// and -1 when nothing came. The server's line errors are reported on the
// standard error, each kind once, and so are how a remote port was lost and,
// with reconnect, why the port is not there yet.
int32_t readFunc(void* context, void* dest, uint32_t size);
