// The interactive terminal, with pseudo-terminals on both sides: one stands
// for the user's keyboard and screen, the other for the serial device.
#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <pty.h>
#include <regex>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

#include "pty_support.h"
#include "serial.h"

namespace {

// Runs serial_terminal in a child process with the given standard input.
struct TerminalProcess {
    pid_t pid = -1;
    std::string outPath = tempPath("term-out");
    std::string errPath = tempPath("term-err");

    // closeInChild: the test's own ends, which the forked child must not keep
    // open, or closing them in the test would not end anything.
    TerminalProcess(int stdinFd, const std::string& port, int escape, std::vector<int> closeInChild)
    {
        pid = fork();
        if (pid == 0) {
            for (int fd : closeInChild)
                close(fd);
            dup2(stdinFd, STDIN_FILENO);
            freopen(outPath.c_str(), "w", stdout);
            freopen(errPath.c_str(), "w", stderr);
            const int fd = serial_openport(port.c_str(), 57600, 1);
            if (fd < 0)
                _exit(3);
            serial_terminal(fd, escape);
            std::fflush(nullptr); // freopen may have left stderr buffered
            _exit(0);
        }
    }
    ~TerminalProcess()
    {
        unlink(outPath.c_str());
        unlink(errPath.c_str());
    }
    int wait() const
    {
        int status = 0;
        for (int i = 0; i < 10000; ++i) {
            if (waitpid(pid, &status, WNOHANG) == pid)
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        return -2;
    }
    std::string out() const { return readFile(outPath); }
    std::string err() const { return readFile(errPath); }
};

std::string readPort(int master, size_t want, int patienceMs = 10000)
{
    std::string got;
    for (int i = 0; i < patienceMs && got.size() < want; ++i) {
        char c;
        if (read(master, &c, 1) == 1)
            got += c;
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return got;
}

TEST(Terminal, KeysAreSentAndTheEscapeKeyEndsAndRestores)
{
    Keyboard keyboard;
    const termios before = keyboard.settings();
    ASSERT_TRUE(before.c_lflag & ICANON);
    Pty port;
    TerminalProcess term(keyboard.slave, port.path(), 'q', {keyboard.master, port.master()});
    keyboard.waitUntilRaw();
    EXPECT_FALSE(keyboard.settings().c_lflag & (ICANON | ECHO));
    keyboard.type("a");
    EXPECT_EQ(readPort(port.master(), 1), "a");
    keyboard.type("q");
    EXPECT_EQ(term.wait(), 0);
    EXPECT_EQ(term.out(), "\nSend 97\n\nSend 113\n");
    EXPECT_EQ(term.err(), "\nGot escape char, exitting\n");
    EXPECT_EQ(readPort(port.master(), 1, 100), ""); // the escape key is not sent
    const termios after = keyboard.settings();
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    EXPECT_EQ(after.c_iflag, before.c_iflag);
}

// Everything shown appears in the order it came, control bytes visible.
TEST(Terminal, PortBytesAreShownInOrderWithControlBytesVisible)
{
    const struct {
        std::string sent, shown;
    } cases[] = {
        {"OK\r\n\x07", "OK[CR][LF]\n[07]"},
        {"A\rB\r\nC\x01" "D", "A[CR]B[CR][LF]\nC[01]D"},
    };
    for (const auto& c : cases) {
        Keyboard keyboard;
        Pty port;
        TerminalProcess term(keyboard.slave, port.path(), 0x1D, {keyboard.master, port.master()});
        keyboard.waitUntilRaw();
        port.write(c.sent);
        EXPECT_TRUE(waitUntil([&] { return term.out() == c.shown; }, std::chrono::seconds(5))) << term.out();
        keyboard.type("\x1D");
        EXPECT_EQ(term.wait(), 0);
        EXPECT_EQ(term.out(), c.shown + "\nSend 29\n");
    }
}

TEST(Terminal, EndOfStandardInputEndsIt)
{
    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    Pty port;
    TerminalProcess term(pipeFds[0], port.path(), 'q', {pipeFds[1], port.master()});
    close(pipeFds[0]);
    ASSERT_EQ(write(pipeFds[1], "x", 1), 1);
    close(pipeFds[1]);
    EXPECT_EQ(term.wait(), 0);
    EXPECT_EQ(term.out(), "\nSend 120\n");
    EXPECT_EQ(term.err(), "Got EOF on stdin\n");
    EXPECT_EQ(readPort(port.master(), 1), "x");
}

TEST(Terminal, PortClosingEndsItWithANotice)
{
    Keyboard keyboard;
    const termios before = keyboard.settings();
    Pty port;
    TerminalProcess term(keyboard.slave, port.path(), 'q', {keyboard.master, port.master()});
    keyboard.waitUntilRaw();
    port.write("bye");
    port.waitDrained();
    port.closeMaster();
    EXPECT_EQ(term.wait(), 0);
    EXPECT_EQ(term.err(), "Serial port closed\n");
    EXPECT_EQ(keyboard.settings().c_lflag, before.c_lflag);
}

TEST(TerminalCommand, OpensThePortAndEndsOnTheEscapeKey)
{
    Keyboard keyboard;
    Pty port;
    Child child({QUARVO_TERM_PATH, port.path(), "--escape", "^A"}, keyboard.slave);
    keyboard.waitUntilRaw();
    port.write("hi\n");
    port.waitDrained();
    keyboard.type("z");
    EXPECT_EQ(readPort(port.master(), 1), "z");
    keyboard.type("\x01");
    const ChildResult r = child.wait(std::chrono::seconds(10));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "hi[LF]\n\nSend 122\n\nSend 1\n");
    EXPECT_EQ(r.err, "Connected to " + port.path() + " at 57600 baud. Press Ctrl-A (0x01) to end the session.\n"
                     "\nGot escape char, exitting\n");
}

TEST(TerminalCommand, SignalsEndTheSessionWithTheKeyboardRestored)
{
    for (const int signo : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE, SIGALRM}) {
        Keyboard keyboard;
        const termios before = keyboard.settings();
        Pty port;
        Child child({QUARVO_TERM_PATH, port.path()}, keyboard.slave);
        keyboard.waitUntilRaw();
        kill(child.pid(), signo);
        const ChildResult r = child.wait(std::chrono::seconds(10));
        EXPECT_EQ(r.status, 128 + signo) << signo; // ended as the signal ends a process
        const termios after = keyboard.settings();
        EXPECT_EQ(after.c_lflag, before.c_lflag) << signo;
        EXPECT_EQ(after.c_iflag, before.c_iflag) << signo;
        // The port is left as it was found, for the next program to open.
        int exclusive = 0;
        if (ioctl(port.slave(), TIOCGEXCL, &exclusive) == 0) {
            EXPECT_EQ(exclusive, 0) << signo;
        }
    }
}

// Whatever signal ends the session, the capture holds every byte shown.
TEST(TerminalCommand, CaptureIsCompleteWhicheverSignalEndsTheSession)
{
    for (const int signo : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE, SIGALRM}) {
        int keys[2];
        ASSERT_EQ(pipe2(keys, O_CLOEXEC), 0);
        const std::string capture = tempPath("term-signal-capture");
        Pty port;
        Child child({QUARVO_TERM_PATH, port.path(), "--capture", capture}, keys[0]);
        waitUntilLocked(child.pid());
        port.write("HELLO-1234\n", child.pid());
        port.waitDrained(child.pid());
        ASSERT_TRUE(waitUntil([&] { return child.outSoFar().find("HELLO-1234") != std::string::npos; })) << signo;
        kill(child.pid(), signo);
        const ChildResult r = child.wait(std::chrono::seconds(10));
        close(keys[0]);
        close(keys[1]);
        EXPECT_EQ(r.status, 128 + signo);
        const std::string text = readFile(capture);
        EXPECT_TRUE(std::regex_search(text, std::regex(" HELLO-1234\n[0-9]+\\.[0-9]{6} \\\\x0A\n$"))) << signo << text;
        unlink(capture.c_str());
    }
}

