// The packet reader's byte source for the check: bytes from the feedback
// port, never waiting past the check's deadline.
#pragma once

#include <array>
#include <csignal>
#include <cstdint>
#include <ctime>

struct Capture;
struct Port;

// Why readFunc gave no byte.
enum class ReadEnd { None, TimedOut, Lost, Interrupted };

struct ReadContext {
    int32_t fd;
    time_t deadline;            // monotonic clock, whole seconds
    // When 0 or more, the deadline to the nanosecond of the monotonic clock,
    // in place of `deadline`: a lab's --timeout means its seconds.
    int64_t exactDeadline = -1;
    Capture* capture = nullptr; // when set, is handed every byte read
    // When set, the port is read through the port layer (fd is then its
    // Port_fd): a server's Telnet is taken out, and each kind of line error
    // it reports is shown once on the standard error, after portName.
    Port* port = nullptr;
    const char* portName = "";
    // When set, these signals are held back while *stop is looked at and let
    // through only inside the wait itself (ppoll), so that one arriving at
    // any moment ends the wait; readFunc then ends with ReadEnd::Interrupted.
    const sigset_t* endingSignals = nullptr;
    const volatile sig_atomic_t* stop = nullptr;
    ReadEnd end = ReadEnd::None; // set when readFunc returns 0 or less
    int error = 0;               // Lost: errno of the failed read; 0 at the end of input
    uint64_t bytes = 0;          // bytes received from the port
    // Bytes still read once the deadline has passed: what was waiting then
    // (-1 until it has passed).
    int64_t lateBytes = -1;
    int64_t lateUntil = 0; // monotonic nanoseconds: the end of that allowance
    // What one read took from the port beyond the byte asked for: one
    // system call per waiting run of bytes rather than two per byte.
    std::array<char, 256> ahead{};
    uint32_t aheadPos = 0;
    uint32_t aheadLen = 0;
};

// Whole seconds of the monotonic clock: a step of the wall clock can neither
// stretch nor cut short the check.
time_t monotonic_seconds();
// Nanoseconds of the monotonic clock.
int64_t monotonic_nanos();

// What is left of the context's deadline, never below 0: with the exact
// deadline to the nanosecond, otherwise in whole seconds counted from the
// whole second now is in.
timespec timeLeft(const ReadContext& context);

// Hands over bytes already read from the port; otherwise waits for the port
// until the deadline (a poll once it has passed), then reads. "select timed
// out" on the standard output and -1 when nothing came. With a capture, what
// it holds goes to its file after each second of quiet.
int32_t readFunc(void* context, void* dest, uint32_t size);
