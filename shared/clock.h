// The one time type: nanoseconds of the monotonic clock, which a step of the
// wall clock can neither stretch nor cut short. Every wait, retry and limit
// is a Deadline on it; the wall clock is read only where a file or a line
// shows the time.
#pragma once

#include <cstdint>
#include <ctime>

inline constexpr int64_t CLOCK_SECOND = 1'000'000'000;
inline constexpr int64_t CLOCK_MILLISECOND = 1'000'000;

// Nanoseconds of the monotonic clock.
int64_t Clock_now();

struct Deadline {
    int64_t at = INT64_MAX; // Clock_now() value; INT64_MAX: never
};

inline constexpr Deadline DEADLINE_NEVER{};

inline constexpr bool Deadline_isNever(Deadline d) { return d.at == INT64_MAX; }

// `nanos` from `now`, never wrapping around.
inline constexpr Deadline Deadline_after(int64_t now, int64_t nanos)
{
    return {nanos >= INT64_MAX - now ? INT64_MAX : now + nanos};
}

inline constexpr Deadline Deadline_sooner(Deadline a, Deadline b) { return a.at <= b.at ? a : b; }

// What is left at `now`, never below 0; INT64_MAX for never.
inline constexpr int64_t Deadline_left(Deadline d, int64_t now)
{
    return Deadline_isNever(d) ? INT64_MAX : d.at > now ? d.at - now : 0;
}

inline constexpr bool Deadline_passed(Deadline d, int64_t now) { return !Deadline_isNever(d) && now >= d.at; }

// The wait until the deadline for ppoll: null for never (a wait without
// limit), otherwise *storage filled in.
const timespec* Deadline_timespec(Deadline d, int64_t now, timespec* storage);

// The wait until the deadline for poll: -1 for never, otherwise milliseconds
// rounded up (a wait that ends early would end a check early) and capped at
// what poll's int can hold.
int Deadline_pollMs(Deadline d, int64_t now);
