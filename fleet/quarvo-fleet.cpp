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
#include <optional>
#include <string>
#include <string_view>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "command_line.h"
#include "atomic_file.h"
#include "boxes.h"
#include "check_result.h"
#include "children.h"
#include "ending_signals.h"
#include "file_identity.h"
#include "live_view.h"
#include "options.h"
#include "output_tail.h"
#include "pending_output.h"
#include "printable.h"
#include "report.h"
#include "standard_streams.h"

namespace {

using Clock = std::chrono::steady_clock;

// Nothing was checked: the command line, the boxes or a folder the fleet
// needs was wrong. Apart from the verdicts 0, 1 and 2.
constexpr int UsageStatus = 3;
constexpr size_t MaxBoxesFile = 1 << 20;
// The boxes' hosts are looked up for this long at most, all at once.
constexpr auto LookUpHosts = std::chrono::seconds(3);
constexpr size_t OutputKept = 16 * 1024; // of each check's output, in the reports
constexpr size_t LinesShown = 5;         // of a failing check's output, in plain mode
constexpr auto Grace = std::chrono::seconds(5);
// Killed checks end at once; one that does not (stuck in the kernel) is
// not waited for longer than this.
constexpr auto AfterKill = std::chrono::seconds(2);
// A check still running this long past its own deadline is stuck (stopped,
// say) and is ended by the fleet; the margin covers opening a remote port.
constexpr auto Overdue = std::chrono::seconds(10);
constexpr auto DrawEvery = std::chrono::milliseconds(100);
constexpr size_t ReadChunk = 64 * 1024;
constexpr size_t ReadPerTurn = 1024 * 1024; // of one check, before the others are looked at

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

struct Box {
    explicit Box(BoxConfig c) : config(std::move(c)) {}

    BoxConfig config;
    enum class State { Queued, Running, Done } state = State::Queued;
    pid_t pid = -1;
    int outputFd = -1; // the read end of the check's output pipe, while open
    OutputTail output{OutputKept};
    Clock::time_point started{};
    // A check that has not ended by then is told to end, then killed, then
    // given up on: `ending` counts those steps.
    Clock::time_point nextStep{};
    int ending = 0;
    std::string endedWhy; // why the fleet itself ended the check, or empty
    BoxEnd end;
};

// `t` as the one time type: steady_clock is the monotonic clock.
Deadline deadlineAt(Clock::time_point t)
{
    return {std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count()};
}

class Fleet {
public:
    Fleet(FleetOptions options, std::vector<BoxConfig> configs) : options_(std::move(options))
    {
        boxes_.reserve(configs.size());
        for (BoxConfig& config : configs)
            boxes_.emplace_back(std::move(config));
        tally_.boxes = static_cast<int>(boxes_.size());
    }

    int run();

private:
    std::string resultPath(const Box& box) const { return folder_ + "/" + box.config.name + ".json"; }
    int64_t msSince(Clock::time_point t) const
    {
        return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
    }

