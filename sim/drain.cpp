#include "drain.h"

#include <sys/ioctl.h>
#include <thread>

void waitUntilTaken(int slave, std::chrono::steady_clock::time_point until, const std::function<bool()>& readerDone)
{
    using Clock = std::chrono::steady_clock;
    // Bytes written to the master reach the slave's queue a moment later (a
    // kernel worker moves them), so an empty queue alone proves nothing: it
    // must stay empty for a time that even a busy machine's worker keeps.
    constexpr auto quietFor = std::chrono::milliseconds(100);
    auto emptySince = Clock::time_point::max();
    while (Clock::now() < until) {
        if (readerDone) {
            if (readerDone())
                return;
        } else {
            int waiting = 0;
            if (ioctl(slave, FIONREAD, &waiting) != 0)
                return;
            const auto now = Clock::now();
            if (waiting != 0)
                emptySince = Clock::time_point::max();
            else if (emptySince == Clock::time_point::max())
                emptySince = now;
            else if (now - emptySince >= quietFor)
                return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}
