#include "capture.h"

#include "clock.h"
#include "ending_signals.h"
#include "file_identity.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <memory>
#include <new>
#include <poll.h>
#include <string>
#include <string_view>
#include <utility>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int Version = 1;
constexpr std::string_view Magic = "# quarvo-capture ";
constexpr int64_t GapMicros = 20000; // a chunk ends after a longer gap in the input
constexpr char Hex[] = "0123456789ABCDEF";
constexpr size_t Storage = 64 * 1024;
// Room a line's start takes (the longest time and its blank); one byte,
// escaped, with the line feed that may close its line; one mark's line.
constexpr size_t TimeRoom = 32;
constexpr size_t ByteRoom = 5;
constexpr size_t MarkRoom = 48;
// Kept free of bytes, so that a loss of the port and its return are always
// marked: the drops before the loss, the loss, the return.
constexpr size_t PortMarkRoom = 3 * MarkRoom;
constexpr int64_t FlushMicros = 1000000; // complete lines go to disk at least this often

constexpr bool isPlain(unsigned char b) { return b >= 0x21 && b <= 0x7E && b != '\\'; }

char* putEscaped(char* out, unsigned char b)
{
    if (isPlain(b)) {
        *out++ = static_cast<char>(b);
        return out;
    }
    *out++ = '\\';
    *out++ = 'x';
    *out++ = Hex[b >> 4];
    *out++ = Hex[b & 0xF];
    return out;
}

// "S.UUUUUU " for a non-negative count of microseconds.
char* putTime(char* out, int64_t micros)
{
    out = std::to_chars(out, out + 20, micros / 1000000).ptr;
    *out++ = '.';
    int64_t fraction = micros % 1000000;
    for (int i = 5; i >= 0; --i) {
        out[i] = static_cast<char>('0' + fraction % 10);
        fraction /= 10;
    }
    out += 6;
    *out++ = ' ';
    return out;
}

// Where the text written so far stands, so that the received bytes whose
// text never reached the file can be counted: 1 to 3 is that far into an
// escape's "xHH".
enum Scan : int { LineStart = -3, Comment = -2, Time = -1, Data = 0 };

// Received bytes whose text ends within text[0, size).
uint64_t bytesCompleted(int& scan, const char* text, size_t size)
{
    uint64_t done = 0;
    for (size_t i = 0; i < size; ++i) {
        const char ch = text[i];
        if (scan == LineStart)
            scan = ch == '#' ? Comment : Time;
        else if (scan == Time)
            scan = ch == ' ' ? Data : Time;
        else if (scan > Data) {
            scan = (scan + 1) % 4; // past "xHH", the escaped byte is done
            done += scan == Data;
        }
        else if (ch == '\n')
            scan = LineStart;
        else if (scan == Data && ch == '\\')
            scan = 1;
        else
            done += scan == Data;
    }
    return done;
}

} // namespace

struct Capture {
    int fd = -1;
    std::string path;
    std::string program;
    bool started = false;
    int64_t moved = Clock_now(); // when the file last took something: how long it has been stuck
    int64_t start = 0; // Clock_now() of Capture_start; the times below are microseconds since
    int64_t lastByte = 0;
    int64_t lastFlush = 0;
    bool lineOpen = false;
    size_t chunkBytes = 0;
    // buffer[0, end) is recorded but not yet in the file.
    size_t end = 0;
    std::unique_ptr<char[]> buffer;
    int scan = LineStart;   // at buffer[0]
    uint64_t dropping = 0;  // dropped since the last mark in the file
    uint64_t dropped = 0;   // dropped in all
    bool portLost = false;   // the last port mark asked for was a loss
    bool lostMarked = false; // and it is in the file
};

