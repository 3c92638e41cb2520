// Helpers for tests that drive real pseudo-terminals and child processes.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <termios.h>
#include <vector>

// A pseudo-terminal pair with the slave side in raw mode, so that bytes
// written to the master arrive unchanged.
class Pty {
public:
    Pty();
    ~Pty();
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    const std::string& path() const { return path_; }
    int master() const { return master_; }
    int slave() const { return slave_; }

    // Writes everything to the master; gives up when `reader` (if not 0)
    // has ended or after a long time, so a test never hangs. A reader named
    // here must read nothing but this port from its first write on.
    bool write(std::string_view bytes, pid_t reader = 0);
    // Waits until `reader` has read everything written to it (or ended);
    // without a reader, until the slave's queue has stayed empty a while.
    // Closing the master afterwards loses nothing.
    void waitDrained(pid_t reader = 0);
    // Returns once a program has opened the slave and finished setting it up
    // (the port's exclusive mode, its last step, is on), or `reader` ended.
    void waitSetUp(pid_t reader);
    void closeMaster();

private:
    int master_ = -1;
    int slave_ = -1;
    std::string path_;
    pid_t reader_ = 0;
    long long readerBase_ = -1;
    long long written_ = 0;
};

// Everything waiting on the box's side of `pty`, without waiting.
std::string boxReceived(Pty& pty);

// A keyboard pseudo-terminal left in its ordinary cooked mode, as a user's
// is, so a test can see a command switch it and switch it back.
struct Keyboard {
    int master = -1;
    int slave = -1;
    Keyboard();
    ~Keyboard();
    Keyboard(const Keyboard&) = delete;
    Keyboard& operator=(const Keyboard&) = delete;
    termios settings() const;
    bool raw() const;
    // Keys typed in cooked mode would wait for a whole line.
    void waitUntilRaw() const;
    void type(const std::string& keys) const;
};

struct ChildResult {
    int status = -1; // exit status, or 128 + signal
    std::string out;
    std::string err;
};

// A child process with its standard output and error captured in files
// (files, not pipes, so a chatty child never blocks on a full pipe).
class Child {
public:
    // stdinFd < 0: the child's standard input is /dev/null. closeFd (0 to 2)
    // is a standard stream the child starts with closed, as a shell's ">&-".
    // stdoutFd >= 0: the child's standard output (not captured then).
    explicit Child(const std::vector<std::string>& argv, int stdinFd = -1, int closeFd = -1, int stdoutFd = -1);
    ~Child();
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    pid_t pid() const { return pid_; }
    bool running();
    // Waits for the end (killing the child after `limit`) and collects output.
    ChildResult wait(std::chrono::milliseconds limit = std::chrono::seconds(30));
    // What the child has written to its standard output so far.
    std::string outSoFar() const;
    std::string errSoFar() const;

private:
    pid_t pid_ = -1;
    int rawStatus_ = 0;
    bool reaped_ = false;
    std::string outPath_;
    std::string errPath_;
};

// The first line a child prints (without its line feed), once it has; empty
// when the child ends first. The stand-in box prints its port this way.
std::string firstLineOf(Child& child);

// Looks at `done` every millisecond until it holds or `limit` has passed;
// whether it held. The one way tests wait for an event.
bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = std::chrono::seconds(30));

// Returns once process `pid` holds `path` open, or has ended.
void waitUntilOpened(pid_t pid, const std::string& path);

// Returns once process `pid` holds an advisory lock, or has ended.
void waitUntilLocked(pid_t pid);

std::string readFile(const std::string& path);

// Sends lines of garbage to `pty` as its queue takes them until the pipe
// that `child` writes its standard output to (written by `pipeWriteEnd`,
// read by nobody) is full. False if that never happened.
bool feedUntilOutputStuck(Pty& pty, Child& child, int pipeWriteEnd);

// How a command whose output got stuck ended: `stuck` says whether it ever
// did (the run is worth nothing otherwise).
struct StuckRun {
    bool stuck = false;
    ChildResult end;
};
// Starts `argv` ("{pty}" in it standing for a new pseudo-terminal) with its
// standard output a pipe nobody reads, feeds it until that output is stuck,
// sends `signal` unless it is 0, and waits up to 10 s for its end.
StuckRun runUntilOutputStuck(std::vector<std::string> argv, int signal = 0);
std::string tempPath(const char* stem);
// A new empty folder, /tmp/STEM-XXXXXX.
std::string tempDir(const char* stem = "quarvo-test");
// The names in `dir` but "." and "..", sorted.
std::vector<std::string> filesIn(const std::string& dir);

// Path of the built check command.
std::string checkPath();

// Runs the check with `args` ("{port}" stands for the pseudo-terminal path),
// writes `input` to the port, and (when endInput) signals end of input once
// the check has read everything.
ChildResult runCheck(const std::vector<std::string>& args, std::string_view input, bool endInput = true);
// The same for any program listening on a port.
ChildResult runOnPort(const std::string& program, const std::vector<std::string>& args, std::string_view input,
                      bool endInput = true);
