// check-quarvo: is the set-top box on a serial port tuned to the expected
// channel, and free of reported errors? Listens (never sends) on the box's
// feedback port; exit status 0 for the expected channel, 1 otherwise.
#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <optional>
#include <string>
#include <unistd.h>

#include "capture.h"
#include "clock.h"
#include "command_line.h"
#include "ending_signals.h"
#include "feed.h"
#include "file_identity.h"
#include "gnome.h"
#include "printable.h"
#include "read_func.h"
#include "standard_streams.h"
#include "verdict.h"

namespace {

constexpr size_t MaxChannelsSeen = 64;

// Everything the check knows: its options, what it holds open and what
// --result reports (the channel and the port as given among them).
struct Check {
    const char* programName = "check-quarvo";
    const char* logPath = nullptr; // the log in force
    const char* capturePath = nullptr;
    const char* resultPath = nullptr;
    bool debug = false;
    bool logFailed = false;
    bool logIsPort = false;
    // Options for test labs. Given, --timeout is kept to the millisecond;
    // without it the 80-second rule counts whole seconds.
    long long timeout = CHECK_SECONDS;
    bool exactTimeout = false;
    bool reconnect = false;
    bool distinctStatus = false;
    bool wait = false; // another channel reported decides nothing before the deadline

    ReadContext source; // the reader's, with the feed
    Capture* capture = nullptr;
    CheckResult result;
    int64_t start = Clock_now();
};

// "--c" and "--d" are abbreviations scripts use: they stay --channel and
// --debug, not ambiguous with --capture and --distinct-status.
const option options_list[] = {
    commandLine_valued("capture", 'p'), commandLine_valued("c", 'c'), commandLine_valued("channel", 'c'),
    commandLine_flag("d", 'd'), commandLine_flag("debug", 'd'), commandLine_flag("distinct-status", 's'),
    commandLine_valued("feedback", 'f'), commandLine_valued("log", 'l'), commandLine_flag("reconnect", 'r'),
    commandLine_valued("result", 'R'), commandLine_valued("timeout", 't'), commandLine_flag("wait", 'w'),
};

void print_syntax(const char* name)
{
    std::fprintf(stderr,
                 "%s syntax:\n"
                 "[--debug] - print debug output\n"
                 "[--log <logfile name>] - log output to file\n"
                 "[--channel <x>] Channel number the quarvo box should be tuned to\n"
                 "[--feedback <serial port>] Port Quarvo box is connected to,\n"
                 "                           eg. /dev/ttyS0\n"
                 "Example:\n\n"
                 "Check if the Quarvo box connected to ttyS0 is tuned to channel 123 and\n"
                 "not showing any errors:\n"
                 "%s --feedback /dev/ttyS0 --channel 123\n\n",
                 name, name);
}

// --help: every option, one line each, on the standard output.
void print_help(const char* name)
{
    std::printf("Usage: %s --feedback PORT --channel NUMBER [options]\n"
                "Checks that the set-top box on PORT is tuned to channel NUMBER and reports no\n"
                "error; exit status 0 when it is, 1 otherwise.\n"
                "  --feedback PORT      the serial port the box's feedback line is on (required)\n"
                "  --channel NUMBER     the channel the box should be tuned to, as text (required)\n"
                "  --debug              print a trace line for every record\n"
                "  --log FILE           append the standard output and error to FILE\n"
                "  --capture FILE       record every byte read from the port into FILE\n"
                "  --timeout SECONDS    the deadline: SECONDS (1 to 86400) after the port opens\n"
                "  --reconnect          wait for a missing or vanishing port until the deadline\n"
                "  --result FILE        write how the check ended to FILE, as one JSON object\n"
                "  --distinct-status    exit 0 tuned, 1 answered otherwise, 2 no answer\n"
                "  --wait               listen on past reports of another channel until the deadline\n"
                "  --help               show this text\n"
                "  --version            show the version\n",
                name);
}

// Appends both streams to the file, after what they printed so far. The file
// is opened before either stream is touched, so a failure is reported where
// the error output went until now. A terminal is refused: it may be the
// box's port under another name, and the box must never receive the check's
// lines.
bool redirectToLog(Check& check, const char* path)
{
    // Not blocking while it opens: a FIFO nobody reads is refused at once
    // rather than waited on; later writes block again, within the limits
    // the ending signals and the deadline set.
    const int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0666);
    const char* why = fd < 0 ? std::strerror(errno) : isatty(fd) ? "a terminal may be the box's port" : nullptr;
    if (why != nullptr) {
        if (fd >= 0)
            close(fd);
        std::fprintf(stderr, "opening log file %s for writing failed: %s\n", path, why);
        return false;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    check.logPath = path;
    std::fflush(stdout);
    std::fflush(stderr);
    dup2(fd, STDERR_FILENO);
    dup2(fd, STDOUT_FILENO);
    close(fd);
    return true;
}

// The port is open, first or again: time zero for the capture, unless the
// port turns out to be the log (another name, a link). Then it is refused
// (false): nothing is read from it, and nothing more is written there.
bool portOpened(void* arg)
{
    Check& check = *static_cast<Check*>(arg);
    if (check.logPath == nullptr || !sameOpenFile(Feed_fd(check.source.feed), STDOUT_FILENO)) {
        Capture_start(check.capture, Feed_fd(check.source.feed));
        return true;
    }
    check.logIsPort = true;
    const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null >= 0) {
        // Not flushed first: what the output holds goes nowhere too.
        dup2(null, STDOUT_FILENO);
        dup2(null, STDERR_FILENO);
        close(null);
    }
    endingSignals_report(std::string(check.programName) + ": log " + check.logPath +
                         ": is the port itself: nothing more is written to it\n");
    return false;
}

