#include <cstring>

#include "command_line.h"
#include "fleet.h"
#include "printable.h"

namespace {

constexpr long MaxJobs = 100000;

// Each option, and what it sets: a name (where empty is a mistake, never
// "not given"), a flag, or with neither a value read in options_parse.
const struct FleetOption {
    option word;
    std::string FleetOptions::*name = nullptr;
    bool FleetOptions::*flag = nullptr;
} optionList[] = {
    {{"boxes", required_argument, nullptr, 'b'}, &FleetOptions::boxesFile},
    {{"capture-dir", required_argument, nullptr, 'C'}, &FleetOptions::captureDir},
    {{"channel", required_argument, nullptr, 'c'}},
    {{"help", no_argument, nullptr, 'h'}, nullptr, &FleetOptions::help},
    {{"jobs", required_argument, nullptr, 'j'}},
    {{"junit", required_argument, nullptr, 'J'}, &FleetOptions::junit},
    {{"plain", no_argument, nullptr, 'p'}, nullptr, &FleetOptions::plain},
    {{"reconnect", no_argument, nullptr, 'r'}, nullptr, &FleetOptions::reconnect},
    {{"result", required_argument, nullptr, 'R'}, &FleetOptions::result},
    {{"suite", required_argument, nullptr, 's'}},
    {{"timeout", required_argument, nullptr, 't'}},
    {{"version", no_argument, nullptr, 'V'}, nullptr, &FleetOptions::version},
    {{"wait", no_argument, nullptr, 'w'}, nullptr, &FleetOptions::wait},
};

const FleetOption* byValue(int value)
{
    for (const FleetOption& o : optionList) {
        if (o.word.val == value)
            return &o;
    }
    return nullptr;
}

// getopt's own texts, but with the word as typed in printable form: a
// command line may hold any bytes, and none may act on a terminal.
std::string refusal(const std::string& word, int opt)
{
    if (word.rfind("--", 0) != 0)
        return "invalid option -- '" + printable(std::string(1, static_cast<char>(optopt))) + "'";
    if (const FleetOption* known = optopt != 0 ? byValue(optopt) : nullptr)
        return "option '--" + std::string(known->word.name) +
            (opt == ':' ? "' requires an argument" : "' doesn't allow an argument");
    const std::string typed = word.substr(0, word.find('='));
    const std::string name = typed.substr(2);
    std::string matches;
    for (const FleetOption& o : optionList) {
        if (std::strncmp(o.word.name, name.c_str(), name.size()) == 0)
            matches += " '--" + std::string(o.word.name) + "'";
    }
    if (!name.empty() && matches.find(' ', 1) != std::string::npos)
        return "option '" + printable(typed) + "' is ambiguous; possibilities:" + matches;
    return "unrecognized option '" + printable(word) + "'";
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
    std::vector<option> words;
    for (const FleetOption& f : optionList)
        words.push_back(f.word);
    words.push_back({nullptr, 0, nullptr, 0});
    int opt;
    std::string fault;
    // "-": ports come back in place as 1, whatever POSIXLY_CORRECT says;
    // ":": a missing argument comes back as ':'.
    for (int before = 1; fault.empty() && (opt = getopt_long(argc, argv, "-:", words.data(), nullptr)) != -1;
         before = optind) {
        const FleetOption* given = byValue(opt);
        if (given != nullptr && given->name != nullptr && *optarg == '\0')
            fault = "--" + std::string(given->word.name) + " takes a name, not ''";
        else if (given != nullptr && given->name != nullptr)
            o->*given->name = optarg;
        else if (given != nullptr && given->flag != nullptr)
            o->*given->flag = true;
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
    }
    // After "--" every word is a port, even one that starts with '-'.
    for (int i = optind; fault.empty() && i < argc; ++i)
        o->ports.push_back(argv[i]);
    return fault;
}
