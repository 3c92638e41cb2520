#include "capture.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <unistd.h>
#include <vector>

namespace {

constexpr std::string_view Magic = "# quarvo-capture ";
constexpr char Hex[] = "0123456789ABCDEF";
// The longest line: a time, a blank, a full chunk of escaped bytes, a line feed.
constexpr size_t MaxLine = 32 + 4 * CAPTURE_MAX_CHUNK;
constexpr size_t Storage = 64 * 1024;
// Complete lines go to disk at least this often while bytes keep coming.
constexpr int64_t FlushMicros = 1000000;

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

} // namespace

struct Capture {
    int fd = -1;
    bool seekable = true; // pwrite works: a flush from a signal handler may repeat one safely
    std::string path;
    std::string program;
    int64_t start = 0;
    int64_t lastByte = 0;
    int64_t lastFlush = 0;
    bool lineOpen = false;
    size_t chunkBytes = 0;
    size_t end = 0; // where the next character goes
    std::unique_ptr<char[]> buffer;
    // What a signal handler may write: buffer[0, published) belongs at file
    // offset `offset`. Stored only whole lines plus a chunk's first bytes, so
    // it always ends at a byte boundary.
    std::atomic<size_t> published{0};
    std::atomic<int64_t> offset{0};
};

namespace {

void fail(Capture* c)
{
    std::fprintf(stderr, "%s: capture %s: %s\n", c->program.c_str(), c->path.c_str(), std::strerror(errno));
    if (c->fd >= 0)
        close(c->fd);
    c->fd = -1;
    c->published.store(0, std::memory_order_release);
}

// Writes `size` bytes at file offset `at` (or at the file position where the
// file cannot seek). Async-signal-safe.
bool writeAt(int fd, bool seekable, const char* data, size_t size, int64_t at)
{
    while (size > 0) {
        const ssize_t n = seekable ? pwrite(fd, data, size, at) : write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += n;
        size -= static_cast<size_t>(n);
        at += n;
    }
    return true;
}

// Writes the buffer out and empties it. 0 or -1 (reported).
int writeOut(Capture* c)
{
    if (c->fd < 0)
        return -1;
    const int64_t at = c->offset.load(std::memory_order_relaxed);
    if (c->end > 0) {
        bool written = writeAt(c->fd, c->seekable, c->buffer.get(), c->end, at);
        if (!written && c->seekable && errno == ESPIPE) {
            c->seekable = false; // a pipe or a terminal: plain writes, in order
            written = writeAt(c->fd, false, c->buffer.get(), c->end, at);
        }
        if (!written) {
            fail(c);
            return -1;
        }
    }
    // Emptied before the offset moves: a handler in between writes nothing.
    c->published.store(0, std::memory_order_release);
    c->offset.store(at + static_cast<int64_t>(c->end), std::memory_order_release);
    c->end = 0;
    return 0;
}

void closeLine(Capture* c)
{
    c->buffer[c->end++] = '\n';
    c->lineOpen = false;
}

void openLine(Capture* c, int64_t at)
{
    if (Storage - c->end < MaxLine)
        writeOut(c);
    c->end = static_cast<size_t>(putTime(c->buffer.get() + c->end, at) - c->buffer.get());
    c->lineOpen = true;
    c->chunkBytes = 0;
}

std::atomic<Capture*> signalCapture{nullptr};
constexpr std::array<int, 3> FlushSignals{SIGINT, SIGTERM, SIGHUP};
std::array<struct sigaction, FlushSignals.size()> previous{};
std::array<bool, FlushSignals.size()> installed{};

void onSignal(int signo)
{
    const int saved = errno;
    Capture_flushFromSignal(signalCapture.load());
    for (size_t i = 0; i < FlushSignals.size(); ++i) {
        if (FlushSignals[i] == signo)
            sigaction(signo, &previous[i], nullptr);
    }
    // Blocked while this handler runs: delivered, to the previous handling, on return.
    raise(signo);
    errno = saved;
}

} // namespace

int64_t Capture_clockMicros()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

