#include "feed.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <sys/ioctl.h>

#include "capture.h"
#include "ending_signals.h"
#include "printable.h"

namespace {

constexpr int64_t RETRY_NANOS = 500 * CLOCK_MILLISECOND;
constexpr int64_t QUIET_NANOS = CLOCK_SECOND; // before a capture's file gets what it holds
constexpr int64_t LATE_NANOS = CLOCK_SECOND;  // reading past the deadline, at most

enum class State : uint8_t { Closed, Open, Reopening };

} // namespace

struct Feed {
    PortName name;
    std::string shownName;
    FeedOptions options;
    Port* port = nullptr;
    PortOpening* opening = nullptr; // with reconnect, while a try is in progress
    State state = State::Closed;
    bool lookNow = false;  // just opened: line errors of the negotiation are taken before any wait
    bool announce = false; // the next failed try is reported
    bool opened = false;   // at least once: a capture marks the next opening as a return
    Deadline deadline = DEADLINE_NEVER;
    Deadline nextTry{0};
    Deadline flushAt = DEADLINE_NEVER;
    int64_t lateBytes = -1; // past the deadline: what is still to be read of what was waiting then
    Deadline lateUntil = DEADLINE_NEVER;
    std::array<char, 4096> buffer{};
};

namespace {

PortOptions portOptions(const Feed& feed, Deadline by)
{
    PortOptions options = feed.options.port;
    // Tried again and again, a missing device is not reported each time.
    options.quiet = feed.options.reconnect;
    options.deadline = by;
    return options;
}

void usePort(Feed& feed, Port* port)
{
    feed.port = port;
    feed.state = State::Open;
    feed.opened = true;
    feed.lookNow = true;
    feed.flushAt = Deadline_after(Clock_now(), QUIET_NANOS);
}

void dropOpening(Feed& feed)
{
    PortOpening_destroy(feed.opening);
    feed.opening = nullptr;
}

// One step of opening the port: started when the next try is due, then
// advanced on its own readiness, so that a slow server never stalls an
// owner's loop.
void tryOpen(Feed& feed, short revents, int64_t now, FeedEvent* event)
{
    // An opening under way at the deadline takes one more step, which ends
    // it and says why (the server never confirmed the settings, say).
    const bool late = Deadline_passed(feed.deadline, now);
    if (feed.opening == nullptr) {
        if (late) {
            event->kind = FeedEventKind::TimedOut;
            return;
        }
        if (!Deadline_passed(feed.nextTry, now))
            return;
        feed.opening = PortOpening_start(feed.name, feed.shownName, portOptions(feed, feed.deadline));
        if (feed.opening == nullptr) { // memory is short: tried again later
            feed.nextTry = Deadline_after(now, RETRY_NANOS);
            return;
        }
        revents = 0;
    }
    PortError error;
    const int stepped = PortOpening_step(feed.opening, revents, &error);
    if (stepped == 0) {
        if (late) {
            dropOpening(feed);
            event->kind = FeedEventKind::TimedOut;
        }
        return;
    }
    const bool again = feed.opened;
    if (stepped > 0) {
        usePort(feed, PortOpening_take(feed.opening));
        dropOpening(feed);
        event->kind = FeedEventKind::Opened;
        event->stamp = Clock_now();
        if (feed.options.capture != nullptr && again)
            Capture_mark(feed.options.capture, CaptureMarkKind::Reopened, event->stamp);
        feed.announce = false;
        return;
    }
    dropOpening(feed);
    if (error.failure == PortFailure::Interrupted || endingSignals_caught() != 0) {
        event->kind = FeedEventKind::Interrupted;
        return;
    }
    feed.nextTry = Deadline_after(Clock_now(), RETRY_NANOS);
    if (feed.announce) {
        feed.announce = false;
        event->kind = FeedEventKind::Waiting;
        event->text = feed.shownName + ": waiting for the port: " + Feed_whyNotOpened(error, false);
    }
}

// A read that brought no data: nothing, or the port lost.
void lost(Feed& feed, ssize_t got, int error, FeedEvent* event)
{
    if (got < 0 && (error == EAGAIN || error == EWOULDBLOCK || error == EINTR))
        return; // another reader took the bytes first, or only Telnet came
    event->kind = FeedEventKind::Lost;
    event->error = got < 0 ? error : 0;
    if (feed.port != nullptr && Port_kind(feed.port) != PortKind::Local) {
        event->serverEnded = event->error == 0 || event->error == ECONNRESET || event->error == EPIPE;
        event->text = feed.shownName + ": " +
                      (event->serverEnded ? Port_endedWhy(feed.port)
                                          : std::string("the connection failed: ") + std::strerror(event->error));
    }
    if (!feed.options.reconnect || feed.port == nullptr)
        return;
    Port_close(feed.port);
    feed.port = nullptr;
    feed.state = State::Reopening;
    feed.nextTry = Deadline{0};
    if (feed.options.capture != nullptr)
        Capture_mark(feed.options.capture, CaptureMarkKind::Lost, event->stamp);
}

// Past the deadline: true while what was waiting then may still be read.
bool lateReadAllowed(Feed& feed, int64_t now)
{
    if (feed.lateBytes < 0) {
        int waiting = 0;
        if (ioctl(Port_fd(feed.port), FIONREAD, &waiting) != 0 || waiting < 0)
            waiting = 0;
        // What the port layer holds already was waiting too.
        feed.lateBytes = feed.options.readLate ? waiting + static_cast<int64_t>(Port_buffered(feed.port)) : 0;
        feed.lateUntil = Deadline_after(now, LATE_NANOS);
    }
    return feed.lateBytes > 0 && !Deadline_passed(feed.lateUntil, now);
}

void readPort(Feed& feed, short revents, FeedEvent* event)
{
    const int64_t now = Clock_now();
    feed.lookNow = false;
    // Also before any read: a report that came with the negotiation, or in
    // a read that brought no data, must not wait for the next byte.
    event->lineErrors = Port_takeLineErrors(feed.port);
    const bool late = Deadline_passed(feed.deadline, now);
    const bool readable =
        (revents & (POLLIN | POLLERR | POLLHUP | POLLNVAL)) != 0 || Port_buffered(feed.port) != 0;
    // A socket that is always readable never lets a wait time out: past the
    // deadline the count of bytes, Telnet included, says when to stop.
    if (late && (!readable || !lateReadAllowed(feed, now))) {
        event->kind = FeedEventKind::TimedOut;
        return;
    }
    if (!readable) {
        if (feed.options.capture != nullptr && Deadline_passed(feed.flushAt, now)) {
            Capture_flush(feed.options.capture);
            feed.flushAt = Deadline_after(now, QUIET_NANOS);
        }
        return;
    }
    size_t taken = 0;
    const ssize_t got = Port_read(feed.port, feed.buffer.data(), feed.buffer.size(), &taken);
    const int error = errno;
    event->stamp = Clock_now();
    if (late)
        feed.lateBytes = std::max<int64_t>(feed.lateBytes - static_cast<int64_t>(taken), 0);
    event->lineErrors |= Port_takeLineErrors(feed.port);
    if (got <= 0) {
        lost(feed, got, error, event);
        return;
    }
    event->kind = FeedEventKind::Data;
    event->bytes = feed.buffer.data();
    event->size = static_cast<size_t>(got);
    feed.flushAt = Deadline_after(event->stamp, QUIET_NANOS);
    if (feed.options.capture != nullptr)
        Capture_append(feed.options.capture, event->bytes, event->size, event->stamp);
}

} // namespace

