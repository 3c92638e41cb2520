#include "read_func.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "feed.h"

Deadline checkDeadline(int64_t now, int64_t seconds, bool exact)
{
    if (exact)
        return Deadline_after(now, seconds * CLOCK_SECOND);
    return {(now / CLOCK_SECOND + seconds) * CLOCK_SECOND};
}

int32_t readFunc(void* context, void* dest, uint32_t size)
{
    auto* ctx = static_cast<ReadContext*>(context);
    while (ctx->ahead.empty()) {
        FeedEvent event;
        Feed_wait(ctx->feed, &event);
        if (event.lineErrors != 0)
            std::fprintf(stderr, "%s: the server reported on the line: %s\n", Feed_name(ctx->feed).c_str(),
                         Port_lineErrorNames(event.lineErrors).c_str());
        // Why the port is not there yet, or how a remote one was lost: a
        // server that ended the connection is named as such, with the last
        // text it sent, often its own reason.
        if (!event.text.empty())
            std::fprintf(stderr, "%s\n", event.text.c_str());
        switch (event.kind) {
        case FeedEventKind::Data:
            ctx->bytes += event.size;
            ctx->ahead = {event.bytes, event.size};
            break;
        case FeedEventKind::Opened:
            if (ctx->opened != nullptr && !ctx->opened(ctx->arg)) {
                ctx->end = ReadEnd::Refused;
                return -1;
            }
            break;
        case FeedEventKind::TimedOut:
            std::puts("select timed out");
            ctx->end = ReadEnd::TimedOut;
            return -1;
        case FeedEventKind::Interrupted:
            ctx->end = ReadEnd::Interrupted;
            return -1;
        case FeedEventKind::Failed:
            errno = event.error;
            std::perror("select");
            ctx->end = ReadEnd::Lost;
            return -1;
        case FeedEventKind::Lost:
            ctx->end = ReadEnd::Lost;
            return event.error == 0 ? 0 : -1;
        default:
            break;
        }
    }
    const size_t n = std::min<size_t>(size, ctx->ahead.size());
    std::memcpy(dest, ctx->ahead.data(), n);
    ctx->ahead = ctx->ahead.subspan(n);
    return static_cast<int32_t>(n);
}
