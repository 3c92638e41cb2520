// What the commands' command lines have in common: numbers with ranges, the
// one serial port, --version and the line speed. Nothing here ends the
// process: each command's main decides with its own usage status.
#pragma once

#include <ctime>
#include <functional>
#include <getopt.h>
#include <span>
#include <vector>

// The check's deadline without --timeout; the fleet supervises its checks by it.
inline constexpr time_t CHECK_SECONDS = 80;

// A whole number from min to max, written strictly: an optional sign, then
// digits (with base 0 also "0x1d" or "035"), nothing before or after, not
// even a blank. False, with *out unchanged, for anything else.
bool commandLine_parseWhole(const char* text, int base, long long min, long long max, long long* out);
// A finite decimal number, written as strictly ("5", "0.25", "-1", "1e3").
bool commandLine_parseReal(const char* text, double* out);

// The --baud argument. 1: a speed the serial module supports, in *baud.
// 0: a whole number it does not support, however large, after "Unknown
// baudrate: N" (N as typed) on the standard error. -1: not a whole number;
// nothing printed.
int commandLine_parseBaud(const char* text, int* baud);

// A table's entries: an option that takes a value, and one that does not.
constexpr option commandLine_valued(const char* name, int key) { return {name, required_argument, nullptr, key}; }
constexpr option commandLine_flag(const char* name, int key) { return {name, no_argument, nullptr, key}; }

// How a command reads its command line with commandLine_read.
struct CommandLine {
    const char* command = nullptr;            // its name for --version
    void (*help)(const char* name) = nullptr; // --help's text, on the standard output
    std::span<const option> options;          // its own; --help and --version are added
    // Each of its options, and as '?' a word refused: -1 to go on, or the
    // status to end with.
    std::function<int(int value, const char* argument)> take{};
    std::vector<const char*> words{}; // those that are not options, in place
    bool takesWords = false;        // true: each goes to take as 1 instead
    bool answering = true;          // false: --help and --version are passed over
};

// Reads argv with getopt_long, in order whatever POSIXLY_CORRECT says ("-":
// words that are not options come back in place, into line.words). --help
// and --version are answered here, with commandLine_answered's status. -1
// when every option was read, or the status to end with; the words after
// "--" are left at argv[optind..argc).
int commandLine_read(int argc, char** argv, CommandLine& line);

// The one serial port a command works on, from the words that are not
// options: those getopt_long handed back in place (as 1, with "-" leading
// its option string), then argv[first..argc) after "--". Null when there is
// not exactly one, after "NAME: no serial port given" or "NAME: more than
// one serial port given" on the standard error.
const char* commandLine_singlePort(std::vector<const char*> words, int argc, char* const* argv, int first,
                                   const char* name);

// "COMMAND VERSION" on the standard output.
void commandLine_printVersion(const char* command);
// The status after printing the help or the version: 0, or 1 when the text
// could not be written (a full disk, a closed pipe): never a false success.
int commandLine_answered();
