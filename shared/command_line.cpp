#include "command_line.h"

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "serial.h"

namespace {

constexpr bool isDigit(char c) { return c >= '0' && c <= '9'; }

// strtoll and strtod skip leading blanks: a number must start at once, with
// a digit, or a sign or point before one.
bool startsNumber(const char* text)
{
    const char* p = text + (*text == '+' || *text == '-');
    if (*p == '.')
        ++p;
    return isDigit(*p);
}

// An optional sign, then decimal digits only: however many.
bool isWholeNumber(const char* text)
{
    const char* p = text + (*text == '+' || *text == '-');
    return isDigit(*p) && p[std::strspn(p, "0123456789")] == '\0';
}

} // namespace

bool commandLine_parseWhole(const char* text, int base, long long min, long long max, long long* out)
{
    char* end = nullptr;
    errno = 0;
    const long long n = startsNumber(text) ? std::strtoll(text, &end, base) : 0;
    if (end == nullptr || errno != 0 || *end != '\0' || n < min || n > max)
        return false;
    *out = n;
    return true;
}

bool commandLine_parseReal(const char* text, double* out)
{
    char* end = nullptr;
    errno = 0;
    const double x = startsNumber(text) ? std::strtod(text, &end) : 0;
    if (end == nullptr || errno != 0 || *end != '\0' || !std::isfinite(x))
        return false;
    *out = x;
    return true;
}

int commandLine_parseBaud(const char* text, int* baud)
{
    if (!isWholeNumber(text))
        return -1;
    // Any whole number, too large for an int or not, is a speed the serial
    // module does not know, named as it was typed.
    long long n = 0;
    if (!commandLine_parseWhole(text, 10, INT_MIN, INT_MAX, &n) || !serial_baudSupported(static_cast<int>(n))) {
        std::fprintf(stderr, "Unknown baudrate: %s\n", text);
        return 0;
    }
    *baud = static_cast<int>(n);
    return 1;
}

int commandLine_read(int argc, char** argv, CommandLine& line)
{
    std::vector<option> options(line.options.begin(), line.options.end());
    options.push_back({"help", no_argument, nullptr, 'h'});
    options.push_back({"version", no_argument, nullptr, 'V'});
    options.push_back({nullptr, 0, nullptr, 0});
    int opt;
    while ((opt = getopt_long(argc, argv, "-", options.data(), nullptr)) != -1) {
        int status = -1;
        if (opt == 1 && !line.takesWords)
            line.words.push_back(optarg);
        else if ((opt == 'h' || opt == 'V') && !line.answering)
            continue;
        else if (opt == 'h')
            line.help(argv[0]);
        else if (opt == 'V')
            commandLine_printVersion(line.command);
        else
            status = line.take(opt, optarg);
        if (opt == 'h' || opt == 'V')
            return commandLine_answered();
        if (status >= 0)
            return status;
    }
    return -1;
}

const char* commandLine_singlePort(std::vector<const char*> words, int argc, char* const* argv, int first,
                                   const char* name)
{
    for (int i = first; i < argc; ++i)
        words.push_back(argv[i]);
    if (words.size() == 1)
        return words[0];
    std::fprintf(stderr, words.empty() ? "%s: no serial port given\n" : "%s: more than one serial port given\n", name);
    return nullptr;
}

void commandLine_printVersion(const char* command) { std::printf("%s %s\n", command, QUARVO_VERSION); }

int commandLine_answered() { return std::fflush(stdout) == 0 && !std::ferror(stdout) ? 0 : 1; }