namespace {

void fail(Capture* c)
{
    std::fprintf(stderr, "%s: capture %s: %s\n", c->program.c_str(), c->path.c_str(), std::strerror(errno));
    if (c->fd >= 0)
        close(c->fd);
    c->fd = -1;
}

// Writes what the file takes now, without waiting: the descriptor does not
// block, and what a pipe cannot take yet (a line longer than PIPE_BUF may
// go in parts) stays for later. 0, or -1 once the capture has failed.
int writeSome(Capture* c)
{
    size_t begin = 0;
    while (c->fd >= 0 && begin < c->end) {
        const ssize_t n = write(c->fd, c->buffer.get() + begin, c->end - begin);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            break;
        if (n <= 0) {
            errno = n == 0 ? EIO : errno;
            fail(c);
            break;
        }
        if (begin + static_cast<size_t>(n) == c->end) {
            // All of it: the buffer only ever ends at a line's end or after
            // a whole byte, so no scan is needed.
            c->scan = c->buffer[c->end - 1] == '\n' ? LineStart : Data;
        } else {
            bytesCompleted(c->scan, c->buffer.get() + begin, static_cast<size_t>(n));
        }
        begin += static_cast<size_t>(n);
        c->moved = Clock_now();
    }
    std::memmove(c->buffer.get(), c->buffer.get() + begin, c->end - begin);
    c->end -= begin;
    return c->fd >= 0 ? 0 : -1;
}

// Whether `need` more characters fit; a full buffer is offered to the file
// once per call (*tried), so a file that takes nothing costs one write.
bool hasRoom(Capture* c, size_t need, bool* tried)
{
    if (Storage - c->end < need && !std::exchange(*tried, true))
        writeSome(c);
    return c->fd >= 0 && Storage - c->end >= need;
}

void put(Capture* c, std::string_view text)
{
    std::memcpy(c->buffer.get() + c->end, text.data(), text.size());
    c->end += text.size();
}

void putTimeAt(Capture* c, int64_t at)
{
    c->end = static_cast<size_t>(putTime(c->buffer.get() + c->end, at) - c->buffer.get());
}

// Ends the chunk in progress, if there is one, with its line feed.
void endLine(Capture* c)
{
    if (c->lineOpen)
        c->buffer[c->end++] = '\n';
    c->lineOpen = false;
}

// Microseconds since the start at `stamp`, never before the last byte.
int64_t offsetAt(const Capture* c, int64_t stamp) { return std::max(stamp / 1000 - c->start / 1000, c->lastByte); }

// Where bytes were dropped, once there is room for the line that says so
// and `then` more characters: false while there is not.
bool putDropMark(Capture* c, size_t then, bool* tried)
{
    if (c->dropping == 0 || !hasRoom(c, MarkRoom + then, tried))
        return c->dropping == 0;
    put(c, "# dropped " + std::to_string(c->dropping) + " bytes\n");
    c->dropping = 0;
    return true;
}

bool isDevice(int fd)
{
    struct stat st {};
    return fstat(fd, &st) == 0 && S_ISCHR(st.st_mode);
}

// Said where the capture is found to be the port, before or once it opens.
void reportIsThePort(const char* program, const char* path)
{
    std::fprintf(stderr, "%s: capture %s: is the port itself: nothing is recorded\n", program, path);
}

} // namespace

Capture* Capture_open(const char* path, const char* program, const char* port, int baud)
{
    std::unique_ptr<Capture> c(new (std::nothrow) Capture);
    if (!c)
        return nullptr;
    c->buffer.reset(new (std::nothrow) char[Storage]);
    if (!c->buffer)
        return nullptr;
    c->path = path;
    c->program = program;
    std::string header = std::string(Magic) + std::to_string(Version) + "\n# port ";
    for (const char* p = port; *p != '\0' && header.size() < 1024; ++p) {
        char escaped[4];
        header.append(escaped, putEscaped(escaped, static_cast<unsigned char>(*p)));
    }
    // A raw TCP port's settings are its server's: not claimed.
    header += baud > 0 ? "\n# line " + std::to_string(baud) + " 8N1\n" : std::string("\n# line unknown\n");
    put(c.get(), header);

    // A capture written into the port itself would be sent to the box.
    struct stat target {};
    struct stat device {};
    if (stat(path, &target) == 0 && stat(port, &device) == 0 && S_ISCHR(target.st_mode) &&
        S_ISCHR(device.st_mode) && target.st_rdev == device.st_rdev) {
        reportIsThePort(program, path);
        return c.release();
    }
    // Not blocking, for good: a pipe with no reader is reported at once, and
    // one whose reader stops never holds the program (what it cannot take
    // in time is dropped and counted).
    c->fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0666);
    if (c->fd < 0)
        fail(c.get());
    else if (!isDevice(c->fd)) // a device hears nothing before the port is known not to be it
        writeSome(c.get());
    return c.release();
}

