// quarvo-term: an interactive terminal on a serial port, for looking at a
// device by hand. Keys typed go to the port; what the port sends is shown
// with control bytes made visible.
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <termios.h>
#include <unistd.h>

#include "capture.h"
#include "clock.h"
#include "command_line.h"
#include "ending_signals.h"
#include "feed.h"
#include "serial.h"
#include "standard_streams.h"

namespace {

constexpr int DefaultEscape = 0x1D; // Ctrl-]

void print_syntax(const char* name)
{
    std::fprintf(stderr,
                 "%s syntax:\n"
                 "%s <serial port> [--baud <rate>] [--escape <key>] [--capture <file>]\n"
                 "[--baud <rate>] - line speed: 300, 9600, 19200, 57600 (default) or 115200\n"
                 "[--escape <key>] - key that ends the session: one character, ^X for Ctrl-X,\n"
                 "                   or a byte value such as 0x1d (default ^], Ctrl-])\n"
                 "[--capture <file>] - also record the bytes received from the port into file\n"
                 "Example:\n\n"
                 "%s /dev/ttyS0\n\n",
                 name, name, name);
}

// --help: every option, one line each, on the standard output.
void print_help(const char* name)
{
    std::printf("Usage: %s PORT [options]\n"
                "Connects this terminal to the serial PORT: keys typed go to the port, and what\n"
                "the port sends is shown with control bytes made visible.\n"
                "  --baud N          line speed: 300, 9600, 19200, 57600 (default) or 115200\n"
                "  --escape KEY      key that ends the session: a character, ^X or 0x1d (default ^])\n"
                "  --capture FILE    also record the bytes received from the port into FILE\n"
                "  --help            show this text\n"
                "  --version         show the version\n",
                name);
}

// "q", "^]" or a byte value ("29", "0x1d").
bool parseKey(std::string_view text, int* key)
{
    if (text.size() == 1) {
        *key = static_cast<unsigned char>(text[0]);
        return true;
    }
    if (text.size() == 2 && text[0] == '^') {
        const int c = std::toupper(static_cast<unsigned char>(text[1]));
        if (c < 0x3F || c > 0x5F)
            return false;
        *key = c == '?' ? 0x7F : c - 0x40;
        return true;
    }
    long long value = 0;
    if (!commandLine_parseWhole(std::string(text).c_str(), 0, 0, 255, &value))
        return false;
    *key = static_cast<int>(value);
    return true;
}

void describeKey(int key, char* out, size_t size)
{
    if (key < 0x20)
        std::snprintf(out, size, "Ctrl-%c (0x%02X)", key + 0x40, key);
    else if (key == 0x7F)
        std::snprintf(out, size, "Ctrl-? (0x7F)");
    else if (key > 0x7F)
        std::snprintf(out, size, "byte 0x%02X", key);
    else
        std::snprintf(out, size, "'%c' (0x%02X)", key, key);
}

// Why `key` can never reach the session from a terminal with settings `t`,
// or null when it can: the terminal acts on some keys itself.
const char* unreachableReason(int key, const termios& t)
{
    const auto bound = [&](int index) { return t.c_cc[index] != _POSIX_VDISABLE && t.c_cc[index] == key; };
    if ((t.c_lflag & ISIG) && (bound(VINTR) || bound(VQUIT) || bound(VSUSP)))
        return "it raises a signal";
    if ((t.c_iflag & IXON) && (bound(VSTART) || bound(VSTOP)))
        return "the terminal takes it for flow control";
    if (key == '\r' && (t.c_iflag & IGNCR))
        return "the terminal ignores carriage returns";
    if (key == '\r' && (t.c_iflag & ICRNL))
        return "Enter arrives as a line feed";
    if (key == '\n' && (t.c_iflag & INLCR))
        return "a line feed arrives as a carriage return";
    if (key > 0x7F && (t.c_iflag & ISTRIP))
        return "the terminal strips the eighth bit";
    return nullptr;
}

// Reads the options into the port's request and the escape key. -1 to go
// on, or the status to end with.
int readOptions(int argc, char** argv, FeedRequest& r, int* escape)
{
    static const option options[] = {
        commandLine_valued("baud", 'b'), commandLine_valued("escape", 'e'), commandLine_valued("capture", 'c'),
    };
    CommandLine line{"quarvo-term", print_help, options};
    line.take = [&](int opt, const char* arg) {
        switch (opt) {
        case 'b': {
            // Refused here, before anything is opened.
            const int known = commandLine_parseBaud(arg, &r.options.port.baud);
            r.baudGiven = true;
            if (known >= 0)
                return known > 0 ? -1 : 1;
            std::fprintf(stderr, "%s: --baud: not a line speed: %s\n", argv[0], arg);
            break;
        }
        case 'e':
            if (parseKey(arg, escape))
                return -1;
            std::fprintf(stderr, "%s: --escape: not a key: %s\n", argv[0], arg);
            break;
        case 'c':
            r.capturePath = arg;
            return -1;
        }
        print_syntax(argv[0]);
        return 1;
    };
    if (const int status = commandLine_read(argc, argv, line); status >= 0)
        return status;
    r.port = commandLine_singlePort(line.words, argc, argv, optind, argv[0]);
    return r.port == nullptr ? line.take('?', nullptr) : -1;
}

// Opens the capture, then the port's feed, and says how to end the session.
// False when the port could not be had (reported); the capture and the feed
// are then for the caller to close as on any other way out.
bool openPort(FeedRequest& port, const char* keyName)
{
    const FeedOpened opened = FeedRequest_open(&port);
    if (opened == FeedOpened::BaudRefused)
        print_syntax(port.program);
    if (opened != FeedOpened::Open)
        return false;
    if (Port_kind(Feed_port(port.feed)) != PortKind::Tcp)
        std::fprintf(stderr, "Connected to %s at %d baud. Press %s to end the session.\n", port.port,
                     port.options.port.baud, keyName);
    else
        std::fprintf(stderr, "Connected to %s (line settings: the server's). Press %s to end the session.\n",
                     port.port, keyName);
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    if (!ensureStandardStreams())
        return 1;
    endingSignals_start(true);
    FeedRequest port{.program = argv[0]};
    int escape = DefaultEscape;
    if (const int status = readOptions(argc, argv, port, &escape); status >= 0)
        return status;
    char keyName[32];
    describeKey(escape, keyName, sizeof keyName);
    if (termios keyboard{}; isatty(STDIN_FILENO) && tcgetattr(STDIN_FILENO, &keyboard) == 0) {
        if (const char* reason = unreachableReason(escape, keyboard)) {
            std::fprintf(stderr, "%s: the escape key %s can never arrive: %s\n", argv[0], keyName, reason);
            return 1;
        }
    }
    const bool opened = openPort(port, keyName);
    if (opened)
        Capture_start(port.capture, Feed_fd(port.feed));
    // A signal while connecting ends the program as it would end the session.
    const int ended = opened ? serial_terminalFeed(port.feed, escape) : endingSignals_caught();
    // The one way out: the capture, then the port (exclusive mode and lock),
    // then the end the manual names.
    Capture_close(port.capture, opened ? CAPTURE_CLOSE_WAIT_MS : 0);
    Feed_destroy(port.feed);
    if (endingSignals_outputLost(STDOUT_FILENO))
        endingSignals_reportOutputLost(argv[0]);
    if (ended > 0)
        endingSignals_endAs(ended);
    return opened ? 0 : 1;
}
