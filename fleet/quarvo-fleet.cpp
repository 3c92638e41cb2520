// quarvo-fleet: checks a rack of set-top boxes at once, each by a
// check-quarvo of its own, and gives one answer per box and one for the
// rack: a live table or plain lines, JUnit XML for CI, a JSON result.
#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <optional>
#include <string>
#include <string_view>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "atomic_file.h"
#include "boxes.h"
#include "buffer.h"
#include "check_result.h"
#include "children.h"
#include "ending_signals.h"
#include "live_view.h"
#include "options.h"
#include "report.h"
#include "standard_streams.h"

namespace {

using Clock = std::chrono::steady_clock;

// Nothing was checked: the command line, the boxes or a folder the fleet
// needs was wrong. Apart from the verdicts 0, 1 and 2.
constexpr int UsageStatus = 3;
constexpr size_t MaxBoxesFile = 1 << 20;
constexpr size_t OutputKept = 16 * 1024; // of each check's output, in the reports
constexpr size_t LinesShown = 5;         // of a failing check's output, in plain mode
constexpr auto Grace = std::chrono::seconds(5);
// Killed checks end at once; one that does not (stuck in the kernel) is
// not waited for longer than this.
constexpr auto AfterKill = std::chrono::seconds(2);
constexpr auto DrawEvery = std::chrono::milliseconds(100);

constexpr std::array<int, 5> endingSignals{SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE};
volatile sig_atomic_t caughtSignal = 0;
volatile sig_atomic_t signalsSeen = 0;
volatile sig_atomic_t resized = 0;
// Set by every handler; the wait returns at once while it is set.
volatile sig_atomic_t wake = 0;

void onEnding(int signo)
{
    if (caughtSignal == 0)
        caughtSignal = signo;
    signalsSeen = signalsSeen + 1;
    wake = 1;
    endingSignals_nudgeWrites();
}

void onChild(int) { wake = 1; }

void onResize(int)
{
    resized = 1;
    wake = 1;
}

const char* programName = "quarvo-fleet";

void usageHint()
{
    std::fprintf(stderr,
        "usage: %s --channel N [options] PORT...\n"
        "       %s --boxes FILE [options]\n"
        "Try '%s --help'.\n",
        programName, programName, programName);
}

void printHelp()
{
    std::printf("usage: %s --channel N [options] PORT...\n"
                "       %s --boxes FILE [--channel N] [options] [PORT...]\n"
                "Checks every box with check-quarvo at once; one answer per box and one for the rack.\n"
                "  --boxes FILE        one box a line: NAME PORT [CHANNEL] ('-': the standard input)\n"
                "  --channel N         the channel of boxes given without one\n"
                "  --jobs N            at most N checks at once (default: all)\n"
                "  --timeout S         each check's deadline in seconds (1 to 86400)\n"
                "  --reconnect         checks wait for ports that are missing or come and go\n"
                "  --capture-dir DIR   each check records what its box sent into DIR/NAME.cap\n"
                "  --junit FILE        JUnit XML for CI\n"
                "  --result FILE       the summary and every box's result as JSON\n"
                "  --suite NAME        the JUnit test suite's name (default quarvo-fleet)\n"
                "  --plain             one line per box as it ends, even on a terminal\n"
                "Exit status: 0 every box correct, 1 some box answered otherwise, 2 some gave no answer,\n"
                "3 nothing was checked (usage).\n",
        programName, programName);
}

// The fleet's own output, written so that a signal interrupting a write
// loses nothing, and a stuck output gives way once an ending signal came.
bool outputBroken = false;
void writeOut(std::string_view bytes)
{
    while (!bytes.empty() && !outputBroken) {
        const ssize_t n = write(STDOUT_FILENO, bytes.data(), bytes.size());
        if (n > 0) {
            bytes.remove_prefix(static_cast<size_t>(n));
        } else if (n < 0 && errno == EINTR) {
            if (caughtSignal != 0)
                return;
        } else {
            outputBroken = true;
        }
    }
}

std::string printable(std::string_view bytes)
{
    std::string out;
    appendPrintable(out, bytes);
    return out;
}

// Up to the last `limit` bytes of a file, from the start of a line when
// the file is longer.
std::string tailOf(const std::string& path, size_t limit)
{
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return {};
    struct stat st {};
    std::string text;
    if (fstat(fd, &st) == 0 && st.st_size > 0) {
        const auto size = static_cast<size_t>(st.st_size);
        const size_t want = std::min(size, limit);
        text.resize(want);
        const ssize_t n = pread(fd, text.data(), want, static_cast<off_t>(size - want));
        text.resize(n > 0 ? static_cast<size_t>(n) : 0);
        if (want < size) {
            const size_t eol = text.find('\n');
            text.erase(0, eol == std::string::npos ? 0 : eol + 1);
        }
    }
    close(fd);
    return text;
}

bool readWhole(int fd, size_t limit, std::string* text)
{
    char chunk[4096];
    for (;;) {
        const ssize_t n = read(fd, chunk, sizeof chunk);
        if (n == 0)
            return true;
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 || text->size() + static_cast<size_t>(n) > limit)
            return false;
        text->append(chunk, static_cast<size_t>(n));
    }
}

