// quarvo-monitor: watches a box's feedback port and prints, as they happen,
// every validated packet and every report about bad input, each with its
// time since the start; optionally records what the port sent.
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <span>
#include <string>
#include <string_view>
#include <unistd.h>

#include "capture.h"
#include "clock.h"
#include "command_line.h"
#include "ending_signals.h"
#include "feed.h"
#include "gnome.h"
#include "json.h"
#include "port.h"
#include "printable.h"
#include "standard_streams.h"

namespace {

void usage(FILE* out, const char* name)
{
    std::fprintf(out,
                 "Usage: %s PORT [options]\n"
                 "Prints every validated packet and every report about bad input from the\n"
                 "box on PORT, each with its time in seconds since the start.\n"
                 "  --json             one JSON object per line\n"
                 "  --hex              values as hexadecimal digits, two per byte\n"
                 "  --capture FILE     also record every byte received into FILE\n"
                 "  --count N          end after N packets\n"
                 "  --reconnect        wait for a missing or vanishing port to come back\n"
                 "  --duration SECONDS end after this long\n"
                 "  --baud N           line speed: 300, 9600, 19200, 57600 (default) or 115200\n"
                 "  --version          show the version\n"
                 "  --help             show this text\n",
                 name);
}

struct Monitor {
    Feed* feed = nullptr;
    const char* name = "quarvo-monitor"; // as invoked, for messages
    const char* port = nullptr;
    long long count = -1; // packets; -1: no end
    double duration = -1; // seconds; -1: no end
    FeedRequest request; // the port's speed and the capture, as asked
    bool reconnect = false; // a lost port is waited for, not the end
    bool json = false;
    bool hex = false; // values as hex digits: exact, where the printable form is not
    Capture* capture = nullptr;
    bool opened = false; // the port has been open
    int64_t start = 0;   // Clock_now() of time zero: the port's first opening
    int64_t begun = 0;   // Clock_now() of the session's start
    // Bytes read but not yet handed to the reader (the feed's), and when
    // they arrived: microseconds since the start.
    std::span<const char> staged;
    int64_t arrival = 0;
    long long packets = 0;
    long long reports = 0;
    long long bytes = 0;
    bool failed = false;
    int outputError = 0; // errno of a failed write of the output
    bool inReport = false; // a report line has begun and not ended
    uint8_t lineErrors = 0; // reported by the server, not yet shown
    std::string line;
};

// Microseconds since time zero, counted as the capture counts them, so
// that the lines' times and the capture's are the same.
int64_t sinceStart(const Monitor& m, int64_t stamp) { return stamp / 1000 - m.start / 1000; }

// A write an ending signal cut short is output lost, and reported so.
void writeOut(std::string_view bytes)
{
    if (std::fwrite(bytes.data(), 1, bytes.size(), stdout) != bytes.size())
        endingSignals_noteFailedWrite(STDOUT_FILENO, errno);
}

bool flushOut()
{
    errno = 0;
    const bool flushed = std::fflush(stdout) == 0;
    if (!flushed)
        endingSignals_noteFailedWrite(STDOUT_FILENO, errno);
    return flushed && !std::ferror(stdout);
}

// The text form's printable form: the blank and '=' that part records and
// their codes from their values are tags too, so no line reads two ways.
void appendTextField(std::string& out, std::string_view bytes)
{
    size_t from = 0;
    for (size_t at; (at = bytes.find_first_of(" =", from)) != std::string_view::npos; from = at + 1) {
        appendPrintable(out, bytes.substr(from, at - from));
        out += bytes[at] == ' ' ? "[20]" : "[3D]";
    }
    appendPrintable(out, bytes.substr(from));
}

// Two upper-case hex digits a byte: tells a zero byte from a literal "[00]".
std::string hexOf(std::string_view bytes)
{
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string out;
    for (const char byte : bytes) {
        out += digits[static_cast<unsigned char>(byte) >> 4];
        out += digits[byte & 0xF];
    }
    return out;
}

// Starts a line of `type` at `micros` since the start: the JSON object's
// first members, or the time and the word.
void beginLine(Monitor& m, int64_t micros, const char* type)
{
    char start[64];
    std::snprintf(start, sizeof start, m.json ? "{\"time\":%lld.%06lld,\"type\":\"%s\"" : "%lld.%06lld %s",
                  static_cast<long long>(micros / 1000000), static_cast<long long>(micros % 1000000), type);
    m.line = start;
}

void emitLineErrors(Monitor& m);

// The reader's reports are written as they come, each line stamped as it
// starts with the time of the byte that caused it.
void reportPiece(void* arg, std::string_view text)
{
    auto& m = *static_cast<Monitor*>(arg);
    m.line.clear();
    if (!m.inReport) {
        m.inReport = true;
        ++m.reports;
        beginLine(m, m.arrival, "report");
        m.line += m.json ? ",\"text\":\"" : " ";
    }
    if (m.json) {
        // The piece is part of one JSON string: escaped, without quotes of its own.
        const size_t at = m.line.size();
        json_appendString(m.line, text);
        m.line.erase(at, 1);
        m.line.pop_back();
    } else {
        m.line += text;
    }
    writeOut(m.line);
}

void reportEnd(void* arg)
{
    auto& m = *static_cast<Monitor*>(arg);
    // A report always has text; an empty one still makes a whole line.
    if (!m.inReport)
        reportPiece(arg, {});
    m.inReport = false;
    writeOut(m.json ? "\"}\n" : "\n");
    emitLineErrors(m);
}

// Line errors the server reported, as a report line of their own, once
// no reader's report is in the middle of its line.
void emitLineErrors(Monitor& m)
{
    if (m.lineErrors == 0 || m.inReport)
        return;
    const std::string text = "the server reported on the line: " + Port_lineErrorNames(m.lineErrors);
    m.lineErrors = 0;
    reportPiece(&m, text);
    reportEnd(&m);
}

void emitPacket(Monitor& m, int32_t count, const char* const* codes, const char* const* values, const int32_t* lengths)
{
    ++m.packets;
    beginLine(m, m.arrival, "packet");
    if (m.json)
        m.line += ",\"records\":[";
    for (int32_t i = 0; i < count; ++i) {
        const std::string_view code(codes[i], 4);
        const std::string_view value(values[i], static_cast<size_t>(lengths[i]));
        if (m.json) {
            m.line += i == 0 ? "{\"code\":" : ",{\"code\":";
            json_appendString(m.line, printable(code));
            m.line += ",\"value\":";
            json_appendString(m.line, m.hex ? hexOf(value) : printable(value));
            m.line += '}';
            continue;
        }
        m.line += ' ';
        appendTextField(m.line, code);
        m.line += '=';
        if (m.hex)
            m.line += hexOf(value);
        else
            appendTextField(m.line, value);
    }
    m.line += m.json ? "]}\n" : "\n";
    writeOut(m.line);
}

// A loss or return of the port in the output, at the time the feed marks
// it in the capture.
void emitPortEvent(Monitor& m, const char* word, int64_t stamp)
{
    beginLine(m, sinceStart(m, stamp), word);
    m.line += m.json ? "}\n" : "\n";
    writeOut(m.line);
}

// The port is open for the first time: time zero, the capture's if there
// is one, so that its times are the lines' times.
void portOpened(Monitor& m)
{
    m.opened = true;
    m.start = Clock_now();
    Capture_start(m.capture, Feed_fd(m.feed));
    if (m.capture != nullptr)
        m.start = Capture_zero(m.capture);
}

// The port ended or failed: 1 to read on (the feed reopens it under
// --reconnect), 0 when the session is over, -1 when the read failed
// (reported). What a cut packet left in the reader is dealt with by its
// usual resynchronisation on the next line feed.
int afterLoss(Monitor& m, const FeedEvent& event)
{
    if (event.serverEnded)
        std::fprintf(stderr, "%s\n", event.text.c_str());
    if (m.reconnect) {
        std::fprintf(stderr, "%s: port lost, reopening\n", m.port);
        emitPortEvent(m, "lost", event.stamp);
        flushOut();
        return 1;
    }
    // A vanished device (a hung-up line) fails every read with EIO.
    if (event.serverEnded || event.error == 0 || event.error == EIO)
        return 0;
    std::fprintf(stderr, "%s: reading %s failed: %s\n", m.name, m.port, std::strerror(event.error));
    return -1;
}

// Waits on the feed for a batch. 1: bytes staged; 0: the session is over
// (signal, duration, port gone); -1: a wait or read failed (reported).
int fill(Monitor& m)
{
    if (endingSignals_caught() != 0)
        return 0;
    // Everything printed so far is seen before the wait. Output that can no
    // longer be written (a reader that went away) ends the session.
    if (!flushOut()) {
        if (endingSignals_caught() != 0) // the write gave way to a stop signal
            return 0;
        m.outputError = errno != 0 ? errno : EIO;
        return -1;
    }
    for (;;) {
        FeedEvent event;
        Feed_wait(m.feed, &event);
        if (event.lineErrors != 0) {
            m.arrival = sinceStart(m, event.stamp);
            m.lineErrors |= event.lineErrors;
            emitLineErrors(m);
        }
        switch (event.kind) {
        case FeedEventKind::Data:
            m.arrival = sinceStart(m, event.stamp);
            m.bytes += static_cast<long long>(event.size);
            m.staged = {event.bytes, event.size};
            return 1;
        case FeedEventKind::Lost:
            if (const int next = afterLoss(m, event); next <= 0)
                return next;
            break;
        case FeedEventKind::Opened: // with --reconnect
            if (m.opened)
                emitPortEvent(m, "reopened", event.stamp);
            else
                portOpened(m);
            break;
        case FeedEventKind::Waiting:
            std::fprintf(stderr, "%s\n", event.text.c_str());
            break;
        case FeedEventKind::Failed:
            std::fprintf(stderr, "%s: waiting for %s failed: %s\n", m.name, m.port, std::strerror(event.error));
            return -1;
        case FeedEventKind::None:
            break;
        default: // the duration's end, a stop signal
            return 0;
        }
    }
}

int32_t monitorRead(void* arg, void* dest, uint32_t /*size*/)
{
    auto& m = *static_cast<Monitor*>(arg);
    if (m.staged.empty()) {
        const int filled = fill(m);
        if (filled <= 0) {
            m.failed = filled < 0;
            return -1;
        }
    }
    *static_cast<char*>(dest) = m.staged.front();
    m.staged = m.staged.subspan(1);
    return 1;
}

// Reads the options into `m`. -1 to go on, or the status to end with.
int readOptions(int argc, char** argv, Monitor& m)
{
    const char* name = m.name;
    static const option options[] = {
        commandLine_flag("json", 'j'), commandLine_valued("capture", 'c'), commandLine_flag("hex", 'x'),
        commandLine_flag("reconnect", 'r'), commandLine_valued("count", 'n'),
        commandLine_valued("duration", 'd'), commandLine_valued("baud", 'b'),
    };
    CommandLine line{"quarvo-monitor", [](const char* shown) { usage(stdout, shown); }, options};
    line.take = [&](int opt, const char* arg) {
        if (bool* flag = opt == 'j' ? &m.json : opt == 'x' ? &m.hex : opt == 'r' ? &m.reconnect : nullptr) {
            *flag = true;
            return -1;
        }
        switch (opt) {
        case 'c':
            m.request.capturePath = arg;
            return -1;
        case 'n':
            if (commandLine_parseWhole(arg, 10, 1, 1000000000, &m.count))
                return -1;
            std::fprintf(stderr, "%s: --count: not a whole number from 1 to 1000000000: %s\n", name, arg);
            return 2;
        case 'd':
            if (commandLine_parseReal(arg, &m.duration) && m.duration > 0 && m.duration <= 1e7)
                return -1;
            std::fprintf(stderr, "%s: --duration: not a number of seconds above 0 and up to 10000000: %s\n",
                         name, arg);
            return 2;
        case 'b': {
            // Refused here, before the port is opened and locked.
            const int known = commandLine_parseBaud(arg, &m.request.options.port.baud);
            m.request.baudGiven = true;
            if (known < 0)
                std::fprintf(stderr, "%s: --baud: not a line speed (300, 9600, 19200, 57600 or 115200): %s\n",
                             name, arg);
            return known > 0 ? -1 : 2;
        }
        default:
            usage(stderr, name);
            return 2;
        }
    };
    if (const int status = commandLine_read(argc, argv, line); status >= 0)
        return status;
    m.port = commandLine_singlePort(line.words, argc, argv, optind, name);
    return m.port == nullptr ? line.take('?', nullptr) : -1;
}

// Opens the capture, then the port; with --reconnect the feed tries it
// every half second from the first wait on, as it may not be there yet.
// --duration runs from the start, the times from the port's first opening.
// -1 to go on, or the status to end with.
int openPort(Monitor& m)
{
    const auto endOfDuration = [&](int64_t from) {
        return m.duration > 0 ? Deadline_after(from, std::llround(m.duration * 1e9)) : DEADLINE_NEVER;
    };
    // Connecting to a server may take as long as the session may.
    FeedRequest& port = m.request;
    port.program = m.name;
    port.port = m.port;
    port.openBy = endOfDuration(Clock_now());
    port.options.reconnect = m.reconnect;
    // Listen-only: not a byte reaches the box, whatever kind of port.
    port.options.port.listenOnly = true;
    const FeedOpened opened = FeedRequest_open(&port);
    m.capture = port.capture;
    m.feed = port.feed;
    if (opened == FeedOpened::BaudRefused)
        usage(stderr, m.name);
    if (opened != FeedOpened::Open) {
        Capture_close(m.capture, 0);
        return opened == FeedOpened::BaudRefused ? 2 : 1;
    }
    m.begun = Clock_now();
    if (!m.reconnect)
        portOpened(m);
    // Output stuck at the end of --duration does not hold the monitor.
    if (m.duration > 0) {
        Feed_setDeadline(m.feed, endOfDuration(m.begun));
        endingSignals_limitWrites(endOfDuration(m.begun));
    }
    return -1;
}

// The one way out: the output, the capture, the port, then the summary.
// Ended by a signal, output nobody takes is let go (the timer started by
// the signal does that) rather than waited for.
int finish(Monitor& m, Gnome* gnome)
{
    const bool stopped = endingSignals_caught() != 0;
    if (!flushOut() && !stopped && m.outputError == 0 && !endingSignals_outputLost(STDOUT_FILENO))
        m.outputError = errno != 0 ? errno : EIO;
    Gnome_destroy(gnome);
    Capture_close(m.capture, CAPTURE_CLOSE_WAIT_MS);
    Feed_destroy(m.feed);
    // Let go at the end of --duration, the output is a failure; on a stop
    // signal it is only news (the session ends with status 0 then).
    const bool lost = endingSignals_outputLost(STDOUT_FILENO);
    if (lost)
        endingSignals_reportOutputLost(m.name);
    const double elapsed = static_cast<double>(Clock_now() - m.begun) / 1e9;
    if (m.outputError != 0)
        std::fprintf(stderr, "%s: writing the output failed: %s\n", m.name, std::strerror(m.outputError));
    std::fprintf(stderr, "%s: %lld packets, %lld reports about bad input, %lld bytes in %.3f s\n", m.name,
                 m.packets, m.reports, m.bytes, elapsed);
    return m.failed || m.outputError != 0 || (lost && !stopped) ? 1 : 0;
}

} // namespace

