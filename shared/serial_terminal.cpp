// The serial module's interactive terminal: keys to the port, port bytes to
// the screen in printable form.
#include "serial.h"
#include "ending_signals.h"

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <poll.h>
#include <string>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

// Signals that end a session. They end it as they would end the program, but
// only after the saved terminal settings are back: the handler notes the
// signal, and the session ends at its next wait (a blocked write gives way).
constexpr std::array<int, 5> endingSignals{SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE};
volatile sig_atomic_t caughtSignal = 0;

void noteSignal(int signo)
{
    caughtSignal = signo;
    endingSignals_nudgeWrites();
}

// Keys typed faster than the port takes them wait here; past this much (more
// than any paste) the keyboard is no longer read until the port catches up.
constexpr size_t MaxPending = 16 * 1024 * 1024;

void (*receiveHook)(void*, const void*, size_t) = nullptr;
void* receiveArg = nullptr;

bool retryable(int error) { return error == EAGAIN || error == EWOULDBLOCK || error == EINTR; }

// perror may change errno; the caller still decides by the read's error.
void report(const char* prefix, int error)
{
    errno = error;
    std::perror(prefix);
}

class SignalGuard {
public:
    SignalGuard()
    {
        caughtSignal = 0;
        sigaction(SIGALRM, nullptr, &previousAlarm_);
        endingSignals_catch(endingSignals.data(), endingSignals.size(), noteSignal, &ending_, previous_.data());
    }
    // Puts everything back, then delivers a caught signal as if it had
    // never been intercepted.
    ~SignalGuard()
    {
        endingSignals_stopNudges();
        sigaction(SIGALRM, &previousAlarm_, nullptr);
        for (size_t i = 0; i < endingSignals.size(); ++i)
            sigaction(endingSignals[i], &previous_[i], nullptr);
        if (const int signo = caughtSignal; signo != 0) {
            endingSignals_flushOutput();
            raise(signo);
        }
    }
    SignalGuard(const SignalGuard&) = delete;
    SignalGuard& operator=(const SignalGuard&) = delete;

    int wait(pollfd* fds, nfds_t count) const
    {
        return endingSignals_wait(fds, count, nullptr, &ending_, &caughtSignal);
    }

private:
    sigset_t ending_{};
    std::array<struct sigaction, endingSignals.size()> previous_{};
    struct sigaction previousAlarm_ {};
};

class TerminalSettings {
public:
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

private:
    termios saved_{};
};

// Shows one byte from the port; false when the screen cannot be written.
bool showByte(unsigned char byte)
{
    if (byte == 0x0D) {
        std::fputs("[CR]", stdout);
    } else if (byte == 0x0A) {
        std::fputs("[LF]\n", stdout);
    } else if (byte >= 0x20 && byte <= 0x7E) {
        if (write(STDOUT_FILENO, &byte, 1) < 0) {
            if (!(errno == EINTR && caughtSignal != 0))
                std::perror("write(stdout)");
            return false;
        }
    } else {
        std::printf("[%02X]", byte);
        std::fflush(stdout);
    }
    return true;
}

} // namespace

void serial_setReceiveHook(void (*hook)(void* arg, const void* bytes, size_t size), void* arg)
{
    receiveHook = hook;
    receiveArg = arg;
}

void serial_terminal(int fd, int escapeChar)
{
    // Declared in this order so that the settings are restored before a
    // caught signal is delivered.
    const SignalGuard signals;
    const TerminalSettings settings;

    const auto escape = static_cast<unsigned char>(escapeChar);
    std::string pending;   // keys the port has not taken yet
    bool keyboard = true; // false once the standard input has failed for good
    for (;;) {
        std::array<pollfd, 2> fds{{
            {keyboard ? STDIN_FILENO : -1, static_cast<short>(pending.size() < MaxPending ? POLLIN : 0), 0},
            {fd, static_cast<short>(POLLIN | (pending.empty() ? 0 : POLLOUT)), 0},
        }};
        if (signals.wait(fds.data(), fds.size()) < 0) {
            if (errno == EINTR && caughtSignal == 0)
                continue;
            if (errno != EINTR)
                std::perror("select");
            break;
        }
        if ((fds[0].revents | fds[1].revents) & POLLNVAL) {
            errno = EBADF;
            std::perror("select");
            break;
        }
        if (fds[0].revents != 0) {
            unsigned char key;
            const ssize_t got = read(STDIN_FILENO, &key, 1);
            if (got == 1) {
                std::printf("\nSend %d\n", key);
                if (key == escape) {
                    std::fputs("\nGot escape char, exitting\n", stderr);
                    break;
                }
                pending += static_cast<char>(key);
                fds[1].revents |= POLLOUT; // try at once; a full queue only waits
            } else if (got == 0) {
                std::fputs("Got EOF on stdin\n", stderr);
                break;
            } else if (const int error = errno; !retryable(error)) {
                report("read(stdin)", error);
                // Such a failure repeats at once on every read: waiting on it
                // again would spin. A hung-up terminal ends the session; any
                // other input that cannot be read is no longer waited on.
                if (error == EIO)
                    break;
                keyboard = false;
            }
        }
        if (fds[1].revents & (POLLIN | POLLERR | POLLHUP)) {
            unsigned char byte;
            const ssize_t got = read(fd, &byte, 1);
            if (got == 1) {
                if (receiveHook != nullptr)
                    receiveHook(receiveArg, &byte, 1);
                if (!showByte(byte))
                    break;
            } else if (const int error = got == 0 ? 0 : errno; got == 0 || error == EIO) {
                // A vanished device (a hung-up line) reports EIO on every read
                // rather than end of input; either way nothing more will come.
                std::fputs("Serial port closed\n", stderr);
                break;
            } else if (!retryable(error)) {
                report("read(serial)", error);
            }
        }
        // After the port has been read, so that a vanished port is reported as such.
        if (!pending.empty() && (fds[1].revents & (POLLOUT | POLLERR | POLLHUP))) {
            const ssize_t n = write(fd, pending.data(), pending.size());
            if (n > 0) {
                pending.erase(0, static_cast<size_t>(n));
            } else if (n < 0 && !retryable(errno)) {
                std::perror("write(serialfd)");
                break;
            }
        }
    }
    // The program ends with the signal, before its caller can close the port.
    if (caughtSignal != 0)
        ioctl(fd, TIOCNXCL);
}