// The reader's reports go to the standard output; the result counts them at
// their line ends.
ReportSink countingReports(CheckResult& result)
{
    return {[](void*, std::string_view text) { std::fwrite(text.data(), 1, text.size(), stdout); },
            [](void* reports) {
                ++*static_cast<uint64_t*>(reports);
                std::fputc('\n', stdout);
            },
            &result.reports};
}

// Opens the port listen-only, at the port options' 57600 baud and one stop
// bit, and starts the deadline; with --reconnect the port may not be there
// yet, the feed tries it every half second from the first read on, and the
// deadline runs from the start. Nothing once the port is in use, else why
// the check ends.
std::optional<Outcome> openPort(Check& check)
{
    const char* const feedback = check.result.port;
    const char* missing = check.result.channel == nullptr ? "--channel" : feedback == nullptr ? "--feedback" : nullptr;
    if (missing != nullptr) {
        std::fprintf(stderr, "%s: missing required option %s\n", check.programName, missing);
        print_syntax(check.programName);
        return Outcome::Usage;
    }
    // Connecting to a server may take as long as the check may; the check's
    // own time starts once the port is there and set up, as for a local port.
    FeedRequest port{.program = check.programName,
                     .port = feedback,
                     .capturePath = check.capturePath,
                     .failure = "Opening feedback serial port failed",
                     .openBy = Deadline_after(Clock_now(), check.timeout * CLOCK_SECOND)};
    port.options.port.listenOnly = true;
    port.options.reconnect = check.reconnect;
    port.options.readLate = true;
    const FeedOpened opened = FeedRequest_open(&port);
    check.capture = port.capture;
    check.source = {.feed = port.feed, .opened = portOpened, .arg = &check};
    if (opened != FeedOpened::Open)
        return opened == FeedOpened::Interrupted ? Outcome::Interrupted
               : opened == FeedOpened::NoMemory  ? Outcome::Internal
                                                 : Outcome::PortFailed;
    if (!check.reconnect && !portOpened(&check))
        return Outcome::PortFailed;
    // --timeout's seconds exactly, else the 80-second rule's whole seconds.
    // Output stuck at the deadline is let go then.
    const Deadline deadline = checkDeadline(Clock_now(), check.timeout, check.exactTimeout);
    Feed_setDeadline(check.source.feed, deadline);
    endingSignals_limitWrites(deadline);
    return std::nullopt;
}

