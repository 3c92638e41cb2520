#include "serial.h"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/select.h>
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

// perror may itself change errno; the caller's own report must still name
// the error of the failing step.
void report(const char* prefix)
{
    const int saved = errno;
    std::perror(prefix);
    errno = saved;
}

// Closes the half-set-up descriptor: the caller never receives it.
int failAfterOpen(int fd, const char* prefix)
{
    report(prefix);
    const int saved = errno;
    close(fd);
    errno = saved;
    return -1;
}

void (*receiveHook)(void*, const void*, size_t) = nullptr;
void* receiveArg = nullptr;

// One readiness wait on fd alone; timeout null waits without limit.
ssize_t waitAndRead(int fd, void* buf, size_t size, timeval* timeout, ssize_t onTimeout)
{
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(fd, &readable);
    const int ready = select(fd + 1, &readable, nullptr, nullptr, timeout);
    if (ready == 0 && timeout != nullptr)
        return onTimeout;
    if (ready != 1)
        return -1;
    return read(fd, buf, size);
}

} // namespace

int serial_openport(const char* path, int baudrate, int stopBits)
{
    speed_t speed = B0;
    bool known = false;
    for (const auto& [rate, code] : speeds) {
        if (rate == baudrate) {
            speed = code;
            known = true;
        }
    }
    if (!known) {
        std::fprintf(stderr, "Unknown baudrate: %d\n", baudrate);
        std::exit(1);
    }

    const int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        report(path);
        return -1;
    }
    // Linux hands each received byte to one reader only: a second program on
    // the same port would see half the stream, so refuse to share it.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
        std::fprintf(stderr, "%s: port is in use by another program\n", path);
        close(fd);
        errno = EBUSY;
        return -1;
    }
    if (fcntl(fd, F_SETFL, O_NONBLOCK) != 0)
        return failAfterOpen(fd, "fcntl");

    termios settings{};
    settings.c_cflag = CS8 | CREAD | CLOCAL | (stopBits == 2 ? CSTOPB : 0);
    if (cfsetispeed(&settings, speed) != 0)
        return failAfterOpen(fd, "cfsetispeed");
    if (cfsetospeed(&settings, speed) != 0)
        return failAfterOpen(fd, "cfsetospeed");
    settings.c_iflag = IGNPAR;
    settings.c_oflag = 0;
    settings.c_lflag = 0;
    settings.c_cc[VTIME] = 0;
    settings.c_cc[VMIN] = 1;
    if (tcsetattr(fd, TCSANOW, &settings) != 0)
        return failAfterOpen(fd, "tcsetattr");
    return fd;
}

ssize_t serial_read(int fd, void* buf, size_t size) { return waitAndRead(fd, buf, size, nullptr, -1); }

ssize_t serial_readtimeout(int fd, void* buf, size_t size, int ms)
{
    timeval timeout{ms / 1000, (ms % 1000) * 1000};
    return waitAndRead(fd, buf, size, &timeout, -2);
}

ssize_t serial_write(int fd, const void* data, size_t len) { return write(fd, data, len); }

int serial_close(int fd) { return close(fd); }

void serial_setReceiveHook(void (*hook)(void* arg, const void* bytes, size_t size), void* arg)
{
    receiveHook = hook;
    receiveArg = arg;
}

void serial_terminal(int fd, int escapeChar)
{
    termios saved{};
    termios working{};
    tcgetattr(STDIN_FILENO, &saved);
    tcgetattr(STDIN_FILENO, &working);
    working.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    tcsetattr(STDIN_FILENO, TCSANOW, &working);

    const auto escape = static_cast<unsigned char>(escapeChar);
    for (bool running = true; running;) {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(STDIN_FILENO, &readable);
        FD_SET(fd, &readable);
        if (select(fd + 1, &readable, nullptr, nullptr, nullptr) < 0) {
            std::perror("select");
            break;
        }
        if (FD_ISSET(STDIN_FILENO, &readable)) {
            unsigned char key;
            const ssize_t got = read(STDIN_FILENO, &key, 1);
            if (got == 1) {
                std::printf("\nSend %d\n", key);
                if (key == escape) {
                    std::fputs("\nGot escape char, exitting\n", stderr);
                    break;
                }
                if (write(fd, &key, 1) != 1) {
                    std::perror("write(serialfd)");
                    break;
                }
            } else if (got == 0) {
                std::fputs("Got EOF on stdin\n", stderr);
                break;
            } else {
                std::perror("read(stdin)");
                // A hung-up terminal fails every read at once: waiting again would spin.
                if (errno == EIO)
                    break;
            }
        }
        if (FD_ISSET(fd, &readable)) {
            unsigned char byte;
            const ssize_t got = read(fd, &byte, 1);
            if (got == 1) {
                if (receiveHook != nullptr)
                    receiveHook(receiveArg, &byte, 1);
                if (byte == 0x0D) {
                    std::fputs("[CR]", stdout);
                } else if (byte == 0x0A) {
                    std::fputs("[LF]\n", stdout);
                } else if (byte >= 0x20 && byte <= 0x7E) {
                    if (write(STDOUT_FILENO, &byte, 1) < 0) {
                        std::perror("write(stdout)");
                        running = false;
                    }
                } else {
                    std::printf("[%02X]", byte);
                    std::fflush(stdout);
                }
            } else if (got == 0 || errno == EIO) {
                // A vanished device (a hung-up line) reports EIO on every read
                // rather than end of input; either way nothing more will come.
                std::fputs("Serial port closed\n", stderr);
                running = false;
            } else {
                std::perror("read(serial)");
            }
        }
    }
    tcsetattr(STDIN_FILENO, TCSANOW, &saved);
}
