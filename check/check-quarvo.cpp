// check-quarvo: is the set-top box on a serial port tuned to the expected
// channel, and free of reported errors? Listens (never sends) on the box's
// feedback port; exit status 0 for the expected channel, 1 otherwise.
#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <getopt.h>
#include <memory>
#include <poll.h>
#include <string>
#include <string_view>
#include <sys/ioctl.h>
#include <unistd.h>
#include <vector>

#include "buffer.h"
#include "capture.h"
#include "command_line.h"
#include "ending_signals.h"
#include "gnome.h"
#include "read_func.h"
#include "result.h"
#include "serial.h"
#include "standard_streams.h"
#include "verdict.h"

namespace {

int debug = 0;
int portFd = -1;
const char* programName = "check-quarvo";
const char* capturePath = nullptr;

// Options for test labs. Without them the check behaves as it always has.
struct LabOptions {
    time_t timeout = CHECK_SECONDS;
    // Given, --timeout is kept to the millisecond; without it the 80-second
    // rule counts whole seconds, as it always has.
    bool exactTimeout = false;
    bool reconnect = false;
    const char* resultPath = nullptr;
    bool distinctStatus = false;
};
LabOptions lab;

// What --result reports, gathered as the check goes.
CheckResult result;
const auto startTime = std::chrono::steady_clock::now();

// These signals end the check as they would end any program, but only once
// its output, capture and result are complete: the handler notes the signal,
// and the check ends at its next wait (a blocked write is interrupted).
constexpr std::array<int, 5> endingSignals{SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE};
volatile sig_atomic_t caughtSignal = 0;
sigset_t endingSet;

void noteSignal(int signo)
{
    caughtSignal = signo;
    endingSignals_nudgeWrites();
}

const option options_list[] = {
    {"capture", required_argument, nullptr, 'p'},
    // "--c" meant --channel before --capture existed, and "--d" --debug
    // before --distinct-status: both still do.
    {"c", required_argument, nullptr, 'c'},
    {"channel", required_argument, nullptr, 'c'},
    {"d", no_argument, nullptr, 'd'},
    {"debug", no_argument, nullptr, 'd'},
    {"distinct-status", no_argument, nullptr, 's'},
    {"feedback", required_argument, nullptr, 'f'},
    {"help", no_argument, nullptr, 'h'},
    {"log", required_argument, nullptr, 'l'},
    {"reconnect", no_argument, nullptr, 'r'},
    {"result", required_argument, nullptr, 'R'},
    {"timeout", required_argument, nullptr, 't'},
    {"version", no_argument, nullptr, 'V'},
    {nullptr, 0, nullptr, 0},
};

void print_syntax(const char* name)
{
    std::fprintf(stderr,
                 "%s syntax:\n"
                 "[--debug] - print debug output\n"
                 "[--log <logfile name>] - log output to file\n"
                 "[--channel <x>] Channel number the quarvo box should be tuned to\n"
                 "[--feedback <serial port>] Port Quarvo box is connected to,\n"
                 "                           eg. /dev/ttyS0\n",
                 name);
    std::fputs("Example:\n\n", stderr);
    std::fprintf(stderr,
                 "Check if the Quarvo box connected to ttyS0 is tuned to channel 123 and\n"
                 "not showing any errors:\n"
                 "%s --feedback /dev/ttyS0 --channel 123\n\n",
                 name);
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
                "  --help               show this text\n"
                "  --version            show the version\n",
                name);
}

// Appends both streams to the file. The file is opened before either stream
// is touched, so a failure is reported where the error output went until now.
int redirectToLog(const char* path)
{
    const int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
    if (fd < 0) {
        std::fprintf(stderr, "opening log file %s for writing failed: %s\n", path, std::strerror(errno));
        return -1;
    }
    // What was printed before belongs where it was printed.
    std::fflush(stdout);
    std::fflush(stderr);
    dup2(fd, STDERR_FILENO);
    dup2(fd, STDOUT_FILENO);
    close(fd);
    return 0;
}

// The reader's reports go to the standard output as always; the result
// counts them at their line ends.
ReportSink countingReports()
{
    return {[](void*, std::string_view text) { std::fwrite(text.data(), 1, text.size(), stdout); },
            [](void* reports) {
                ++*static_cast<uint64_t*>(reports);
                std::fputc('\n', stdout);
            },
            &result.reports};
}

void usePort(int fd, ReadContext* context)
{
    context->fd = fd;
    portFd = fd;
    // A pseudo-terminal keeps its exclusive mode after the check has ended;
    // the next check on the same stand-in box must still be able to open it.
    static bool registered = false;
    if (!registered) {
        registered = true;
        std::atexit([] {
            if (portFd >= 0)
                ioctl(portFd, TIOCNXCL);
        });
    }
}