// A device that takes bytes slower than they are typed (here: its output
// stopped) makes the keys wait; it does not end the session.
TEST(TerminalCommand, KeysWaitForAPortThatCannotTakeThemYet)
{
    Keyboard keyboard;
    Pty port;
    Child child({QUARVO_TERM_PATH, port.path(), "--escape", "q"}, keyboard.slave);
    keyboard.waitUntilRaw();
    tcflow(port.slave(), TCOOFF);
    keyboard.type("abc");
    // Every key taken from the keyboard, while the port takes none.
    int waiting = 1;
    while (child.running() && ioctl(keyboard.slave, FIONREAD, &waiting) == 0 && waiting > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_TRUE(child.running());
    tcflow(port.slave(), TCOON);
    EXPECT_EQ(readPort(port.master(), 3), "abc");
    keyboard.type("q");
    const ChildResult r = child.wait(std::chrono::seconds(10));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err.find("write(serialfd)"), std::string::npos) << r.err;
}

// Started with its standard input closed, the terminal must not take the
// port for its keyboard and send the device's own bytes back to it.
TEST(TerminalCommand, ClosedStandardInputIsNotThePort)
{
    Pty port;
    Child child({QUARVO_TERM_PATH, port.path()}, -1, STDIN_FILENO);
    const ChildResult r = child.wait(std::chrono::seconds(10));
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.err.find("Got EOF on stdin\n"), std::string::npos) << r.err;
    port.write("echo?");
    EXPECT_EQ(readPort(port.master(), 1, 100), "");
}

