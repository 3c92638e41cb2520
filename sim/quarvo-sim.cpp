// quarvo-sim: a stand-in for the set-top box. Opens a pseudo-terminal, prints
// the device path to use as the feedback port on the first line of its
// standard output, then sends packets built from its command line.
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <getopt.h>
#include <memory>
#include <poll.h>
#include <pty.h>
#include <random>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <sys/types.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

#include "atomic_file.h"
#include "capture.h"
#include "clock.h"
#include "command_line.h"
#include "drain.h"
#include "packet.h"
#include "printable.h"
#include "standard_streams.h"

namespace {

void usage(FILE* out, const char* name)
{
    std::fprintf(out,
                 "Usage: %s --record CODE=VALUE [--record CODE=VALUE ...] [options]\n"
                 "       %s --raw FILE|- [options]\n"
                 "       %s --replay CAPTURE [--speed X] [--loop N] [--linger MS] [--link PATH]\n"
                 "Stands in for the set-top box: prints the path of a pseudo-terminal, then\n"
                 "sends packets on it until stopped.\n"
                 "  --record CODE=VALUE  a record of every packet, in order (\\xHH escapes allowed)\n"
                 "  --count N            send N packets, then end (default: until stopped)\n"
                 "  --interval MS        pause between packets in milliseconds (default 1000)\n"
                 "  --garbage TEXT       send TEXT before every packet (\\xHH escapes allowed)\n"
                 "  --bad-checksum       send every packet with a wrong checksum\n"
                 "  --raw FILE           send the bytes of FILE (- for standard input) as they are\n"
                 "  --replay CAPTURE     send a capture's chunks (- for standard input) at their\n"
                 "                       recorded times\n"
                 "  --speed X            replay X times as fast (default 1)\n"
                 "  --loop N             replay N times, 0 for until stopped (default 1)\n"
                 "  --linger MS          at the end, wait at most MS for the reader to take\n"
                 "                       everything sent (default 5000)\n"
                 "  --link PATH          keep a symbolic link PATH to the pseudo-terminal; with\n"
                 "                       --replay, the port vanishes for each marked loss\n"
                 "  --vanish-after N     with --link: after N packets the port vanishes, then\n"
                 "                       comes back as a new pseudo-terminal under the link\n"
                 "  --vanish-for MS      how long it stays away (default 2000)\n"
                 "  --tune-from FIFO     with --record: take channel numbers, one a line, from\n"
                 "                       FIFO (made if missing, removed at the end)\n"
                 "  --zap-ms MS|MIN-MAX  how long a channel change takes (default 500)\n"
                 "  --zap-fail LIST      channels (comma-separated) whose change ends in an error\n"
                 "  --help               show this text\n"
                 "  --version            show the version\n",
                 name, name, name);
}

// --link: a fixed name for a port whose pseudo-terminal comes and goes, as
// /dev/serial/by-id names a USB adapter. Kept in a plain array so that a
// signal handler can remove it.
const char* programName = "quarvo-sim"; // as invoked, for messages
char linkPath[4096];
char linkTarget[256]; // the pseudo-terminal the link was last pointed at by this box
char tunePath[4096];  // --tune-from's FIFO, removed at the end

// Removes the link only while it is still this box's: another box may have
// taken the name over since, or a user put a file there. Async-signal-safe.
void removeOwnLink()
{
    char target[sizeof linkTarget];
    const ssize_t n = readlink(linkPath, target, sizeof target - 1);
    if (n <= 0 || linkTarget[0] == '\0')
        return;
    target[n] = '\0';
    if (std::strcmp(target, linkTarget) == 0)
        unlink(linkPath);
}

// The link, and the FIFO while it is still one. Async-signal-safe.
void removeOwnFiles()
{
    struct stat fifo {};
    removeOwnLink();
    if (tunePath[0] != '\0' && lstat(tunePath, &fifo) == 0 && S_ISFIFO(fifo.st_mode))
        unlink(tunePath);
}

void removeFilesAndEnd(int signo)
{
    removeOwnFiles();
    signal(signo, SIG_DFL);
    raise(signo);
}

// Points the link at `target` in one step (a new link renamed over it).
bool pointLink(const char* target)
{
    const std::string temporary = std::string(linkPath) + ".new-" + std::to_string(getpid());
    unlink(temporary.c_str());
    if (symlink(target, temporary.c_str()) != 0 || rename(temporary.c_str(), linkPath) != 0) {
        std::fprintf(stderr, "%s: --link %s: %s\n", programName, linkPath, std::strerror(errno));
        unlink(temporary.c_str());
        return false;
    }
    std::snprintf(linkTarget, sizeof linkTarget, "%s", target);
    return true;
}

// The pseudo-terminal, raw from the start (nothing sent may be echoed or held
// back for a line), its path printed first. False when none could be opened.
bool openPort(int* master, int* slave)
{
    char path[256];
    if (openpty(master, slave, path, nullptr, nullptr) != 0) {
        std::fprintf(stderr, "%s: opening a pseudo-terminal failed: %s\n", programName, std::strerror(errno));
        return false;
    }
    termios raw{};
    tcgetattr(*slave, &raw);
    cfmakeraw(&raw);
    tcsetattr(*slave, TCSANOW, &raw);
    if (linkPath[0] != '\0' && !pointLink(path))
        return false;
    std::printf("%s\n", path);
    std::fflush(stdout);
    return true;
}

// The port vanishes, and its link with it. A box lets its reader take what
// it sent before it goes: the kernel throws away what is unread when the
// port closes. At most a second when nobody reads.
void closePort(int* master, int* slave)
{
    waitUntilTaken(*slave, Deadline_after(Clock_now(), CLOCK_SECOND));
    removeOwnLink();
    close(*master);
    close(*slave);
    *master = *slave = -1;
}

// Sleeps until `due`, or until `fd` (if one) has input: 1 then, 0 at `due`,
// -1 (reported) when waiting fails. A time already past (--interval 0, a
// late chunk) costs no system call: a flood goes at the speed the port takes it.
int sleepUntil(Deadline due, int fd = -1)
{
    pollfd watched{fd, POLLIN, 0};
    timespec storage{};
    for (int64_t now = Clock_now(); !Deadline_passed(due, now); now = Clock_now()) {
        const int ready = ppoll(&watched, fd >= 0 ? 1 : 0, Deadline_timespec(due, now, &storage), nullptr);
        if (ready > 0)
            return 1;
        if (ready < 0 && errno != EINTR) {
            std::fprintf(stderr, "%s: waiting failed: %s\n", programName, std::strerror(errno));
            return -1;
        }
    }
    return 0;
}

Deadline afterMs(long ms) { return Deadline_after(Clock_now(), ms * CLOCK_MILLISECOND); }

// False (reported) when the port does not take all of `bytes`.
bool send(int master, std::string_view bytes)
{
    if (writeAll(master, bytes))
        return true;
    std::fprintf(stderr, "%s: writing to the port failed: %s\n", programName, std::strerror(errno));
    return false;
}

// `micros` into the replay's schedule: an absolute point of the clock
// counted from `start`, so a late step never delays the ones after it. A
// time beyond what the clock can count (centuries) is the end of its count
// rather than a wrap round to now.
Deadline scheduled(int64_t start, double micros, double speed)
{
    return {static_cast<int64_t>(std::min(static_cast<double>(start) + micros * 1000.0 / speed, 9.2e18))};
}

// Where the capture marks the port lost and reopened: with --link the port
// goes and comes back then, as it did for the program that recorded it;
// without, the gap is only a silence.
bool followMark(const CaptureItem& mark, int* master, int* slave)
{
    if (linkPath[0] == '\0')
        return true;
    if (mark.kind == CaptureMarkKind::Reopened)
        return *master >= 0 || openPort(master, slave);
    if (*master >= 0)
        closePort(master, slave);
    return true;
}

using ReaderPtr = std::unique_ptr<CaptureReader, decltype(&CaptureReader_destroy)>;

// The capture, readable from its start again for each pass: a pipe or the
// standard input is first copied into an unnamed file, so that a malformed
// capture is still refused before anything is sent. -1 when that fails (reported).
int openCapture(const char* path)
{
    const int fd = std::strcmp(path, "-") == 0 ? dup(STDIN_FILENO) : open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0 || lseek(fd, 0, SEEK_SET) == 0) {
        if (fd < 0)
            std::fprintf(stderr, "%s: reading %s failed: %s\n", programName, path, std::strerror(errno));
        return fd;
    }
    const char* dir = std::getenv("TMPDIR");
    const int copy = open(dir != nullptr && *dir != '\0' ? dir : "/tmp", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    char chunk[65536];
    ssize_t n = 0;
    while (copy >= 0 && ((n = read(fd, chunk, sizeof chunk)) > 0 || (n < 0 && errno == EINTR)))
        if (n > 0 && !writeAll(copy, std::string_view(chunk, static_cast<size_t>(n))))
            break;
    const int error = errno;
    close(fd);
    if (copy >= 0 && n == 0 && lseek(copy, 0, SEEK_SET) == 0)
        return copy;
    std::fprintf(stderr, "%s: %s %s failed: %s\n", programName, n < 0 ? "reading" : "keeping a copy of", path,
                 std::strerror(error));
    if (copy >= 0)
        close(copy);
    return -1;
}

// One pass over the capture from its start: each item to `take`. False
// (reported) when the capture is malformed or `take` fails.
template <typename Take>
bool readPass(const char* path, int fd, Take take)
{
    const bool rewound = lseek(fd, 0, SEEK_SET) == 0;
    ReaderPtr reader(rewound ? CaptureReader_open(fd) : nullptr, &CaptureReader_destroy);
    if (!reader) {
        std::fprintf(stderr, "%s: %s: %s\n", programName, path, rewound ? "out of memory" : std::strerror(errno));
        return false;
    }
    CaptureItem item{};
    int got;
    while ((got = CaptureReader_next(reader.get(), &item)) == 1)
        if (!take(item))
            return false;
    if (got == 0)
        return true;
    if (CaptureReader_line(reader.get()) == 0)
        std::fprintf(stderr, "%s: reading %s failed: %s\n", programName, path, CaptureReader_why(reader.get()));
    else
        std::fprintf(stderr, "%s: %s:%zu: %s\n", programName, path, CaptureReader_line(reader.get()),
                     CaptureReader_why(reader.get()));
    return false;
}

// Sends a capture's chunks at their recorded times, and follows its marks.
// A first pass only checks it, so nothing is sent from a malformed one.
int replay(const char* path, double speed, long loops, long lingerMs)
{
    const int fd = openCapture(path);
    size_t chunks = 0;
    int64_t passMicros = 0; // one pass lasts until its last chunk or mark
    if (fd < 0 || !readPass(path, fd, [&](const CaptureItem& item) {
            chunks += !item.isMark;
            passMicros = item.offset;
            return true;
        }))
        return 1;
    int master = -1;
    int slave = -1;
    if (!openPort(&master, &slave))
        return 1;
    const int64_t start = Clock_now();
    for (long pass = 0; loops == 0 || pass < loops; ++pass) {
        const double passStart = static_cast<double>(pass) * static_cast<double>(passMicros);
        if (!readPass(path, fd, [&](const CaptureItem& item) {
                if (sleepUntil(scheduled(start, passStart + static_cast<double>(item.offset), speed)) < 0)
                    return false;
                if (item.isMark)
                    return followMark(item, &master, &slave);
                // A pass that ended with the port lost begins with it back.
                if (master < 0 && !openPort(&master, &slave))
                    return false;
                return send(master, std::string_view(item.bytes, item.size));
            }))
            return 1;
        if (chunks == 0)
            break;
    }
    if (master >= 0)
        waitUntilTaken(slave, afterMs(lingerMs));
    return 0;
}

// What the command line asks for.
struct Options {
    std::vector<SimRecord> records;
    PacketOptions packetOptions;
    std::string garbage;
    const char* rawPath = nullptr;
    const char* replayPath = nullptr;
    double speed = 0; // 0: not given
    long loops = -1;  // -1: not given
    long count = -1;
    long intervalMs = 1000;
    long lingerMs = 5000;
    const char* link = nullptr;
    long vanishAfter = -1; // -1: never
    long vanishForMs = 2000;
    const char* tuneFrom = nullptr;
    long zapMinMs = 500;
    long zapMaxMs = 500;
    std::vector<long> zapFail;
    const char* tuneOnly = nullptr; // an option that needs --tune-from
    const char* packetOnly = nullptr; // an option that --raw cannot honour
};

constexpr option options[] = {
    commandLine_valued("record", 'r'), commandLine_valued("count", 'n'), commandLine_valued("interval", 'i'),
    commandLine_valued("garbage", 'g'), commandLine_flag("bad-checksum", 'b'), commandLine_valued("raw", 'w'),
    commandLine_valued("linger", 'l'), commandLine_valued("replay", 'p'), commandLine_valued("speed", 's'),
    commandLine_valued("loop", 'o'), commandLine_valued("link", 'k'), commandLine_valued("vanish-after", 'v'),
    commandLine_valued("vanish-for", 'W'), commandLine_valued("tune-from", 'T'), commandLine_valued("zap-ms", 'z'),
    commandLine_valued("zap-fail", 'F'),
};

// Every number an option takes has a range, so none can overflow a sleep or
// a deadline further on.
struct NumberOption {
    char letter;
    const char* name;
    long min;
    long max;
    long Options::*field;
};
constexpr NumberOption numberOptions[] = {
    {'n', "--count", 0, 1'000'000'000, &Options::count},
    {'i', "--interval", 0, 86'400'000, &Options::intervalMs},
    {'l', "--linger", 0, 86'400'000, &Options::lingerMs},
    {'o', "--loop", 0, 1'000'000'000, &Options::loops},
    {'v', "--vanish-after", 0, 1'000'000'000, &Options::vanishAfter},
    {'W', "--vanish-for", 0, 86'400'000, &Options::vanishForMs},
};

// A channel the box could report: one to nine decimal digits, nothing else.
bool isChannel(std::string_view text)
{
    return !text.empty() && text.size() <= 9 &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// --zap-ms: MS, or MIN-MAX for a time drawn uniformly between them.
bool parseZap(const char* arg, Options& a)
{
    constexpr long long most = 3'600'000;
    const std::string text(arg);
    const size_t dash = text.find('-');
    long long low = 0;
    long long high = 0;
    if (!commandLine_parseWhole(text.substr(0, dash).c_str(), 10, 0, most, &low))
        return false;
    high = low;
    if (dash != std::string::npos && !commandLine_parseWhole(text.c_str() + dash + 1, 10, low, most, &high))
        return false;
    a.zapMinMs = static_cast<long>(low);
    a.zapMaxMs = static_cast<long>(high);
    return true;
}

// --zap-fail: comma-separated channels.
bool parseZapFail(std::string_view list, Options& a)
{
    for (size_t start = 0;;) {
        const size_t comma = std::min(list.find(',', start), list.size());
        const std::string_view channel = list.substr(start, comma - start);
        if (!isChannel(channel))
            return false;
        a.zapFail.push_back(std::stol(std::string(channel)));
        if (comma == list.size())
            return true;
        start = comma + 1;
    }
}

// A command line refused: what is wrong, the usage where it helps, and the status 2.
[[gnu::format(printf, 2, 3)]] int refuse(bool withUsage, const char* format, ...)
{
    std::fprintf(stderr, "%s: ", programName);
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    if (withUsage)
        usage(stderr, programName);
    return 2;
}

// One option into `a`: -1 to go on, or the status to end with.
int takeOption(int opt, const char* arg, Options& a)
{
    std::string error;
    SimRecord record;
    for (const NumberOption& o : numberOptions) {
        long long n = 0;
        if (o.letter != opt)
            continue;
        if (!commandLine_parseWhole(arg, 10, o.min, o.max, &n))
            return refuse(false, "%s: not a whole number from %ld to %ld: %s\n", o.name, o.min, o.max, arg);
        a.*o.field = static_cast<long>(n);
        if (opt == 'n' || opt == 'i')
            a.packetOnly = o.name;
        return -1;
    }
    switch (opt) {
    case 1: return refuse(true, "unexpected argument: %s\n", arg);
    case 'r':
        if (!parseRecord(arg, &record, &error))
            return refuse(false, "--record %s: %s\n", arg, error.c_str());
        a.records.push_back(record);
        return -1;
    case 'g':
        a.packetOnly = "--garbage";
        return unescape(arg, &a.garbage) ? -1 : refuse(false, "--garbage: bad escape (use \\xHH or \\\\)\n");
    case 'b':
        a.packetOnly = "--bad-checksum";
        a.packetOptions.badChecksum = true;
        return -1;
    case 'w':
        a.rawPath = arg;
        return -1;
    case 'p':
        a.replayPath = arg;
        return -1;
    case 'k':
        a.link = arg;
        return -1;
    case 'T':
        a.tuneFrom = arg;
        a.packetOnly = "--tune-from";
        return -1;
    case 'z':
        a.tuneOnly = "--zap-ms";
        if (!parseZap(arg, a))
            return refuse(false, "--zap-ms: not MS or MIN-MAX, whole numbers from 0 to 3600000: %s\n", arg);
        return -1;
    case 'F':
        a.tuneOnly = "--zap-fail";
        return parseZapFail(arg, a) ? -1 : refuse(false, "--zap-fail: not a list of channels: %s\n", arg);
    case 's':
        if (!commandLine_parseReal(arg, &a.speed) || a.speed < 0.001 || a.speed > 1000)
            return refuse(false, "--speed: not a factor from 0.001 to 1000: %s\n", arg);
        return -1;
    default:
        usage(stderr, programName);
        return 2;
    }
}

// Reads the options into `a`: -1 to go on, or the status to end with.
int parseOptions(int argc, char** argv, Options& a)
{
    CommandLine line{"quarvo-sim", [](const char* shown) { usage(stdout, shown); }, options};
    line.take = [&a](int opt, const char* arg) { return takeOption(opt, arg, a); };
    line.takesWords = true; // a stray word is refused in place
    if (const int status = commandLine_read(argc, argv, line); status >= 0)
        return status;
    return optind < argc ? refuse(true, "unexpected argument: %s\n", argv[optind]) : -1;
}

int tuneFd = -1; // --tune-from's FIFO, open for reading

// Makes or takes the FIFO, open read-write so that no writer's close is an
// end of file: -1 to go on, or the status to end with.
int openTuneFifo(const char* path)
{
    struct stat existing {};
    if (std::strlen(path) >= sizeof tunePath)
        return refuse(false, "--tune-from: path too long\n");
    if (mkfifo(path, 0600) != 0 && errno != EEXIST) {
        std::fprintf(stderr, "%s: --tune-from %s: %s\n", programName, path, std::strerror(errno));
        return 1;
    }
    // Only a FIFO is ever removed: a file of the user's is not ours to.
    if (lstat(path, &existing) != 0 || !S_ISFIFO(existing.st_mode)) {
        std::fprintf(stderr, "%s: --tune-from %s: exists and is not a FIFO\n", programName, path);
        return 1;
    }
    std::strcpy(tunePath, path);
    tuneFd = open(path, O_RDWR | O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW);
    if (tuneFd < 0) {
        std::fprintf(stderr, "%s: --tune-from %s: %s\n", programName, path, std::strerror(errno));
        removeOwnFiles();
        return 1;
    }
    return -1;
}

// Refuses options that cannot go together and sets up --link and
// --tune-from: -1 to go on, or the status to end with.
int checkOptions(const Options& a)
{
    if ((a.rawPath != nullptr) + (a.replayPath != nullptr) + !a.records.empty() != 1)
        return refuse(true, "give one of --record, --raw or --replay\n");
    if (a.rawPath != nullptr && a.packetOnly != nullptr)
        return refuse(false, "--raw sends the file once, as it is: %s cannot go with it\n", a.packetOnly);
    if (a.replayPath != nullptr && a.packetOnly != nullptr)
        return refuse(false, "--replay sends the capture as it was recorded: %s cannot go with it\n", a.packetOnly);
    if (a.replayPath == nullptr && (a.speed != 0 || a.loops >= 0))
        return refuse(true, "--speed and --loop go with --replay\n");
    if (a.vanishAfter >= 0 && (a.link == nullptr || a.records.empty()))
        return refuse(false, "--vanish-after goes with --record and --link\n");
    if (a.tuneOnly != nullptr && a.tuneFrom == nullptr)
        return refuse(false, "%s goes with --tune-from\n", a.tuneOnly);
    if (a.link != nullptr) {
        struct stat existing {};
        if (std::strlen(a.link) >= sizeof linkPath)
            return refuse(false, "--link: path too long\n");
        // Only a link is ever replaced: a file of the user's is not ours to remove.
        if (lstat(a.link, &existing) == 0 && !S_ISLNK(existing.st_mode)) {
            std::fprintf(stderr, "%s: --link %s: exists and is not a symbolic link\n", programName, a.link);
            return 1;
        }
        std::strcpy(linkPath, a.link);
    }
    if (a.tuneFrom != nullptr)
        if (const int status = openTuneFifo(a.tuneFrom); status >= 0)
            return status;
    if (a.link != nullptr || a.tuneFrom != nullptr) {
        for (int signo : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
            struct sigaction previous {};
            sigaction(signo, nullptr, &previous);
            if (previous.sa_handler != SIG_IGN) // as under nohup: stays ignored
                signal(signo, removeFilesAndEnd);
        }
        std::atexit(removeOwnFiles);
    }
    return -1;
}

// --tune-from: the channels written to the FIFO, and the change under way.
class Tuner {
public:
    static constexpr size_t longestLine = 64;
    explicit Tuner(const Options& a) : options_(a) {}

    // Waits until `due`; with a FIFO, returns early with the channels written
    // to it meanwhile in `channels`. False (reported) when waiting fails.
    bool wait(Deadline due, std::vector<std::string>* channels)
    {
        for (;;) {
            const int woke = sleepUntil(due, tuneFd);
            if (woke <= 0)
                return woke == 0;
            take(channels);
            if (!channels->empty())
                return true;
        }
    }

    // When the change now asked for is done.
    Deadline started()
    {
        std::uniform_int_distribution<long> ms(options_.zapMinMs, options_.zapMaxMs);
        return afterMs(ms(random_));
    }

    bool fails(const std::string& channel) const
    {
        const long number = std::stol(channel);
        return std::find(options_.zapFail.begin(), options_.zapFail.end(), number) != options_.zapFail.end();
    }

private:
    // Everything the FIFO holds now, line by line; a line that is no channel
    // is said once and passed over.
    void take(std::vector<std::string>* channels)
    {
        char chunk[512];
        ssize_t n;
        while ((n = read(tuneFd, chunk, sizeof chunk)) > 0 || (n < 0 && errno == EINTR))
            for (ssize_t i = 0; i < n; ++i)
                takeByte(chunk[i], channels);
    }

    void takeByte(char c, std::vector<std::string>* channels)
    {
        if (c != '\n' && line_.size() < longestLine) {
            line_ += c;
            return;
        }
        if (c != '\n') {
            if (!overlong_)
                std::fprintf(stderr, "%s: --tune-from: a line longer than %zu bytes passed over: %s...\n",
                             programName, longestLine, printable(line_).c_str());
            overlong_ = true;
            return;
        }
        if (isChannel(line_) && !overlong_)
            channels->push_back(line_);
        else if (!overlong_)
            std::fprintf(stderr, "%s: --tune-from: not a channel: %s\n", programName, printable(line_).c_str());
        line_.clear();
        overlong_ = false;
    }

    const Options& options_;
    std::string line_;
    bool overlong_ = false;
    std::mt19937_64 random_{std::random_device{}()};
};

// The box's packet from `records`, with its garbage and its options; empty
// (reported) when the records cannot be framed.
std::string packetOf(const Options& a, const std::vector<SimRecord>& records)
{
    std::string error;
    const std::string packet = encodePacket(records, a.packetOptions, &error);
    if (packet.empty())
        std::fprintf(stderr, "%s: %s\n", programName, error.c_str());
    return packet.empty() ? packet : a.garbage + packet;
}

// The packets a box sends: its own every interval, and with --tune-from the
// changes of channel between them.
class Box {
public:
    explicit Box(const Options& a) : a_(a), records_(a.records), tuner_(a) {}

    // Sends `count` packets (all the file's bytes once with --raw): the status to end with.
    int run(std::string payload, long count)
    {
        payload_ = std::move(payload);
        if (!openPort(&master_, &slave_))
            return 1;
        Deadline next = afterMs(0);
        for (long sent = 0; count < 0 || sent < count; ++sent) {
            if (sent == a_.vanishAfter) {
                // Its reader sees the line hang up; a new pseudo-terminal comes under the link.
                closePort(&master_, &slave_);
                if (sleepUntil(afterMs(a_.vanishForMs)) < 0 || !openPort(&master_, &slave_))
                    return 1;
                next = sent > 0 ? afterMs(a_.intervalMs) : next;
            }
            if (!waitFor(next) || !send(master_, payload_))
                return 1;
            next = afterMs(a_.intervalMs);
        }
        waitUntilTaken(slave_, afterMs(a_.lingerMs));
        return 0;
    }

private:
    // Waits until `due`, tuning meanwhile: each channel asked for is said at
    // once and replaces any change under way, which ends when its time is up.
    bool waitFor(Deadline due)
    {
        for (;;) {
            std::vector<std::string> channels;
            if (!tuner_.wait(pending_ ? Deadline_sooner(due, doneAt_) : due, &channels))
                return false;
            for (const std::string& channel : channels) {
                const std::string said = packetOf(a_, {{"CE00", channel}});
                if (said.empty() || !send(master_, said))
                    return false;
                pending_ = true;
                channel_ = channel;
                doneAt_ = tuner_.started();
            }
            if (pending_ && Deadline_passed(doneAt_, Clock_now()) && !finishChange())
                return false;
            if (Deadline_passed(due, Clock_now()))
                return true;
        }
    }

    // The change done: the new channel in SSCN, or a channel error.
    bool finishChange()
    {
        pending_ = false;
        if (tuner_.fails(channel_)) {
            std::vector<SimRecord> failed = records_;
            failed.push_back({"CEER", channel_});
            const std::string packet = packetOf(a_, failed);
            return !packet.empty() && send(master_, packet);
        }
        for (SimRecord& record : records_)
            if (record.code == "SSCN")
                record.value = channel_;
        const std::string packet = packetOf(a_, records_);
        if (packet.empty())
            return false;
        payload_ = packet;
        return send(master_, payload_);
    }

    const Options& a_;
    std::vector<SimRecord> records_;
    Tuner tuner_;
    std::string payload_;
    int master_ = -1;
    int slave_ = -1;
    bool pending_ = false;
    std::string channel_;
    Deadline doneAt_{};
};

// --record and --raw: the packet, or the file, sent on a new port.
int sendPayload(const Options& a)
{
    std::string payload;
    if (a.rawPath != nullptr) {
        // Far more than any box says in a test is refused (EFBIG) rather
        // than memory run out.
        const int fd = std::strcmp(a.rawPath, "-") == 0 ? STDIN_FILENO : open(a.rawPath, O_RDONLY | O_CLOEXEC);
        if (fd < 0 || !readWhole(fd, 256 * 1024 * 1024, &payload)) {
            std::fprintf(stderr, "%s: reading %s failed: %s\n", programName, a.rawPath, std::strerror(errno));
            return 1;
        }
    } else {
        payload = packetOf(a, a.records);
        if (payload.empty())
            return 2;
    }
    Box box(a);
    return box.run(std::move(payload), a.rawPath != nullptr ? 1 : a.count);
}

} // namespace

int main(int argc, char** argv)
{
    if (!ensureStandardStreams())
        return 1;
    // A reader that took the port's path and closed the pipe ("| head -1")
    // must not end the box: later lines are only news.
    signal(SIGPIPE, SIG_IGN);
    programName = argv[0];
    Options a;
    if (const int status = parseOptions(argc, argv, a); status >= 0)
        return status;
    if (const int status = checkOptions(a); status >= 0)
        return status;
    if (a.replayPath != nullptr)
        return replay(a.replayPath, a.speed == 0 ? 1 : a.speed, a.loops < 0 ? 1 : a.loops, a.lingerMs);

    return sendPayload(a);
}
