// quarvo-fleet: checks a rack of set-top boxes at once, each by a
// check-quarvo of its own, and gives one answer per box and one for the
// rack: a live table or plain lines, JUnit XML for CI, a JSON result.
#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>

#include "atomic_file.h"
#include "clock.h"
#include "command_line.h"
#include "ending_signals.h"
#include "file_identity.h"
#include "fleet.h"
#include "printable.h"
#include "standard_streams.h"

namespace {

constexpr int UsageStatus = 3; // nothing was checked: apart from the verdicts 0, 1 and 2
constexpr size_t MaxBoxesFile = 1 << 20;
constexpr size_t MaxResultFile = 1 << 20;
constexpr int64_t LookUpHosts = 3 * CLOCK_SECOND; // the boxes' hosts, all at once
constexpr size_t OutputKept = 16 * 1024;          // of each check's output, in the reports
constexpr size_t LinesShown = 5;                  // of a failing check's output, in plain mode
constexpr int64_t Grace = 5 * CLOCK_SECOND;
constexpr int64_t AfterKill = 2 * CLOCK_SECOND; // for a killed check stuck in the kernel
// A check still running this long past its own deadline is stuck (stopped,
// say) and is ended by the fleet; the margin covers opening a remote port.
constexpr int64_t Overdue = 10 * CLOCK_SECOND;
constexpr int64_t DrawEvery = 100 * CLOCK_MILLISECOND;
constexpr size_t ReadPerTurn = 1024 * 1024; // of one check, before the others are looked at

volatile sig_atomic_t caughtSignal = 0;
volatile sig_atomic_t signalsSeen = 0;
volatile sig_atomic_t resized = 0;
volatile sig_atomic_t wake = 0; // the wait returns at once while it is set

// Every signal the fleet takes wakes the wait; the ending ones are counted
// (told again, the fleet kills what is left).
void onSignal(int signo)
{
    wake = 1;
    if (signo == SIGWINCH) {
        resized = 1;
    } else if (signo != SIGCHLD) {
        if (caughtSignal == 0)
            caughtSignal = signo;
        signalsSeen = signalsSeen + 1;
        endingSignals_nudgeWrites();
    }
}

// The check command: "check-quarvo" beside this program's own executable,
// else the first executable one on PATH; empty when there is none.
std::string findCheck()
{
    const auto executable = [](const std::string& path) { return access(path.c_str(), X_OK) == 0; };
    char self[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    const std::string_view selfPath(self, n > 0 ? static_cast<size_t>(n) : 0);
    const std::string beside = std::string(selfPath.substr(0, selfPath.rfind('/') + 1)) + "check-quarvo";
    if (n > 0 && executable(beside))
        return beside;
    const char* path = std::getenv("PATH");
    std::string_view dirs = path != nullptr ? path : "";
    while (!dirs.empty()) {
        const size_t colon = std::min(dirs.find(':'), dirs.size());
        const std::string dir(dirs.substr(0, colon));
        dirs.remove_prefix(std::min(colon + 1, dirs.size()));
        if (const std::string candidate = (dir.empty() ? "." : dir) + "/check-quarvo"; executable(candidate))
            return candidate;
    }
    return {};
}

// Starts the check `args` (its path first) in a process group of its own, with default signal
// actions, a SIGTERM should `parent` end, input from /dev/null and output and errors into
// `outputFd`: its pid, or -1 with errno. One that cannot be run says `cannot` and why, and exits 127.
pid_t startCheck(const std::vector<std::string>& args, int outputFd, pid_t parent, const std::string& cannot)
{
    std::vector<char*> argv;
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    // No signal handler of the fleet's may run in the child before exec:
    // everything stays blocked until the child has its default actions.
    sigset_t all, before;
    sigfillset(&all);
    sigprocmask(SIG_BLOCK, &all, &before);
    const pid_t pid = fork();
    if (pid == 0) {
        setpgid(0, 0);
        // Should the fleet die (even by SIGKILL), the check ends as if told
        // to; a fleet that died before this line is caught by the next.
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        const int in = getppid() == parent ? open("/dev/null", O_RDONLY) : -1;
        if (in < 0 || dup2(in, STDIN_FILENO) < 0 || dup2(outputFd, STDOUT_FILENO) < 0 ||
            dup2(outputFd, STDERR_FILENO) < 0)
            _exit(127);
        if (in > STDERR_FILENO)
            close(in);
        endingSignals_defaultsForChild();
        execv(argv[0], argv.data());
        const char* why = std::strerror(errno);
        [[maybe_unused]] ssize_t n = write(STDERR_FILENO, cannot.data(), cannot.size());
        n = write(STDERR_FILENO, why, std::strlen(why));
        n = write(STDERR_FILENO, "\n", 1);
        _exit(127);
    }
    const int error = errno;
    if (pid > 0)
        setpgid(pid, pid); // as the child does: whichever runs first, the group exists before a signal is sent
    sigprocmask(SIG_SETMASK, &before, nullptr);
    errno = error;
    return pid;
}

// The file at `path` ("-": the standard input) onto *text: 0, or the errno (EFBIG past `limit`).
int readText(const std::string& path, size_t limit, std::string* text)
{
    const int fd = path == "-" ? STDIN_FILENO : open(path.c_str(), O_RDONLY | O_CLOEXEC);
    const int error = fd >= 0 && readWhole(fd, limit, text) ? 0 : errno;
    if (fd > STDIN_FILENO) // descriptor 0 is always open: a file opened is never it
        close(fd);
    return error;
}

// The fleet's standard output, written only as fast as its reader takes it, so that a reader that
// stops never holds the fleet; the text waits here until the rule for output nobody takes
// (ending_signals.h) gives it up.
struct PendingOutput {
    std::string text;
    size_t at = 0;        // written so far
    bool givenUp = false; // the deadline passed, or a write failed: all is dropped from then on
    int error = 0;        // a write failed for a reason other than a full output: its errno

    void add(std::string_view more)
    {
        if (!givenUp)
            text.append(more);
    }
    bool idle() const { return at == text.size(); }
    void giveUp()
    {
        givenUp = true;
        text.clear();
        at = 0;
    }

    // Writes what the output takes now, never waiting: whether any went.
    bool pump()
    {
        bool moved = false;
        for (pollfd out{STDOUT_FILENO, POLLOUT, 0}; !idle() && poll(&out, 1, 0) == 1;) {
            // Room is only promised for this much: a pipe with any room at all
            // takes PIPE_BUF bytes without blocking.
            const ssize_t n = write(STDOUT_FILENO, text.data() + at, std::min<size_t>(text.size() - at, PIPE_BUF));
            if (n < 0 && (errno == EINTR || errno == EAGAIN))
                break;
            if (n > 0) {
                at += static_cast<size_t>(n);
                moved = true;
            } else {
                error = n < 0 ? errno : EIO;
                giveUp();
            }
        }
        // What was written is let go once it is most of what is held.
        if (at * 2 >= text.size()) {
            text.erase(0, at);
            at = 0;
        }
        return moved;
    }
};

struct Box {
    BoxConfig config;
    enum class State { Queued, Running, Done } state = State::Queued;
    pid_t pid = -1;
    int outputFd = -1; // the read end of the check's output pipe, while open
    OutputTail output{OutputKept};
    int64_t started = 0;
    Deadline nextStep; // when it is told to end, then killed, then given up on
    int ending = 0;    // those steps taken
    std::string endedWhy; // why the fleet itself ended the check, or empty
    BoxEnd end;
};

class Fleet {
public:
    Fleet(FleetOptions options, std::vector<BoxConfig> configs) : options_(std::move(options))
    {
        for (BoxConfig& config : configs)
            boxes_.emplace_back().config = std::move(config);
        tally_.boxes = static_cast<int>(boxes_.size());
    }

    int run()
    {
        if (!prepare())
            return UsageStatus;
        catchSignals();
        const size_t jobs = options_.jobs > 0 ? static_cast<size_t>(options_.jobs) : boxes_.size();
        for (size_t next = 0;;) {
            while (!stopping() && next < boxes_.size() && static_cast<size_t>(running_) < jobs && start(boxes_[next]))
                ++next;
            if (running_ == 0 && (stopping() || next == boxes_.size()))
                return finishRack();
            drawView();
            output_.pump();
            noteOutputLoss();
            waitAndRead();
            reap();
            superviseChecks();
        }
    }

private:
    std::string resultPath(const Box& box) const { return folder_ + "/" + box.config.name + ".json"; }
    static int64_t msSince(int64_t t) { return (Clock_now() - t) / CLOCK_MILLISECOND; }
    bool stopping() const { return signalsHandled_ > 0; }

    // The checks' results' folder, the check to run, the run's start. False when there is no folder (reported).
    bool prepare()
    {
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/quarvo-fleet-XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr) {
            std::fprintf(stderr, "%s: making a temporary folder in %s failed: %s\n", options_.program,
                printable(pattern.substr(0, pattern.rfind('/'))).c_str(), std::strerror(errno));
            return false;
        }
        folder_ = pattern;
        checkPath_ = findCheck();
        const std::time_t now = std::time(nullptr);
        std::tm utc{};
        char stamp[32] = "";
        if (gmtime_r(&now, &utc) != nullptr)
            std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S", &utc);
        timestamp_ = stamp;
        return true;
    }

    // The checks' ends and the window's size wake the wait, as the ending
    // signals do; the live view is chosen here, as it takes SIGWINCH.
    void catchSignals()
    {
        const char* term = std::getenv("TERM");
        live_ = !options_.plain && isatty(STDOUT_FILENO) && term != nullptr && *term != '\0' &&
            std::string_view(term) != "dumb";
        // With files to write, a closed output is a failed write: the rack goes on for its files.
        std::vector<int> caught(ENDING_SIGNALS.begin(), ENDING_SIGNALS.end());
        if (!options_.junit.empty() || !options_.result.empty()) {
            std::erase(caught, SIGPIPE);
            signal(SIGPIPE, SIG_IGN);
        }
        // SIGCHLD must not be ignored, or no status is ever seen.
        signal(SIGCHLD, SIG_DFL);
        caught.push_back(SIGCHLD);
        if (live_)
            caught.push_back(SIGWINCH);
        endingSignals_catch(caught, onSignal, &waitSet_);
        if (live_) {
            resized = 1;
            output_.add("\x1b[?25l"); // no cursor flickering through the table
        }
    }

    // False when the box must wait for a running check to end first (no
    // descriptor is free for its output).
    bool start(Box& box)
    {
        const std::string me = std::string(options_.program) + ": ";
        const std::string cannot = me + "starting " + checkPath_ + " failed: ";
        const auto failed = [&](std::string_view detail, const std::string& said) {
            box.output.append(said);
            ended(box, boxEnd_synthesized(box.config, "start-failed", std::nullopt, 0, detail, box.output.text()));
            return true;
        };
        if (checkPath_.empty())
            return failed({}, me + "check-quarvo is neither beside this program nor on PATH\n");
        int pipeFds[2];
        if (pipe2(pipeFds, O_CLOEXEC) != 0) {
            if ((errno == EMFILE || errno == ENFILE) && running_ > 0)
                return false;
            return failed(std::string("making a pipe for its output failed: ") + std::strerror(errno), {});
        }
        std::vector<std::string> args{checkPath_, "--feedback", box.config.port, "--channel", box.config.channel,
            "--distinct-status", "--result", resultPath(box)};
        if (options_.timeout > 0)
            args.insert(args.end(), {"--timeout", std::to_string(options_.timeout)});
        if (options_.reconnect)
            args.emplace_back("--reconnect");
        if (options_.wait)
            args.emplace_back("--wait");
        if (!options_.captureDir.empty())
            args.insert(args.end(), {"--capture", options_.captureDir + "/" + box.config.name + ".cap"});
        box.started = Clock_now();
        box.pid = startCheck(args, pipeFds[1], self_, cannot);
        const int error = errno;
        close(pipeFds[1]);
        if (box.pid < 0) {
            close(pipeFds[0]);
            return failed({}, cannot + std::strerror(error) + "\n");
        }
        fcntl(pipeFds[0], F_SETFL, O_NONBLOCK);
        box.state = Box::State::Running;
        box.outputFd = pipeFds[0];
        ++running_;
        box.nextStep = Deadline_after(box.started, checkTime_ + Overdue);
        if (box.started + checkTime_ > latestDeadline_.at) {
            latestDeadline_ = Deadline_after(box.started, checkTime_);
            endingSignals_limitWrites(Deadline_after(latestDeadline_.at, Grace));
        }
        return true;
    }

    // What the check printed, up to `limit` bytes; the pipe is closed at its end, or at the `last` read.
    void readOutput(Box& box, size_t limit, bool last = false)
    {
        char chunk[64 * 1024];
        for (size_t taken = 0; box.outputFd >= 0 && taken < limit;) {
            const ssize_t n = read(box.outputFd, chunk, sizeof chunk);
            if (n > 0) {
                box.output.append(std::string_view(chunk, static_cast<size_t>(n)));
                taken += static_cast<size_t>(n);
            } else if (n == 0 || errno != EINTR) {
                last = last || n == 0 || errno != EAGAIN;
                break;
            }
        }
        if (last && box.outputFd >= 0)
            close(std::exchange(box.outputFd, -1));
    }

    // One wait on the output and the checks' pipes (until the next thing to do, or `until`), then
    // what they hold.
    void waitAndRead(Deadline until = DEADLINE_NEVER)
    {
        std::vector<pollfd> fds;
        std::vector<Box*> reading;
        if (!output_.idle() && !output_.givenUp)
            fds.push_back({STDOUT_FILENO, POLLOUT, 0});
        const size_t firstCheck = fds.size();
        for (Box& box : boxes_) {
            if (box.state == Box::State::Running && box.outputFd >= 0) {
                fds.push_back({box.outputFd, POLLIN, 0});
                reading.push_back(&box);
            }
        }
        timespec timeout{};
        const timespec* wait = Deadline_timespec(Deadline_sooner(nextWake(), until), Clock_now(), &timeout);
        const int ready = endingSignals_wait(fds.data(), fds.size(), wait, &waitSet_, &wake);
        wake = 0;
        dirty_ = true; // every change follows a wait, and the clock goes on
        for (size_t i = 0; ready > 0 && i < reading.size(); ++i) {
            if (fds[firstCheck + i].revents != 0)
                readOutput(*reading[i], ReadPerTurn);
        }
    }

    // The next thing to do without an event: the view's next drawing (its
    // clock goes on), or the next step in ending a check. None: wait.
    Deadline nextWake() const
    {
        const int64_t now = Clock_now();
        Deadline next = DEADLINE_NEVER;
        if (live_)
            next = {dirty_ ? lastDraw_ + DrawEvery : now + CLOCK_SECOND - (now - startTime_) % CLOCK_SECOND};
        for (const Box& box : boxes_) {
            if (box.state == Box::State::Running)
                next = Deadline_sooner(next, box.nextStep);
        }
        return next;
    }

    void reap()
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
            // A check that touched the terminal from its own group would stay stopped: it is ended at once.
            // Any other stop waits for the check's deadline.
            const int stop = WSTOPSIG(rawStatus);
            if ((stop == SIGTTOU || stop == SIGTTIN) && box->ending == 0 && box->endedWhy.empty()) {
                box->endedWhy = std::string("stopped by ") + (stop == SIGTTOU ? "SIGTTOU" : "SIGTTIN") +
                    " (it used the terminal from the background): ended by the fleet";
                box->nextStep = Deadline{Clock_now()};
            }
        }
    }

    void finish(Box& box, int rawStatus)
    {
        --running_;
        // Whatever the check wrote before it ended is in the pipe.
        readOutput(box, SIZE_MAX, true);
        const int status = WIFEXITED(rawStatus) ? WEXITSTATUS(rawStatus) : 128 + WTERMSIG(rawStatus);
        const std::string output = box.output.text();
        std::string text;
        const std::optional<CheckReport> report =
            readText(resultPath(box), MaxResultFile, &text) == 0 ? checkResult_parse(text) : std::nullopt;
        // A check the fleet ended writes interrupted, or (resumed past its deadline) no answer: neither
        // is what happened to the box. Only a verdict the box gave stands.
        if (report && (box.endedWhy.empty() || verdictOf(report->outcome) <= BoxVerdict::AnsweredOtherwise))
            return ended(box, boxEnd_fromResult(box.config, *report, text, output));
        // No result: the check could not be run, or was ended before it wrote one.
        const int64_t ms = msSince(box.started);
        if (!box.endedWhy.empty())
            ended(box, boxEnd_synthesized(box.config, "no-result", status, ms, box.endedWhy, output));
        else if (WIFEXITED(rawStatus) && status == 127)
            ended(box, boxEnd_synthesized(box.config, "start-failed", status, ms, {}, output));
        else if (stopping())
            ended(box, boxEnd_synthesized(box.config, "interrupted", status, ms, "ended before it wrote a result", {}));
        else
            ended(box,
                boxEnd_synthesized(box.config, "no-result", status, ms,
                    "the check ended with status " + std::to_string(status) + " without a result", output));
    }

    void ended(Box& box, BoxEnd end)
    {
        box.state = Box::State::Done;
        box.end = std::move(end);
        tally_.add(box.end.verdict);
        if (live_)
            return;
        std::string text = plainLine(box.config, box.end) + "\n";
        if (isFailure(box.end.verdict)) {
            for (const std::string& line : lastLines(box.output.text(), LinesShown))
                text += "  " + line + "\n";
        }
        output_.add(text);
    }

    // A check that outlives its deadline by far (stopped, or stuck), or any
    // once the fleet is told to end, hears its signal, then is killed, then
    // given up on: none holds the fleet for ever. An ending signal reaches
    // each check once, from the fleet; told again, the fleet kills them.
    void superviseChecks()
    {
        const int64_t now = Clock_now();
        for (Box& box : boxes_) {
            if (signalsSeen != signalsHandled_ && (signalsHandled_ == 0 || box.ending == 1)) {
                box.ending = signalsHandled_ > 0 ? 1 : 0;
                box.nextStep = Deadline{now};
            }
        }
        signalsHandled_ = signalsSeen;
        for (Box& box : boxes_) {
            if (box.state != Box::State::Running || !Deadline_passed(box.nextStep, now))
                continue;
            if (box.ending == 0) {
                if (!stopping() && box.endedWhy.empty())
                    box.endedWhy = "still running " + std::to_string(Overdue / CLOCK_SECOND) +
                        " s past its deadline: ended by the fleet";
                kill(-box.pid, stopping() ? caughtSignal : SIGTERM);
                kill(-box.pid, SIGCONT); // a stopped check hears it too
                box.nextStep = Deadline_after(now, Grace);
            } else if (box.ending == 1) {
                kill(-box.pid, SIGKILL);
                box.nextStep = Deadline_after(now, AfterKill);
            } else {
                // Not waited for any longer: what it printed so far, then its end.
                --running_;
                readOutput(box, ReadPerTurn, true);
                const std::string why = (stopping() ? "" : box.endedWhy + "; ") + "killed, and not seen to end";
                ended(box, boxEnd_synthesized(box.config, stopping() ? "interrupted" : "no-result", std::nullopt,
                               msSince(box.started), why, stopping() ? "" : box.output.text()));
            }
            ++box.ending;
        }
    }

    // A new window size is followed at once; the last drawing (`final`) keeps the summary whole
    // whatever the width.
    void drawView(bool final = false)
    {
        const bool force = resized != 0; // set only for the live view, which takes SIGWINCH
        resized = 0;
        winsize size{};
        if (force && ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_row > 0 && size.ws_col > 0) {
            // Lines drawn for a wider window may have wrapped: clear what they can have become.
            drawn_ = std::min(
                drawn_ * std::max<size_t>(1, (static_cast<size_t>(width_) + size.ws_col - 1) / size.ws_col),
                static_cast<size_t>(size.ws_row - 1));
            height_ = size.ws_row;
            width_ = size.ws_col;
        }
        // Only once the last drawing is out: the cursor moves by the lines drawn last, and output
        // nobody takes stays one frame.
        const int64_t now = Clock_now();
        if (!final && (!live_ || !output_.idle() || (!force && (!dirty_ || now - lastDraw_ < DrawEvery))))
            return;
        std::vector<ViewRow> rows;
        for (const Box& box : boxes_) {
            ViewRow& row = rows.emplace_back(ViewRow{box.config.name, printable(box.config.port), "queued", "", true});
            if (box.state == Box::State::Running) {
                row.state = "waiting " + std::to_string((now - box.started) / CLOCK_SECOND) + " s";
            } else if (box.state == Box::State::Done) {
                row.state = printable(box.end.outcome);
                row.channel = box.end.channelSeen ? printable(*box.end.channelSeen) : "";
                row.pending = isFailure(box.end.verdict);
            }
        }
        const std::vector<std::string> lines =
            liveView_lines(rows, summaryLine(tally_, msSince(startTime_) / 1000), height_, width_, final);
        output_.add(liveView_redraw(lines, drawn_));
        drawn_ = lines.size();
        lastDraw_ = now;
        dirty_ = false;
    }

    // The output let go by the write limit (a write that blocked after all) is output given up.
    void noteOutputLoss()
    {
        if (!output_.givenUp && endingSignals_outputLost(STDOUT_FILENO))
            output_.giveUp();
        outputLost_ = outputLost_ || (output_.givenUp && output_.error == 0);
        if (output_.error == EPIPE && !closedSaid_ && (!options_.junit.empty() || !options_.result.empty())) {
            closedSaid_ = true;
            endingSignals_report(std::string(options_.program) +
                ": the standard output was closed: nothing more is printed; the rack goes on for its files\n");
        }
    }

    // The summary, the files, the output's end, then the end the manual names.
    int finishRack()
    {
        for (Box& box : boxes_) {
            if (box.state == Box::State::Queued)
                ended(box,
                    boxEnd_synthesized(
                        box.config, "skipped", std::nullopt, 0, "not started: the fleet was ended by a signal", {}));
        }
        const int status = caughtSignal != 0 ? 128 + caughtSignal : fleetStatus(tally_);
        if (live_) {
            drawView(true); // the last table, with the summary whole whatever the width
            output_.add("\x1b[?25h");
        } else {
            output_.add(summaryLine(tally_, msSince(startTime_) / 1000) + "\n");
        }
        output_.pump();
        // The files first: they must not wait on a reader of the output.
        writeFiles(status);
        std::error_code ignored;
        std::filesystem::remove_all(folder_, ignored);
        waitForOutput();
        if (outputLost_)
            endingSignals_reportOutputLost(options_.program);
        else if (output_.error != 0 && output_.error != EPIPE) // a reader that left ends the fleet by SIGPIPE
            endingSignals_report(
                std::string(options_.program) + ": writing the output failed: " + std::strerror(output_.error) + "\n");
        if (caughtSignal != 0) {
            std::fflush(stderr);
            endingSignals_endAs(caughtSignal);
        }
        return status;
    }

    // Each file in one walk over the boxes (a box's output is read only
    // while its test case is written), replacing it in one step.
    void writeFiles(int status)
    {
        const int64_t ms = msSince(startTime_);
        const std::optional<int> bySignal = caughtSignal != 0 ? std::optional<int>(caughtSignal) : std::nullopt;
        for (const bool junit : {true, false}) {
            const std::string& path = junit ? options_.junit : options_.result;
            const char* what = junit ? "JUnit" : "result";
            AtomicFile file;
            const int opened = path.empty() ? 0 : file.open(path, ".quarvo-fleet-");
            if (opened == -2)
                std::fprintf(stderr, "%s: %s file %s is not a regular file: left as it is\n", options_.program, what,
                    printable(path).c_str());
            if (path.empty() || opened == -2)
                continue;
            bool ok = opened == 0 &&
                file.write(junit ? junit_head(options_.suite, tally_, static_cast<double>(ms) / 1000.0, timestamp_)
                                 : result_head(options_.suite, tally_, status, ms, bySignal));
            for (size_t i = 0; i < boxes_.size() && ok; ++i) {
                const Box& box = boxes_[i];
                const std::string output = junit && box.end.verdict != BoxVerdict::Skipped ? box.output.text() : "";
                ok = file.write(junit ? junit_testCase(options_.suite, box.config, box.end, output)
                                      : (i == 0 ? "\n" : ",\n") + box.end.resultJson);
            }
            if (!ok || !file.write(junit ? JUNIT_TAIL : RESULT_TAIL) || file.commit() != 0)
                std::fprintf(stderr, "%s: writing %s file %s failed: %s\n", options_.program, what,
                    printable(path).c_str(), std::strerror(errno));
        }
    }

    // The rest of the output, as its reader takes it, until the rule for output nobody takes
    // gives it up (from the last check's deadline plus the grace, or an ending signal, on).
    void waitForOutput()
    {
        endingSignals_limitWrites(Deadline_after(std::max(latestDeadline_.at, Clock_now()), Grace));
        for (int64_t moved = Clock_now();;) {
            if (output_.pump())
                moved = Clock_now();
            noteOutputLoss();
            if (output_.idle() || output_.givenUp)
                return;
            const Deadline limit = endingSignals_outputLimit(moved);
            if (Deadline_passed(limit, Clock_now())) {
                output_.giveUp();
                outputLost_ = true;
                return;
            }
            waitAndRead(limit);
            reap();
        }
    }

    FleetOptions options_;
    std::vector<Box> boxes_;
    Tally tally_;
    std::string checkPath_;
    std::string folder_;
    pid_t self_ = getpid();
    int running_ = 0;
    int64_t startTime_ = Clock_now();
    std::string timestamp_;
    sigset_t waitSet_{};
    // Each check's deadline, and the latest: the output is never waited for past it (plus the grace).
    int64_t checkTime_ = (options_.timeout > 0 ? options_.timeout : CHECK_SECONDS) * CLOCK_SECOND;
    Deadline latestDeadline_{startTime_};
    PendingOutput output_;
    bool outputLost_ = false;
    bool closedSaid_ = false;
    int signalsHandled_ = 0; // the ending signals already passed on
    // The live view.
    bool live_ = false;
    size_t drawn_ = 0;
    int height_ = 24, width_ = 80;
    int64_t lastDraw_ = 0;
    bool dirty_ = true; // woken since the last drawing
};