// Which device a port names: two names of one device (a stable link and
// the device itself) are the same port. URLs and missing paths as written.
std::string portKey(const std::string& port)
{
    if (port.find("://") != std::string::npos)
        return port;
    char resolved[PATH_MAX];
    if (realpath(port.c_str(), resolved) != nullptr)
        return resolved;
    return port;
}

bool sameFile(const std::string& a, const std::string& b)
{
    if (a == b)
        return true;
    struct stat sa {
    }, sb{};
    if (stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0)
        return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
    // Not both there yet: the same folder and the same name.
    const auto folderOf = [](const std::string& path) {
        const size_t slash = path.rfind('/');
        const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
        char resolved[PATH_MAX];
        return std::string(realpath(dir.c_str(), resolved) != nullptr ? resolved : dir) + "/" +
            path.substr(slash == std::string::npos ? 0 : slash + 1);
    };
    return folderOf(a) == folderOf(b);
}

struct Box {
    BoxConfig config;
    enum class State { Queued, Running, Done } state = State::Queued;
    pid_t pid = -1;
    Clock::time_point started{};
    BoxEnd end;
};

class Fleet {
public:
    Fleet(FleetOptions options, std::vector<BoxConfig> configs) : options_(std::move(options))
    {
        for (BoxConfig& config : configs)
            boxes_.push_back(Box{std::move(config), Box::State::Queued, -1, {}, {}});
        tally_.boxes = static_cast<int>(boxes_.size());
    }

    int run();

private:
    std::string resultPath(const Box& box) const { return folder_ + "/" + box.config.name + ".json"; }
    std::string outputPath(const Box& box) const { return folder_ + "/" + box.config.name + ".out"; }
    int64_t msSince(Clock::time_point t) const
    {
        return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
    }

    void start(Box& box);
    void finish(Box& box, int rawStatus);
    void ended(Box& box, BoxEnd end);
    void reap();
    void signalRunning(int signo);
    void drawView(bool force);
    void writeJunit();
    void writeResult(int status);
    void removeFolder();

    FleetOptions options_;
    std::vector<Box> boxes_;
    Tally tally_;
    std::string checkPath_;
    std::string folder_;
    pid_t self_ = getpid();
    int running_ = 0;
    bool stopping_ = false;
    Clock::time_point startTime_ = Clock::now();
    std::string timestamp_;
    // The live view.
    bool live_ = false;
    size_t drawn_ = 0;
    int height_ = 24, width_ = 80;
    Clock::time_point lastDraw_{};
    bool dirty_ = true;
};

