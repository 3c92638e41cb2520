#include "drain.h"

#include <sys/ioctl.h>
#include <thread>

void waitUntilTaken(int slave, std::chrono::steady_clock::time_point until, const std::function<bool()>& readerGone)
{
    // Bytes written to the master reach the slave's queue a moment later, so
    // the queue must be seen empty several times in a row.
    for (int emptyInARow = 0; emptyInARow < 4 && std::chrono::steady_clock::now() < until;) {
        if (readerGone && readerGone())
            return;
        int waiting = 0;
        if (ioctl(slave, FIONREAD, &waiting) != 0)
            return;
        emptyInARow = waiting == 0 ? emptyInARow + 1 : 0;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}
