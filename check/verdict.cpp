#include "verdict.h"

#include <algorithm>
#include <array>
#include <cstdio>

#include "atomic_file.h"
#include "json.h"
#include "printable.h"

namespace {

struct OutcomeInfo {
    std::string_view word;
    int status;         // ordinary exit status
    int distinctStatus; // with --distinct-status
};

// In the order of Outcome.
constexpr std::array<OutcomeInfo, 10> outcomes{{
    {"correct", 0, 0},
    {"incorrect", 1, 1},
    {"box-error", 1, 1},
    {"no-answer", 1, 2},
    {"port-lost", 1, 2},
    {"port-failed", 1, 2},
    {"log-failed", 1, 2},
    {"usage", 1, 2},
    {"internal-error", 1, 2},
    {"interrupted", 1, 2}, // the status is the signal's
}};

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

constexpr std::string_view RequestedPrefix = "New channel number requested: ";

// Values come from the line: they are printed in printable form, so that no
// byte of theirs can act on a terminal or cut a line short. Adds the line
// and returns it as printed, without its line feed.
std::string addLine(Verdict& v, std::string_view before, std::string_view value, std::string_view after)
{
    std::string line = std::string(before) + printable(value) + std::string(after);
    v.lines.push_back(line);
    if (!line.empty() && line.back() == '\n')
        line.pop_back();
    return line;
}

// The "CE00" line for a requested channel of up to 4 characters; a longer
// value counts as its first 4 bytes, and one ending in '-' says nothing.
void addRequested(Verdict& v, const char* value, int32_t length)
{
    std::array<char, 5> requested{};
    const auto n = static_cast<size_t>(std::clamp(length, 0, 4));
    for (size_t i = 0; i < n && value[i] != '\0'; ++i)
        requested[i] = value[i];
    if (n == 4 && static_cast<unsigned char>(requested[0]) == 0x7F)
        requested[0] = '0';
    if (n > 0 && requested[n - 1] == '-')
        return;
    v.requested = addLine(v, RequestedPrefix, requested.data(), {}).substr(RequestedPrefix.size());
}

void addTrace(Verdict& v, std::string_view code, std::string_view value, int32_t length)
{
    // The value's first byte is shown as a number even when the value is
    // empty: it is then the byte after the record, which scripts compare.
    char numbers[32];
    std::snprintf(numbers, sizeof numbers, " [%d %d]\n", static_cast<int>(length),
                  static_cast<int>(static_cast<signed char>(value.data()[0])));
    v.lines.push_back(printable(code) + " : " + printable(value) + numbers);
}

} // namespace

Verdict judgePacket(std::string_view expected, int32_t count, const char* const* codes, const char* const* values,
                    const int32_t* lengths, bool debug)
{
    Verdict v;
    for (int32_t i = 0; i < count; ++i) {
        const std::string_view code(codes[i], 4);
        const std::string_view text(values[i], static_cast<size_t>(lengths[i]));
        if (debug)
            addTrace(v, code, text, lengths[i]);
        const auto rule = std::find_if(recordRules.begin(), recordRules.end(),
                                       [&](const RecordRule& r) { return r.code == code; });
        if (rule == recordRules.end())
            continue;
        switch (rule->action) {
        case Action::NewChannel:
            addRequested(v, values[i], lengths[i]);
            break;
        case Action::CurrentChannel: {
            const bool correct = text == expected;
            v.decision = correct ? Decision::Correct : Decision::Failure;
            v.lastChannel = std::string(text);
            const std::string line = addLine(v, "Current channel '", text, correct ? "' [correct]\n" : "' [incorrect]\n");
            if (!correct) {
                v.failures.push_back(line);
                v.failure = Outcome::Incorrect;
            }
            break;
        }
        case Action::Failure:
            v.failures.push_back(addLine(v, rule->before, text, rule->after));
            v.decision = Decision::Failure;
            v.failure = Outcome::BoxError;
            v.errorRecord = true;
            break;
        }
    }
    return v;
}

int outcomeStatus(Outcome outcome, bool distinct)
{
    const OutcomeInfo& info = outcomes.at(static_cast<size_t>(outcome));
    return distinct ? info.distinctStatus : info.status;
}

int writeResult(const char* path, const CheckResult& r)
{
    std::string out;
    const auto key = [&](std::string_view name) {
        out += out.empty() ? "{\"" : ",\"";
        out += name;
        out += "\":";
    };
    const auto text = [&](std::string_view name, std::optional<std::string_view> value) {
        key(name);
        if (value)
            json_appendString(out, *value);
        else
            out += "null";
    };
    const auto number = [&](std::string_view name, auto value) {
        key(name);
        out += std::to_string(value);
    };
    const auto texts = [&](std::string_view name, const std::vector<std::string>& values) {
        key(name);
        for (size_t i = 0; i < values.size(); ++i) {
            out += i == 0 ? '[' : ',';
            json_appendString(out, values[i]);
        }
        out += values.empty() ? "[]" : "]";
    };
    const auto given = [](const char* s) { return s ? std::optional<std::string_view>(s) : std::nullopt; };
    text("outcome", outcomes.at(static_cast<size_t>(r.outcome)).word);
    number("status", r.status);
    text("channel", given(r.channel));
    text("port", given(r.port));
    text("current_channel", r.lastChannel);
    texts("failures", r.failures);
    text("requested_channel", r.requested);
    number("packets", r.packets);
    number("bad_input_reports", r.reports);
    number("bytes", r.bytes);
    number("elapsed_ms", r.elapsedMs);
    number("capture_dropped_bytes", r.captureDropped);
    text("output_error", r.outputError);
    // The channel's bytes exactly, in ASCII: current_channel cannot hold
    // bytes that are not UTF-8.
    const std::string shown = r.lastChannel ? printable(*r.lastChannel) : "";
    text("current_channel_printable", r.lastChannel ? std::optional<std::string_view>(shown) : std::nullopt);
    texts("channels_seen", r.channelsSeen);
    out += "}\n";
    AtomicFile file;
    const int opened = file.open(path, ".check-quarvo-result-");
    if (opened != 0)
        return opened;
    file.write(out);
    return file.commit();
}