void Fleet::start(Box& box)
{
    box.state = Box::State::Running;
    box.started = Clock::now();
    ++running_;
    dirty_ = true;
    const std::string out = outputPath(box);
    const int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) {
        --running_;
        ended(box,
            boxEnd_synthesized(
                box.config, "start-failed", std::nullopt, 0, "creating " + out + " failed: " + std::strerror(errno), {}));
        return;
    }
    if (checkPath_.empty()) {
        dprintf(fd, "%s: check-quarvo is neither beside this program nor on PATH\n", programName);
        close(fd);
        --running_;
        ended(box, boxEnd_synthesized(box.config, "start-failed", std::nullopt, 0, {}, tailOf(out, OutputKept)));
        return;
    }
    std::vector<std::string> args{checkPath_, "--feedback", box.config.port, "--channel", box.config.channel,
        "--distinct-status", "--result", resultPath(box)};
    if (options_.timeout > 0)
        args.insert(args.end(), {"--timeout", std::to_string(options_.timeout)});
    if (options_.reconnect)
        args.emplace_back("--reconnect");
    if (!options_.captureDir.empty())
        args.insert(args.end(), {"--capture", options_.captureDir + "/" + box.config.name + ".cap"});
    box.pid = children_start(checkPath_, args, fd, self_);
    if (box.pid < 0)
        dprintf(fd, "%s: starting %s failed: %s\n", programName, checkPath_.c_str(), std::strerror(errno));
    close(fd);
    if (box.pid < 0) {
        --running_;
        ended(box, boxEnd_synthesized(box.config, "start-failed", std::nullopt, 0, {}, tailOf(out, OutputKept)));
    }
}

void Fleet::finish(Box& box, int rawStatus)
{
    --running_;
    const int status = WIFEXITED(rawStatus) ? WEXITSTATUS(rawStatus) : 128 + WTERMSIG(rawStatus);
    const std::string output = tailOf(outputPath(box), OutputKept);
    std::string text;
    const int fd = open(resultPath(box).c_str(), O_RDONLY | O_CLOEXEC);
    const bool haveText = fd >= 0 && readWhole(fd, 1 << 20, &text);
    if (fd >= 0)
        close(fd);
    const std::optional<CheckReport> report = haveText ? checkResult_parse(text) : std::nullopt;
    if (report) {
        ended(box, boxEnd_fromResult(box.config, *report, text, output));
        return;
    }
    // No result: the check could not be run, or was ended before it wrote one.
    const int64_t ms = msSince(box.started);
    if (WIFEXITED(rawStatus) && status == 127)
        ended(box, boxEnd_synthesized(box.config, "start-failed", status, ms, {}, output));
    else if (stopping_)
        ended(box, boxEnd_synthesized(box.config, "interrupted", status, ms, "ended before it wrote a result", {}));
    else
        ended(box,
            boxEnd_synthesized(box.config, "no-result", status, ms,
                "the check ended with status " + std::to_string(status) + " without a result", output));
}

void Fleet::ended(Box& box, BoxEnd end)
{
    box.state = Box::State::Done;
    box.pid = -1;
    box.end = std::move(end);
    tally_.add(box.end.verdict);
    dirty_ = true;
    if (live_)
        return;
    std::string text = plainLine(box.config, box.end) + "\n";
    if (box.end.verdict == Verdict::AnsweredOtherwise || box.end.verdict == Verdict::NoAnswer) {
        for (const std::string& line : lastLines(tailOf(outputPath(box), OutputKept), LinesShown))
            text += "  " + line + "\n";
    }
    writeOut(text);
}

void Fleet::reap()
{
    for (;;) {
        int rawStatus = 0;
        const pid_t pid = waitpid(-1, &rawStatus, WNOHANG);
        if (pid <= 0)
            return;
        for (Box& box : boxes_) {
            if (box.state == Box::State::Running && box.pid == pid) {
                finish(box, rawStatus);
                break;
            }
        }
    }
}

void Fleet::signalRunning(int signo)
{
    for (const Box& box : boxes_) {
        if (box.state == Box::State::Running && box.pid > 0)
            kill(-box.pid, signo);
    }
}

