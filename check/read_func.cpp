#include "read_func.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "capture.h"
#include "clock.h"
#include "ending_signals.h"
#include "port.h"

time_t monotonic_seconds()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec;
}

int64_t monotonic_nanos()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

timespec timeLeft(const ReadContext& context)
{
    if (context.exactDeadline >= 0) {
        const int64_t left = std::max<int64_t>(context.exactDeadline - monotonic_nanos(), 0);
        return {static_cast<time_t>(left / 1'000'000'000), static_cast<long>(left % 1'000'000'000)};
    }
    return {std::max<time_t>(context.deadline - monotonic_seconds(), 0), 0};
}

namespace {

// How long past the deadline what was waiting then may still be read.
constexpr int64_t LATE_NANOS = 1'000'000'000;

// Waits for the port until the deadline: 1 ready, 0 timed out, -1 failed.
int waitForPort(ReadContext* ctx)
{
    for (;;) {
        timespec timeout = timeLeft(*ctx);
        // Past the deadline, only what was waiting when it passed is still
        // read, and for at most a second: a box or a server that never stops
        // sending cannot hold the check (a socket that is always readable
        // never lets a poll time out). Bytes are counted as taken from the
        // port, Telnet included: a server sending nothing else uses them up.
        if (timeout.tv_sec == 0 && timeout.tv_nsec == 0) {
            if (ctx->lateBytes < 0) {
                int waiting = 0;
                if (ioctl(ctx->fd, FIONREAD, &waiting) != 0 || waiting < 0)
                    waiting = 0;
                // What the port layer holds already was waiting too.
                ctx->lateBytes = waiting + static_cast<int64_t>(ctx->port != nullptr ? Port_buffered(ctx->port) : 0);
                ctx->lateUntil = monotonic_nanos() + LATE_NANOS;
            }
            if (ctx->lateBytes == 0 || monotonic_nanos() >= ctx->lateUntil)
                return 0;
        }
        if (ctx->port != nullptr && Port_buffered(ctx->port) != 0)
            return 1;
        if (timeout.tv_sec >= 30 * 86400) // poll takes an int of milliseconds
            timeout = {30 * 86400, 0};
        // A box that sent something and then fell silent leaves its
        // evidence on disk within a second, even if the check is killed.
        const bool quietFlush =
            ctx->capture != nullptr && (timeout.tv_sec > 1 || (timeout.tv_sec == 1 && timeout.tv_nsec > 0));
        if (quietFlush)
            timeout = {1, 0};
        pollfd readable{ctx->fd, POLLIN, 0};
        // Rounded up: a wait that ends before the deadline would end the check early.
        const auto ms = static_cast<int>(timeout.tv_sec * 1000 + (timeout.tv_nsec + 999'999) / 1'000'000);
        const int ready = ctx->endingSignals == nullptr
                              ? poll(&readable, 1, ms)
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

// A server's report of trouble on its line, once per kind. Also looked at
// before each wait: a report that came with the negotiation, or in a read
// that brought no data, must not wait for the next byte.
void reportLineErrors(ReadContext* ctx)
{
    if (ctx->port == nullptr)
        return;
    if (const uint8_t errors = Port_takeLineErrors(ctx->port); errors != 0)
        std::fprintf(stderr, "%s: the server reported on the line: %s\n", ctx->portName,
                     Port_lineErrorNames(errors).c_str());
}

int32_t readFunc(void* context, void* dest, uint32_t size)
{
    auto* ctx = static_cast<ReadContext*>(context);
    while (ctx->aheadPos == ctx->aheadLen) {
        reportLineErrors(ctx);
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
        size_t taken = 0;
        const ssize_t got = ctx->port != nullptr ? Port_read(ctx->port, ctx->ahead.data(), ctx->ahead.size(), &taken)
                                                 : read(ctx->fd, ctx->ahead.data(), ctx->ahead.size());
        const int error = got < 0 ? errno : 0;
        if (ctx->port == nullptr)
            taken = static_cast<size_t>(std::max<ssize_t>(got, 0));
        if (ctx->lateBytes > 0)
            ctx->lateBytes = std::max<int64_t>(ctx->lateBytes - static_cast<int64_t>(taken), 0);
        reportLineErrors(ctx);
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
            Capture_append(ctx->capture, ctx->ahead.data(), static_cast<size_t>(got), Clock_now());
        ctx->aheadPos = 0;
        ctx->aheadLen = static_cast<uint32_t>(got);
    }
    const uint32_t n = std::min(size, ctx->aheadLen - ctx->aheadPos);
    std::memcpy(dest, ctx->ahead.data() + ctx->aheadPos, n);
    ctx->aheadPos += n;
    return static_cast<int32_t>(n);
}