void Capture_start(Capture* c, int portFd)
{
    if (c == nullptr || std::exchange(c->started, true))
        return;
    if (c->fd >= 0 && portFd >= 0 && sameOpenFile(c->fd, portFd)) {
        reportIsThePort(c->program.c_str(), c->path.c_str());
        close(c->fd);
        c->fd = -1;
        return;
    }
    timespec wall{};
    clock_gettime(CLOCK_REALTIME, &wall);
    c->start = Clock_now();
    tm utc{};
    gmtime_r(&wall.tv_sec, &utc);
    char when[64];
    std::snprintf(when, sizeof when, "# start %04d-%02d-%02dT%02d:%02d:%02d.%06ldZ\n", utc.tm_year + 1900,
                  utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, wall.tv_nsec / 1000);
    put(c, when);
    writeSome(c);
}

uint64_t Capture_close(Capture* c, int waitMs)
{
    const std::unique_ptr<Capture> owned(c);
    if (c == nullptr || c->fd < 0)
        return 0;
    if (!c->started && isDevice(c->fd)) {
        close(c->fd); // never known not to be the port: it hears nothing
        return 0;
    }
    endLine(c);
    bool tried = false;
    putDropMark(c, 0, &tried);
    // The file is waited for under the rule for output nobody takes, and
    // never longer than `waitMs` in all: a writer never waits for it long.
    // A file stuck since before the deadline is let go at the deadline itself.
    const Deadline most = Deadline_after(Clock_now(), static_cast<int64_t>(waitMs) * CLOCK_MILLISECOND);
    while (writeSome(c) == 0 && c->end > 0) {
        const int64_t now = Clock_now();
        const Deadline until = Deadline_sooner(most, endingSignals_outputLimit(c->moved));
        if (Deadline_passed(until, now))
            break;
        pollfd room{c->fd, POLLOUT, 0};
        poll(&room, 1, Deadline_pollMs(until, now)); // a signal has the rule looked at again
    }
    if (c->fd < 0)
        return 0;
    c->dropped += bytesCompleted(c->scan, c->buffer.get(), c->end);
    if (c->dropped > 0)
        std::fprintf(stderr, "%s: capture %s: %llu bytes dropped: the file did not take them in time\n",
                     c->program.c_str(), c->path.c_str(), static_cast<unsigned long long>(c->dropped));
    if (close(c->fd) != 0) {
        c->fd = -1;
        fail(c);
    }
    return c->dropped;
}

int64_t Capture_zero(const Capture* c) { return c->start; }

int Capture_append(Capture* c, const void* bytes, size_t size, int64_t stamp)
{
    const int64_t at = offsetAt(c, stamp);
    bool tried = false;
    const auto* p = static_cast<const unsigned char*>(bytes);
    for (size_t i = 0; i < size && c->fd >= 0; ++i) {
        if (c->lineOpen && (p[i] == '\n' || at - c->lastByte > GapMicros || c->chunkBytes == CAPTURE_MAX_CHUNK)) {
            endLine(c);
            if (at - c->lastFlush >= FlushMicros) {
                c->lastFlush = at;
                tried = true;
                writeSome(c);
            }
        }
        c->lastByte = at;
        // The room for a line feed is always kept: the file has only
        // complete lines, and a drop's mark stands where the gap is.
        const size_t need = (c->lineOpen ? 0 : TimeRoom) + ByteRoom + PortMarkRoom;
        if (!putDropMark(c, need, &tried) || !hasRoom(c, need, &tried)) {
            endLine(c);
            ++c->dropping;
            ++c->dropped;
            continue;
        }
        if (!std::exchange(c->lineOpen, true)) {
            putTimeAt(c, at);
            c->chunkBytes = 0;
        }
        c->end = static_cast<size_t>(putEscaped(c->buffer.get() + c->end, p[i]) - c->buffer.get());
        ++c->chunkBytes;
    }
    return c->fd >= 0 ? 0 : -1;
}

int Capture_mark(Capture* c, CaptureMarkKind kind, int64_t stamp)
{
    if (c->fd < 0)
        return -1;
    const int64_t at = offsetAt(c, stamp);
    // Marks come in turns; one that found no room takes its partner with it,
    // so the file never holds a loss without its return or the reverse.
    const bool lost = kind == CaptureMarkKind::Lost;
    if (lost == c->portLost)
        return 0;
    c->portLost = lost;
    if (!lost && !c->lostMarked)
        return 0;
    endLine(c);
    // The room kept free of bytes (PortMarkRoom) always holds these lines.
    bool tried = false;
    if (!putDropMark(c, MarkRoom, &tried) || !hasRoom(c, MarkRoom, &tried)) {
        c->lostMarked = false;
        return c->fd < 0 ? -1 : 0;
    }
    put(c, lost ? "# lost " : "# reopened ");
    putTimeAt(c, at);
    c->buffer[c->end - 1] = '\n'; // in place of the blank that follows a chunk's time
    c->lostMarked = lost;
    c->lastByte = at;
    return 0;
}

