#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include "pty_support.h"
#include "serial.h"

namespace {

struct Captured {
    int fd;
    std::string err;
    int savedErrno;
};

Captured openCaptured(const std::string& path, int baud = 57600, int stopBits = 1)
{
    testing::internal::CaptureStderr();
    Captured c{};
    c.fd = serial_openport(path.c_str(), baud, stopBits);
    c.savedErrno = errno;
    c.err = testing::internal::GetCapturedStderr();
    return c;
}

int openDescriptors()
{
    int n = 0;
    for (int fd = 0; fd < 256; ++fd)
        n += fcntl(fd, F_GETFD) != -1;
    return n;
}

TEST(Serial, OpenAppliesRawLineSettings)
{
    Pty pty;
    const int fd = serial_openport(pty.path().c_str(), 57600, 1);
    ASSERT_GE(fd, 0);
    termios t{};
    ASSERT_EQ(tcgetattr(fd, &t), 0);
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_TRUE(t.c_cflag & CREAD);
    EXPECT_TRUE(t.c_cflag & CLOCAL);
    EXPECT_FALSE(t.c_cflag & (PARENB | CSTOPB | CRTSCTS));
    EXPECT_EQ(t.c_iflag, static_cast<tcflag_t>(IGNPAR));
    EXPECT_EQ(t.c_oflag, 0u);
    EXPECT_EQ(t.c_lflag, 0u);
    EXPECT_EQ(t.c_cc[VMIN], 1);
    EXPECT_EQ(t.c_cc[VTIME], 0);
    EXPECT_EQ(cfgetispeed(&t), static_cast<speed_t>(B57600));
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B57600));
    EXPECT_EQ(fcntl(fd, F_GETFL) & O_NONBLOCK, O_NONBLOCK);

    // Non-blocking: nothing waiting fails at once.
    char c;
    EXPECT_EQ(read(fd, &c, 1), -1);
    EXPECT_EQ(errno, EAGAIN);
    EXPECT_EQ(serial_close(fd), 0);
}

TEST(Serial, TwoStopBitsAndOtherSpeeds)
{
    Pty pty;
    const int fd = serial_openport(pty.path().c_str(), 115200, 2);
    ASSERT_GE(fd, 0);
    termios t{};
    tcgetattr(fd, &t);
    EXPECT_TRUE(t.c_cflag & CSTOPB);
    EXPECT_EQ(cfgetispeed(&t), static_cast<speed_t>(B115200));
    serial_close(fd);
}

TEST(Serial, ReadWriteThroughThePort)
{
    Pty pty;
    const int fd = serial_openport(pty.path().c_str(), 9600, 1);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(pty.write("hello"));
    char buf[16] = {};
    EXPECT_EQ(serial_read(fd, buf, 1), 1);
    EXPECT_EQ(buf[0], 'h');
    EXPECT_GE(serial_readtimeout(fd, buf, sizeof buf, 1000), 1);
    EXPECT_EQ(serial_write(fd, "ok", 2), 2);
    char back[2];
    EXPECT_EQ(read(pty.master(), back, 2), 2);
    EXPECT_EQ(std::string(back, 2), "ok");
    serial_close(fd);
}

TEST(Serial, ReadTimeoutReturnsMinusTwoAfterTheAskedTime)
{
    Pty pty;
    const int fd = serial_openport(pty.path().c_str(), 57600, 1);
    ASSERT_GE(fd, 0);
    char c;
    const auto before = std::chrono::steady_clock::now();
    EXPECT_EQ(serial_readtimeout(fd, &c, 1, 1250), -2);
    const auto waited = std::chrono::steady_clock::now() - before;
    EXPECT_GE(waited, std::chrono::milliseconds(1240));
    EXPECT_LT(waited, std::chrono::milliseconds(3000));
    EXPECT_EQ(serial_readtimeout(fd, &c, 1, 0), -2);
    serial_close(fd);
}

TEST(Serial, MissingPathIsReportedWithThePath)
{
    const Captured c = openCaptured("/nonexistent/ttyQ9");
    EXPECT_EQ(c.fd, -1);
    EXPECT_EQ(c.err, "/nonexistent/ttyQ9: No such file or directory\n");
}

TEST(Serial, RegularFileFailsAtTheSettingsStepAndIsClosed)
{
    const std::string file = tempPath("not-a-tty");
    const int before = openDescriptors();
    const Captured c = openCaptured(file);
    EXPECT_EQ(c.fd, -1);
    EXPECT_EQ(c.err, "tcsetattr: Inappropriate ioctl for device\n");
    EXPECT_EQ(c.savedErrno, ENOTTY);
    EXPECT_EQ(openDescriptors(), before);
    unlink(file.c_str());
}

// errno of an open of `path` by an unprivileged process that takes no lock
// (0 when it succeeds), or -1 when the test cannot drop privileges.
int unprivilegedOpenError(const std::string& path)
{
    if (geteuid() != 0)
        return -1;
    chmod(path.c_str(), 0666);
    const pid_t pid = fork();
    if (pid == 0) {
        if (setgid(65534) != 0 || setuid(65534) != 0)
            _exit(255);
        const int fd = open(path.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK);
        _exit(fd >= 0 ? 0 : errno);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) != 255 ? WEXITSTATUS(status) : -1;
}

int exclusiveMode(int fd)
{
    int on = -1;
    ioctl(fd, TIOCGEXCL, &on);
    return on;
}

TEST(Serial, SecondOpenerIsRefusedWhileTheFirstHoldsThePort)
{
    Pty pty;
    const int first = serial_openport(pty.path().c_str(), 57600, 1);
    ASSERT_GE(first, 0);
    const Captured second = openCaptured(pty.path());
    EXPECT_EQ(second.fd, -1);
    EXPECT_EQ(second.savedErrno, EBUSY);
    EXPECT_EQ(second.err, pty.path() + ": port is in use by another program\n");

    // Programs that take no lock are kept out by the exclusive mode, unless
    // privileged; closing the port lifts it. (An emulator that cannot pass
    // the mode's calls on leaves it out.)
    if (exclusiveMode(pty.slave()) == -1) {
        serial_close(first);
        GTEST_SKIP() << "exclusive mode cannot be read here";
    }
    EXPECT_EQ(exclusiveMode(pty.slave()), 1);
    const int unprivileged = unprivilegedOpenError(pty.path());
    if (unprivileged != -1) {
        EXPECT_EQ(unprivileged, EBUSY);
    }
    serial_close(first);
    EXPECT_EQ(exclusiveMode(pty.slave()), 0);
    if (unprivileged != -1) {
        EXPECT_EQ(unprivilegedOpenError(pty.path()), 0);
    }
    const int third = serial_openport(pty.path().c_str(), 57600, 1);
    EXPECT_GE(third, 0);
    serial_close(third);
}

TEST(SerialDeathTest, UnknownSpeedEndsTheProcess)
{
    EXPECT_EXIT(serial_openport("/dev/null", 38400, 1), testing::ExitedWithCode(1), "^Unknown baudrate: 38400\n$");
}

} // namespace
