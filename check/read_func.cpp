#include "read_func.h"

#include <cstdio>

#include "capture.h"
#include <sys/select.h>
#include <unistd.h>

time_t monotonic_seconds()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec;
}

int32_t readFunc(void* context, void* dest, uint32_t size)
{
    const auto* ctx = static_cast<const ReadContext*>(context);
    time_t wait = ctx->deadline - monotonic_seconds();
    if (wait < 0)
        wait = 0;
    timeval timeout{wait, 0};
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(ctx->fd, &readable);
    const int ready = select(ctx->fd + 1, &readable, nullptr, nullptr, &timeout);
    if (ready == 0) {
        std::puts("select timed out");
        return -1;
    }
    if (ready < 0) {
        std::perror("select");
        return -1;
    }
    const ssize_t got = read(ctx->fd, dest, size);
    if (got > 0 && ctx->capture != nullptr)
        Capture_append(ctx->capture, dest, static_cast<size_t>(got));
    return static_cast<int32_t>(got);
}