    bool start(Box& box);
    void readOutput(Box& box, size_t limit);
    void closeOutput(Box& box);
    void finish(Box& box, int rawStatus);
    void ended(Box& box, BoxEnd end);
    void reap();
    void superviseChecks();
    void signalRunning(int signo);
    void drawView(bool force);
    void drawFinalView();
    void writeJunit();
    void writeResult(int status);
    void removeFolder();
    void waitForOutput();
    void noteOutputLoss();
    void catchSignals();
    void endUnfinished();
    bool prepare();
    void followResize();
    std::optional<Clock::duration> nextWait();
    void waitAndRead();
    void stopOnSignal();
    int finishRack();

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
    sigset_t waitSet_{};
    // Each check's own deadline, and the latest of them: the fleet's output
    // is never waited for past it (plus the grace) nor past an ending signal.
    Clock::duration checkTime_ = std::chrono::seconds(options_.timeout > 0 ? options_.timeout : CHECK_SECONDS);
    Clock::time_point latestDeadline_ = startTime_;
    PendingOutput output_{STDOUT_FILENO};
    bool outputLost_ = false;
    bool closedSaid_ = false;
    // The live view.
    bool live_ = false;
    size_t drawn_ = 0;
    int height_ = 24, width_ = 80;
    Clock::time_point lastDraw_{};
    bool dirty_ = true;
    // The ending: signals already passed on, whether what was left was
    // killed, and when the signalled checks' grace ends.
    int signalsHandled_ = 0;
    bool killed_ = false;
    Clock::time_point graceEnd_{};
    std::vector<pollfd> fds_;
    std::vector<Box*> reading_;
};

// False when the box must wait for a running check to end first (no
// descriptor is free for its output).
bool Fleet::start(Box& box)
{
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) {
        if ((errno == EMFILE || errno == ENFILE) && running_ > 0)
            return false;
        ended(box,
            boxEnd_synthesized(box.config, "start-failed", std::nullopt, 0,
                std::string("making a pipe for its output failed: ") + std::strerror(errno), {}));
        return true;
    }
    box.state = Box::State::Running;
    box.started = Clock::now();
    dirty_ = true;
    if (checkPath_.empty()) {
        close(pipeFds[0]);
        close(pipeFds[1]);
        box.output.append(std::string(programName) + ": check-quarvo is neither beside this program nor on PATH\n");
        ended(box, boxEnd_synthesized(box.config, "start-failed", std::nullopt, 0, {}, box.output.text()));
        return true;
    }
    std::vector<std::string> args{checkPath_, "--feedback", box.config.port, "--channel", box.config.channel,
        "--distinct-status", "--result", resultPath(box)};
    if (options_.timeout > 0)
        args.insert(args.end(), {"--timeout", std::to_string(options_.timeout)});
    if (options_.reconnect)
        args.emplace_back("--reconnect");
    if (!options_.captureDir.empty())
        args.insert(args.end(), {"--capture", options_.captureDir + "/" + box.config.name + ".cap"});
    box.pid = children_start(checkPath_, args, pipeFds[1], self_, programName);
    const int error = errno;
    close(pipeFds[1]);
    if (box.pid < 0) {
        close(pipeFds[0]);
        box.output.append(
            std::string(programName) + ": starting " + checkPath_ + " failed: " + std::strerror(error) + "\n");
        ended(box, boxEnd_synthesized(box.config, "start-failed", std::nullopt, 0, {}, box.output.text()));
        return true;
    }
    fcntl(pipeFds[0], F_SETFL, O_NONBLOCK);
    box.outputFd = pipeFds[0];
    ++running_;
    box.nextStep = box.started + checkTime_ + Overdue;
    if (box.started + checkTime_ > latestDeadline_) {
        latestDeadline_ = box.started + checkTime_;
        endingSignals_limitWrites(deadlineAt(latestDeadline_ + Grace));
    }
    return true;
}

// Takes what the check has printed, up to `limit` bytes, into its tail.
void Fleet::readOutput(Box& box, size_t limit)
{
    char chunk[ReadChunk];
    for (size_t taken = 0; box.outputFd >= 0 && taken < limit;) {
        const ssize_t n = read(box.outputFd, chunk, sizeof chunk);
        if (n > 0) {
            box.output.append(std::string_view(chunk, static_cast<size_t>(n)));
            taken += static_cast<size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            if (n == 0 || errno != EAGAIN)
                closeOutput(box);
            return;
        }
    }
}

void Fleet::closeOutput(Box& box)
{
    if (box.outputFd >= 0)
        close(box.outputFd);
    box.outputFd = -1;
}