int Capture_flush(Capture* c)
{
    if (c->fd < 0)
        return -1;
    endLine(c);
    return writeSome(c);
}

namespace {

constexpr bool isDigit(char c) { return c >= '0' && c <= '9'; }

constexpr int64_t LargestSeconds = INT64_MAX / 1000000;

// "S.UUUUUU" at the start of `line`: its length, or 0 when there is none
// (then *why is set when the time is there but too late to count).
size_t parseTime(std::string_view line, int64_t* offset, const char** why)
{
    size_t i = 0;
    int64_t seconds = 0; // held just past the largest, so that it cannot overflow
    for (; i < line.size() && isDigit(line[i]); ++i)
        seconds = std::min(seconds * 10 + (line[i] - '0'), LargestSeconds + 1);
    if (i == 0 || i + 7 > line.size() || line[i] != '.')
        return 0;
    const char* digits = line.data() + i + 1; // after the point
    if (!std::all_of(digits, digits + 6, isDigit))
        return 0;
    int64_t fraction = 0;
    std::from_chars(digits, digits + 6, fraction);
    if (seconds > LargestSeconds || (seconds == LargestSeconds && fraction > INT64_MAX % 1000000)) {
        *why = "time past 9223372036854.775807 seconds, the latest a capture holds";
        return 0;
    }
    *offset = seconds * 1000000 + fraction;
    return i + 7;
}

// One data line: "S.UUUUUU BYTES", its bytes decoded into `out`. nullptr, or
// what is wrong.
const char* parseLine(std::string_view line, int64_t* offset, char* out, size_t* size)
{
    const char* why = nullptr;
    size_t i = parseTime(line, offset, &why);
    if (i == 0)
        return why != nullptr ? why : "no time (seconds.microseconds) at the start";
    if (i == line.size())
        return "nothing after the time (a blank and bytes expected)";
    if (line[i] != ' ')
        return "no blank after the time";
    ++i;
    if (i == line.size())
        return "no bytes after the time";
    *size = 0;
    while (i < line.size()) {
        const auto b = static_cast<unsigned char>(line[i]);
        if (b == '\\') {
            unsigned value = 0;
            const std::string_view hex = line.substr(i + 1, 3); // "xHH"
            const char* end = hex.data() + hex.size();
            if (hex.size() < 3 || hex[0] != 'x' || std::from_chars(hex.data() + 1, end, value, 16).ptr != end)
                return "bad escape (\\xHH expected)";
            out[(*size)++] = static_cast<char>(value);
            i += 4;
        } else if (isPlain(b)) {
            out[(*size)++] = static_cast<char>(b);
            ++i;
        } else {
            return "byte outside 0x21..0x7E not written as \\xHH";
        }
    }
    return nullptr;
}

// A comment of exactly the form "# lost S.UUUUUU" or "# reopened S.UUUUUU"
// is a mark (true); any other comment is passed over, as version 1 readers do.
bool parseMark(std::string_view line, CaptureItem* mark, const char** why)
{
    constexpr std::string_view Lost = "# lost ";
    constexpr std::string_view Reopened = "# reopened ";
    const bool lost = line.starts_with(Lost);
    if (!lost && !line.starts_with(Reopened))
        return false;
    mark->kind = lost ? CaptureMarkKind::Lost : CaptureMarkKind::Reopened;
    const std::string_view rest = line.substr(lost ? Lost.size() : Reopened.size());
    mark->isMark = true;
    return !rest.empty() && parseTime(rest, &mark->offset, why) == rest.size();
}

} // namespace

struct CaptureReader {
    int fd = -1;
    std::unique_ptr<char[]> text;  // text[begin, end) is read but not yet taken
    std::unique_ptr<char[]> bytes; // the last chunk's, decoded
    size_t begin = 0;
    size_t end = 0;
    bool ended = false;    // the file has no more
    bool skipping = false; // a comment too long to hold, up to its line feed
    size_t line = 0;
    const char* why = nullptr; // once the capture is found not to be one
    int64_t last = 0;          // the time of the chunk or mark before
    bool lost = false;         // the port, after the last mark
};

