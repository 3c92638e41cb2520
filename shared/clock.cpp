#include "clock.h"

#include <algorithm>
#include <climits>

int64_t Clock_now()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * CLOCK_SECOND + now.tv_nsec;
}

const timespec* Deadline_timespec(Deadline d, int64_t now, timespec* storage)
{
    if (Deadline_isNever(d))
        return nullptr;
    const int64_t left = Deadline_left(d, now);
    *storage = {static_cast<time_t>(left / CLOCK_SECOND), static_cast<long>(left % CLOCK_SECOND)};
    return storage;
}

int Deadline_pollMs(Deadline d, int64_t now)
{
    if (Deadline_isNever(d))
        return -1;
    const int64_t left = Deadline_left(d, now);
    return static_cast<int>(std::min<int64_t>((left + CLOCK_MILLISECOND - 1) / CLOCK_MILLISECOND, INT_MAX));
}
