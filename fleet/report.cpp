#include "fleet.h"

#include <algorithm>
#include <cstdio>
#include <numeric>

#include "json.h"
#include "printable.h"

namespace {

constexpr size_t MaxMessage = 300;
constexpr size_t MaxName = 24;
constexpr size_t MaxPort = 36;
constexpr size_t StateWidth = 14;

std::string seconds3(double seconds)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", seconds);
    return text;
}

std::string quoted(std::string_view text)
{
    std::string out;
    json_appendString(out, text);
    return out;
}

std::string attribute(std::string_view value)
{
    std::string out;
    xml_appendEscaped(out, value, true);
    return out;
}

// "OUTCOME: DETAIL" in one line of bounded length.
std::string messageOf(std::string_view outcome, const std::string& detail)
{
    std::string text = std::string(outcome) + (detail.empty() ? "" : ": " + detail);
    if (text.size() > MaxMessage)
        text = text.substr(0, MaxMessage - 3) + "...";
    return text;
}

std::string lastLine(std::string_view output)
{
    const std::vector<std::string> last = lastLines(output, 1);
    return last.empty() ? std::string() : last.front();
}

std::string counts(const Tally& tally)
{
    return "tests=\"" + std::to_string(tally.boxes) + "\" failures=\"" +
        std::to_string(tally[BoxVerdict::AnsweredOtherwise]) + "\" errors=\"" +
        std::to_string(tally[BoxVerdict::NoAnswer]) + "\" skipped=\"" + std::to_string(tally[BoxVerdict::Skipped]) +
        "\"";
}

std::string cell(const std::string& text, size_t width)
{
    if (text.size() > width)
        return text.substr(0, width - 1) + "~";
    return text + std::string(width - text.size(), ' ');
}

std::string fit(std::string line, int width)
{
    while (!line.empty() && line.back() == ' ')
        line.pop_back();
    // One column stays free: a full line would leave the cursor waiting to
    // wrap, which terminals handle differently.
    line.resize(std::min(line.size(), static_cast<size_t>(std::max(width - 1, 1))));
    return line;
}

} // namespace

void OutputTail::append(std::string_view bytes)
{
    total_ += bytes.size();
    kept_.append(bytes.substr(bytes.size() - std::min(bytes.size(), capacity_)));
    // What is past the capacity is let go in bulk, not on every append.
    if (kept_.size() > 2 * capacity_)
        kept_.erase(0, kept_.size() - capacity_);
}

std::string OutputTail::text() const
{
    std::string text = kept_.substr(kept_.size() - std::min(kept_.size(), capacity_));
    if (total_ > text.size()) {
        const size_t eol = text.find('\n');
        text.erase(0, eol == std::string::npos ? 0 : eol + 1);
    }
    return text;
}

std::optional<CheckReport> checkResult_parse(std::string_view json)
{
    JsonReader in(json);
    CheckReport report;
    bool haveOutcome = false;
    const auto member = [&] {
        std::string key;
        if (!in.string(&key) || !in.take(":"))
            return false;
        int64_t n = 0;
        if (key == "outcome")
            return haveOutcome = in.string(&report.outcome);
        if (key == "status" && in.integer(&n)) {
            report.status = static_cast<int>(n);
            return true;
        }
        if ((key == "current_channel" || key == "current_channel_printable") && in.peek('"')) {
            auto& channel = key == "current_channel" ? report.currentChannel : report.currentChannelPrintable;
            return in.string(&channel.emplace());
        }
        if (key == "failures" && in.take("[")) {
            report.failures.clear();
            return in.items("]", [&] { return in.string(&report.failures.emplace_back()); });
        }
        if (key == "elapsed_ms")
            return in.integer(&report.elapsedMs);
        return in.skipValue();
    };
    if (!in.take("{") || !in.items("}", member) || !in.atEnd() || !haveOutcome)
        return std::nullopt;
    return report;
}

BoxVerdict verdictOf(std::string_view outcome)
{
    if (outcome == "correct")
        return BoxVerdict::Correct;
    if (outcome == "incorrect" || outcome == "box-error")
        return BoxVerdict::AnsweredOtherwise;
    return outcome == "skipped" ? BoxVerdict::Skipped : BoxVerdict::NoAnswer;
}

