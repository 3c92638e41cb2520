#include "pty_support.h"

#include "drain.h"

#include <algorithm>
#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <pty.h>
#include <sstream>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace {

bool ended(pid_t pid)
{
    if (pid == 0)
        return false;
    // WNOWAIT leaves the child to be reaped by its owner.
    siginfo_t info{};
    return waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid;
}

// Bytes the process has received through read calls, or -1.
long long bytesRead(pid_t pid)
{
    std::ifstream io("/proc/" + std::to_string(pid) + "/io");
    std::string key;
    long long value = 0;
    while (io >> key >> value) {
        if (key == "rchar:")
            return value;
    }
    return -1;
}

} // namespace

bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit)
{
    const auto until = std::chrono::steady_clock::now() + limit;
    for (;;) {
        if (done())
            return true;
        if (std::chrono::steady_clock::now() > until)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

void waitUntilOpened(pid_t pid, const std::string& path)
{
    const std::string fdDir = "/proc/" + std::to_string(pid) + "/fd";
    // Every descriptor: a server holding many ports has them beyond the first few.
    const auto opened = [&] {
        DIR* dir = opendir(fdDir.c_str());
        if (dir == nullptr)
            return false;
        bool found = false;
        while (const dirent* entry = readdir(dir)) {
            char target[256];
            const ssize_t n = readlinkat(dirfd(dir), entry->d_name, target, sizeof target - 1);
            if (n > 0 && std::string_view(target, static_cast<size_t>(n)) == path) {
                found = true;
                break;
            }
        }
        closedir(dir);
        return found;
    };
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!ended(pid) && std::chrono::steady_clock::now() < limit && !opened())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

void waitUntilLocked(pid_t pid)
{
    // /proc/locks rows: "N: FLOCK ADVISORY WRITE <pid> <dev:inode> <start> <end>".
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!ended(pid) && std::chrono::steady_clock::now() < limit) {
        std::ifstream locks("/proc/locks");
        std::string line;
        while (std::getline(locks, line)) {
            std::istringstream fields(line);
            std::string number, kind, mode, access;
            pid_t holder = 0;
            if (fields >> number >> kind >> mode >> access >> holder && kind == "FLOCK" && holder == pid)
                return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

// Children must not hold the master open: closing it is how tests end the input.
static void openPair(int* master, int* slave, char* name = nullptr)
{
    if (openpty(master, slave, name, nullptr, nullptr) != 0)
        std::abort();
    fcntl(*master, F_SETFD, FD_CLOEXEC);
    fcntl(*slave, F_SETFD, FD_CLOEXEC);
}

Pty::Pty()
{
    char name[256];
    openPair(&master_, &slave_, name);
    path_ = name;
    termios raw{};
    tcgetattr(slave_, &raw);
    cfmakeraw(&raw);
    tcsetattr(slave_, TCSANOW, &raw);
    fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
}

std::string boxReceived(Pty& pty)
{
    std::string got;
    char chunk[512];
    ssize_t n = 0;
    while ((n = read(pty.master(), chunk, sizeof chunk)) > 0)
        got.append(chunk, static_cast<size_t>(n));
    return got;
}

Keyboard::Keyboard() { openPair(&master, &slave); }

Keyboard::~Keyboard()
{
    close(master);
    close(slave);
}

termios Keyboard::settings() const
{
    termios t{};
    tcgetattr(slave, &t);
    return t;
}

bool Keyboard::raw() const
{
    termios t{};
    return tcgetattr(slave, &t) == 0 && (t.c_lflag & ICANON) == 0;
}

void Keyboard::waitUntilRaw() const { ASSERT_TRUE(waitUntil([&] { return raw(); })); }

void Keyboard::type(const std::string& keys) const
{
    ASSERT_EQ(::write(master, keys.data(), keys.size()), ssize_t(keys.size()));
}

Pty::~Pty()
{
    closeMaster();
    if (slave_ >= 0)
        close(slave_);
}

bool Pty::write(std::string_view bytes, pid_t reader)
{
    if (reader != 0 && reader != reader_) {
        // Everything the reader reads from now on comes from this port.
        reader_ = reader;
        readerBase_ = bytesRead(reader);
        written_ = 0;
    }
    if (reader != 0)
        written_ += static_cast<long long>(bytes.size());
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!bytes.empty()) {
        const ssize_t n = ::write(master_, bytes.data(), bytes.size());
        if (n > 0) {
            bytes.remove_prefix(static_cast<size_t>(n));
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            return false;
        if (ended(reader) || std::chrono::steady_clock::now() > limit)
            return false;
        pollfd p{master_, POLLOUT, 0};
        poll(&p, 1, 50);
    }
    return true;
}

void Pty::waitDrained(pid_t reader)
{
    const Deadline until = Deadline_after(Clock_now(), 60 * CLOCK_SECOND);
    if (reader == 0 || reader != reader_ || readerBase_ < 0) {
        waitUntilTaken(slave_, until);
        return;
    }
    // The reader's own count of bytes read says when it has had everything;
    // the empty queue, seen on two looks in a row, guards against reads of
    // anything else (a sanitizer's, say) inflating the count while the last
    // bytes are still on their way to the queue.
    for (int satisfied = 0; satisfied < 2 && !ended(reader) && !Deadline_passed(until, Clock_now());) {
        int waiting = 0;
        const bool taken =
            bytesRead(reader) - readerBase_ >= written_ && ioctl(slave_, FIONREAD, &waiting) == 0 && waiting == 0;
        satisfied = taken ? satisfied + 1 : 0;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

void Pty::waitSetUp(pid_t reader)
{
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    const auto setUp = [this] {
        int exclusive = 0;
        if (ioctl(slave_, TIOCGEXCL, &exclusive) == 0)
            return exclusive == 1;
        // Where the mode cannot be read (under an emulator), the line speed
        // set by the step before it tells.
        termios settings{};
        return tcgetattr(slave_, &settings) == 0 && cfgetispeed(&settings) == B57600;
    };
    while (!ended(reader) && std::chrono::steady_clock::now() < limit && !setUp())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

void Pty::closeMaster()
{
    if (master_ >= 0)
        close(master_);
    master_ = -1;
}

bool feedUntilOutputStuck(Pty& pty, Child& child, int pipeWriteEnd)
{
    const std::string line = std::string(60, 'g') + "\n"; // each one reported
    std::string_view rest;
    for (int i = 0; i < 30000 && child.running(); ++i) {
        pollfd room{pipeWriteEnd, POLLOUT, 0};
        if (poll(&room, 1, 0) == 0)
            return true; // full: the child's next write blocks
        if (rest.empty())
            rest = line;
        const ssize_t n = ::write(pty.master(), rest.data(), rest.size()); // the master does not block
        if (n > 0)
            rest.remove_prefix(static_cast<size_t>(n));
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

StuckRun runUntilOutputStuck(std::vector<std::string> argv, int signal)
{
    Pty pty;
    std::replace(argv.begin(), argv.end(), std::string("{pty}"), pty.path());
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0)
        return {};
    Child child(argv, -1, -1, out[1]);
    pty.waitSetUp(child.pid());
    StuckRun run;
    run.stuck = feedUntilOutputStuck(pty, child, out[1]);
    if (run.stuck && signal != 0)
        kill(child.pid(), signal);
    run.end = child.wait(std::chrono::seconds(10));
    close(out[0]);
    close(out[1]);
    return run;
}

std::string readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string tempPath(const char* stem)
{
    std::string pattern = std::string("/tmp/") + stem + "-XXXXXX";
    const int fd = mkstemp(pattern.data());
    if (fd < 0)
        std::abort();
    close(fd);
    return pattern;
}

std::string tempDir(const char* stem)
{
    std::string pattern = std::string("/tmp/") + stem + "-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr)
        std::abort();
    return pattern;
}

std::vector<std::string> filesIn(const std::string& dir)
{
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (const dirent* e = readdir(d)) {
            if (std::string(e->d_name) != "." && std::string(e->d_name) != "..")
                names.push_back(e->d_name);
        }
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

Child::Child(const std::vector<std::string>& argv, int stdinFd, int closeFd, int stdoutFd)
    : outPath_(tempPath("child-out")), errPath_(tempPath("child-err"))
{
    std::vector<char*> args;
#ifdef QUARVO_TEST_EMULATOR
    // Built for another processor: the command runs under the emulator.
    std::string emulator = QUARVO_TEST_EMULATOR;
    for (char* word = std::strtok(emulator.data(), " "); word != nullptr; word = std::strtok(nullptr, " "))
        args.push_back(word);
#endif
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
        const int in = stdinFd >= 0 ? stdinFd : open("/dev/null", O_RDONLY);
        const int out = open(outPath_.c_str(), O_WRONLY | O_TRUNC);
        const int err = open(errPath_.c_str(), O_WRONLY | O_TRUNC);
        dup2(in, STDIN_FILENO);
        dup2(stdoutFd >= 0 ? stdoutFd : out, STDOUT_FILENO);
        dup2(err, STDERR_FILENO);
        // A session of its own: no controlling terminal to inherit.
        setsid();
        if (closeFd >= 0)
            close(closeFd);
        execv(args[0], args.data());
        _exit(127);
    }
}

Child::~Child()
{
    if (!reaped_ && pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    unlink(outPath_.c_str());
    unlink(errPath_.c_str());
}

bool Child::running() { return !reaped_ && !ended(pid_); }

ChildResult Child::wait(std::chrono::milliseconds limit)
{
    const auto until = std::chrono::steady_clock::now() + limit;
    while (!reaped_) {
        const pid_t got = waitpid(pid_, &rawStatus_, WNOHANG);
        if (got == pid_) {
            reaped_ = true;
            break;
        }
        if (std::chrono::steady_clock::now() > until)
            kill(pid_, SIGKILL);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    ChildResult result;
    result.status = WIFEXITED(rawStatus_) ? WEXITSTATUS(rawStatus_) : 128 + WTERMSIG(rawStatus_);
    result.out = readFile(outPath_);
    result.err = readFile(errPath_);
    return result;
}

std::string Child::outSoFar() const { return readFile(outPath_); }

std::string Child::errSoFar() const { return readFile(errPath_); }

std::string checkPath() { return CHECK_QUARVO_PATH; }

std::string firstLineOf(Child& child)
{
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::chrono::steady_clock::now() < limit) {
        const bool ended = !child.running(); // before the look: a line printed at the end is still seen
        const std::string out = child.outSoFar();
        const size_t eol = out.find('\n');
        if (eol != std::string::npos)
            return out.substr(0, eol);
        if (ended)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return {};
}

ChildResult runCheck(const std::vector<std::string>& args, std::string_view input, bool endInput)
{
    return runOnPort(checkPath(), args, input, endInput);
}

ChildResult runOnPort(const std::string& program, const std::vector<std::string>& args, std::string_view input,
                      bool endInput)
{
    Pty pty;
    std::vector<std::string> argv{program};
    for (const std::string& a : args)
        argv.push_back(a == "{port}" ? pty.path() : a);
    Child child(argv);
    pty.waitSetUp(child.pid());
    pty.write(input, child.pid());
    if (endInput) {
        pty.waitDrained(child.pid());
        pty.closeMaster();
    }
    return child.wait();
}

