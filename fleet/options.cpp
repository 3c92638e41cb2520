#include "options.h"
#include "command_line.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <getopt.h>

#include "printable.h"

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

const option* byValue(int value)
{
    for (const option& o : optionList) {
        if (o.name != nullptr && o.val == value)
            return &o;
    }
    return nullptr;
}

// getopt's own texts, but with the word as typed in printable form: a
// command line may hold any bytes, and none may act on a terminal.
std::string refusal(const std::string& word, int opt)
{
    const bool isLong = word.rfind("--", 0) == 0;
    if (opt == ':' && byValue(optopt) != nullptr)
        return "option '--" + std::string(byValue(optopt)->name) + "' requires an argument";
    if (isLong && optopt != 0 && byValue(optopt) != nullptr)
        return "option '--" + std::string(byValue(optopt)->name) + "' doesn't allow an argument";
    if (!isLong)
        return "invalid option -- '" + printable(std::string(1, static_cast<char>(optopt))) + "'";
    const std::string typed = word.substr(0, word.find('='));
    const std::string name = typed.substr(2);
    std::string matches;
    for (const option& o : optionList) {
        if (o.name != nullptr && std::strncmp(o.name, name.c_str(), name.size()) == 0)
            matches += " '--" + std::string(o.name) + "'";
    }
    if (!name.empty() && matches.find(' ', 1) != std::string::npos)
        return "option '" + printable(typed) + "' is ambiguous; possibilities:" + matches;
    return "unrecognized option '" + printable(word) + "'";
}

// The options that name a file or a folder, where empty is a mistake, never "not given".
std::string* nameOf(FleetOptions* o, int opt)
{
    switch (opt) {
    case 'b': return &o->boxesFile;
    case 'C': return &o->captureDir;
    case 'J': return &o->junit;
    case 'R': return &o->result;
    default: return nullptr;
    }
}

} // namespace

bool parseWholeNumber(const char* text, long low, long high, long* out)
{
    long long n = 0;
    // Digits only: a sign is refused, so "-1" and "+5" never read as counts.
    if (text == nullptr || *text < '0' || *text > '9' || !commandLine_parseWhole(text, 10, low, high, &n))
        return false;
    *out = static_cast<long>(n);
    return true;
}

std::string options_parse(int argc, char** argv, FleetOptions* o)
{
    optind = 0; // from the start, as the first call would
    opterr = 0; // the refusals are worded here, in printable form
    int opt;
    std::string fault;
    // "-": ports come back in place as 1, whatever POSIXLY_CORRECT says;
    // ":": a missing argument comes back as ':'.
    for (int before = 1; (opt = getopt_long(argc, argv, "-:", optionList, nullptr)) != -1; before = optind) {
        std::string* name = nameOf(o, opt);
        bool* flag = opt == 'h' ? &o->help : opt == 'p' ? &o->plain : opt == 'r' ? &o->reconnect : nullptr;
        if (opt == 'V')
            flag = &o->version;
        if (name != nullptr && *optarg == '\0')
            fault = "--" + std::string(byValue(opt)->name) + " takes a name, not ''";
        else if (name != nullptr)
            *name = optarg;
        else if (flag != nullptr)
            *flag = true;
        else if (opt == 1)
            o->ports.push_back(optarg);
        else if (opt == 's')
            o->suite = optarg;
        else if (opt == 'c')
            o->channel = optarg;
        else if (opt == 'j' && !parseWholeNumber(optarg, 1, MaxJobs, &o->jobs))
            fault = "--jobs: not a whole number from 1 to " + std::to_string(MaxJobs) + ": " + printable(optarg);
        else if (opt == 't' && !parseWholeNumber(optarg, 1, 86400, &o->timeout))
            fault = "--timeout: not a whole number of seconds from 1 to 86400: " + printable(optarg);
        else if (opt != 'j' && opt != 't')
            fault = refusal(argv[before], opt); // the word this call looked at
        if (!fault.empty())
            return fault;
    }
    // After "--" every word is a port, even one that starts with '-'.
    for (int i = optind; i < argc; ++i)
        o->ports.push_back(argv[i]);
    return {};
}