Feed* Feed_create(const PortName& name, std::string_view shownName, const FeedOptions& options)
{
    auto* feed = new (std::nothrow) Feed;
    if (feed == nullptr)
        return nullptr;
    feed->options = options;
    feed->name = name;
    feed->shownName = std::string(shownName);
    if (options.reconnect) {
        feed->state = State::Reopening;
        feed->announce = true;
    }
    return feed;
}

Feed* Feed_local(int fd, const FeedOptions& options)
{
    FeedOptions once = options;
    once.reconnect = false; // nothing to open again
    Feed* feed = Feed_create(PortName{}, "", once);
    Port* port = feed != nullptr ? Port_local(fd) : nullptr;
    if (port == nullptr) {
        delete feed;
        return nullptr;
    }
    usePort(*feed, port);
    return feed;
}

void Feed_destroy(Feed* feed)
{
    if (feed == nullptr)
        return;
    PortOpening_destroy(feed->opening);
    Port_close(feed->port);
    delete feed;
}

bool Feed_open(Feed* feed, Deadline by, PortError* error)
{
    const auto fail = [feed, error](const std::string& why, int errnum) {
        *error = {PortFailure::System, printable(feed->shownName) + ": " + why, why, errnum};
        return false;
    };
    *error = PortError{};
    feed->opening = PortOpening_start(feed->name, feed->shownName, portOptions(*feed, by));
    if (feed->opening == nullptr)
        return fail(std::strerror(ENOMEM), ENOMEM);
    for (short revents = 0;;) {
        const int rc = PortOpening_step(feed->opening, revents, error);
        if (rc != 0) {
            if (rc > 0)
                usePort(*feed, PortOpening_take(feed->opening));
            dropOpening(*feed);
            return rc > 0;
        }
        pollfd want{};
        Deadline wakeAt;
        PortOpening_interest(feed->opening, &want, &wakeAt);
        timespec storage{};
        const int ready = endingSignals_waitFor(&want, 1, Deadline_timespec(wakeAt, Clock_now(), &storage));
        // A wait an ending signal cut short is stepped at once: the step fails as interrupted.
        if (ready < 0 && errno != EINTR) {
            const int cause = errno;
            dropOpening(*feed);
            return fail(std::string("poll: ") + std::strerror(cause), cause);
        }
        revents = ready > 0 ? want.revents : 0;
    }
}

