// check-quarvo: is the set-top box on a serial port tuned to the expected
// channel, and free of reported errors? Listens (never sends) on the box's
// feedback port; exit status 0 for the expected channel, 1 otherwise.
#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <getopt.h>
#include <string>
#include <string_view>
#include <sys/ioctl.h>
#include <unistd.h>

#include "buffer.h"
#include "gnome.h"
#include "read_func.h"
#include "serial.h"
#include "standard_streams.h"

namespace {

int debug = 0;
int portFd = -1;
const char* programName = "check-quarvo";
const char* capturePath = nullptr;

const option options_list[] = {
    {"capture", required_argument, nullptr, 'p'},
    // "--c" meant --channel before --capture existed, and still does.
    {"c", required_argument, nullptr, 'c'},
    {"channel", required_argument, nullptr, 'c'},
    {"debug", no_argument, nullptr, 'd'},
    {"feedback", required_argument, nullptr, 'f'},
    {"log", required_argument, nullptr, 'l'},
    {nullptr, 0, nullptr, 0},
};

enum class Action { NewChannel, CurrentChannel, Failure };

struct RecordRule {
    std::string_view code;
    Action action;
    // For failures, the line is before + the value + after.
    std::string_view before;
    std::string_view after;
};

// Checked in this order; the first match acts.
constexpr std::array<RecordRule, 6> recordRules{{
    {"CE00", Action::NewChannel, {}, {}},
    {"CEER", Action::Failure, "Channel error: ", "\n"},
    {"SSCN", Action::CurrentChannel, {}, {}},
    {"PUCP", Action::Failure, "Error '", "'\n"},
    {"PUSP", Action::Failure, "Error '", "'\n"},
    {"SYD1", Action::Failure, "SYD1 Error '", "'\n"},
}};

// Values come from the line: they are printed in printable form, so that no
// byte of theirs can act on a terminal or cut a line short.
void printLine(std::string_view before, std::string_view value, std::string_view after)
{
    std::fwrite(before.data(), 1, before.size(), stdout);
    asciiPrint(stdout, value.data(), value.data() + value.size());
    std::fwrite(after.data(), 1, after.size(), stdout);
}

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

// Prints the "CE00" line for a requested channel of up to 4 characters; a
// longer value counts as its first 4 bytes.
void printRequested(const char* value, int32_t length)
{
    std::array<char, 5> requested{};
    const auto n = static_cast<size_t>(std::clamp(length, 0, 4));
    for (size_t i = 0; i < n && value[i] != '\0'; ++i)
        requested[i] = value[i];
    if (n == 4 && static_cast<unsigned char>(requested[0]) == 0x7F)
        requested[0] = '0';
    if (n > 0 && requested[n - 1] == '-')
        return;
    printLine("New channel number requested: ", requested.data(), {});
}

// The verdict of one packet: 0 undecided, 1 expected channel, -1 failure.
// The last record that decides wins.
int judgePacket(const char* chan_str, int32_t count, const char* const* codes, const char* const* values,
                const int32_t* lengths)
{
    int status = 0;
    const std::string_view expected(chan_str);
    for (int32_t i = 0; i < count; ++i) {
        const char* value = values[i];
        const int32_t length = lengths[i];
        const std::string_view code(codes[i], 4);
        const std::string_view text(value, static_cast<size_t>(length));
        if (debug) {
            asciiPrint(stdout, code.data(), code.data() + code.size());
            printLine(" : ", text, {});
            std::printf(" [%d %d]\n", length, static_cast<int>(static_cast<signed char>(value[0])));
        }
        const auto rule = std::find_if(recordRules.begin(), recordRules.end(),
                                       [&](const RecordRule& r) { return r.code == code; });
        if (rule == recordRules.end())
            continue;
        switch (rule->action) {
        case Action::NewChannel:
            printRequested(value, length);
            break;
        case Action::CurrentChannel:
            status = text == expected ? 1 : -1;
            printLine("Current channel '", text, status == 1 ? "' [correct]\n" : "' [incorrect]\n");
            break;
        case Action::Failure:
            printLine(rule->before, text, rule->after);
            status = -1;
            break;
        }
    }
    return status;
}

int check_status(const char* chan_str, const char* feedback_port)
{
    const char* missing = chan_str == nullptr ? "--channel" : feedback_port == nullptr ? "--feedback" : nullptr;
    if (missing != nullptr) {
        std::fprintf(stderr, "Missing required option %s\n", missing);
        print_syntax(programName);
        std::exit(1);
    }

    const int fd = serial_openport(feedback_port, 57600, 1);
    if (fd == -1) {
        std::perror("Opening feedback serial port failed");
        std::exit(1);
    }
    // A pseudo-terminal keeps its exclusive mode after the check has ended;
    // the next check on the same stand-in box must still be able to open it.
    portFd = fd;
    std::atexit([] { ioctl(portFd, TIOCNXCL); });

    ReadContext context{fd, monotonic_seconds() + CHECK_SECONDS};
    if (capturePath != nullptr)
        startCapture(capturePath, programName, feedback_port, 57600, &context);
    Gnome* gnome = Gnome_create(readFunc, &context);
    if (gnome == nullptr) {
        std::fputs("Creating packet reader failed: out of memory\n", stderr);
        std::exit(1);
    }

    for (;;) {
        int32_t count = 0;
        const char* const* codes = nullptr;
        const char* const* values = nullptr;
        const int32_t* lengths = nullptr;
        if (Gnome_readPacket(gnome, &count, &codes, &values, &lengths) == -1) {
            std::puts("Failed reading response from quarvo box.");
            Gnome_destroy(gnome);
            std::exit(1);
        }
        const int status = judgePacket(chan_str, count, codes, values, lengths);
        if (status == 0)
            continue;
        Gnome_destroy(gnome);
        if (status == 1)
            return 0;
        std::puts("Failed");
        std::exit(1);
    }
}

} // namespace

int main(int argc, char** argv)
{
    // Before anything is opened: the port or the log must never become the
    // standard output, or the verdict would be written to the box.
    ensureStandardStreams();
    programName = argv[0];
    // Decided before any option is looked at.
    if (argc < 4) {
        print_syntax(argv[0]);
        return 1;
    }
    const char* chan_str = nullptr;
    const char* feedback_port = nullptr;
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
            if (redirectToLog(optarg) != 0)
                return 1;
            break;
        case 'p':
            capturePath = optarg;
            break;
        default:
            print_syntax(argv[0]);
            return 1;
        }
    }
    return check_status(chan_str, feedback_port);
}