// With --reconnect: tries the port every half second until it opens (its
// descriptor), the deadline passes (-1, reported as a timeout is) or a
// signal ends the check (-2). With `announce`, the first failed try is
// reported with its error.
int reopenPort(const char* port, const ReadContext& context, bool announce)
{
    for (;;) {
        const int fd = serial_tryopen(port, 57600, 1);
        if (fd >= 0)
            return fd;
        if (announce) {
            std::fprintf(stderr, "%s: waiting for the port: %s\n", port, std::strerror(errno));
            announce = false;
        }
        const timespec left = timeLeft(context);
        if (left.tv_sec == 0 && left.tv_nsec == 0) {
            std::puts("select timed out");
            std::puts("Failed reading response from quarvo box.");
            return -1;
        }
        // Half a second, or what is left of an exact deadline if less.
        timespec wait{0, 500'000'000};
        if (context.exactDeadline >= 0 && left.tv_sec == 0 && left.tv_nsec < wait.tv_nsec)
            wait = left;
        endingSignals_wait(nullptr, 0, &wait, &endingSet, &caughtSignal);
        if (caughtSignal != 0)
            return -2;
    }
}

// A capture shows where the port was lost and where it came back.
void markCapture(const ReadContext& context, CaptureMarkKind kind)
{
    if (context.capture != nullptr)
        Capture_mark(context.capture, kind, Capture_elapsed(context.capture));
}

// The deadline runs from now: --timeout's seconds exactly, else the
// 80-second rule's whole seconds.
void setDeadline(ReadContext* context)
{
    if (lab.exactTimeout)
        context->exactDeadline = monotonic_nanos() + static_cast<int64_t>(lab.timeout) * 1'000'000'000;
    else
        context->deadline = monotonic_seconds() + lab.timeout;
}

Outcome check_status(const char* chan_str, const char* feedback_port)
{
    const char* missing = chan_str == nullptr ? "--channel" : feedback_port == nullptr ? "--feedback" : nullptr;
    if (missing != nullptr) {
        std::fprintf(stderr, "%s: missing required option %s\n", programName, missing);
        print_syntax(programName);
        return Outcome::Usage;
    }

    ReadContext context{-1, 0};
    context.endingSignals = &endingSet;
    context.stop = &caughtSignal;
    // Whatever way the check ends, the result counts the bytes received.
    struct CountBytes {
        const ReadContext& context;
        ~CountBytes() { result.bytes = context.bytes; }
    } countBytes{context};

    if (lab.reconnect) {
        // The port may not be there yet: the deadline runs from the start.
        setDeadline(&context);
        const int fd = reopenPort(feedback_port, context, true);
        if (fd < 0)
            return fd == -2 ? Outcome::Interrupted : Outcome::NoAnswer;
        usePort(fd, &context);
    } else {
        const int fd = serial_openport(feedback_port, 57600, 1);
        if (fd == -1) {
            std::perror("Opening feedback serial port failed");
            return Outcome::PortFailed;
        }
        usePort(fd, &context);
        setDeadline(&context);
    }

    if (capturePath != nullptr)
        startCapture(capturePath, programName, feedback_port, 57600, &context);
    std::unique_ptr<Gnome, decltype(&Gnome_destroy)> gnome(Gnome_createWithSink(readFunc, &context, countingReports()),
                                                           &Gnome_destroy);
    if (!gnome) {
        std::fprintf(stderr, "%s: creating the packet reader failed: out of memory\n", programName);
        return Outcome::Internal;
    }

    for (;;) {
        int32_t count = 0;
        const char* const* codes = nullptr;
        const char* const* values = nullptr;
        const int32_t* lengths = nullptr;
        if (Gnome_readPacket(gnome.get(), &count, &codes, &values, &lengths) == -1) {
            if (context.end == ReadEnd::Interrupted)
                return Outcome::Interrupted;
            if (lab.reconnect && context.end == ReadEnd::Lost) {
                // What a cut packet left in the reader is dealt with by its
                // usual resynchronisation on the next line feed.
                std::fprintf(stderr, "%s: port lost, reopening\n", feedback_port);
                serial_close(context.fd);
                portFd = -1;
                context.end = ReadEnd::None;
                markCapture(context, CaptureMarkKind::Lost);
                const int fd = reopenPort(feedback_port, context, false);
                if (fd < 0)
                    return fd == -2 ? Outcome::Interrupted : Outcome::NoAnswer;
                usePort(fd, &context);
                markCapture(context, CaptureMarkKind::Reopened);
                continue;
            }
            std::puts("Failed reading response from quarvo box.");
            return context.end == ReadEnd::TimedOut ? Outcome::NoAnswer : Outcome::PortLost;
        }
        ++result.packets;
        const Verdict verdict = judgePacket(chan_str, count, codes, values, lengths, debug != 0);
        for (const std::string& line : verdict.lines)
            std::fwrite(line.data(), 1, line.size(), stdout);
        result.failures = verdict.failures;
        if (verdict.lastChannel)
            result.lastChannel = verdict.lastChannel;
        if (verdict.requested)
            result.requested = verdict.requested;
        if (verdict.decision == Decision::Undecided)
            continue;
        gnome.reset();
        if (verdict.decision == Decision::Correct)
            return Outcome::Correct;
        std::puts("Failed");
        return verdict.failure;
    }
}