void Fleet::finish(Box& box, int rawStatus)
{
    --running_;
    // Whatever the check wrote before it ended is in the pipe.
    readOutput(box, SIZE_MAX);
    closeOutput(box);
    const int status = WIFEXITED(rawStatus) ? WEXITSTATUS(rawStatus) : 128 + WTERMSIG(rawStatus);
    const std::string output = box.output.text();
    std::string text;
    const int fd = open(resultPath(box).c_str(), O_RDONLY | O_CLOEXEC);
    const bool haveText = fd >= 0 && readWhole(fd, 1 << 20, &text);
    if (fd >= 0)
        close(fd);
    const std::optional<CheckReport> report = haveText ? checkResult_parse(text) : std::nullopt;
    // A check the fleet ended writes its result as interrupted, or (resumed
    // past its own deadline) as no answer: neither is what happened to the
    // box. Only a verdict the box gave stands.
    const bool boxAnswered = report && (report->outcome == "correct" || report->outcome == "incorrect" ||
                                        report->outcome == "box-error");
    if (report && (box.endedWhy.empty() || boxAnswered)) {
        ended(box, boxEnd_fromResult(box.config, *report, text, output));
        return;
    }
    // No result: the check could not be run, or was ended before it wrote one.
    const int64_t ms = msSince(box.started);
    if (!box.endedWhy.empty())
        ended(box, boxEnd_synthesized(box.config, "no-result", status, ms, box.endedWhy, output));
    else if (WIFEXITED(rawStatus) && status == 127)
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
    if (box.end.verdict == BoxVerdict::AnsweredOtherwise || box.end.verdict == BoxVerdict::NoAnswer) {
        for (const std::string& line : lastLines(box.output.text(), LinesShown))
            text += "  " + line + "\n";
    }
    output_.add(text);
}

void Fleet::reap()
{
    for (;;) {
        int rawStatus = 0;
        const pid_t pid = waitpid(-1, &rawStatus, WNOHANG | WUNTRACED);
        if (pid <= 0)
            return;
        const auto box = std::find_if(boxes_.begin(), boxes_.end(),
            [pid](const Box& b) { return b.state == Box::State::Running && b.pid == pid; });
        if (box == boxes_.end())
            continue; // one given up on earlier, ending at last
        if (!WIFSTOPPED(rawStatus)) {
            finish(*box, rawStatus);
            continue;
        }
        // A check in a process group of its own that touches the terminal
        // is stopped, and would stay stopped: it is ended at once. Any other
        // stop waits for the check's deadline.
        const int stop = WSTOPSIG(rawStatus);
        if ((stop == SIGTTOU || stop == SIGTTIN) && box->ending == 0 && box->endedWhy.empty()) {
            box->endedWhy = std::string("stopped by ") + (stop == SIGTTOU ? "SIGTTOU" : "SIGTTIN") +
                " (it used the terminal from the background): ended by the fleet";
            box->nextStep = Clock::now();
        }
    }
}

// Checks that outlive their deadline by far (stopped, or stuck) are told
// to end, then killed, then given up on: none holds the fleet for ever.
void Fleet::superviseChecks()
{
    const auto now = Clock::now();
    for (Box& box : boxes_) {
        if (box.state != Box::State::Running || now < box.nextStep)
            continue;
        if (box.ending == 0) {
            if (box.endedWhy.empty())
                box.endedWhy = "still running " + std::to_string(Overdue.count()) +
                    " s past its deadline: ended by the fleet";
            kill(-box.pid, SIGTERM);
            kill(-box.pid, SIGCONT); // a stopped check must run to end
            box.nextStep = now + Grace;
        } else if (box.ending == 1) {
            kill(-box.pid, SIGKILL);
            box.nextStep = now + AfterKill;
        } else {
            --running_;
            readOutput(box, ReadPerTurn);
            closeOutput(box);
            ended(box,
                boxEnd_synthesized(box.config, "no-result", std::nullopt, msSince(box.started),
                    box.endedWhy + "; killed, and not seen to end", box.output.text()));
            continue;
        }
        ++box.ending;
    }
}

void Fleet::signalRunning(int signo)
{
    for (const Box& box : boxes_) {
        if (box.state == Box::State::Running && box.pid > 0) {
            kill(-box.pid, signo);
            if (signo != SIGKILL)
                kill(-box.pid, SIGCONT); // a stopped check hears it too
        }
    }
}

