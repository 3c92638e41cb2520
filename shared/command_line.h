// What the commands' command lines have in common: numbers with ranges, the
// one serial port, --version and the line speed. Nothing here ends the
// process: each command's main decides with its own usage status.
#pragma once

#include <ctime>
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
