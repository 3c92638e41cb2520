// The packet reader's byte source for the check: one byte from the feedback
// port per call, never waiting past the check's deadline.
#pragma once

#include <cstdint>
#include <ctime>

inline constexpr time_t CHECK_SECONDS = 80;

struct ReadContext {
    int32_t fd;
    time_t deadline; // monotonic clock, whole seconds
};

// Whole seconds of the monotonic clock: a step of the wall clock can neither
// stretch nor cut short the check.
time_t monotonic_seconds();

// Waits for the port until the deadline (a poll once it has passed), then
// reads. "select timed out" on the standard output and -1 when nothing came.
int32_t readFunc(void* context, void* dest, uint32_t size);