// Writes the result file when one was asked for; its failure is reported
// and changes nothing else.
int finish(Outcome outcome, int status)
{
    // The verdict stands in the status; output that could not be written is
    // still worth a word (a full disk under the log, say). Ended by a
    // signal, the output may be stuck and is not waited for.
    if (outcome != Outcome::Interrupted && (std::fflush(stdout) != 0 || std::ferror(stdout)))
        std::fprintf(stderr, "%s: writing the output failed: %s\n", programName, std::strerror(errno));
    if (lab.resultPath == nullptr)
        return status;
    result.outcome = outcome;
    result.status = status;
    result.elapsedMs = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                             startTime)
                           .count();
    const int written = writeResult(lab.resultPath, result);
    if (written == -2)
        std::fprintf(stderr, "%s: result file %s is not a regular file: left as it is\n", programName,
                     lab.resultPath);
    else if (written != 0)
        std::fprintf(stderr, "%s: writing result file %s failed: %s\n", programName, lab.resultPath,
                     std::strerror(errno));
    return status;
}

void catchEndingSignals()
{
    endingSignals_catch(endingSignals.data(), endingSignals.size(), noteSignal, &endingSet, nullptr);
}

// Ends the process as the caught signal would, once everything is complete.
[[noreturn]] void endBySignal(int signo)
{
    // A second signal, or a stuck output below, ends it at once.
    for (int s : endingSignals) {
        if (sigismember(&endingSet, s))
            signal(s, SIG_DFL);
    }
    finish(Outcome::Interrupted, 128 + signo);
    finishCapture();
    if (portFd >= 0)
        ioctl(portFd, TIOCNXCL);
    endingSignals_flushOutput();
    std::fflush(stderr);
    raise(signo);
    _exit(128 + signo);
}

bool parseSeconds(const char* text, time_t* seconds)
{
    long long n = 0;
    if (!commandLine_parseWhole(text, 10, 1, 86400, &n))
        return false;
    *seconds = static_cast<time_t>(n);
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    // Before anything is opened: the port or the log must never become the
    // standard output, or the verdict would be written to the box.
    ensureStandardStreams();
    programName = argv[0];
    // Asking for help or the version is no attempt at a check: alone, it
    // is answered before the count of arguments is.
    if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
        print_help(argv[0]);
        return 0;
    }
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        commandLine_printVersion("check-quarvo");
        return 0;
    }
    // Decided before any option is looked at.
    if (argc < 4) {
        print_syntax(argv[0]);
        return 1;
    }
    const char* chan_str = nullptr;
    const char* feedback_port = nullptr;
    // A log file that cannot be opened ends the check, but only once every
    // option has been read (quietly), so that the status and the result
    // follow the options given after it too.
    bool logFailed = false;
    int opt;
    // "-": words that are not options come back as 1 and are ignored, in
    // place, whatever POSIXLY_CORRECT says.
    while ((opt = getopt_long(argc, argv, "-", options_list, nullptr)) != -1) {
        switch (opt) {
        case 1:
            break;
        case 'c':
            chan_str = optarg;
            break;
        case 'd':
            debug = 1;
            break;
        case 'f':
            feedback_port = optarg;
            break;
        case 'l':
            if (!logFailed && redirectToLog(optarg) != 0) {
                logFailed = true;
                opterr = 0;
            }
            break;
        case 'p':
            capturePath = optarg;
            break;
        case 'h':
        case 'V':
            if (logFailed)
                break;
            opt == 'h' ? print_help(argv[0]) : commandLine_printVersion("check-quarvo");
            return std::fflush(stdout) == 0 ? 0 : 1;
        case 'r':
            lab.reconnect = true;
            break;
        case 'R':
            lab.resultPath = optarg;
            break;
        case 's':
            lab.distinctStatus = true;
            break;
        case 't':
            lab.exactTimeout = true;
            if (!parseSeconds(optarg, &lab.timeout) && !logFailed) {
                std::fprintf(stderr, "%s: --timeout: not a whole number of seconds from 1 to 86400: %s\n", argv[0],
                             optarg);
                print_syntax(argv[0]);
                return 1;
            }
            break;
        default:
            if (logFailed)
                break;
            print_syntax(argv[0]);
            return 1;
        }
    }
    result.channel = chan_str;
    result.port = feedback_port;
    if (logFailed)
        return finish(Outcome::LogFailed, outcomeStatus(Outcome::LogFailed, lab.distinctStatus));
    catchEndingSignals();
    const Outcome outcome = check_status(chan_str, feedback_port);
    if (outcome == Outcome::Interrupted)
        endBySignal(caughtSignal);
    return finish(outcome, outcomeStatus(outcome, lab.distinctStatus));
}
