// quarvo-sim: a stand-in for the set-top box. Opens a pseudo-terminal, prints
// the device path to use as the feedback port on the first line of its
// standard output, then sends packets built from its command line.
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <getopt.h>
#include <pty.h>
#include <string>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "drain.h"
#include "packet.h"

namespace {

void usage(FILE* out, const char* name)
{
    std::fprintf(out,
                 "Usage: %s --record CODE=VALUE [--record CODE=VALUE ...] [options]\n"
                 "       %s --raw FILE|- [options]\n"
                 "Stands in for the set-top box: prints the path of a pseudo-terminal, then\n"
                 "sends packets on it until stopped.\n"
                 "  --record CODE=VALUE  a record of every packet, in order (\\xHH escapes allowed)\n"
                 "  --count N            send N packets, then end (default: until stopped)\n"
                 "  --interval MS        pause between packets in milliseconds (default 1000)\n"
                 "  --garbage TEXT       send TEXT before every packet (\\xHH escapes allowed)\n"
                 "  --bad-checksum       send every packet with a wrong checksum\n"
                 "  --raw FILE           send the bytes of FILE (- for standard input) as they are\n"
                 "  --linger MS          at the end, wait at most MS for the reader to take\n"
                 "                       everything sent (default 5000)\n"
                 "  --help               show this text\n"
                 "  --version            show the version\n",
                 name, name);
}

bool parseNumber(const char* text, long* out)
{
    char* end = nullptr;
    errno = 0;
    const long n = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || n < 0)
        return false;
    *out = n;
    return true;
}

bool writeAll(int fd, const std::string& bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

std::string readAll(const char* path, bool* ok)
{
    const int fd = std::strcmp(path, "-") == 0 ? STDIN_FILENO : open(path, O_RDONLY | O_CLOEXEC);
    *ok = fd >= 0;
    std::string bytes;
    if (!*ok)
        return bytes;
    char chunk[4096];
    ssize_t n;
    while ((n = read(fd, chunk, sizeof chunk)) > 0)
        bytes.append(chunk, static_cast<size_t>(n));
    *ok = n == 0;
    if (fd != STDIN_FILENO)
        close(fd);
    return bytes;
}

} // namespace

int main(int argc, char** argv)
{
    const char* name = argv[0];
    static const option options[] = {
        {"record", required_argument, nullptr, 'r'},  {"count", required_argument, nullptr, 'n'},
        {"interval", required_argument, nullptr, 'i'}, {"garbage", required_argument, nullptr, 'g'},
        {"bad-checksum", no_argument, nullptr, 'b'},   {"raw", required_argument, nullptr, 'w'},
        {"linger", required_argument, nullptr, 'l'},   {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, 'V'},        {nullptr, 0, nullptr, 0},
    };
    std::vector<SimRecord> records;
    PacketOptions packetOptions;
    std::string garbage;
    const char* rawPath = nullptr;
    long count = -1;
    long intervalMs = 1000;
    long lingerMs = 5000;
    std::string error;
    int opt;
    while ((opt = getopt_long(argc, argv, "", options, nullptr)) != -1) {
        switch (opt) {
        case 'r': {
            SimRecord record;
            if (!parseRecord(optarg, &record, &error)) {
                std::fprintf(stderr, "%s: --record %s: %s\n", name, optarg, error.c_str());
                return 2;
            }
            records.push_back(record);
            break;
        }
        case 'n':
        case 'i':
        case 'l': {
            long n;
            if (!parseNumber(optarg, &n)) {
                std::fprintf(stderr, "%s: not a whole number: %s\n", name, optarg);
                return 2;
            }
            (opt == 'n' ? count : opt == 'i' ? intervalMs : lingerMs) = n;
            break;
        }
        case 'g':
            if (!unescape(optarg, &garbage)) {
                std::fprintf(stderr, "%s: --garbage: bad escape (use \\xHH or \\\\)\n", name);
                return 2;
            }
            break;
        case 'b':
            packetOptions.badChecksum = true;
            break;
        case 'w':
            rawPath = optarg;
            break;
        case 'h':
            usage(stdout, name);
            return 0;
        case 'V':
            std::printf("quarvo-sim %s\n", QUARVO_VERSION);
            return 0;
        default:
            usage(stderr, name);
            return 2;
        }
    }
    if (optind < argc) {
        std::fprintf(stderr, "%s: unexpected argument: %s\n", name, argv[optind]);
        usage(stderr, name);
        return 2;
    }
    if ((rawPath == nullptr) == records.empty()) {
        std::fprintf(stderr, "%s: give either --record or --raw\n", name);
        usage(stderr, name);
        return 2;
    }

    std::string payload;
    if (rawPath != nullptr) {
        bool ok = false;
        payload = readAll(rawPath, &ok);
        if (!ok) {
            std::fprintf(stderr, "%s: reading %s failed: %s\n", name, rawPath, std::strerror(errno));
            return 1;
        }
    } else {
        payload = encodePacket(records, packetOptions, &error);
        if (payload.empty()) {
            std::fprintf(stderr, "%s: %s\n", name, error.c_str());
            return 2;
        }
        payload = garbage + payload;
    }

    int master = -1;
    int slave = -1;
    char path[256];
    if (openpty(&master, &slave, path, nullptr, nullptr) != 0) {
        std::perror("openpty");
        return 1;
    }
    // Raw from the start: nothing sent may be echoed or held back for a line.
    termios raw{};
    tcgetattr(slave, &raw);
    cfmakeraw(&raw);
    tcsetattr(slave, TCSANOW, &raw);
    std::printf("%s\n", path);
    std::fflush(stdout);

    if (rawPath != nullptr) {
        count = 1;
    }
    for (long sent = 0; count < 0 || sent < count; ++sent) {
        if (sent > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(intervalMs));
        if (!writeAll(master, payload)) {
            std::perror("write");
            return 1;
        }
    }
    waitUntilTaken(slave, std::chrono::steady_clock::now() + std::chrono::milliseconds(lingerMs));
    return 0;
}