void Fleet::drawView(bool force)
{
    if (!live_ || (!force && (!dirty_ || Clock::now() - lastDraw_ < DrawEvery)))
        return;
    std::vector<ViewRow> rows;
    rows.reserve(boxes_.size());
    for (const Box& box : boxes_) {
        ViewRow row{box.config.name, printable(box.config.port), "queued", "", true};
        if (box.state == Box::State::Running) {
            row.state = "waiting " + std::to_string(msSince(box.started) / 1000) + " s";
        } else if (box.state == Box::State::Done) {
            row.state = printable(box.end.outcome);
            row.channel = box.end.channelSeen ? printable(*box.end.channelSeen) : "";
            row.pending = box.end.verdict == Verdict::AnsweredOtherwise || box.end.verdict == Verdict::NoAnswer;
        }
        rows.push_back(std::move(row));
    }
    const std::vector<std::string> lines =
        liveView_lines(rows, summaryLine(tally_, msSince(startTime_) / 1000), height_, width_);
    writeOut(liveView_redraw(lines, drawn_));
    drawn_ = lines.size();
    lastDraw_ = Clock::now();
    dirty_ = false;
}

void Fleet::writeJunit()
{
    AtomicFile file;
    const int opened = file.open(options_.junit);
    if (opened == -2) {
        std::fprintf(
            stderr, "%s: JUnit file %s is not a regular file: left as it is\n", programName, options_.junit.c_str());
        return;
    }
    bool ok = opened == 0 &&
        file.write(junit_head(options_.suite, tally_, static_cast<double>(msSince(startTime_)) / 1000.0, timestamp_));
    for (const Box& box : boxes_) {
        if (ok)
            ok = file.write(junit_testCase(options_.suite, box.config, box.end,
                box.end.verdict == Verdict::Skipped ? std::string() : tailOf(outputPath(box), OutputKept)));
    }
    if (!ok || !file.write(junit_tail()) || file.commit() != 0)
        std::fprintf(stderr, "%s: writing JUnit file %s failed: %s\n", programName, options_.junit.c_str(),
            std::strerror(errno));
}

void Fleet::writeResult(int status)
{
    AtomicFile file;
    const int opened = file.open(options_.result);
    if (opened == -2) {
        std::fprintf(
            stderr, "%s: result file %s is not a regular file: left as it is\n", programName, options_.result.c_str());
        return;
    }
    std::optional<int> bySignal;
    if (caughtSignal != 0)
        bySignal = caughtSignal;
    bool ok = opened == 0 && file.write(result_head(options_.suite, tally_, status, msSince(startTime_), bySignal));
    for (size_t i = 0; i < boxes_.size() && ok; ++i)
        ok = file.write(result_box(boxes_[i].end, i == 0));
    if (!ok || !file.write(result_tail()) || file.commit() != 0)
        std::fprintf(stderr, "%s: writing result file %s failed: %s\n", programName, options_.result.c_str(),
            std::strerror(errno));
}

void Fleet::removeFolder()
{
    if (DIR* dir = opendir(folder_.c_str())) {
        while (const dirent* entry = readdir(dir)) {
            const std::string name = entry->d_name;
            if (name != "." && name != "..")
                unlink((folder_ + "/" + name).c_str());
        }
        closedir(dir);
    }
    rmdir(folder_.c_str());
}

