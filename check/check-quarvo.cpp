// check-quarvo: is the set-top box on a serial port tuned to the expected
// channel, and free of reported errors? Listens (never sends) on the box's
// feedback port; exit status 0 for the expected channel, 1 otherwise.
#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <getopt.h>
#include <memory>
#include <poll.h>
#include <string>
#include <string_view>
#include <stdio_ext.h>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

#include "buffer.h"
#include "capture.h"
#include "command_line.h"
#include "ending_signals.h"
#include "file_identity.h"
#include "gnome.h"
#include "port.h"
#include "read_func.h"
#include "result.h"
#include "serial.h"
#include "standard_streams.h"
#include "verdict.h"

namespace {

int debug = 0;
const char* programName = "check-quarvo";
const char* capturePath = nullptr;

// What the one way out cleans up, whichever way the check ends.
struct Session {
    Port* port = nullptr;
    Capture* capture = nullptr;
    const char* logPath = nullptr; // the log in force
    time_t deadline = 0;           // monotonic seconds, once known
    int64_t exactDeadline = -1;    // with --timeout: monotonic nanoseconds, once known
    bool logIsPort = false;
    // A log on a terminal is held (see holdLog): its own descriptor and
    // what is printed meanwhile.
    bool logIsTerminal = false;
    int heldLog = -1;
    int held = -1;
};
Session session;

// Every port named by --feedback, read before any option acts, so that a
// log naming one is known before anything can be printed to it.
std::vector<const char*> namedPorts;

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

// Points both streams at `fd`, after what they printed so far.
void pointOutputAt(int fd)
{
    std::fflush(stdout);
    std::fflush(stderr);
    dup2(fd, STDERR_FILENO);
    dup2(fd, STDOUT_FILENO);
}

// A log on a terminal could be the box's port under a name that does not
// exist yet (a link made later, a device that comes back): until the port
// has opened and been compared with it, what the check prints is held in
// memory. Takes `fd`, the log's own descriptor.
void holdLog(int fd)
{
    const int held = memfd_create("held log", MFD_CLOEXEC);
    if (held < 0) {
        pointOutputAt(fd); // nothing to hold it in: written as it comes
        close(fd);
        return;
    }
    pointOutputAt(held);
    session.heldLog = fd;
    session.held = held;
}

// The port has been compared with the held log and is not it: the log gets
// what was held, then everything as it comes.
void releaseLog()
{
    if (session.heldLog < 0)
        return;
    std::fflush(stdout);
    pointOutputAt(session.heldLog);
    char piece[4096];
    for (off_t at = 0;;) {
        const ssize_t n = pread(session.held, piece, sizeof piece, at);
        if (n <= 0)
            break;
        std::fwrite(piece, 1, static_cast<size_t>(n), stdout);
        at += n;
    }
    std::fflush(stdout);
    close(session.heldLog);
    close(session.held);
    session.heldLog = session.held = -1;
}

// Forgets what a held log holds: it is never written.
void dropHeldLog()
{
    if (session.heldLog < 0)
        return;
    close(session.heldLog);
    close(session.held);
    session.heldLog = session.held = -1;
}

// The log is the port itself (another name, a link): from now on the check
// writes nothing more there, not even what it holds already.
void silenceLog()
{
    session.logIsPort = true;
    __fpurge(stdout);
    dropHeldLog();
    const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null >= 0) {
        dup2(null, STDOUT_FILENO);
        dup2(null, STDERR_FILENO);
        close(null);
    }
    endingSignals_report(std::string(programName) + ": log " + session.logPath +
                         ": is the port itself: nothing more is written to it\n");
}

// Whether `path` names a port given to --feedback.
bool namesAPort(const char* path)
{
    return std::any_of(namedPorts.begin(), namedPorts.end(), [&](const char* port) { return sameFile(path, port); });
}

