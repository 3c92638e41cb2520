// The box's port, wherever it is: a local serial device, or a serial server
// reached over TCP, raw or with the Telnet com port option. Every command
// opens, waits on, reads, writes and closes its port through here.
#pragma once

#include <csignal>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <sys/types.h>

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

inline constexpr int64_t PORT_NO_DEADLINE = INT64_MAX;
inline constexpr int PORT_NEGOTIATION_MS = 5000;
// How much of the server's last data is kept for a report when it hangs up.
inline constexpr size_t PORT_LAST_TEXT = 200;
// Data held back while negotiating, at most: a server flooding us before it
// confirms the settings is not one to use.
inline constexpr size_t PORT_HELD_MAX = 64 * 1024;

// Milliseconds of the monotonic clock, the clock of every deadline here.
int64_t Port_clockMs();

struct addrinfo;
// The name lookup used for host names (getaddrinfo unless replaced): tests
// put a slow or failing one in its place. Null puts getaddrinfo back.
using PortResolver = int (*)(const char* host, const char* service, const addrinfo* hints, addrinfo** result);
void Port_setResolver(PortResolver resolver);

struct PortOptions {
    int baud = 57600;
    int stopBits = 1;           // local ports only
    bool listenOnly = false;    // writes are refused: nothing reaches the box
    bool quiet = false;         // local: serial_tryopen rather than serial_openport
    int64_t deadlineMs = PORT_NO_DEADLINE; // Port_clockMs() value: resolving, connecting, negotiating
    int negotiationMs = PORT_NEGOTIATION_MS; // limit for the server's confirmation of the line settings
    // As the check's readFunc: with both set, the signals are let through
    // only inside waits, and *stop ends any wait (PortFailure::Interrupted).
    // A null set means plain poll.
    const sigset_t* endingSignals = nullptr;
    const volatile sig_atomic_t* stop = nullptr;
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
    std::string text;       // one line: "NAME: what went wrong" (empty for Local)
    std::string why;        // the same without "NAME: "
    int errnum = 0;         // errno of the failing step, where there was one
    std::string serverText; // Ended: the server's last data, printable form
};

struct Port;

// Opens the named port. Null on failure, with *error filled in; the library
// prints nothing except the local-device reports serial_openport makes.
// Remote: resolves (abandoned at the deadline or an ending signal),
// connects to each address in turn with a share of the remaining time, and
// for rfc2217 negotiates and waits for the line settings to be confirmed.
Port* Port_open(std::string_view name, const PortOptions& options, PortError* error);
// As Port_open, for a name already parsed.
Port* Port_openParsed(const PortName& name, std::string_view shownName, const PortOptions& options,
                      PortError* error);
// Null is ignored. Local ports: serial_close.
int Port_close(Port* port);
// A port for a local descriptor opened elsewhere, which stays its owner's:
// free it with Port_release, which leaves the descriptor open. Null when
// memory is short.
Port* Port_local(int fd);
// Frees the port without closing its descriptor. Null is ignored.
void Port_release(Port* port);

PortKind Port_kind(const Port* port);
// The descriptor to wait on for input.
int Port_fd(const Port* port);
// Data already taken in and waiting to be read: read without waiting.
size_t Port_buffered(const Port* port);

// Waits until data can be read, the deadline (Port_clockMs) passes or an
// ending signal comes: 1 ready, 0 timed out, -1 failed or interrupted (errno
// EINTR with *stop set).
int Port_wait(const Port* port, int64_t deadlineMs, const sigset_t* endingSignals,
              const volatile sig_atomic_t* stop);

// Reads data: more than 0 bytes; 0 at the end (the server hung up, the
// device went away); -1 with errno, EAGAIN when nothing but Telnet came (or
// nothing at all): wait again. Answers to the server's negotiation are sent
// from here. With `taken`, it receives the bytes this read used up, Telnet
// included: what a reader bounding its reads counts.
ssize_t Port_read(Port* port, void* buf, size_t size, size_t* taken = nullptr);
// Writes data: 0xFF doubled on rfc2217. The count accepted, or -1 with
// errno (EPERM when opened listen-only, EAGAIN when the server is not
// taking what was already written). Never raises SIGPIPE.
ssize_t Port_write(Port* port, const void* data, size_t size);
// Bytes accepted by Port_write but not yet sent: wait for POLLOUT on
// Port_fd and call Port_flush.
bool Port_writePending(const Port* port);
// 0, or -1 with errno.
int Port_flush(Port* port);

// Line errors the server reported (LINE_BREAK, LINE_FRAMING, LINE_PARITY,
// LINE_OVERRUN bits) that were not handed out before: each kind once.
uint8_t Port_takeLineErrors(Port* port);
// Printable name of each LINE_* bit set in `errors`, joined by ", ".
std::string Port_lineErrorNames(uint8_t errors);
// Up to the last PORT_LAST_TEXT data bytes the port received, as received.
std::string Port_lastText(const Port* port);