int Fleet::run()
{
    // The folder the checks write their results and output into.
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/quarvo-fleet-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
        std::fprintf(stderr, "%s: making a temporary folder in %s failed: %s\n", programName,
            pattern.substr(0, pattern.rfind('/')).c_str(), std::strerror(errno));
        return UsageStatus;
    }
    folder_ = pattern;
    checkPath_ = children_findCheck();
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    char stamp[32] = "";
    if (gmtime_r(&now, &utc) != nullptr)
        std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S", &utc);
    timestamp_ = stamp;

    // The checks' ends and the window's size wake the wait, as the ending
    // signals do. SIGCHLD must not be ignored, or no status is ever seen.
    signal(SIGCHLD, SIG_DFL);
    sigset_t endingSet, childSet, resizeSet, waitSet;
    endingSignals_catch(endingSignals.data(), endingSignals.size(), onEnding, &endingSet, nullptr);
    const int childSignals[] = {SIGCHLD};
    endingSignals_catch(childSignals, 1, onChild, &childSet, nullptr);
    sigemptyset(&waitSet);
    for (int s = 1; s < NSIG; ++s) {
        if (sigismember(&endingSet, s) == 1 || sigismember(&childSet, s) == 1)
            sigaddset(&waitSet, s);
    }

    const char* term = std::getenv("TERM");
    live_ = !options_.plain && isatty(STDOUT_FILENO) && term != nullptr && *term != '\0' &&
        std::string_view(term) != "dumb";
    if (live_) {
        const int resizeSignals[] = {SIGWINCH};
        endingSignals_catch(resizeSignals, 1, onResize, &resizeSet, nullptr);
        if (sigismember(&resizeSet, SIGWINCH) == 1)
            sigaddset(&waitSet, SIGWINCH);
        resized = 1;
        writeOut("\x1b[?25l"); // no cursor flickering through the table
    }

    const size_t jobs = options_.jobs > 0 ? static_cast<size_t>(options_.jobs) : boxes_.size();
    size_t next = 0;
    int signalsHandled = 0;
    bool killed = false;
    Clock::time_point graceEnd{};
    for (;;) {
        while (!stopping_ && next < boxes_.size() && static_cast<size_t>(running_) < jobs)
            start(boxes_[next++]);
        if (running_ == 0 && (stopping_ || next == boxes_.size()))
            break;
        if (killed && Clock::now() >= graceEnd + AfterKill)
            break; // what is still there is left to die on its own
        if (resized != 0 && live_) {
            resized = 0;
            winsize size{};
            if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_row > 0 && size.ws_col > 0) {
                // Lines drawn for a wider window may have wrapped: clear what they can have become.
                drawn_ = std::min(
                    drawn_ * std::max<size_t>(1, (static_cast<size_t>(width_) + size.ws_col - 1) / size.ws_col),
                    static_cast<size_t>(size.ws_row - 1));
                height_ = size.ws_row;
                width_ = size.ws_col;
            }
            drawView(true);
        }
        drawView(false);

        // The next thing to do without an event: the view's next drawing
        // (its clock goes on), the end of the signalled checks' grace.
        std::optional<Clock::duration> wait;
        if (live_) {
            const auto sinceDraw = Clock::now() - lastDraw_;
            wait = dirty_ ? std::max(Clock::duration::zero(), DrawEvery - sinceDraw)
                          : std::chrono::duration_cast<Clock::duration>(std::chrono::seconds(1)) -
                    (Clock::now() - startTime_) % std::chrono::seconds(1);
        }
        if (stopping_ && !killed)
            wait = std::min(
                wait.value_or(Clock::duration::max()), std::max(Clock::duration::zero(), graceEnd - Clock::now()));
        if (killed)
            wait = std::chrono::milliseconds(100);
        timespec timeout{};
        if (wait) {
            const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(*wait).count();
            timeout = {static_cast<time_t>(ns / 1'000'000'000), static_cast<long>(ns % 1'000'000'000)};
        }
        endingSignals_wait(nullptr, 0, wait ? &timeout : nullptr, &waitSet, &wake);
        wake = 0;
        if (live_ && !dirty_)
            dirty_ = true; // the clock
        reap();

        if (caughtSignal != 0 && !stopping_) {
            // Every running check hears the signal once, from here: they
            // write their results as interrupted.
            stopping_ = true;
            signalsHandled = signalsSeen;
            signalRunning(caughtSignal);
            graceEnd = Clock::now() + Grace;
        }
        // Past the grace, or told again: what is left is killed.
        if (stopping_ && !killed && running_ > 0 && (Clock::now() >= graceEnd || signalsSeen > signalsHandled)) {
            signalRunning(SIGKILL);
            killed = true;
            graceEnd = std::min(graceEnd, Clock::now());
        }
    }
    for (Box& box : boxes_) {
        if (box.state == Box::State::Running) {
            --running_;
            ended(box,
                boxEnd_synthesized(
                    box.config, "interrupted", std::nullopt, msSince(box.started), "killed, and not seen to end", {}));
        }
        if (box.state == Box::State::Queued)
            ended(box,
                boxEnd_synthesized(
                    box.config, "skipped", std::nullopt, 0, "not started: the fleet was ended by a signal", {}));
    }
    const int status = caughtSignal != 0 ? 128 + caughtSignal : fleetStatus(tally_);
    if (live_)
        drawView(true);
    else
        writeOut(summaryLine(tally_, msSince(startTime_) / 1000) + "\n");

    if (!options_.junit.empty())
        writeJunit();
    if (!options_.result.empty())
        writeResult(status);
    removeFolder();
    if (live_)
        writeOut("\x1b[?25h");
    if (caughtSignal != 0) {
        std::fflush(stderr);
        endingSignals_stopNudges();
        endingSignals_endAs(caughtSignal);
    }
    return status;
}

