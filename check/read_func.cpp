#include "read_func.h"

#include <cerrno>
#include <cstdio>
#include <poll.h>
#include <unistd.h>

#include "capture.h"

time_t monotonic_seconds()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec;
}

int32_t readFunc(void* context, void* dest, uint32_t size)
{
    const auto* ctx = static_cast<const ReadContext*>(context);
    for (;;) {
        time_t wait = ctx->deadline - monotonic_seconds();
        if (wait < 0)
            wait = 0;
        if (wait > 30 * 86400) // poll takes an int of milliseconds
            wait = 30 * 86400;
        pollfd readable{ctx->fd, POLLIN, 0};
        const int ready = poll(&readable, 1, static_cast<int>(wait * 1000));
        if (ready == 0) {
            std::puts("select timed out");
            return -1;
        }
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            std::perror("select");
            return -1;
        }
        const ssize_t got = read(ctx->fd, dest, size);
        // Another program reading the same line can take the byte between
        // the wait and the read: that is no failure, so wait again.
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
            continue;
        if (got > 0 && ctx->capture != nullptr)
            Capture_append(ctx->capture, dest, static_cast<size_t>(got));
        return static_cast<int32_t>(got);
    }
}
