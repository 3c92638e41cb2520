// One port read by its owner: opened, read, stamped, recorded into a
// capture, watched for line errors and, with reconnect, reopened when lost.
// The owner drives it (readiness in, bytes and events out, never blocking),
// so that one loop can drive many feeds; Feed_wait drives one alone. The
// feed prints nothing, but FeedRequest_open reports in the commands' words.
#pragma once

#include <cstddef>
#include <cstdint>
#include <poll.h>
#include <string>
#include <string_view>

#include "clock.h"
#include "port.h"

struct Capture;
struct Feed;

struct FeedOptions {
    // The feed sets the deadline, and quiet tries when it reconnects.
    PortOptions port;
    // A lost port, or one missing at the start, is tried again every half
    // second until the deadline.
    bool reconnect = false;
    // Past the deadline, what was waiting then is still read, for at most a
    // second: a box or a server that never stops sending cannot hold the
    // owner, yet nothing that came in time is lost.
    bool readLate = false;
    // The owner's, if any: handed every read's bytes with their stamp, told
    // of a lost and a reopened port, flushed after each second of quiet.
    Capture* capture = nullptr;
};

enum class FeedEventKind : uint8_t {
    None,        // nothing but, maybe, line errors
    Data,        // bytes, size, stamp
    Lost,        // the read failed (error) or the port ended (error 0)
    Opened,      // with reconnect: the port is open, first or again
    Waiting,     // with reconnect: the first try at the start failed (text)
    TimedOut,    // the deadline passed (and what was waiting then is read)
    Interrupted, // an ending signal came
    Failed,      // Feed_wait's wait failed (error)
};

struct FeedEvent {
    FeedEventKind kind = FeedEventKind::None;
    uint8_t lineErrors = 0; // with any kind: LINE_* bits, each kind once per port
    const char* bytes = nullptr; // Data: the feed's, valid until its next step
    size_t size = 0;
    int64_t stamp = 0; // Clock_now() at the read (Data) or at the event
    int error = 0;     // Lost, Failed: errno; 0 at the end of input
    // Lost: a remote port's server ended the connection (error 0,
    // ECONNRESET or EPIPE).
    bool serverEnded = false;
    // For the owner's error output, if any: Waiting "NAME: waiting for the
    // port: WHY"; Lost on a remote port "NAME: " and Port_endedWhy or "the
    // connection failed: WHY".
    std::string text;
};

// A feed for the named port, not yet open: Feed_open opens it, or with
// reconnect the steps try until it opens. Null when memory is short.
Feed* Feed_create(const PortName& name, std::string_view shownName, const FeedOptions& options);
// A feed reading descriptor `fd`, which stays its owner's. Null when memory
// is short.
Feed* Feed_local(int fd, const FeedOptions& options);
// Closes the port it opened. Null is ignored.
void Feed_destroy(Feed* feed);

// Opens the port once (steps and waits with the ending signals let
// through), giving up at `by` or an ending signal. False with *error set.
bool Feed_open(Feed* feed, Deadline by, PortError* error);
// Reading, and reopening, end at `deadline` (see FeedOptions::readLate).
void Feed_setDeadline(Feed* feed, Deadline deadline);

// What to wait for before the next step (fd -1: none), and when to step
// even without readiness.
void Feed_interest(const Feed* feed, pollfd* fd, Deadline* wakeAt);
// One step on the readiness of Feed_interest's descriptor (0 when woken by
// time): at most one read or one step of opening.
void Feed_step(Feed* feed, short revents, FeedEvent* event);
// Waits (one ppoll, the ending signals let through) and steps until an
// event other than None or line errors come.
void Feed_wait(Feed* feed, FeedEvent* event);

// The open port (for writing to it), or null.
Port* Feed_port(const Feed* feed);
// The open port's descriptor, or -1.
int Feed_fd(const Feed* feed);
const std::string& Feed_name(const Feed* feed);

// Why a port failed to open, after its name: the local device's error, or
// the remote one's `text` ("NAME: WHY"; with `named` false, only WHY).
std::string Feed_whyNotOpened(const PortError& error, bool named);

// A command's port opened by name, as every command opens it: a speed
// refused where the server owns the line, the capture replaced (so that an
// old one never stands for this session), then the feed created and, unless
// it reconnects, opened. Failures are reported on the standard error.
struct FeedRequest {
    const char* program = nullptr; // as invoked, for messages
    const char* port = nullptr;    // the name as given
    const char* capturePath = nullptr;
    const char* failure = "Opening serial port failed"; // an opening failure's words
    bool baudGiven = false;           // --baud: refused for a raw TCP port
    Deadline openBy = DEADLINE_NEVER; // for the opening without reconnect
    FeedOptions options{};            // its capture is set here
    // What it got, the caller's to close whatever the result.
    Capture* capture = nullptr;
    Feed* feed = nullptr;
};

enum class FeedOpened : uint8_t {
    Open,        // open, or waited for with reconnect
    BaudRefused, // reported; the caller adds its usage
    Failed,      // the name or the port (reported)
    Interrupted, // an ending signal came while opening
    NoMemory,    // reported
};

FeedOpened FeedRequest_open(FeedRequest* request);
