// Serial port access: open a device raw at a fixed speed, thin read, write
// and close operations on the descriptor, and an interactive terminal.
#pragma once

#include <cstddef>
#include <sys/types.h>

// Opens `path` raw, 8 data bits, no parity, one stop bit (two when stopBits
// is 2), non-blocking. Takes an exclusive advisory lock, which refuses a
// second program that also locks, and sets exclusive mode (TIOCEXCL), which
// keeps out unprivileged openers; neither stops a root program that reads
// without locking. Returns the descriptor, or -1 after a report
// on the standard error with errno as the failing step left it (EBUSY when
// another program holds the port). An unsupported speed ends the process
// with status 1.
int serial_openport(const char* path, int baudrate, int stopBits);
// As serial_openport, but reports nothing: for trying a port again and again
// until it appears. An unsupported speed still ends the process.
int serial_tryopen(const char* path, int baudrate, int stopBits);
// Whether the two functions above accept this line speed: 300, 9600, 19200,
// 57600 or 115200.
bool serial_baudSupported(int baudrate);

// Waits without limit until fd is readable, then reads up to size bytes.
ssize_t serial_read(int fd, void* buf, size_t size);
// As serial_read, waiting at most ms milliseconds; -2 when the time ran out.
ssize_t serial_readtimeout(int fd, void* buf, size_t size, int ms);
ssize_t serial_write(int fd, const void* data, size_t len);
// Lifts the exclusive mode, then closes.
int serial_close(int fd);

// Why serial_terminal ended, when not by a signal.
enum : int {
    SERIAL_TERMINAL_ESCAPE = 0,        // the escape key was typed
    SERIAL_TERMINAL_END_OF_INPUT = -1, // the standard input ended
    SERIAL_TERMINAL_PORT_ENDED = -2,   // the port went away
    SERIAL_TERMINAL_FAILED = -3,       // a wait or write failed (reported)
};

// Bridges the user's terminal and the port until escapeChar is typed, the
// standard input ends, the port ends, an error occurs, or an ending signal
// taken by endingSignals_start arrives. The standard input's terminal
// settings are restored on every way out. Returns why it ended: one of the
// values above, or the number of the ending signal; what the process does
// then (the port, a capture, how it ends) is its caller's business.
int serial_terminal(int fd, int escapeChar);
struct Feed;
// serial_terminal on an open feed of any kind of port (feed.h), which also
// records into the feed's capture: keys are sent through the port layer
// (0xFF doubled on rfc2217), and the line errors a server reports are shown
// on the standard error, once per kind.
int serial_terminalFeed(Feed* feed, int escapeChar);