// Reads packets until one decides, the port is gone, the deadline passes or
// a signal ends the check.
Outcome readUntilDecided(Check& check)
{
    ReadContext& source = check.source;
    std::unique_ptr<Gnome, decltype(&Gnome_destroy)> gnome(
        Gnome_createWithSink(readFunc, &source, countingReports(check.result)), &Gnome_destroy);
    if (!gnome) {
        std::fprintf(stderr, "%s: creating the packet reader failed: out of memory\n", check.programName);
        return Outcome::Internal;
    }
    CheckResult& result = check.result;
    std::string lastReport; // while waiting, the last other channel's line as printed
    for (;;) {
        int32_t count = 0;
        const char* const* codes = nullptr;
        const char* const* values = nullptr;
        const int32_t* lengths = nullptr;
        if (Gnome_readPacket(gnome.get(), &count, &codes, &values, &lengths) == -1) {
            if (source.end == ReadEnd::Interrupted || source.end == ReadEnd::Refused)
                return source.end == ReadEnd::Refused ? Outcome::PortFailed : Outcome::Interrupted;
            // With --reconnect, a lost port is waited for again. What a cut
            // packet left in the reader is dealt with by its usual
            // resynchronisation on the next line feed.
            if (check.reconnect && source.end == ReadEnd::Lost) {
                std::fprintf(stderr, "%s: port lost, reopening\n", result.port);
                source.end = ReadEnd::None;
                continue;
            }
            // At the deadline a box that reported another channel answered
            // otherwise: its last report is said again.
            if (source.end == ReadEnd::TimedOut && !lastReport.empty()) {
                std::printf("%s\nFailed\n", lastReport.c_str());
                result.failures = {lastReport};
                return Outcome::Incorrect;
            }
            std::puts("Failed reading response from quarvo box.");
            return source.end == ReadEnd::TimedOut ? Outcome::NoAnswer : Outcome::PortLost;
        }
        ++result.packets;
        const Verdict verdict = judgePacket(result.channel, count, codes, values, lengths, check.debug);
        // With --wait another channel reported decides nothing, and a box
        // that repeats it is shown it once, not every second.
        const bool waiting = check.wait && verdict.decision == Decision::Failure && !verdict.errorRecord;
        const bool repeated = waiting && verdict.lastChannel == result.lastChannel;
        for (const std::string& line : verdict.lines) {
            // The packet's failure lines are its wrong channels', kept without their line feed.
            const std::string_view text = std::string_view(line).substr(0, line.size() - 1);
            if (!repeated || std::ranges::find(verdict.failures, text) == verdict.failures.end())
                std::fwrite(line.data(), 1, line.size(), stdout);
        }
        if (verdict.lastChannel && verdict.lastChannel != result.lastChannel &&
            result.channelsSeen.size() < MaxChannelsSeen)
            result.channelsSeen.push_back(printable(*verdict.lastChannel));
        if (verdict.lastChannel)
            result.lastChannel = verdict.lastChannel;
        if (verdict.requested)
            result.requested = verdict.requested;
        if (waiting)
            lastReport = verdict.failures.back();
        if (waiting || verdict.decision == Decision::Undecided)
            continue;
        result.failures = verdict.failures;
        gnome.reset();
        if (verdict.decision == Decision::Correct)
            return Outcome::Correct;
        std::puts("Failed");
        return verdict.failure;
    }
}

// The verdict stands in the status; output that could not be written is
// still worth a word (a full disk under the log, say), said where the caller
// sees it. Output stuck past the deadline or a signal has been let go by then.
void reportLostOutput(Check& check, int signo)
{
    const bool flushed = std::fflush(stdout) == 0 && !std::ferror(stdout);
    const int error = errno;
    if (!flushed)
        endingSignals_noteFailedWrite(STDOUT_FILENO, error);
    const std::string log = check.logPath != nullptr ? std::string("the log ") + check.logPath : "";
    std::optional<std::string>& lost = check.result.outputError;
    if (endingSignals_outputLost(STDOUT_FILENO) || endingSignals_outputLost(STDERR_FILENO)) {
        lost = "not taken in time";
        endingSignals_reportOutputLost(check.programName, log.empty() ? "the output" : log);
        return;
    }
    if (!flushed)
        lost = std::strerror(error);
    else if (!log.empty() && std::ferror(stderr))
        lost = "lines of the error output were lost";
    else
        return;
    if (!log.empty())
        endingSignals_report(std::string(check.programName) + ": writing " + log + " failed: " + *lost + "\n");
    else if (signo == 0) // ended by a signal (a closed pipe's, say), the signal says it all
        std::fprintf(stderr, "%s: writing the output failed: %s\n", check.programName, lost->c_str());
}

