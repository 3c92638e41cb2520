#include "serial.h"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/file.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>
#include <utility>

namespace {

constexpr std::array<std::pair<int, speed_t>, 5> speeds{{
    {300, B300},
    {9600, B9600},
    {19200, B19200},
    {57600, B57600},
    {115200, B115200},
}};

// The termios code of a supported speed, or B0.
speed_t speedOf(int baudrate)
{
    for (const auto& [rate, code] : speeds) {
        if (rate == baudrate)
            return code;
    }
    return B0;
}

// perror may itself change errno; the caller's own report must still name
// the error of the failing step. A quiet open reports nothing.
void report(const char* prefix, bool quiet)
{
    if (quiet)
        return;
    const int saved = errno;
    std::perror(prefix);
    errno = saved;
}

// Closes the half-set-up descriptor: the caller never receives it.
int failAfterOpen(int fd, const char* prefix, bool quiet)
{
    report(prefix, quiet);
    const int saved = errno;
    close(fd);
    errno = saved;
    return -1;
}

// One readiness wait on fd alone; a negative timeout waits without limit.
ssize_t waitAndRead(int fd, void* buf, size_t size, int timeoutMs, ssize_t onTimeout)
{
    pollfd readable{fd, POLLIN, 0};
    const int ready = poll(&readable, 1, timeoutMs);
    if (ready == 0 && timeoutMs >= 0)
        return onTimeout;
    if (ready != 1)
        return -1;
    return read(fd, buf, size);
}

int openPort(const char* path, int baudrate, int stopBits, bool quiet)
{
    const speed_t speed = speedOf(baudrate);
    if (speed == B0) {
        std::fprintf(stderr, "Unknown baudrate: %d\n", baudrate);
        std::exit(1);
    }

    const int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        report(path, quiet);
        return -1;
    }
    // Linux hands each received byte to one reader only: a second program on
    // the same port would see half the stream, so refuse to share it.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
        if (!quiet)
            std::fprintf(stderr, "%s: port is in use by another program\n", path);
        close(fd);
        errno = EBUSY;
        return -1;
    }

    termios settings{};
    settings.c_cflag = CS8 | CREAD | CLOCAL | (stopBits == 2 ? CSTOPB : 0);
    if (cfsetispeed(&settings, speed) != 0)
        return failAfterOpen(fd, "cfsetispeed", quiet);
    if (cfsetospeed(&settings, speed) != 0)
        return failAfterOpen(fd, "cfsetospeed", quiet);
    settings.c_iflag = IGNPAR;
    settings.c_oflag = 0;
    settings.c_lflag = 0;
    settings.c_cc[VTIME] = 0;
    settings.c_cc[VMIN] = 1;
    if (tcsetattr(fd, TCSANOW, &settings) != 0)
        return failAfterOpen(fd, "tcsetattr", quiet);
    // The lock only stops programs that also lock; exclusive mode also keeps
    // out unprivileged programs that do not (root can still open the port).
    // Not every device supports it, and the port works without it.
    ioctl(fd, TIOCEXCL);
    return fd;
}

} // namespace

bool serial_baudSupported(int baudrate) { return speedOf(baudrate) != B0; }

int serial_openport(const char* path, int baudrate, int stopBits) { return openPort(path, baudrate, stopBits, false); }

int serial_tryopen(const char* path, int baudrate, int stopBits) { return openPort(path, baudrate, stopBits, true); }

ssize_t serial_read(int fd, void* buf, size_t size) { return waitAndRead(fd, buf, size, -1, -1); }

ssize_t serial_readtimeout(int fd, void* buf, size_t size, int ms)
{
    if (ms < 0) {
        errno = EINVAL;
        return -1;
    }
    return waitAndRead(fd, buf, size, ms, -2);
}

ssize_t serial_write(int fd, const void* data, size_t len) { return write(fd, data, len); }

int serial_close(int fd)
{
    // A pseudo-terminal keeps the mode after its last reader is gone.
    ioctl(fd, TIOCNXCL);
    return close(fd);
}

