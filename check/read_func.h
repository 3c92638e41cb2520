// The packet reader's byte source for the check: one byte from the feedback
// port per call, never waiting past the check's deadline.
#pragma once

#include <cstdint>
#include <ctime>

inline constexpr time_t CHECK_SECONDS = 80;

struct Capture;

struct ReadContext {
    int32_t fd;
    time_t deadline;            // monotonic clock, whole seconds
    Capture* capture = nullptr; // when set, is handed every byte read
};

// Whole seconds of the monotonic clock: a step of the wall clock can neither
// stretch nor cut short the check.
time_t monotonic_seconds();

// Waits for the port until the deadline (a poll once it has passed), then
// reads. "select timed out" on the standard output and -1 when nothing came.
int32_t readFunc(void* context, void* dest, uint32_t size);

// With --capture: records every byte the check reads into `path`, and keeps
// the file complete on every way the process ends. Output and verdict are
// unchanged whether or not the file can be written.
void startCapture(const char* path, const char* program, const char* port, int baud, ReadContext* context);