BoxEnd boxEnd_fromResult(
    const BoxConfig& box, const CheckReport& report, std::string_view resultText, std::string_view output)
{
    BoxEnd end{report.outcome, verdictOf(report.outcome), report.currentChannelPrintable, report.elapsedMs, {}, {}};
    // The printable form the check wrote is exact; current_channel has
    // bytes that are not UTF-8 replaced (a check that does not write it).
    if (!end.channelSeen && report.currentChannel)
        end.channelSeen = printable(*report.currentChannel);
    // What the box reported: the failure lines of the deciding packet, else
    // the channel it last reported, else the check's last line.
    std::string detail;
    for (const std::string& line : report.failures)
        detail += (detail.empty() ? "" : "; ") + printable(line);
    if (detail.empty() && end.channelSeen)
        detail = "last channel reported '" + printable(*end.channelSeen) + "'";
    end.message = messageOf(printable(report.outcome), detail.empty() ? lastLine(output) : detail);
    // The check's own object, whole, with the box's name first.
    std::string_view members = resultText.substr(resultText.find('{') + 1);
    while (!members.empty() && (members.back() == '\n' || members.back() == ' ' || members.back() == '\r'))
        members.remove_suffix(1);
    end.resultJson = "{\"name\":" + quoted(box.name) + (members != "}" ? "," : "") + std::string(members);
    return end;
}

BoxEnd boxEnd_synthesized(const BoxConfig& box, std::string_view outcome, std::optional<int> status, int64_t elapsedMs,
    std::string_view detail, std::string_view output)
{
    std::string said(detail);
    if (const std::string last = lastLine(output); !last.empty())
        said += (said.empty() ? "" : ": ") + last;
    BoxEnd end{std::string(outcome), verdictOf(outcome), std::nullopt, elapsedMs, messageOf(outcome, said), {}};
    // The members of a check's own result, so that readers find them all.
    end.resultJson = "{\"name\":" + quoted(box.name) + ",\"outcome\":" + quoted(outcome) +
        ",\"status\":" + (status ? std::to_string(*status) : "null") + ",\"channel\":" + quoted(box.channel) +
        ",\"port\":" + quoted(box.port) +
        ",\"current_channel\":null,\"failures\":[],\"requested_channel\":null,\"packets\":0,"
        "\"bad_input_reports\":0,\"bytes\":0,\"elapsed_ms\":" +
        std::to_string(elapsedMs) + ",\"channels_seen\":[],\"fleet_note\":" + quoted(end.message) + "}";
    return end;
}

int fleetStatus(const Tally& tally)
{
    if (tally[BoxVerdict::AnsweredOtherwise] > 0)
        return 1;
    return tally[BoxVerdict::Correct] == tally.boxes ? 0 : 2;
}

std::string summaryLine(const Tally& tally, int64_t seconds)
{
    const int done = std::accumulate(tally.of.begin(), tally.of.end(), 0);
    std::string line = std::to_string(done) + "/" + std::to_string(tally.boxes) + " done: " +
        std::to_string(tally[BoxVerdict::Correct]) + " correct, " +
        std::to_string(tally[BoxVerdict::AnsweredOtherwise]) + " incorrect, " +
        std::to_string(tally[BoxVerdict::NoAnswer]) + " no answer";
    if (tally[BoxVerdict::Skipped] > 0)
        line += ", " + std::to_string(tally[BoxVerdict::Skipped]) + " skipped";
    return line + ", " + std::to_string(seconds) + " s";
}

std::string channelField(const std::optional<std::string>& channel)
{
    if (!channel)
        return "-";
    if (channel->empty())
        return "\"\"";
    std::string field;
    for (const char c : printable(*channel))
        field += c == ' ' ? std::string("[20]") : std::string(1, c);
    return field;
}

std::string plainLine(const BoxConfig& box, const BoxEnd& end)
{
    return box.name + " " + printable(end.outcome) + " " + channelField(end.channelSeen) + " " +
        std::to_string(end.elapsedMs);
}

std::vector<std::string> lastLines(std::string_view output, size_t count)
{
    std::vector<std::string> lines;
    while (!output.empty() && lines.size() < count) {
        if (output.back() == '\n') {
            output.remove_suffix(1);
            continue;
        }
        const size_t start = output.rfind('\n');
        const std::string_view line = start == std::string_view::npos ? output : output.substr(start + 1);
        lines.insert(lines.begin(), printable(line));
        output.remove_suffix(line.size());
    }
    return lines;
}

