// The serial module's interactive terminal: keys to the port, port bytes to
// the screen in printable form.
#include "serial.h"
#include "buffer.h"
#include "ending_signals.h"
#include "feed.h"

#include <array>
#include <cerrno>
#include <cstdio>
#include <optional>
#include <poll.h>
#include <string>
#include <string_view>
#include <termios.h>
#include <unistd.h>

namespace {

// Keys typed faster than the port takes them wait here; past this much (more
// than any paste) the keyboard is no longer read until the port catches up.
constexpr size_t MaxPending = 16 * 1024 * 1024;

bool retryable(int error) { return error == EAGAIN || error == EWOULDBLOCK || error == EINTR; }

// perror may change errno; the caller still decides by the read's error.
void report(const char* prefix, int error)
{
    errno = error;
    std::perror(prefix);
}

struct TerminalSettings {
    TerminalSettings()
    {
        tcgetattr(STDIN_FILENO, &saved_);
        termios working = saved_;
        working.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
        tcsetattr(STDIN_FILENO, TCSANOW, &working);
    }
    ~TerminalSettings() { tcsetattr(STDIN_FILENO, TCSANOW, &saved_); }
    TerminalSettings(const TerminalSettings&) = delete;
    TerminalSettings& operator=(const TerminalSettings&) = delete;
    termios saved_{};
};

// Everything shown goes out in one write per step, in the order it
// happened. False when the screen cannot be written; an ending signal
// abandons the rest quietly.
bool show(std::string_view text)
{
    while (!text.empty()) {
        const ssize_t n = write(STDOUT_FILENO, text.data(), text.size());
        if (n > 0) {
            text.remove_prefix(static_cast<size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR && endingSignals_caught() == 0)
            continue;
        if (n < 0 && errno == EINTR)
            endingSignals_noteFailedWrite(STDOUT_FILENO, EINTR); // the rest is lost, and reported so
        else
            std::perror("write(stdout)");
        return false;
    }
    return true;
}

// One step of the feed: what it read goes to the screen in one write, in
// printable form. Why the session ends, or nothing.
std::optional<int> stepFeed(Feed* feed, short revents, bool remote)
{
    FeedEvent event;
    Feed_step(feed, revents, &event);
    if (event.lineErrors != 0)
        std::fprintf(stderr, "\nThe server reported on the line: %s\n", Port_lineErrorNames(event.lineErrors).c_str());
    if (event.kind == FeedEventKind::Data) {
        std::string shown; // printable, a line feed also ending the line
        for (const char& c : std::string_view(event.bytes, event.size)) {
            if (c == '\r')
                shown += "[CR]";
            else if (c == '\n')
                shown += "[LF]\n";
            else
                appendPrintable(shown, {&c, 1});
        }
        if (!show(shown))
            return endingSignals_caught() != 0 ? endingSignals_caught() : SERIAL_TERMINAL_FAILED;
    } else if (event.kind == FeedEventKind::Lost) {
        // A vanished device (a hung-up line) reports EIO on every read
        // rather than end of input; either way nothing more will come.
        if (event.error == 0 || event.error == EIO || event.serverEnded) {
            std::fputs(remote ? "Serial port closed: the server ended the connection\n" : "Serial port closed\n",
                       stderr);
            return SERIAL_TERMINAL_PORT_ENDED;
        }
        report("read(serial)", event.error);
    }
    return std::nullopt;
}

} // namespace

int serial_terminal(int fd, int escapeChar)
{
    Feed* feed = Feed_local(fd, FeedOptions{});
    if (feed == nullptr) {
        report("serial_terminal", ENOMEM);
        return SERIAL_TERMINAL_FAILED;
    }
    const int ended = serial_terminalFeed(feed, escapeChar);
    Feed_destroy(feed);
    return ended;
}

int serial_terminalFeed(Feed* feed, int escapeChar)
{
    const TerminalSettings settings;
    const auto escape = static_cast<unsigned char>(escapeChar);
    Port* const port = Feed_port(feed);
    const bool remote = Port_kind(port) != PortKind::Local;
    std::string pending;  // keys the port has not taken yet
    bool keyboard = true; // false once the standard input has failed for good
    for (;;) {
        const bool writing = !pending.empty() || Port_writePending(port);
        std::array<pollfd, 2> fds{{
            {keyboard ? STDIN_FILENO : -1, static_cast<short>(pending.size() < MaxPending ? POLLIN : 0), 0},
            {},
        }};
        Deadline wakeAt;
        Feed_interest(feed, &fds[1], &wakeAt);
        if (writing)
            fds[1].events |= POLLOUT;
        timespec storage{};
        if (endingSignals_waitFor(fds.data(), fds.size(), Deadline_timespec(wakeAt, Clock_now(), &storage)) < 0) {
            if (errno == EINTR && endingSignals_caught() == 0)
                continue;
            if (errno != EINTR) {
                std::perror("select");
                return SERIAL_TERMINAL_FAILED;
            }
            return endingSignals_caught();
        }
        if ((fds[0].revents | fds[1].revents) & POLLNVAL) {
            errno = EBADF;
            std::perror("select");
            return SERIAL_TERMINAL_FAILED;
        }
        if (fds[0].revents != 0) {
            unsigned char key;
            const ssize_t got = read(STDIN_FILENO, &key, 1);
            if (got == 1) {
                if (!show("\nSend " + std::to_string(key) + "\n"))
                    return endingSignals_caught() != 0 ? endingSignals_caught() : SERIAL_TERMINAL_FAILED;
                if (key == escape) {
                    std::fputs("\nGot escape char, exitting\n", stderr);
                    return SERIAL_TERMINAL_ESCAPE;
                }
                pending += static_cast<char>(key);
                fds[1].revents |= POLLOUT; // try at once; a full queue only waits
            } else if (got == 0) {
                std::fputs("Got EOF on stdin\n", stderr);
                return SERIAL_TERMINAL_END_OF_INPUT;
            } else if (const int error = errno; !retryable(error)) {
                report("read(stdin)", error);
                // Such a failure repeats at once on every read: waiting on it
                // again would spin. A hung-up terminal ends the session; any
                // other input that cannot be read is no longer waited on.
                if (error == EIO)
                    return SERIAL_TERMINAL_FAILED;
                keyboard = false;
            }
        }
        // Stepped on every turn: it reads when the port is ready and
        // otherwise only sees to its capture.
        if (const std::optional<int> ended = stepFeed(feed, fds[1].revents, remote))
            return *ended;
        // After the port has been read, so that a vanished port is reported
        // as such. A write sends what the port queued first, even of nothing.
        if ((writing || !pending.empty()) && (fds[1].revents & (POLLOUT | POLLERR | POLLHUP))) {
            const ssize_t n = Port_write(port, pending.data(), pending.size());
            if (n > 0) {
                pending.erase(0, static_cast<size_t>(n));
            } else if (n < 0 && !retryable(errno)) {
                std::perror("write(serialfd)");
                return SERIAL_TERMINAL_FAILED;
            }
        }
    }
}