namespace {

constexpr const char* NotCapture = "not a capture: the first line is not \"# quarvo-capture VERSION\"";

// The next whole line, without its line feed: 1, 0 at the file's end, or -1
// (r->why set).
int nextLine(CaptureReader* r, std::string_view* line)
{
    for (;;) {
        char* const text = r->text.get();
        if (const auto* eol = static_cast<char*>(std::memchr(text + r->begin, '\n', r->end - r->begin))) {
            *line = std::string_view(text + r->begin, static_cast<size_t>(eol - text) - r->begin);
            r->begin = static_cast<size_t>(eol - text) + 1;
            ++r->line;
            if (!std::exchange(r->skipping, false))
                return 1;
            continue;
        }
        if (r->ended) {
            if (r->begin == r->end && !r->skipping)
                return 0;
            ++r->line;
            r->why = "last line cut short (no line feed)";
            return -1;
        }
        std::memmove(text, text + r->begin, r->end - r->begin);
        r->end -= r->begin;
        r->begin = 0;
        if (r->end == CAPTURE_MAX_LINE) {
            if (!r->skipping && (r->line == 0 || text[0] != '#')) {
                ++r->line;
                r->why = r->line == 1 && std::string_view(text, Magic.size()) != Magic
                             ? NotCapture
                             : "line longer than 65536 characters";
                return -1;
            }
            r->skipping = true;
            r->end = 0;
        }
        const ssize_t n = read(r->fd, text + r->end, CAPTURE_MAX_LINE - r->end);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            r->line = 0;
            r->why = std::strerror(errno);
            return -1;
        }
        r->ended = n == 0;
        r->end += static_cast<size_t>(n);
    }
}

// Takes one line: true with *item filled for a chunk or a mark, false with
// r->why unset for a line passed over, or set for a malformed one.
bool takeLine(CaptureReader* r, std::string_view line, CaptureItem* item)
{
    const auto malformed = [r](const char* why) {
        r->why = why;
        return false;
    };
    if (r->line == 1 && !line.starts_with(Magic))
        return malformed(NotCapture);
    // Line ends of another system: say so, rather than blame the version or a byte.
    if (!line.empty() && line.back() == '\r')
        return malformed("stray carriage return at the end of the line (a capture's lines end with a line "
                         "feed alone, not CRLF)");
    if (r->line == 1 && line.substr(Magic.size()) != std::to_string(Version))
        return malformed("capture format version not supported (this program reads version 1)");
    if (r->line == 1)
        return false;
    *item = CaptureItem{};
    if (!line.empty() && line[0] == '#') {
        if (!parseMark(line, item, &r->why))
            return false;
        if ((item->kind == CaptureMarkKind::Lost) == r->lost)
            return malformed(r->lost ? "port lost again before it was reopened"
                                     : "port reopened that was not lost");
        r->lost = item->kind == CaptureMarkKind::Lost;
    } else if ((r->why = parseLine(line, &item->offset, r->bytes.get(), &item->size)) != nullptr) {
        return false;
    } else if (r->lost) {
        return malformed("bytes received while the port was lost");
    }
    if (item->offset < r->last)
        return malformed("time earlier than the line before");
    item->bytes = r->bytes.get();
    r->last = item->offset;
    return true;
}

} // namespace

CaptureReader* CaptureReader_open(int fd)
{
    std::unique_ptr<CaptureReader> r(new (std::nothrow) CaptureReader);
    if (!r)
        return nullptr;
    r->fd = fd;
    r->text.reset(new (std::nothrow) char[CAPTURE_MAX_LINE]);
    r->bytes.reset(new (std::nothrow) char[CAPTURE_MAX_LINE]);
    return r->text && r->bytes ? r.release() : nullptr;
}

int CaptureReader_next(CaptureReader* r, CaptureItem* item)
{
    while (r->why == nullptr) {
        std::string_view line;
        const int got = nextLine(r, &line);
        if (got == 0 && r->line == 0) {
            r->line = 1;
            r->why = "empty file: not a capture";
        }
        if (got <= 0)
            return r->why == nullptr ? 0 : -1;
        if (takeLine(r, line, item))
            return 1;
    }
    return -1;
}

size_t CaptureReader_line(const CaptureReader* r) { return r->line; }

const char* CaptureReader_why(const CaptureReader* r) { return r->why; }

void CaptureReader_destroy(CaptureReader* r) { delete r; }
