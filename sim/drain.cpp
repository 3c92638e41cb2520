#include "drain.h"

#include <sys/ioctl.h>
#include <time.h>

void waitUntilTaken(int slave, Deadline until)
{
    // Bytes written to the master reach the slave's queue a moment later (a
    // kernel worker moves them), so an empty queue alone proves nothing: it
    // must stay empty for a time that even a busy machine's worker keeps.
    constexpr int64_t QuietFor = 100 * CLOCK_MILLISECOND;
    constexpr timespec Pause{0, 2 * CLOCK_MILLISECOND};
    Deadline quiet = DEADLINE_NEVER;
    for (int64_t now = Clock_now(); !Deadline_passed(until, now); now = Clock_now()) {
        int waiting = 0;
        if (ioctl(slave, FIONREAD, &waiting) != 0)
            return;
        if (waiting != 0)
            quiet = DEADLINE_NEVER;
        else if (Deadline_isNever(quiet))
            quiet = Deadline_after(now, QuietFor);
        else if (Deadline_passed(quiet, now))
            return;
        nanosleep(&Pause, nullptr);
    }
}
