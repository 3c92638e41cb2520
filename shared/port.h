// The box's port, wherever it is: a local serial device, or a serial server
// reached over TCP, raw or with the Telnet com port option. Every command
// opens, waits on, reads, writes and closes its port through here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <poll.h>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

#include "clock.h"

enum class PortKind : uint8_t { Local, Rfc2217, Tcp };

struct PortName {
    PortKind kind = PortKind::Local;
    std::string path; // Local: the device path, exactly as given
    std::string host; // remote: a name or an address, without IPv6 brackets
    uint16_t port = 0;
};

// "rfc2217://HOST:PORT", "tcp://HOST:PORT" or "socket://HOST:PORT" (the same
// as tcp); anything without "://" is a local path. False when malformed:
// then *why is one line naming the problem.
bool Port_parseName(std::string_view name, PortName* out, std::string* why);

inline constexpr int PORT_NEGOTIATION_MS = 5000;
// How much of the server's last data is kept for a report when it hangs up.
inline constexpr size_t PORT_LAST_TEXT = 200;

struct addrinfo;
// A name lookup in the shape of getaddrinfo: tests pass a slow or failing one.
using PortResolver = int (*)(const char* host, const char* service, const addrinfo* hints, addrinfo** result);

struct PortOptions {
    int baud = 57600;
    int stopBits = 1;           // local ports only
    bool listenOnly = false;    // writes are refused: nothing reaches the box
    bool quiet = false;         // local: serial_tryopen rather than serial_openport
    Deadline deadline;          // resolving, connecting, negotiating
    int negotiationMs = PORT_NEGOTIATION_MS; // limit for the server's confirmation of the line settings
    PortResolver resolver = nullptr; // for host names; null: getaddrinfo
};

enum class PortFailure : uint8_t {
    None,
    BadName,     // the name is a malformed URL
    Local,       // the local device: serial_openport has reported it; errnum says why
    Resolve,     // the host name could not be resolved
    Connect,     // no address took the connection
    TimedOut,    // the deadline passed while resolving or connecting
    Ended,       // the server ended the connection before the port was usable
    Negotiation, // the server refused or never confirmed the line settings
    Interrupted, // an ending signal
    System,      // out of descriptors and the like; errnum says why
};

struct PortError {
    PortFailure failure = PortFailure::None;
    std::string text; // one line: "NAME: what went wrong" (empty for Local)
    std::string why;  // the same without "NAME: "
    int errnum = 0;   // errno of the failing step, where there was one
};

// The numeric form of every address each of `hosts` has, looked up on at
// most 8 threads at once and not waited for past `bound` nanoseconds: a
// host not found by then has none (its lookup finishes on its own).
std::vector<std::vector<std::string>> Port_resolveAll(
    const std::vector<std::string>& hosts, int64_t bound, PortResolver resolver = nullptr);

struct Port;
struct PortOpening;

// Opening a port as a step of an event loop, never blocking. A local device
// is opened at once (serial_openport or, with options.quiet, serial_tryopen,
// which report it) and is done at the first step. A remote name is looked up
// on a thread of its own (getaddrinfo cannot be waited on), then connected
// to (each address in turn with a share of the remaining time) and for
// rfc2217 negotiated until the server confirms the line settings. A remote
// opening started or stepped after an ending signal fails as interrupted.
// Null when memory is short.
PortOpening* PortOpening_start(const PortName& name, std::string_view shownName, const PortOptions& options);
// What the opening waits for: a descriptor and events (fd -1: none), and
// when to step it even without readiness (long past: at once).
void PortOpening_interest(const PortOpening* opening, pollfd* want, Deadline* wakeAt);
// Advances on `revents` (0 when woken by time): 1 the port is open (take
// it), 0 still opening, -1 failed with *error filled in.
int PortOpening_step(PortOpening* opening, short revents, PortError* error);
// The port, once a step said 1; null otherwise and after the first take.
Port* PortOpening_take(PortOpening* opening);
// Abandons an opening, closing what it holds; a lookup still running
// finishes and frees its own on its thread. Null is ignored.
void PortOpening_destroy(PortOpening* opening);

// Null is ignored. Local ports: serial_close.
int Port_close(Port* port);
// A port for a local descriptor opened elsewhere, which Port_close leaves
// open. Null when memory is short.
Port* Port_local(int fd);

PortKind Port_kind(const Port* port);
// The descriptor to wait on for input.
int Port_fd(const Port* port);
// Data already taken in and waiting to be read: read without waiting.
size_t Port_buffered(const Port* port);

// Reads data: more than 0 bytes; 0 at the end (the server hung up, the
// device went away); -1 with errno, EAGAIN when nothing but Telnet came:
// wait again. Answers to the server's negotiation are sent from here.
// *taken receives the bytes used up, Telnet included, for a reader's bound.
ssize_t Port_read(Port* port, void* buf, size_t size, size_t* taken = nullptr);
// Writes data (0xFF doubled on rfc2217), first sending what earlier writes
// left queued. The count accepted, or -1 with errno (EPERM when opened
// listen-only, EAGAIN when the server is not taking what was queued). Never
// raises SIGPIPE.
ssize_t Port_write(Port* port, const void* data, size_t size);
// Bytes accepted but not yet sent: wait for POLLOUT and write again.
bool Port_writePending(const Port* port);

// Line errors the server reported (LINE_* bits), each kind once.
uint8_t Port_takeLineErrors(Port* port);
// Printable name of each LINE_* bit set in `errors`, joined by ", ".
std::string Port_lineErrorNames(uint8_t errors);
// "the server ended the connection", and after ": " the last
// PORT_LAST_TEXT data bytes received, if any, in printable form.
std::string Port_endedWhy(const Port* port);