int main(int argc, char** argv)
{
    const bool noOutput = fcntl(STDOUT_FILENO, F_GETFD) == -1;
    if (!ensureStandardStreams())
        return 1;
    // A closed output takes nothing: its lines fail to be written (EBADF) as
    // any lost output does, rather than vanish into /dev/null.
    if (const int readOnly = noOutput ? open("/dev/null", O_RDONLY | O_CLOEXEC) : -1; readOnly >= 0) {
        dup2(readOnly, STDOUT_FILENO);
        close(readOnly);
    }
    // The stop signals end the session cleanly at its next wait; a write
    // stuck on the output (a stopped pager, a paused screen) gives way to
    // them. A closed output pipe is a failed write, not a signal, so the
    // session still ends with the capture complete and the summary printed.
    endingSignals_start(false);
    static Monitor m;
    m.name = argv[0];
    if (const int status = readOptions(argc, argv, m); status >= 0)
        return status;
    if (const int status = openPort(m); status >= 0)
        return status;
    Gnome* gnome = Gnome_createWithSink(monitorRead, &m, ReportSink{reportPiece, reportEnd, &m});
    if (gnome == nullptr) {
        std::fprintf(stderr, "%s: out of memory\n", m.name);
        m.failed = true;
    }
    while (gnome != nullptr && (m.count < 0 || m.packets < m.count)) {
        int32_t records = 0;
        const char* const* codes = nullptr;
        const char* const* values = nullptr;
        const int32_t* lengths = nullptr;
        if (Gnome_readPacket(gnome, &records, &codes, &values, &lengths) != 0)
            break;
        emitPacket(m, records, codes, values, lengths);
    }
    return finish(m, gnome);
}