std::vector<ViewRow> viewRows(const std::vector<Box>& boxes, Clock::time_point now)
{
    std::vector<ViewRow> rows;
    rows.reserve(boxes.size());
    for (const Box& box : boxes) {
        ViewRow row{box.config.name, printable(box.config.port), "queued", "", true};
        if (box.state == Box::State::Running) {
            row.state =
                "waiting " + std::to_string(std::chrono::duration_cast<std::chrono::seconds>(now - box.started).count()) +
                " s";
        } else if (box.state == Box::State::Done) {
            row.state = printable(box.end.outcome);
            row.channel = box.end.channelSeen ? printable(*box.end.channelSeen) : "";
            row.pending = box.end.verdict == BoxVerdict::AnsweredOtherwise || box.end.verdict == BoxVerdict::NoAnswer;
        }
        rows.push_back(std::move(row));
    }
    return rows;
}

void Fleet::drawView(bool force)
{
    // A drawing is made only once the last one is out: the cursor moves
    // by the lines drawn last, and output nobody takes stays one frame.
    if (!live_ || !output_.idle() || (!force && (!dirty_ || Clock::now() - lastDraw_ < DrawEvery)))
        return;
    const std::vector<std::string> lines = liveView_lines(
        viewRows(boxes_, Clock::now()), summaryLine(tally_, msSince(startTime_) / 1000), height_, width_);
    output_.add(liveView_redraw(lines, drawn_));
    drawn_ = lines.size();
    lastDraw_ = Clock::now();
    dirty_ = false;
}

void Fleet::drawFinalView()
{
    const std::vector<std::string> lines = liveView_finalLines(
        viewRows(boxes_, Clock::now()), summaryLine(tally_, msSince(startTime_) / 1000), height_, width_);
    output_.add(liveView_redraw(lines, drawn_));
    drawn_ = lines.size();
}

void Fleet::writeJunit()
{
    AtomicFile file;
    const int opened = file.open(options_.junit, ".quarvo-fleet-");
    if (opened == -2) {
        std::fprintf(stderr, "%s: JUnit file %s is not a regular file: left as it is\n", programName,
            printable(options_.junit).c_str());
        return;
    }
    bool ok = opened == 0 &&
        file.write(junit_head(options_.suite, tally_, static_cast<double>(msSince(startTime_)) / 1000.0, timestamp_));
    for (const Box& box : boxes_) {
        if (ok)
            ok = file.write(junit_testCase(options_.suite, box.config, box.end,
                box.end.verdict == BoxVerdict::Skipped ? std::string() : box.output.text()));
    }
    if (!ok || !file.write(junit_tail()) || file.commit() != 0)
        std::fprintf(stderr, "%s: writing JUnit file %s failed: %s\n", programName, printable(options_.junit).c_str(),
            std::strerror(errno));
}

