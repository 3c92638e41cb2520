// The serial module's interactive terminal: keys to the port, port bytes to
// the screen in printable form.
#include "serial.h"

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <poll.h>
#include <string>
#include <termios.h>
#include <unistd.h>

namespace {

// Signals that end a session. Each is held back except inside the wait, so
// that the saved terminal settings are always put back before the process
// ends as the signal would end it.
constexpr std::array<int, 4> endingSignals{SIGINT, SIGTERM, SIGHUP, SIGQUIT};
volatile sig_atomic_t caughtSignal = 0;

void noteSignal(int signo) { caughtSignal = signo; }

// Keys typed faster than the port takes them wait here; past this much the
// keyboard is no longer read until the port catches up.
constexpr size_t MaxPending = 64 * 1024;

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
        sigset_t ending;
        sigemptyset(&ending);
        for (int signo : endingSignals)
            sigaddset(&ending, signo);
        sigprocmask(SIG_BLOCK, &ending, &previousMask_);
        waitMask_ = previousMask_;
        struct sigaction action {};
        action.sa_handler = noteSignal;
        sigemptyset(&action.sa_mask);
        for (size_t i = 0; i < endingSignals.size(); ++i) {
            sigaction(endingSignals[i], nullptr, &previous_[i]);
            if (previous_[i].sa_handler == SIG_IGN) // as under nohup: stays ignored
                continue;
            sigdelset(&waitMask_, endingSignals[i]);
            sigaction(endingSignals[i], &action, nullptr);
        }
        caughtSignal = 0;
    }
    // Puts everything back, then delivers a caught signal as if it had
    // never been intercepted.
    ~SignalGuard()
    {
        for (size_t i = 0; i < endingSignals.size(); ++i)
            sigaction(endingSignals[i], &previous_[i], nullptr);
        const int signo = caughtSignal;
        if (signo != 0) {
            std::fflush(nullptr);
            raise(signo); // still blocked: delivered when the mask is restored
        }
        sigprocmask(SIG_SETMASK, &previousMask_, nullptr);
    }
    SignalGuard(const SignalGuard&) = delete;
    SignalGuard& operator=(const SignalGuard&) = delete;

    const sigset_t* waitMask() const { return &waitMask_; }

private:
    sigset_t previousMask_{};
    sigset_t waitMask_{};
    std::array<struct sigaction, endingSignals.size()> previous_{};
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
        if (ppoll(fds.data(), fds.size(), nullptr, signals.waitMask()) < 0) {
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
}