// The boxes from the file and the command line, checked before anything
// starts. Empty, or what is wrong.
std::string collectBoxes(const FleetOptions& options, std::vector<BoxConfig>* boxes)
{
    if (!options.boxesFile.empty()) {
        const bool standardInput = options.boxesFile == "-";
        const std::string source = standardInput ? "(standard input)" : options.boxesFile;
        const int fd = standardInput ? STDIN_FILENO : open(options.boxesFile.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            return "boxes file " + printable(source) + ": " + std::strerror(errno);
        std::string text;
        errno = 0;
        const bool read = readWhole(fd, MaxBoxesFile, &text);
        const int error = errno;
        if (!standardInput)
            close(fd);
        if (!read)
            return "boxes file " + printable(source) + ": " + (error != 0 ? std::strerror(error) : "larger than 1 MiB");
        const std::string fault =
            boxes_parse(text, source, options.haveChannel ? options.channel : std::string_view(), *boxes);
        if (!fault.empty())
            return fault;
    }
    for (const std::string& port : options.ports) {
        if (!options.haveChannel)
            return "port " + printable(port) + " has no channel: give --channel, or name it in a boxes file";
        BoxConfig box{boxName_forPort(port), port, options.channel, {}, 0};
        if (!boxName_valid(box.name))
            return "port " + printable(port) + " gives no usable box name: name it in a boxes file";
        boxes->push_back(std::move(box));
    }
    if (boxes->empty())
        return "no boxes: give their ports, or --boxes FILE";
    return boxes_checkUnique(*boxes, portKey);
}

} // namespace

int main(int argc, char** argv)
{
    // Before anything is opened, so that no file or port becomes the output.
    ensureStandardStreams();
    if (argc > 0 && argv[0] != nullptr) {
        const char* slash = std::strrchr(argv[0], '/');
        programName = slash != nullptr ? slash + 1 : argv[0];
    }
    FleetOptions options;
    bool failed = false;
    const std::string fault = options_parse(argc, argv, &options, &failed);
    if (failed) {
        if (!fault.empty())
            std::fprintf(stderr, "%s: %s\n", programName, fault.c_str());
        usageHint();
        return UsageStatus;
    }
    if (options.help) {
        printHelp();
        return 0;
    }
    if (options.version) {
        std::printf("quarvo-fleet %s\n", QUARVO_VERSION);
        return 0;
    }
    std::vector<BoxConfig> boxes;
    std::string wrong = collectBoxes(options, &boxes);
    if (wrong.empty() && !options.junit.empty() && !options.result.empty() && sameFile(options.junit, options.result))
        wrong = "--junit and --result name the same file";
    if (wrong.empty() && !options.captureDir.empty()) {
        struct stat st {};
        if (stat(options.captureDir.c_str(), &st) != 0 && mkdir(options.captureDir.c_str(), 0777) != 0)
            wrong = "--capture-dir " + options.captureDir + ": " + std::strerror(errno);
        else if (stat(options.captureDir.c_str(), &st) == 0 && !S_ISDIR(st.st_mode))
            wrong = "--capture-dir " + options.captureDir + ": not a folder";
    }
    if (!wrong.empty()) {
        std::fprintf(stderr, "%s: %s\n", programName, wrong.c_str());
        return UsageStatus;
    }
    Fleet fleet(std::move(options), std::move(boxes));
    return fleet.run();
}