void Fleet::writeResult(int status)
{
    AtomicFile file;
    const int opened = file.open(options_.result, ".quarvo-fleet-");
    if (opened == -2) {
        std::fprintf(stderr, "%s: result file %s is not a regular file: left as it is\n", programName,
            printable(options_.result).c_str());
        return;
    }
    std::optional<int> bySignal;
    if (caughtSignal != 0)
        bySignal = caughtSignal;
    bool ok = opened == 0 && file.write(result_head(options_.suite, tally_, status, msSince(startTime_), bySignal));
    for (size_t i = 0; i < boxes_.size() && ok; ++i)
        ok = file.write(result_box(boxes_[i].end, i == 0));
    if (!ok || !file.write(result_tail()) || file.commit() != 0)
        std::fprintf(stderr, "%s: writing result file %s failed: %s\n", programName,
            printable(options_.result).c_str(), std::strerror(errno));
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

// The output let go by the write limit (a write that blocked after all)
// is output given up.
void Fleet::noteOutputLoss()
{
    if (!output_.givenUp() && endingSignals_outputLost(STDOUT_FILENO))
        output_.giveUp();
    if (output_.givenUp() && output_.error() == 0)
        outputLost_ = true;
    if (output_.error() == EPIPE && !closedSaid_ && (!options_.junit.empty() || !options_.result.empty())) {
        closedSaid_ = true;
        endingSignals_report(std::string(programName) +
            ": the standard output was closed: nothing more is printed; the rack goes on for its files\n");
    }
}

// What the output still holds is written as its reader takes it, until the
// rule for output nobody takes gives it up (from the last check's deadline
// plus the grace, or an ending signal, on).
void Fleet::waitForOutput()
{
    endingSignals_limitWrites(deadlineAt(std::max(latestDeadline_, Clock::now()) + Grace));
    int64_t moved = Clock_now();
    for (;;) {
        const size_t before = output_.waiting();
        output_.pump();
        noteOutputLoss();
        if (output_.idle() || output_.givenUp())
            return;
        const int64_t now = Clock_now();
        if (output_.waiting() != before)
            moved = now;
        const Deadline limit = endingSignals_outputLimit(moved);
        if (Deadline_passed(limit, now)) {
            output_.giveUp();
            outputLost_ = true;
            return;
        }
        timespec timeout{};
        pollfd out{STDOUT_FILENO, POLLOUT, 0};
        endingSignals_wait(&out, 1, Deadline_timespec(limit, now, &timeout), &waitSet_, &wake);
        wake = 0;
        reap();
    }
}

// The checks' ends and the window's size wake the wait, as the ending
// signals do; the live view is chosen here, as it takes SIGWINCH.
void Fleet::catchSignals()
{
    // SIGCHLD must not be ignored, or no status is ever seen.
    signal(SIGCHLD, SIG_DFL);
    sigset_t endingSet, childSet, resizeSet;
    // With files to write, a closed output is a failed write, not the end:
    // the rack goes on for its files.
    std::vector<int> ending(ENDING_SIGNALS.begin(), ENDING_SIGNALS.end());
    if (!options_.junit.empty() || !options_.result.empty()) {
        std::erase(ending, SIGPIPE);
        signal(SIGPIPE, SIG_IGN);
    }
    endingSignals_catch(ending, onEnding, &endingSet);
    const int childSignals[] = {SIGCHLD};
    endingSignals_catch(childSignals, onChild, &childSet);
    sigemptyset(&waitSet_);
    for (int s = 1; s < NSIG; ++s) {
        if (sigismember(&endingSet, s) == 1 || sigismember(&childSet, s) == 1)
            sigaddset(&waitSet_, s);
    }

    const char* term = std::getenv("TERM");
    live_ = !options_.plain && isatty(STDOUT_FILENO) && term != nullptr && *term != '\0' &&
        std::string_view(term) != "dumb";
    if (live_) {
        const int resizeSignals[] = {SIGWINCH};
        endingSignals_catch(resizeSignals, onResize, &resizeSet);
        if (sigismember(&resizeSet, SIGWINCH) == 1)
            sigaddset(&waitSet_, SIGWINCH);
        resized = 1;
        output_.add("\x1b[?25l"); // no cursor flickering through the table
    }
}

// Boxes still running (killed, and not seen to end) or never started.
void Fleet::endUnfinished()
{
    for (Box& box : boxes_) {
        if (box.state == Box::State::Running) {
            --running_;
            readOutput(box, ReadPerTurn);
            closeOutput(box);
            ended(box,
                boxEnd_synthesized(
                    box.config, "interrupted", std::nullopt, msSince(box.started), "killed, and not seen to end", {}));
        }
        if (box.state == Box::State::Queued)
            ended(box,
                boxEnd_synthesized(
                    box.config, "skipped", std::nullopt, 0, "not started: the fleet was ended by a signal", {}));
    }
}

// The folder the checks write their results into, the check to run and
// the run's start. False when there can be no folder (reported).
bool Fleet::prepare()
{
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/quarvo-fleet-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
        std::fprintf(stderr, "%s: making a temporary folder in %s failed: %s\n", programName,
            printable(pattern.substr(0, pattern.rfind('/'))).c_str(), std::strerror(errno));
        return false;
    }
    folder_ = pattern;
    checkPath_ = children_findCheck();
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    char stamp[32] = "";
    if (gmtime_r(&now, &utc) != nullptr)
        std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S", &utc);
    timestamp_ = stamp;
    return true;
}

