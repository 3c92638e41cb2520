#include "read_func.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <poll.h>
#include <unistd.h>

#include "capture.h"
#include "ending_signals.h"
#include "port.h"

time_t monotonic_seconds()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec;
}

namespace {

// Waits for the port until the deadline: 1 ready, 0 timed out, -1 failed.
int waitForPort(ReadContext* ctx)
{
    if (ctx->port != nullptr && Port_buffered(ctx->port))
        return 1;
    for (;;) {
        time_t wait = ctx->deadline - monotonic_seconds();
        if (wait < 0)
            wait = 0;
        if (wait > 30 * 86400) // poll takes an int of milliseconds
            wait = 30 * 86400;
        // A box that sent something and then fell silent leaves its
        // evidence on disk within a second, even if the check is killed.
        const bool quietFlush = ctx->capture != nullptr && wait > 1;
        if (quietFlush)
            wait = 1;
        pollfd readable{ctx->fd, POLLIN, 0};
        const timespec timeout{wait, 0};
        const int ready = ctx->endingSignals == nullptr
                              ? poll(&readable, 1, static_cast<int>(wait * 1000))
                              : endingSignals_wait(&readable, 1, &timeout, ctx->endingSignals, ctx->stop);
        if (ready == 0 && quietFlush) {
            Capture_flush(ctx->capture);
            continue;
        }
        if (ready >= 0)
            return ready;
        if (errno != EINTR)
            return -1;
        if (ctx->stop != nullptr && *ctx->stop != 0) {
            ctx->end = ReadEnd::Interrupted;
            return -1;
        }
    }
}

} // namespace

int32_t readFunc(void* context, void* dest, uint32_t size)
{
    auto* ctx = static_cast<ReadContext*>(context);
    while (ctx->aheadPos == ctx->aheadLen) {
        const int ready = waitForPort(ctx);
        if (ready == 0) {
            std::puts("select timed out");
            ctx->end = ReadEnd::TimedOut;
            return -1;
        }
        if (ready < 0) {
            if (ctx->end != ReadEnd::Interrupted) {
                std::perror("select");
                ctx->end = ReadEnd::Lost;
            }
            return -1;
        }
        const ssize_t got = ctx->port != nullptr ? Port_read(ctx->port, ctx->ahead.data(), ctx->ahead.size())
                                                 : read(ctx->fd, ctx->ahead.data(), ctx->ahead.size());
        const int error = got < 0 ? errno : 0;
        if (ctx->port != nullptr) {
            if (const uint8_t errors = Port_takeLineErrors(ctx->port); errors != 0)
                std::fprintf(stderr, "%s: the server reported on the line: %s\n", ctx->portName,
                             Port_lineErrorNames(errors).c_str());
        }
        errno = error;
        // Another program reading the same line can take the bytes between
        // the wait and the read: that is no failure, so wait again.
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
            continue;
        if (got <= 0) {
            ctx->end = ReadEnd::Lost;
            ctx->error = error;
            return static_cast<int32_t>(got);
        }
        ctx->bytes += static_cast<uint64_t>(got);
        if (ctx->capture != nullptr)
            Capture_append(ctx->capture, ctx->ahead.data(), static_cast<size_t>(got));
        ctx->aheadPos = 0;
        ctx->aheadLen = static_cast<uint32_t>(got);
    }
    const uint32_t n = std::min(size, ctx->aheadLen - ctx->aheadPos);
    std::memcpy(dest, ctx->ahead.data() + ctx->aheadPos, n);
    ctx->aheadPos += n;
    return static_cast<int32_t>(n);
}