// The output, the port, the capture, then the result: the one way out,
// whichever way the check ends. Returns the status; a check ended by a
// signal then ends as the signal would.
int finish(Check& check, Outcome outcome)
{
    const int signo = outcome == Outcome::Interrupted ? endingSignals_caught() : 0;
    const int status = signo != 0 ? 128 + signo : outcomeStatus(outcome, check.distinctStatus);
    if (!check.logIsPort)
        reportLostOutput(check, signo);
    // A local port's exclusive mode and lock are lifted here.
    Feed_destroy(check.source.feed);
    CheckResult& result = check.result;
    result.bytes = check.source.bytes;
    result.captureDropped = Capture_close(check.capture, CAPTURE_CLOSE_WAIT_MS);
    result.outcome = outcome;
    result.status = status;
    result.elapsedMs = (Clock_now() - check.start) / CLOCK_MILLISECOND;
    if (const char* path = check.resultPath; path != nullptr) {
        const int written = writeResult(path, result);
        if (written == -2)
            std::fprintf(stderr, "%s: result file %s is not a regular file: left as it is\n", check.programName, path);
        else if (written != 0)
            std::fprintf(stderr, "%s: writing result file %s failed: %s\n", check.programName, path,
                         std::strerror(errno));
    }
    if (signo != 0) {
        std::fflush(nullptr);
        endingSignals_endAs(signo);
    }
    return status;
}

// Two of the file options naming one file would destroy each other (a
// capture replacing the log, a result renamed over the capture): refused
// before anything is opened or replaced. True when refused.
bool refuseSharedFiles(Check& check)
{
    const std::array<std::pair<const char*, const char*>, 3> files{
        {{"--log", check.logPath}, {"--capture", check.capturePath}, {"--result", check.resultPath}}};
    const auto same = [&](size_t i, size_t k) {
        return files[i].second != nullptr && files[k].second != nullptr && sameFile(files[i].second, files[k].second);
    };
    for (const auto& [i, k] : {std::pair<size_t, size_t>{0, 1}, {0, 2}, {1, 2}}) {
        if (!same(i, k))
            continue;
        endingSignals_report(std::string(check.programName) + ": " + files[i].first + " " + files[i].second +
                             " and " + files[k].first + " " + files[k].second + " are the same file\n");
        // No result where it would land on another option's file.
        if (same(0, 2) || same(1, 2))
            check.resultPath = nullptr;
        check.capturePath = nullptr;
        return true;
    }
    return false;
}

// Reads the options in order, a --log acting where it stands. After a log
// that cannot be opened the rest are read quietly, so that the status and the
// result follow them too. An exit status when the check ends here.
std::optional<int> readOptions(Check& check, int argc, char** argv)
{
    CommandLine line{"check-quarvo", print_help, options_list};
    line.take = [&](int opt, const char* arg) {
        if (bool* flag = opt == 'd'   ? &check.debug
                         : opt == 'r' ? &check.reconnect
                         : opt == 's' ? &check.distinctStatus
                         : opt == 'w' ? &check.wait
                                      : nullptr) {
            *flag = true;
            return -1;
        }
        if (const char** text = opt == 'c'   ? &check.result.channel
                                : opt == 'f' ? &check.result.port
                                : opt == 'p' ? &check.capturePath
                                : opt == 'R' ? &check.resultPath
                                             : nullptr) {
            *text = arg;
            return -1;
        }
        switch (opt) {
        case 'l':
            if (!check.logFailed && !redirectToLog(check, arg)) {
                check.logFailed = true;
                line.answering = false;
                opterr = 0;
            }
            return -1;
        case 't':
            check.exactTimeout = true;
            if (commandLine_parseWhole(arg, 10, 1, 86400, &check.timeout) || check.logFailed)
                return -1;
            std::fprintf(stderr, "%s: --timeout: not a whole number of seconds from 1 to 86400: %s\n", argv[0], arg);
            print_syntax(argv[0]);
            return 1;
        }
        if (check.logFailed)
            return -1;
        print_syntax(argv[0]);
        return 1;
    };
    // Words that are not options are ignored, in place.
    if (const int status = commandLine_read(argc, argv, line); status >= 0)
        return status;
    return std::nullopt;
}

} // namespace

int main(int argc, char** argv)
{
    // Before anything is opened: the port or the log must never become the
    // standard output, or the verdict would be written to the box.
    if (!ensureStandardStreams())
        return 1;
    // Before the options, so that the standard error as the caller gave it
    // is kept for reports a --log must not swallow.
    endingSignals_start(true);
    // Asking for help or the version alone is no attempt at a check; any
    // other short command line is refused before an option is looked at.
    const bool asking = argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "--version") == 0);
    if (argc < 4 && !asking) {
        print_syntax(argv[0]);
        return 1;
    }
    Check check;
    check.programName = argv[0];
    if (const std::optional<int> ended = readOptions(check, argc, argv))
        return *ended;
    const std::optional<Outcome> ended = check.logFailed          ? Outcome::LogFailed
                                         : refuseSharedFiles(check) ? Outcome::Usage
                                                                    : openPort(check);
    return finish(check, ended ? *ended : readUntilDecided(check));
}