// Keys the keyboard's terminal acts on itself never reach the session.
TEST(TerminalCommand, EscapeKeysThatCanNeverArriveAreRefused)
{
    const std::string name = QUARVO_TERM_PATH;
    struct Case {
        std::string key, refusal;
    };
    const std::vector<Case> cases{
        {"^C", "Ctrl-C (0x03) can never arrive: it raises a signal"},
        {"^Z", "Ctrl-Z (0x1A) can never arrive: it raises a signal"},
        {"^\\", "Ctrl-\\ (0x1C) can never arrive: it raises a signal"},
        {"^S", "Ctrl-S (0x13) can never arrive: the terminal takes it for flow control"},
        {"^Q", "Ctrl-Q (0x11) can never arrive: the terminal takes it for flow control"},
        {"^M", "Ctrl-M (0x0D) can never arrive: Enter arrives as a line feed"},
    };
    for (const Case& c : cases) {
        Keyboard keyboard;
        Child child({name, "/nonexistent/tty", "--escape", c.key}, keyboard.slave);
        const ChildResult r = child.wait(std::chrono::seconds(10));
        EXPECT_EQ(r.status, 1) << c.key;
        EXPECT_EQ(r.err, name + ": the escape key " + c.refusal + "\n");
    }
    // From a pipe or a file every byte arrives as it is.
    Child piped({name, "/nonexistent/tty", "--escape", "^C"});
    EXPECT_EQ(piped.wait(std::chrono::seconds(10)).err,
              "/nonexistent/tty: No such file or directory\nOpening serial port failed: No such file or directory\n");
}

TEST(TerminalCommand, BadUsageAndUnopenablePort)
{
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string errStart;
    };
    const std::string name = QUARVO_TERM_PATH;
    const std::vector<Case> cases{
        {{}, 1, name + ": no serial port given\n"},
        {{"/dev/a", "/dev/b"}, 1, name + ": more than one serial port given\n"},
        {{"/dev/a", "--escape", "ab"}, 1, name + ": --escape: not a key: ab\n"},
        {{"/dev/a", "--baud", "fast"}, 1, name + ": --baud: not a line speed: fast\n"},
        {{"/dev/a", "--baud", "38400"}, 1, "Unknown baudrate: 38400\n"},
        {{"/dev/a", "--baud", "99999999999"}, 1, "Unknown baudrate: 99999999999\n"},
        {{"/nonexistent/tty"}, 1,
         "/nonexistent/tty: No such file or directory\nOpening serial port failed: No such file or directory\n"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> argv{name};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        Child child(argv);
        const ChildResult r = child.wait(std::chrono::seconds(10));
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.err.substr(0, c.errStart.size()), c.errStart);
    }
}

} // namespace