Capture* Capture_create(const char* path, const char* program, const char* port, int baud)
{
    std::unique_ptr<Capture> c(new (std::nothrow) Capture);
    if (!c)
        return nullptr;
    c->buffer.reset(new (std::nothrow) char[Storage]);
    if (!c->buffer)
        return nullptr;
    c->path = path;
    c->program = program;
    timespec wall{};
    clock_gettime(CLOCK_REALTIME, &wall);
    c->start = Capture_clockMicros();

    tm utc{};
    gmtime_r(&wall.tv_sec, &utc);
    char when[64];
    std::snprintf(when, sizeof when, "%04d-%02d-%02dT%02d:%02d:%02d.%06ldZ", utc.tm_year + 1900, utc.tm_mon + 1,
                  utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, wall.tv_nsec / 1000);
    std::string header = std::string(Magic) + std::to_string(CAPTURE_VERSION) + "\n# port ";
    for (const char* p = port; *p != '\0' && header.size() < 1024; ++p) {
        char escaped[4];
        header.append(escaped, putEscaped(escaped, static_cast<unsigned char>(*p)));
    }
    header += "\n# line " + std::to_string(baud) + " 8N1\n# start " + when + "\n";
    std::memcpy(c->buffer.get(), header.data(), header.size());
    c->end = header.size();

    // A capture written into the port itself would be sent to the box.
    struct stat target {};
    struct stat device {};
    if (stat(path, &target) == 0 && stat(port, &device) == 0 && S_ISCHR(target.st_mode) &&
        S_ISCHR(device.st_mode) && target.st_rdev == device.st_rdev) {
        std::fprintf(stderr, "%s: capture %s: is the port itself: nothing is recorded\n", program, path);
        c->fd = -1;
        c->published.store(0, std::memory_order_release);
        return c.release();
    }
    // Not blocking: a pipe with no reader is reported at once rather than
    // waited on for ever with the port locked. Writing may block again after.
    c->fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0666);
    if (c->fd >= 0)
        fcntl(c->fd, F_SETFL, fcntl(c->fd, F_GETFL) & ~O_NONBLOCK);
    if (c->fd < 0)
        fail(c.get());
    else
        writeOut(c.get());
    return c.release();
}

void Capture_destroy(Capture* c)
{
    if (c == nullptr)
        return;
    Capture_flush(c);
    if (c->fd >= 0 && close(c->fd) != 0) {
        c->fd = -1;
        fail(c);
    }
    delete c;
}

int64_t Capture_elapsed(const Capture* c) { return Capture_clockMicros() - c->start; }

int Capture_append(Capture* c, const void* bytes, size_t size)
{
    return Capture_appendAt(c, bytes, size, Capture_elapsed(c));
}

int Capture_appendAt(Capture* c, const void* bytes, size_t size, int64_t at)
{
    if (c->fd < 0)
        return -1;
    if (at < c->lastByte)
        at = c->lastByte;
    const auto* p = static_cast<const unsigned char*>(bytes);
    for (size_t i = 0; i < size; ++i) {
        if (c->lineOpen && (p[i] == '\n' || at - c->lastByte > CAPTURE_GAP_MICROS || c->chunkBytes == CAPTURE_MAX_CHUNK)) {
            closeLine(c);
            if (at - c->lastFlush >= FlushMicros) {
                c->lastFlush = at;
                if (writeOut(c) != 0)
                    return -1;
            }
        }
        if (!c->lineOpen) {
            openLine(c, at);
            if (c->fd < 0)
                return -1;
        }
        c->end = static_cast<size_t>(putEscaped(c->buffer.get() + c->end, p[i]) - c->buffer.get());
        ++c->chunkBytes;
        c->lastByte = at;
    }
    c->published.store(c->end, std::memory_order_release);
    return 0;
}

int Capture_mark(Capture* c, CaptureMarkKind kind, int64_t at)
{
    if (c->fd < 0)
        return -1;
    if (at < c->lastByte)
        at = c->lastByte;
    if (c->lineOpen)
        closeLine(c);
    if (Storage - c->end < MaxLine && writeOut(c) != 0)
        return -1;
    const std::string_view word = kind == CaptureMarkKind::Lost ? "# lost " : "# reopened ";
    std::memcpy(c->buffer.get() + c->end, word.data(), word.size());
    c->end += word.size();
    c->end = static_cast<size_t>(putTime(c->buffer.get() + c->end, at) - c->buffer.get());
    c->buffer[c->end - 1] = '\n'; // in place of the blank that follows a chunk's time
    c->lastByte = at;
    c->published.store(c->end, std::memory_order_release);
    return 0;
}