// The boxes from the file and the command line, checked before anything starts: empty, or what is wrong.
std::string collectBoxes(const FleetOptions& options, std::vector<BoxConfig>* boxes)
{
    if (!options.boxesFile.empty()) {
        const std::string source = options.boxesFile == "-" ? "(standard input)" : options.boxesFile;
        std::string text;
        if (const int error = readText(options.boxesFile, MaxBoxesFile, &text); error != 0)
            return "boxes file " + printable(source) + ": " +
                (error == EFBIG ? "larger than 1 MiB" : std::strerror(error));
        if (std::string fault = boxes_parse(text, source, options.channel.value_or(""), *boxes); !fault.empty())
            return fault;
    }
    for (const std::string& port : options.ports) {
        if (!options.channel)
            return "port " + printable(port) + " has no channel: give --channel, or name it in a boxes file";
        BoxConfig box{boxName_forPort(port), port, *options.channel, {}, 0};
        if (!boxName_valid(box.name))
            return "port " + printable(port) + " gives no usable box name: name it in a boxes file";
        boxes->push_back(std::move(box));
    }
    if (boxes->empty())
        return "no boxes: give their ports, or --boxes FILE";
    return boxes_checkUnique(*boxes, boxes_portKeys(*boxes, LookUpHosts));
}