std::string junit_head(std::string_view suite, const Tally& tally, double seconds, std::string_view timestamp)
{
    const std::string both = attribute(suite) + "\" " + counts(tally) + " time=\"" + seconds3(seconds) + "\"";
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<testsuites name=\"" + both + ">\n  <testsuite name=\"" + both +
        " timestamp=\"" + attribute(timestamp) + "\">\n";
}

std::string junit_testCase(std::string_view suite, const BoxConfig& box, const BoxEnd& end, std::string_view output)
{
    std::string x = "    <testcase name=\"" + attribute(box.name) + "\" classname=\"" + attribute(suite) +
        "\" time=\"" + seconds3(static_cast<double>(end.elapsedMs) / 1000.0) + "\">\n";
    constexpr const char* element[] = {nullptr, "failure", "error", "skipped"}; // by verdict
    if (const char* e = element[static_cast<int>(end.verdict)]) {
        x += std::string("      <") + e + " message=\"" + attribute(end.message) + "\"";
        x += end.verdict == BoxVerdict::Skipped ? "/>\n" : " type=\"" + attribute(end.outcome) + "\"/>\n";
    }
    if (!output.empty()) {
        x += "      <system-out>";
        xml_appendEscaped(x, output);
        x += "</system-out>\n";
    }
    return x + "    </testcase>\n";
}

std::string result_head(
    std::string_view suite, const Tally& tally, int status, int64_t elapsedMs, std::optional<int> endedBySignal)
{
    return "{\"suite\":" + quoted(suite) + ",\"status\":" + std::to_string(status) +
        ",\"ended_by_signal\":" + (endedBySignal ? std::to_string(*endedBySignal) : "null") +
        ",\"boxes\":" + std::to_string(tally.boxes) + ",\"correct\":" + std::to_string(tally[BoxVerdict::Correct]) +
        ",\"answered_otherwise\":" + std::to_string(tally[BoxVerdict::AnsweredOtherwise]) +
        ",\"no_answer\":" + std::to_string(tally[BoxVerdict::NoAnswer]) +
        ",\"skipped\":" + std::to_string(tally[BoxVerdict::Skipped]) + ",\"elapsed_ms\":" + std::to_string(elapsedMs) +
        ",\"results\":[";
}

std::vector<std::string> liveView_lines(
    const std::vector<ViewRow>& rows, const std::string& summary, int height, int width, bool final)
{
    size_t nameWidth = 4;
    size_t portWidth = 4;
    for (const ViewRow& row : rows) {
        nameWidth = std::max(nameWidth, std::min(row.name.size(), MaxName));
        portWidth = std::max(portWidth, std::min(row.port.size(), MaxPort));
    }
    const auto line = [&](const ViewRow& r) {
        return fit(cell(r.name, nameWidth) + "  " + cell(r.port, portWidth) + "  " + cell(r.state, StateWidth) + "  " +
                r.channel,
            width);
    };
    const std::string last = final ? summary : fit(summary, width);
    if (height < 3)
        return height == 2 || final ? std::vector<std::string>{last} : std::vector<std::string>{};
    const size_t room = static_cast<size_t>(height - 3); // less the heading, the summary and a free row
    std::vector<const ViewRow*> shown;
    for (const ViewRow& row : rows)
        shown.push_back(&row);
    size_t hidden = 0;
    if (shown.size() > room) {
        std::stable_partition(shown.begin(), shown.end(), [](const ViewRow* r) { return r->pending; });
        const size_t keep = room == 0 ? 0 : room - 1; // one line says how many are left out
        hidden = shown.size() - keep;
        shown.resize(keep);
    }
    std::vector<std::string> lines{line({"NAME", "PORT", "STATE", "CHANNEL"})};
    for (const ViewRow* row : shown)
        lines.push_back(line(*row));
    if (hidden > 0 && room > 0)
        lines.push_back(fit("... " + std::to_string(hidden) + " more", width));
    lines.push_back(last);
    return lines;
}

std::string liveView_redraw(const std::vector<std::string>& lines, size_t previous)
{
    std::string out = previous > 0 ? "\r\x1b[" + std::to_string(previous) + "A\x1b[J" : "\x1b[J";
    for (const std::string& l : lines)
        out += l + "\n";
    return out;
}