int Capture_flush(Capture* c)
{
    if (c->fd < 0)
        return -1;
    if (c->lineOpen)
        closeLine(c);
    c->published.store(c->end, std::memory_order_release);
    return writeOut(c);
}

void Capture_flushFromSignal(Capture* c)
{
    if (c == nullptr || c->fd < 0)
        return;
    const size_t size = c->published.load(std::memory_order_acquire);
    const int64_t at = c->offset.load(std::memory_order_acquire);
    if (size == 0 || !writeAt(c->fd, c->seekable, c->buffer.get(), size, at))
        return;
    if (c->buffer[size - 1] != '\n')
        writeAt(c->fd, c->seekable, "\n", 1, at + static_cast<int64_t>(size));
}

void Capture_flushOnSignals(Capture* c)
{
    signalCapture.store(c);
    for (size_t i = 0; i < FlushSignals.size(); ++i) {
        if (c == nullptr) {
            if (installed[i])
                sigaction(FlushSignals[i], &previous[i], nullptr);
            installed[i] = false;
            continue;
        }
        if (installed[i])
            continue;
        sigaction(FlushSignals[i], nullptr, &previous[i]);
        // An ignored signal stays ignored (a background job's Ctrl-C).
        if (previous[i].sa_handler == SIG_IGN)
            continue;
        struct sigaction action {};
        action.sa_handler = onSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        sigaction(FlushSignals[i], &action, nullptr);
        installed[i] = true;
    }
}

namespace {

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// "S.UUUUUU" at the start of `line`: its length, or 0 when there is none.
size_t parseTime(std::string_view line, int64_t* offset)
{
    size_t i = 0;
    int64_t seconds = 0;
    while (i < line.size() && line[i] >= '0' && line[i] <= '9' && i < 12)
        seconds = seconds * 10 + (line[i++] - '0');
    if (i == 0 || i + 7 > line.size() || line[i] != '.')
        return 0;
    int64_t fraction = 0;
    for (size_t k = i + 1; k < i + 7; ++k) {
        if (line[k] < '0' || line[k] > '9')
            return 0;
        fraction = fraction * 10 + (line[k] - '0');
    }
    *offset = seconds * 1000000 + fraction;
    return i + 7;
}

// One data line: "S.UUUUUU BYTES". nullptr, or what is wrong.
const char* parseLine(std::string_view line, int64_t* offset, std::vector<char>* bytes)
{
    size_t i = parseTime(line, offset);
    if (i == 0 || i == line.size())
        return "no time (seconds.microseconds) at the start";
    if (line[i] != ' ')
        return "no blank after the time";
    ++i;
    if (i == line.size())
        return "no bytes after the time";
    while (i < line.size()) {
        const auto b = static_cast<unsigned char>(line[i]);
        if (b == '\\') {
            if (i + 4 > line.size() || line[i + 1] != 'x' || hexValue(line[i + 2]) < 0 || hexValue(line[i + 3]) < 0)
                return "bad escape (\\xHH expected)";
            bytes->push_back(static_cast<char>(hexValue(line[i + 2]) * 16 + hexValue(line[i + 3])));
            i += 4;
        } else if (isPlain(b)) {
            bytes->push_back(static_cast<char>(b));
            ++i;
        } else {
            return "byte outside 0x21..0x7E not written as \\xHH";
        }
    }
    return nullptr;
}

struct ParsedChunk {
    int64_t offset;
    size_t begin;
    size_t size;
};

// A comment of exactly the form "# lost S.UUUUUU" or "# reopened S.UUUUUU"
// is a mark; any other comment is passed over, as version 1 readers do.
bool parseMark(std::string_view line, CaptureMark* mark)
{
    constexpr std::string_view Lost = "# lost ";
    constexpr std::string_view Reopened = "# reopened ";
    std::string_view rest;
    if (line.substr(0, Lost.size()) == Lost) {
        mark->kind = CaptureMarkKind::Lost;
        rest = line.substr(Lost.size());
    } else if (line.substr(0, Reopened.size()) == Reopened) {
        mark->kind = CaptureMarkKind::Reopened;
        rest = line.substr(Reopened.size());
    } else {
        return false;
    }
    return parseTime(rest, &mark->offset) == rest.size() && !rest.empty();
}

} // namespace