// A held log whose port never opened (or is gone) when the check ends or
// another log takes over: written, unless by now it is a port by name.
void releaseLogByName()
{
    if (session.heldLog < 0)
        return;
    if (namesAPort(session.logPath))
        silenceLog();
    else
        releaseLog();
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
    // Not blocking while it opens: a FIFO nobody reads is refused at once
    // rather than waited on; later writes block again, within the limits
    // the ending signals and the deadline set.
    const int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0666);
    if (fd < 0) {
        std::fprintf(stderr, "opening log file %s for writing failed: %s\n", path, std::strerror(errno));
        return -1;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    // What was printed before belongs where it was printed.
    releaseLogByName();
    if (session.logIsPort) {
        close(fd);
        return 0;
    }
    session.logPath = path;
    session.logIsTerminal = isatty(fd) != 0;
    if (session.logIsTerminal) {
        holdLog(fd);
        return 0;
    }
    pointOutputAt(fd);
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

// False when the port turns out to be the log: then nothing is read from it.
bool usePort(Port* port, ReadContext* context)
{
    const int fd = Port_fd(port);
    context->fd = fd;
    context->port = port;
    session.port = port;
    const int log = session.heldLog >= 0 ? session.heldLog : STDOUT_FILENO;
    if (session.logPath != nullptr && !session.logIsPort && sameOpenFile(fd, log)) {
        silenceLog();
        return false;
    }
    releaseLog();
    return true;
}

// The port is gone for now: a log on a terminal is held again until the
// port is back and has been compared with it.
void portGone()
{
    if (session.logIsTerminal && !session.logIsPort && session.heldLog < 0) {
        std::fflush(stdout);
        const int log = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
        if (log >= 0)
            holdLog(log);
    }
}

// The context's deadline on the port layer's clock (both monotonic), in
// whole milliseconds, never before it.
int64_t deadlineMs(const ReadContext& context)
{
    return context.exactDeadline >= 0 ? (context.exactDeadline + 999'999) / 1'000'000
                                      : static_cast<int64_t>(context.deadline) * 1000;
}

// Opens the port listen-only at 57600 baud: a remote one within `untilMs`
// (the port layer's clock) and an ending signal. Null on failure, with
// *error filled in.
Port* openFeedback(const PortName& name, const char* shownName, int64_t untilMs, bool quiet, PortError* error)
{
    PortOptions options;
    options.baud = 57600;
    options.stopBits = 1;
    options.listenOnly = true;
    options.quiet = quiet;
    options.deadlineMs = untilMs;
    options.endingSignals = endingSignals_set();
    options.stop = endingSignals_flag();
    return Port_openParsed(name, shownName, options, error);
}

// What a port that failed to open says about it, after the name.
std::string whyNotOpened(const PortError& error)
{
    return error.failure == PortFailure::Local ? std::strerror(error.errnum) : error.why;
}

// A server that ended the connection is named as such, with the last text
// it sent: often its own reason (a device it could not open, say).
void reportLostConnection(const ReadContext& context)
{
    if (Port_kind(context.port) == PortKind::Local)
        return;
    if (context.error != 0 && context.error != ECONNRESET && context.error != EPIPE) {
        std::fprintf(stderr, "%s: the connection failed: %s\n", context.portName, std::strerror(context.error));
        return;
    }
    std::string last;
    appendPrintable(last, Port_lastText(context.port));
    std::fprintf(stderr, "%s: the server ended the connection%s%s\n", context.portName, last.empty() ? "" : ": ",
                 last.c_str());
}

// With --reconnect: tries the port every half second until it opens (its
// port), the deadline passes (null, reported as a timeout is) or a signal
// ends the check (null, with the signal caught). With `announce`, the first
// failed try is reported with its error.
Port* reopenPort(const PortName& name, const char* port, const ReadContext& context, bool announce)
{
    for (;;) {
        PortError error;
        Port* opened = openFeedback(name, port, deadlineMs(context), true, &error);
        if (opened != nullptr)
            return opened;
        if (error.failure == PortFailure::Interrupted || endingSignals_caught() != 0)
            return nullptr;
        if (announce) {
            std::fprintf(stderr, "%s: waiting for the port: %s\n", port, whyNotOpened(error).c_str());
            announce = false;
        }
        const timespec left = timeLeft(context);
        if (left.tv_sec == 0 && left.tv_nsec == 0) {
            std::puts("select timed out");
            std::puts("Failed reading response from quarvo box.");
            return nullptr;
        }
        // Half a second, or what is left of an exact deadline if less.
        timespec wait{0, 500'000'000};
        if (context.exactDeadline >= 0 && left.tv_sec == 0 && left.tv_nsec < wait.tv_nsec)
            wait = left;
        endingSignals_waitFor(nullptr, 0, &wait);
        if (endingSignals_caught() != 0)
            return nullptr;
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
// Output stuck at the deadline is let go then.
void setDeadline(ReadContext* context)
{
    if (lab.exactTimeout) {
        context->exactDeadline = monotonic_nanos() + static_cast<int64_t>(lab.timeout) * 1'000'000'000;
        session.exactDeadline = context->exactDeadline;
        endingSignals_limitWritesAt({static_cast<time_t>(context->exactDeadline / 1'000'000'000),
                                     static_cast<long>(context->exactDeadline % 1'000'000'000)});
    } else {
        context->deadline = monotonic_seconds() + lab.timeout;
        session.deadline = context->deadline;
        endingSignals_limitWrites(context->deadline);
    }
}

Outcome check_status(const char* chan_str, const char* feedback_port)
{
    const char* missing = chan_str == nullptr ? "--channel" : feedback_port == nullptr ? "--feedback" : nullptr;
    if (missing != nullptr) {
        std::fprintf(stderr, "%s: missing required option %s\n", programName, missing);
        print_syntax(programName);
        return Outcome::Usage;
    }

    // The port named by a log is never opened.
    if (session.logIsPort)
        return Outcome::PortFailed;
    PortName name;
    std::string malformed;
    const bool named = Port_parseName(feedback_port, &name, &malformed);
    // Replaced before the port is opened, so that an old capture never
    // stands beside this check's result; time zero is the port's opening.
    // A raw TCP port's line settings are its server's: not claimed.
    if (capturePath != nullptr)
        session.capture =
            Capture_open(capturePath, programName, feedback_port, named && name.kind == PortKind::Tcp ? 0 : 57600);
    if (!named) {
        std::string shown;
        appendPrintable(shown, feedback_port);
        std::fprintf(stderr, "Opening feedback serial port failed: %s: %s\n", shown.c_str(), malformed.c_str());
        return Outcome::PortFailed;
    }

    ReadContext context{-1, 0};
    context.portName = feedback_port;
    context.endingSignals = endingSignals_set();
    context.stop = endingSignals_flag();
    // Whatever way the check ends, the result counts the bytes received.
    struct CountBytes {
        const ReadContext& context;
        ~CountBytes() { result.bytes = context.bytes; }
    } countBytes{context};

    if (lab.reconnect) {
        // The port may not be there yet: the deadline runs from the start.
        setDeadline(&context);
        Port* port = reopenPort(name, feedback_port, context, true);
        if (port == nullptr)
            return endingSignals_caught() != 0 ? Outcome::Interrupted : Outcome::NoAnswer;
        if (!usePort(port, &context))
            return Outcome::PortFailed;
    } else {
        // Connecting to a server may take as long as the check may; the
        // check's own time starts once the port is there and set up, as
        // for a local port.
        PortError error;
        Port* port = openFeedback(name, feedback_port, Port_clockMs() + static_cast<int64_t>(lab.timeout) * 1000,
                                  false, &error);
        if (port == nullptr) {
            if (error.failure == PortFailure::Interrupted && endingSignals_caught() != 0)
                return Outcome::Interrupted;
            std::fprintf(stderr, "Opening feedback serial port failed: %s\n",
                         error.failure == PortFailure::Local ? std::strerror(error.errnum) : error.text.c_str());
            return Outcome::PortFailed;
        }
        if (!usePort(port, &context))
            return Outcome::PortFailed;
        setDeadline(&context);
    }

    Capture_start(session.capture, context.fd);
    context.capture = session.capture;
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
            if (context.end == ReadEnd::Lost)
                reportLostConnection(context);
            if (lab.reconnect && context.end == ReadEnd::Lost) {
                // What a cut packet left in the reader is dealt with by its
                // usual resynchronisation on the next line feed.
                std::fprintf(stderr, "%s: port lost, reopening\n", feedback_port);
                Port_close(context.port);
                session.port = nullptr;
                context.port = nullptr;
                portGone();
                context.end = ReadEnd::None;
                context.error = 0;
                markCapture(context, CaptureMarkKind::Lost);
                Port* port = reopenPort(name, feedback_port, context, false);
                if (port == nullptr)
                    return endingSignals_caught() != 0 ? Outcome::Interrupted : Outcome::NoAnswer;
                if (!usePort(port, &context))
                    return Outcome::PortFailed;
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

// The output, the port, the capture, then the result: the one way out,
// whichever way the check ends. Returns the status; a check ended by a
// signal then ends as the signal would.
int finish(Outcome outcome, int status)
{
    const int signo = outcome == Outcome::Interrupted ? endingSignals_caught() : 0;
    if (signo != 0)
        status = 128 + signo;
    releaseLogByName();
    // The verdict stands in the status; output that could not be written is
    // still worth a word (a full disk under the log, say), said where the
    // caller sees it. Output stuck past the deadline or a signal has been
    // let go by then.
    if (!session.logIsPort) {
        const bool flushed = std::fflush(stdout) == 0 && !std::ferror(stdout);
        const int error = errno;
        if (!flushed)
            endingSignals_noteFailedWrite(STDOUT_FILENO, error);
        const std::string log = session.logPath != nullptr ? std::string("the log ") + session.logPath : "";
        if (endingSignals_outputLost(STDOUT_FILENO) || endingSignals_outputLost(STDERR_FILENO)) {
            result.outputError = "not taken in time";
            endingSignals_reportOutputLost(programName, log.empty() ? "the output" : log);
        } else if (!flushed && !log.empty()) {
            result.outputError = std::strerror(error);
            endingSignals_report(std::string(programName) + ": writing " + log + " failed: " + *result.outputError +
                                 "\n");
        } else if (!flushed) {
            // Ended by a signal (a closed pipe's, say), the signal says it all.
            result.outputError = std::strerror(error);
            if (signo == 0)
                std::fprintf(stderr, "%s: writing the output failed: %s\n", programName, result.outputError->c_str());
        } else if (!log.empty() && std::ferror(stderr)) {
            result.outputError = "lines of the error output were lost";
            endingSignals_report(std::string(programName) + ": writing " + log + " failed: " + *result.outputError +
                                 "\n");
        }
    }
    // A local port's exclusive mode and lock are lifted here.
    Port_close(session.port);
    session.port = nullptr;
    // What the capture's file has not taken yet may wait a second, but
    // never past the deadline or an ending signal.
    int captureWaitMs = signo != 0 ? 0 : CAPTURE_CLOSE_WAIT_MS;
    if ((session.deadline != 0 || session.exactDeadline >= 0) && signo == 0) {
        const int64_t leftMs = session.exactDeadline >= 0 ? (session.exactDeadline - monotonic_nanos()) / 1'000'000
                                                          : (session.deadline - monotonic_seconds()) * 1000;
        captureWaitMs = static_cast<int>(std::clamp<int64_t>(leftMs, 0, CAPTURE_CLOSE_WAIT_MS));
    }
    result.captureDropped = Capture_close(session.capture, captureWaitMs);
    session.capture = nullptr;
    if (lab.resultPath != nullptr) {
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
bool refuseSharedFiles()
{
    struct Named {
        const char* option;
        const char* path;
    };
    const std::array<Named, 3> files{{{"--log", session.logPath}, {"--capture", capturePath}, {"--result", lab.resultPath}}};
    const auto same = [&](size_t i, size_t k) {
        return files[i].path != nullptr && files[k].path != nullptr && sameFile(files[i].path, files[k].path);
    };
    bool refused = false;
    for (size_t i = 0; i < files.size() && !refused; ++i) {
        for (size_t k = i + 1; k < files.size() && !refused; ++k) {
            if (!same(i, k))
                continue;
            endingSignals_report(std::string(programName) + ": " + files[i].option + " " + files[i].path + " and " +
                                 files[k].option + " " + files[k].path + " are the same file\n");
            refused = true;
        }
    }
    if (!refused)
        return false;
    // No result where it would land on another option's file.
    if (same(0, 2) || same(1, 2))
        lab.resultPath = nullptr;
    capturePath = nullptr;
    return true;
}

// Every --feedback argument, read quietly before any option acts.
void readPortNames(int argc, char** argv)
{
    opterr = 0;
    int opt;
    while ((opt = getopt_long(argc, argv, "-", options_list, nullptr)) != -1) {
        if (opt == 'f')
            namedPorts.push_back(optarg);
    }
    opterr = 1;
    optind = 0; // the options are then read afresh
}

// Ends the check before its options have been read, the log in its place.
int endUnread()
{
    releaseLogByName();
    return 1;
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
    if (!ensureStandardStreams())
        return 1;
    // Before the options, so that the standard error as the caller gave it
    // is kept for reports a --log must not swallow.
    endingSignals_start(true);
    programName = argv[0];
    // Asking for help or the version is no attempt at a check: alone, it
    // is answered before the count of arguments is.
    if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
        print_help(argv[0]);
        return commandLine_answered();
    }
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        commandLine_printVersion("check-quarvo");
        return commandLine_answered();
    }
    // Decided before any option is looked at.
    if (argc < 4) {
        print_syntax(argv[0]);
        return 1;
    }
    readPortNames(argc, argv);
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
            // Nothing is ever written to a log that is a port, not even a
            // usage text: only the report on the original error output.
            if (logFailed || session.logIsPort)
                break;
            if (namesAPort(optarg)) {
                session.logPath = optarg;
                silenceLog();
                break;
            }
            if (redirectToLog(optarg) != 0) {
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
            releaseLogByName();
            return commandLine_answered();
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
                return endUnread();
            }
            break;
        default:
            if (logFailed)
                break;
            print_syntax(argv[0]);
            return endUnread();
        }
    }
    result.channel = chan_str;
    result.port = feedback_port;
    if (logFailed)
        return finish(Outcome::LogFailed, outcomeStatus(Outcome::LogFailed, lab.distinctStatus));
    if (refuseSharedFiles())
        return finish(Outcome::Usage, outcomeStatus(Outcome::Usage, lab.distinctStatus));
    const Outcome outcome = check_status(chan_str, feedback_port);
    return finish(outcome, outcomeStatus(outcome, lab.distinctStatus));
}