// The reports' files go into folders that exist, and are no file the checks use: replacing one would
// destroy a box's capture, or put a regular file where a link to a port was. The captures' folder is made.
std::string filesFault(const FleetOptions& options, const std::vector<BoxConfig>& boxes)
{
    struct stat st {};
    for (const auto& [option, path] : {std::pair{"--junit", &options.junit}, std::pair{"--result", &options.result}}) {
        if (path->empty())
            continue;
        const std::string named = std::string(option) + " " + printable(*path);
        const size_t slash = path->rfind('/');
        const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path->substr(0, slash);
        const bool found = stat(folder.c_str(), &st) == 0;
        if (!found || !S_ISDIR(st.st_mode))
            return named + ": folder " + printable(folder) + ": " + (found ? "not a folder" : std::strerror(errno));
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
    const char* captures = options.captureDir.c_str();
    if (*captures != '\0' && stat(captures, &st) != 0 && mkdir(captures, 0777) != 0)
        return "--capture-dir " + printable(captures) + ": " + std::strerror(errno);
    if (*captures != '\0' && stat(captures, &st) == 0 && !S_ISDIR(st.st_mode))
        return "--capture-dir " + printable(captures) + ": not a folder";
    return {};
}

} // namespace

int main(int argc, char** argv)
{
    // Before anything is opened, so that no file or port becomes the output.
    ensureStandardStreams();
    FleetOptions options;
    const std::string fault = options_parse(argc, argv, &options);
    // The name it was called by, as the other commands say it.
    const char* programName = argc > 0 && argv[0] != nullptr && *argv[0] != '\0' ? argv[0] : options.program;
    options.program = programName;
    if (!fault.empty()) {
        std::fprintf(stderr, "%s: %s\n", programName, fault.c_str());
        std::fprintf(stderr,
            "usage: %s --channel N [options] PORT...\n"
            "       %s --boxes FILE [options]\n"
            "Try '%s --help'.\n",
            programName, programName, programName);
        return UsageStatus;
    }
    if (options.help)
        std::printf("usage: %s --channel N [options] PORT...\n"
                    "       %s --boxes FILE [--channel N] [options] [PORT...]\n"
                    "Checks every box with check-quarvo at once; one answer per box and one for the rack.\n"
                    "  --boxes FILE        one box a line: NAME PORT [CHANNEL] ('-': the standard input)\n"
                    "  --channel N         the channel of boxes given without one\n"
                    "  --jobs N            at most N checks at once (default: all)\n"
                    "  --timeout S         each check's deadline in seconds (1 to 86400)\n"
                    "  --reconnect         checks wait for ports that are missing or come and go\n"
                    "  --wait              checks listen on past reports of another channel\n"
                    "  --capture-dir DIR   each check records what its box sent into DIR/NAME.cap\n"
                    "  --junit FILE        JUnit XML for CI\n"
                    "  --result FILE       the summary and every box's result as JSON\n"
                    "  --suite NAME        the JUnit test suite's name (default quarvo-fleet)\n"
                    "  --plain             one line per box as it ends, even on a terminal\n"
                    "Exit status: 0 every box correct, 1 some box answered otherwise, 2 some gave no answer,\n"
                    "3 nothing was checked (usage).\n",
            programName, programName);
    else if (options.version)
        commandLine_printVersion("quarvo-fleet");
    if (options.help || options.version)
        return commandLine_answered();
    std::vector<BoxConfig> boxes;
    std::string wrong = collectBoxes(options, &boxes);
    if (wrong.empty())
        wrong = filesFault(options, boxes);
    if (!wrong.empty()) {
        std::fprintf(stderr, "%s: %s\n", programName, wrong.c_str());
        return UsageStatus;
    }
    Fleet fleet(std::move(options), std::move(boxes));
    return fleet.run();
}