CaptureLog* CaptureLog_parse(const char* text, size_t size, size_t* badLine, const char** why)
{
    *badLine = 0;
    *why = "out of memory";
    try {
        std::vector<char> bytes;
        std::vector<ParsedChunk> chunks;
        std::vector<CaptureMark> marks;
        int64_t lastTime = 0; // of the chunk or mark before
        const std::string_view all(text, size);
        size_t lineNumber = 0;
        for (size_t pos = 0; pos < all.size();) {
            ++lineNumber;
            const size_t eol = all.find('\n', pos);
            *badLine = lineNumber;
            if (eol == std::string_view::npos) {
                *why = "last line cut short (no line feed)";
                return nullptr;
            }
            const std::string_view line = all.substr(pos, eol - pos);
            pos = eol + 1;
            // Line ends of another system: say so, rather than blame the
            // version or a byte.
            if (!line.empty() && line.back() == '\r') {
                *why = "stray carriage return at the end of the line (a capture's lines end with a line "
                       "feed alone, not CRLF)";
                return nullptr;
            }
            if (lineNumber == 1) {
                if (line.substr(0, Magic.size()) != Magic) {
                    *why = "not a capture: the first line is not \"# quarvo-capture VERSION\"";
                    return nullptr;
                }
                if (line.substr(Magic.size()) != std::to_string(CAPTURE_VERSION)) {
                    *why = "capture format version not supported (this program reads version 1)";
                    return nullptr;
                }
                continue;
            }
            const bool lost = !marks.empty() && marks.back().kind == CaptureMarkKind::Lost;
            if (!line.empty() && line[0] == '#') {
                CaptureMark mark{};
                if (!parseMark(line, &mark))
                    continue;
                if ((mark.kind == CaptureMarkKind::Lost) == lost) {
                    *why = lost ? "port lost again before it was reopened" : "port reopened that was not lost";
                    return nullptr;
                }
                if (mark.offset < lastTime) {
                    *why = "time earlier than the line before";
                    return nullptr;
                }
                mark.beforeChunk = chunks.size();
                marks.push_back(mark);
                lastTime = mark.offset;
                continue;
            }
            int64_t offset = 0;
            const size_t begin = bytes.size();
            if (const char* wrong = parseLine(line, &offset, &bytes)) {
                *why = wrong;
                return nullptr;
            }
            if (offset < lastTime) {
                *why = "time earlier than the line before";
                return nullptr;
            }
            if (lost) {
                *why = "bytes received while the port was lost";
                return nullptr;
            }
            chunks.push_back({offset, begin, bytes.size() - begin});
            lastTime = offset;
        }
        if (lineNumber == 0) {
            *badLine = 1;
            *why = "empty file: not a capture";
            return nullptr;
        }
        *badLine = 0;
        *why = "out of memory";
        std::unique_ptr<CaptureLog, decltype(&CaptureLog_destroy)> log(new (std::nothrow) CaptureLog{},
                                                                       &CaptureLog_destroy);
        if (!log)
            return nullptr;
        log->bytes = new (std::nothrow) char[bytes.size() + 1];
        log->chunks = new (std::nothrow) CaptureChunk[chunks.size() + 1];
        log->marks = new (std::nothrow) CaptureMark[marks.size() + 1];
        if (log->bytes == nullptr || log->chunks == nullptr || log->marks == nullptr)
            return nullptr;
        std::copy(marks.begin(), marks.end(), log->marks);
        log->markCount = marks.size();
        if (!bytes.empty()) // a capture may hold no byte at all
            std::memcpy(log->bytes, bytes.data(), bytes.size());
        for (const ParsedChunk& chunk : chunks)
            log->chunks[log->count++] = {chunk.offset, log->bytes + chunk.begin, chunk.size};
        *why = nullptr;
        return log.release();
    } catch (const std::bad_alloc&) {
        *badLine = 0;
        *why = "out of memory";
        return nullptr;
    }
}

void CaptureLog_destroy(CaptureLog* log)
{
    if (log == nullptr)
        return;
    delete[] log->chunks;
    delete[] log->bytes;
    delete[] log->marks;
    delete log;
}
