#include "result.h"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "atomic_file.h"
#include "buffer.h"
#include "json.h"

namespace {

struct OutcomeInfo {
    Outcome outcome;
    std::string_view word;
    int status;         // ordinary exit status
    int distinctStatus; // with --distinct-status
};

constexpr std::array<OutcomeInfo, 10> outcomes{{
    {Outcome::Correct, "correct", 0, 0},
    {Outcome::Incorrect, "incorrect", 1, 1},
    {Outcome::BoxError, "box-error", 1, 1},
    {Outcome::NoAnswer, "no-answer", 1, 2},
    {Outcome::PortLost, "port-lost", 1, 2},
    {Outcome::PortFailed, "port-failed", 1, 2},
    {Outcome::LogFailed, "log-failed", 1, 2},
    {Outcome::Usage, "usage", 1, 2},
    {Outcome::Internal, "internal-error", 1, 2},
    {Outcome::Interrupted, "interrupted", 1, 2}, // the status is the signal's
}};

const OutcomeInfo& infoOf(Outcome outcome)
{
    for (const OutcomeInfo& info : outcomes) {
        if (info.outcome == outcome)
            return info;
    }
    return outcomes.back();
}

void appendOptional(std::string& out, const char* text)
{
    if (text == nullptr)
        out += "null";
    else
        json_appendString(out, text);
}

void appendOptional(std::string& out, const std::optional<std::string>& text)
{
    if (!text)
        out += "null";
    else
        json_appendString(out, *text);
}

} // namespace

std::string_view outcomeWord(Outcome outcome) { return infoOf(outcome).word; }

int outcomeStatus(Outcome outcome, bool distinct)
{
    const OutcomeInfo& info = infoOf(outcome);
    return distinct ? info.distinctStatus : info.status;
}

std::string resultJson(const CheckResult& r)
{
    std::string out = "{\"outcome\":";
    json_appendString(out, outcomeWord(r.outcome));
    out += ",\"status\":" + std::to_string(r.status);
    out += ",\"channel\":";
    appendOptional(out, r.channel);
    out += ",\"port\":";
    appendOptional(out, r.port);
    out += ",\"current_channel\":";
    appendOptional(out, r.lastChannel);
    out += ",\"failures\":[";
    for (size_t i = 0; i < r.failures.size(); ++i) {
        if (i > 0)
            out += ',';
        json_appendString(out, r.failures[i]);
    }
    out += "],\"requested_channel\":";
    appendOptional(out, r.requested);
    out += ",\"packets\":" + std::to_string(r.packets);
    out += ",\"bad_input_reports\":" + std::to_string(r.reports);
    out += ",\"bytes\":" + std::to_string(r.bytes);
    out += ",\"elapsed_ms\":" + std::to_string(r.elapsedMs);
    out += ",\"capture_dropped_bytes\":" + std::to_string(r.captureDropped);
    out += ",\"output_error\":";
    appendOptional(out, r.outputError);
    // The channel's bytes exactly, in ASCII: current_channel cannot hold
    // bytes that are not UTF-8.
    out += ",\"current_channel_printable\":";
    if (r.lastChannel) {
        std::string printable;
        appendPrintable(printable, *r.lastChannel);
        json_appendString(out, printable);
    } else {
        out += "null";
    }
    out += "}\n";
    return out;
}

int writeResult(const char* path, const CheckResult& result)
{
    AtomicFile file;
    const int opened = file.open(path, ".check-quarvo-result-");
    if (opened != 0)
        return opened;
    file.write(resultJson(result));
    return file.commit();
}