void Fleet::followResize()
{
    if (resized == 0 || !live_)
        return;
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

// The next thing to do without an event: the view's next drawing (its
// clock goes on), the end of the signalled checks' grace, the next step
// with a check that outlives its deadline. None: wait for an event.
std::optional<Clock::duration> Fleet::nextWait()
{
    std::optional<Clock::duration> wait;
    if (live_) {
        const auto sinceDraw = Clock::now() - lastDraw_;
        wait = dirty_ ? std::max(Clock::duration::zero(), DrawEvery - sinceDraw)
                      : std::chrono::duration_cast<Clock::duration>(std::chrono::seconds(1)) -
                (Clock::now() - startTime_) % std::chrono::seconds(1);
    }
    const auto soonest = [&](Clock::time_point t) {
        wait = std::min(wait.value_or(Clock::duration::max()), std::max(Clock::duration::zero(), t - Clock::now()));
    };
    if (stopping_ && !killed_)
        soonest(graceEnd_);
    if (killed_)
        wait = std::chrono::milliseconds(100);
    for (const Box& box : boxes_) {
        if (box.state == Box::State::Running && !stopping_)
            soonest(box.nextStep);
    }
    return wait;
}

// One wait on the output and the checks' pipes, then what they hold.
void Fleet::waitAndRead()
{
    const std::optional<Clock::duration> wait = nextWait();
    fds_.clear();
    reading_.clear();
    if (!output_.idle() && !output_.givenUp())
        fds_.push_back({STDOUT_FILENO, POLLOUT, 0});
    const size_t firstCheck = fds_.size();
    for (Box& box : boxes_) {
        if (box.state == Box::State::Running && box.outputFd >= 0) {
            fds_.push_back({box.outputFd, POLLIN, 0});
            reading_.push_back(&box);
        }
    }
    timespec timeout{};
    if (wait) {
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(*wait).count();
        timeout = {static_cast<time_t>(ns / 1'000'000'000), static_cast<long>(ns % 1'000'000'000)};
    }
    const int ready = endingSignals_wait(fds_.data(), fds_.size(), wait ? &timeout : nullptr, &waitSet_, &wake);
    wake = 0;
    if (live_ && !dirty_)
        dirty_ = true; // the clock
    for (size_t i = 0; ready > 0 && i < reading_.size(); ++i) {
        if (fds_[firstCheck + i].revents != 0)
            readOutput(*reading_[i], ReadPerTurn);
    }
}

void Fleet::stopOnSignal()
{
    if (caughtSignal != 0 && !stopping_) {
        // Every running check hears the signal once, from here: they
        // write their results as interrupted.
        stopping_ = true;
        signalsHandled_ = signalsSeen;
        signalRunning(caughtSignal);
        graceEnd_ = Clock::now() + Grace;
    }
    // Past the grace, or told again: what is left is killed.
    if (stopping_ && !killed_ && running_ > 0 && (Clock::now() >= graceEnd_ || signalsSeen > signalsHandled_)) {
        signalRunning(SIGKILL);
        killed_ = true;
        graceEnd_ = std::min(graceEnd_, Clock::now());
    }
}

int Fleet::run()
{
    if (!prepare())
        return UsageStatus;
    catchSignals();
    const size_t jobs = options_.jobs > 0 ? static_cast<size_t>(options_.jobs) : boxes_.size();
    size_t next = 0;
    for (;;) {
        while (!stopping_ && next < boxes_.size() && static_cast<size_t>(running_) < jobs && start(boxes_[next]))
            ++next;
        if (running_ == 0 && (stopping_ || next == boxes_.size()))
            break;
        if (killed_ && Clock::now() >= graceEnd_ + AfterKill)
            break; // what is still there is left to die on its own
        followResize();
        drawView(false);
        output_.pump();
        noteOutputLoss();
        waitAndRead();
        reap();
        if (!stopping_)
            superviseChecks();
        stopOnSignal();
    }
    return finishRack();
}

// The summary, the files, the output's end, then the end the manual names.
int Fleet::finishRack()
{
    endUnfinished();
    const int status = caughtSignal != 0 ? 128 + caughtSignal : fleetStatus(tally_);
    if (live_) {
        // The last table, with the summary whole whatever the width.
        drawFinalView();
        output_.add("\x1b[?25h");
    } else {
        output_.add(summaryLine(tally_, msSince(startTime_) / 1000) + "\n");
    }
    output_.pump();

    // The files first: they must not wait on a reader of the output.
    if (!options_.junit.empty())
        writeJunit();
    if (!options_.result.empty())
        writeResult(status);
    removeFolder();
    waitForOutput();
    if (outputLost_)
        endingSignals_reportOutputLost(programName);
    else if (output_.error() != 0 && output_.error() != EPIPE) // a reader that left ends the fleet by SIGPIPE
        endingSignals_report(
            std::string(programName) + ": writing the output failed: " + std::strerror(output_.error()) + "\n");
    if (caughtSignal != 0) {
        std::fflush(stderr);
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
    return boxes_checkUnique(*boxes, boxes_portKeys(*boxes, LookUpHosts));
}

// The reports' files go into folders that exist, and are no file the
// checks use: replacing one would destroy a box's capture, or put a regular
// file where a link to a box's port was.
std::string reportFilesFault(const FleetOptions& options, const std::vector<BoxConfig>& boxes)
{
    const std::pair<const char*, const std::string*> files[] = {{"--junit", &options.junit}, {"--result", &options.result}};
    for (const auto& [option, path] : files) {
        if (path->empty())
            continue;
        const std::string named = std::string(option) + " " + printable(*path);
        const size_t slash = path->rfind('/');
        const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path->substr(0, slash);
        struct stat st {};
        if (stat(folder.c_str(), &st) != 0)
            return named + ": folder " + printable(folder) + ": " + std::strerror(errno);
        if (!S_ISDIR(st.st_mode))
            return named + ": folder " + printable(folder) + ": not a folder";
        for (const BoxConfig& box : boxes) {
            if (!options.captureDir.empty() &&
                sameFile(path->c_str(), (options.captureDir + "/" + box.name + ".cap").c_str()))
                return named + " is also the capture file of box '" + box.name + "'";
            if (box.port.find("://") == std::string::npos && sameFile(path->c_str(), box.port.c_str()))
                return named + " is also the port of box '" + box.name + "'";
        }
    }
    if (!options.junit.empty() && !options.result.empty() && sameFile(options.junit.c_str(), options.result.c_str()))
        return "--junit and --result name the same file";
    return {};
}

} // namespace

int main(int argc, char** argv)
{
    // Before anything is opened, so that no file or port becomes the output.
    ensureStandardStreams();
    // The name it was called by, as the other commands say it.
    if (argc > 0 && argv[0] != nullptr && *argv[0] != '\0')
        programName = argv[0];
    FleetOptions options;
    bool failed = false;
    const std::string fault = options_parse(argc, argv, &options, &failed);
    if (failed) {
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
    if (wrong.empty())
        wrong = reportFilesFault(options, boxes);
    if (wrong.empty() && !options.captureDir.empty()) {
        struct stat st {};
        if (stat(options.captureDir.c_str(), &st) != 0 && mkdir(options.captureDir.c_str(), 0777) != 0)
            wrong = "--capture-dir " + printable(options.captureDir) + ": " + std::strerror(errno);
        else if (stat(options.captureDir.c_str(), &st) == 0 && !S_ISDIR(st.st_mode))
            wrong = "--capture-dir " + printable(options.captureDir) + ": not a folder";
    }
    if (!wrong.empty()) {
        std::fprintf(stderr, "%s: %s\n", programName, wrong.c_str());
        return UsageStatus;
    }
    Fleet fleet(std::move(options), std::move(boxes));
    return fleet.run();
}
