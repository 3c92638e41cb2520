#include "options.h"
#include "command_line.h"

#include <cerrno>
#include <cstdlib>
#include <getopt.h>

namespace {

constexpr long MaxJobs = 100000;

const option optionList[] = {
    {"boxes", required_argument, nullptr, 'b'},
    {"capture-dir", required_argument, nullptr, 'C'},
    {"channel", required_argument, nullptr, 'c'},
    {"help", no_argument, nullptr, 'h'},
    {"jobs", required_argument, nullptr, 'j'},
    {"junit", required_argument, nullptr, 'J'},
    {"plain", no_argument, nullptr, 'p'},
    {"reconnect", no_argument, nullptr, 'r'},
    {"result", required_argument, nullptr, 'R'},
    {"suite", required_argument, nullptr, 's'},
    {"timeout", required_argument, nullptr, 't'},
    {"version", no_argument, nullptr, 'V'},
    {nullptr, 0, nullptr, 0},
};

} // namespace

bool parseWholeNumber(const char* text, long low, long high, long* out)
{
    long long n = 0;
    // Digits only: no sign, as the fleet has always taken them.
    if (text == nullptr || *text < '0' || *text > '9' || !commandLine_parseWhole(text, 10, low, high, &n))
        return false;
    *out = static_cast<long>(n);
    return true;
}

std::string options_parse(int argc, char** argv, FleetOptions* o, bool* failed)
{
    *failed = false;
    optind = 0; // from the start, as the first call would
    int opt;
    // "-": ports come back in place as 1, whatever POSIXLY_CORRECT says.
    while ((opt = getopt_long(argc, argv, "-", optionList, nullptr)) != -1) {
        switch (opt) {
        case 1: o->ports.push_back(optarg); break;
        case 'b': o->boxesFile = optarg; break;
        case 'C': o->captureDir = optarg; break;
        case 'c':
            o->channel = optarg;
            o->haveChannel = true;
            break;
        case 'h': o->help = true; break;
        case 'j':
            if (!parseWholeNumber(optarg, 1, MaxJobs, &o->jobs)) {
                *failed = true;
                return "--jobs: not a whole number from 1 to " + std::to_string(MaxJobs) + ": " + std::string(optarg);
            }
            break;
        case 'J': o->junit = optarg; break;
        case 'p': o->plain = true; break;
        case 'r': o->reconnect = true; break;
        case 'R': o->result = optarg; break;
        case 's': o->suite = optarg; break;
        case 't':
            if (!parseWholeNumber(optarg, 1, 86400, &o->timeout)) {
                *failed = true;
                return "--timeout: not a whole number of seconds from 1 to 86400: " + std::string(optarg);
            }
            break;
        case 'V': o->version = true; break;
        default: *failed = true; return {};
        }
    }
    return {};
}