void Feed_setDeadline(Feed* feed, Deadline deadline)
{
    feed->deadline = deadline;
    feed->lateBytes = -1;
}

void Feed_interest(const Feed* feed, pollfd* fd, Deadline* wakeAt)
{
    *fd = {-1, 0, 0};
    *wakeAt = DEADLINE_NEVER;
    if (feed->state == State::Reopening) {
        if (feed->opening != nullptr)
            PortOpening_interest(feed->opening, fd, wakeAt);
        else
            *wakeAt = feed->nextTry;
        *wakeAt = Deadline_sooner(*wakeAt, feed->deadline);
        return;
    }
    if (feed->state != State::Open)
        return;
    *fd = {Port_fd(feed->port), POLLIN, 0};
    // Past the deadline, a look without waiting.
    *wakeAt = feed->deadline;
    if (feed->lookNow || Port_buffered(feed->port) != 0)
        *wakeAt = Deadline{0};
    else if (feed->options.capture != nullptr)
        *wakeAt = Deadline_sooner(*wakeAt, feed->flushAt);
}

void Feed_step(Feed* feed, short revents, FeedEvent* event)
{
    *event = FeedEvent{};
    event->stamp = Clock_now();
    if (feed->state == State::Reopening)
        tryOpen(*feed, revents, event->stamp, event);
    else if (feed->state == State::Open)
        readPort(*feed, revents, event);
    else // never opened: nothing will come
        lost(*feed, -1, EBADF, event);
}

void Feed_wait(Feed* feed, FeedEvent* event)
{
    for (;;) {
        pollfd fd{};
        Deadline wakeAt;
        Feed_interest(feed, &fd, &wakeAt);
        timespec storage{};
        const int ready = endingSignals_waitFor(&fd, 1, Deadline_timespec(wakeAt, Clock_now(), &storage));
        const int error = ready < 0 ? errno : 0;
        const bool stopped = error == EINTR || error == EAGAIN;
        if (stopped && endingSignals_caught() == 0)
            continue;
        if (ready < 0) {
            *event = FeedEvent{};
            event->kind = stopped ? FeedEventKind::Interrupted : FeedEventKind::Failed;
            event->error = error;
            return;
        }
        Feed_step(feed, ready > 0 ? fd.revents : 0, event);
        if (event->kind != FeedEventKind::None || event->lineErrors != 0)
            return;
    }
}

Port* Feed_port(const Feed* feed) { return feed->state == State::Open ? feed->port : nullptr; }

int Feed_fd(const Feed* feed) { return feed->state == State::Open ? Port_fd(feed->port) : -1; }

const std::string& Feed_name(const Feed* feed) { return feed->shownName; }

std::string Feed_whyNotOpened(const PortError& error, bool named)
{
    if (error.failure == PortFailure::Local)
        return std::strerror(error.errnum);
    return named ? error.text : error.why;
}

FeedOpened FeedRequest_open(FeedRequest* r)
{
    PortName name;
    std::string why;
    const bool named = Port_parseName(r->port, &name, &why);
    // A raw TCP port's line belongs to its server: a speed asked here would
    // be a promise nothing keeps, and the capture claims none.
    const bool settingsKnown = !named || name.kind != PortKind::Tcp;
    if (!settingsKnown && r->baudGiven) {
        std::fprintf(stderr, "%s: --baud: a raw TCP port's line settings are its server's: %s\n", r->program,
                     r->port);
        return FeedOpened::BaudRefused;
    }
    if (r->capturePath != nullptr)
        r->capture = Capture_open(r->capturePath, r->program, r->port, settingsKnown ? r->options.port.baud : 0);
    if (!named) {
        std::fprintf(stderr, "%s: %s: %s\n", r->failure, printable(r->port).c_str(), why.c_str());
        return FeedOpened::Failed;
    }
    r->options.capture = r->capture;
    r->feed = Feed_create(name, r->port, r->options);
    if (r->feed == nullptr) {
        std::fprintf(stderr, "%s: out of memory\n", r->program);
        return FeedOpened::NoMemory;
    }
    PortError error;
    if (r->options.reconnect || Feed_open(r->feed, r->openBy, &error))
        return FeedOpened::Open;
    if (error.failure == PortFailure::Interrupted)
        return FeedOpened::Interrupted;
    std::fprintf(stderr, "%s: %s\n", r->failure, Feed_whyNotOpened(error, true).c_str());
    return FeedOpened::Failed;
}
