#include "report.h"

#include <algorithm>
#include <cstdio>

#include "json.h"
#include "printable.h"

namespace {

constexpr size_t MaxMessage = 300;

std::string seconds3(double seconds)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", seconds);
    return text;
}

std::string oneLine(std::string text)
{
    if (text.size() > MaxMessage)
        text = text.substr(0, MaxMessage - 3) + "...";
    return text;
}

// What the box reported, as one line: the failure lines of the deciding
// packet, else the channel it last reported, else the check's last line.
std::string detailOf(
    const std::vector<std::string>& failures, const std::optional<std::string>& channel, std::string_view output)
{
    std::string detail;
    for (const std::string& line : failures)
        detail += (detail.empty() ? "" : "; ") + printable(line);
    if (detail.empty() && channel)
        detail = "last channel reported '" + printable(*channel) + "'";
    if (detail.empty()) {
        const std::vector<std::string> last = lastLines(output, 1);
        if (!last.empty())
            detail = last.front();
    }
    return detail;
}

std::string counts(const Tally& tally)
{
    return "tests=\"" + std::to_string(tally.boxes) + "\" failures=\"" + std::to_string(tally.answeredOtherwise) +
        "\" errors=\"" + std::to_string(tally.noAnswer) + "\" skipped=\"" + std::to_string(tally.skipped) + "\"";
}

std::string attribute(std::string_view value)
{
    std::string out;
    xml_appendEscaped(out, value, true);
    return out;
}

constexpr size_t MaxName = 24;
constexpr size_t MaxPort = 36;
constexpr size_t StateWidth = 14;

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
    const size_t room = static_cast<size_t>(std::max(width - 1, 1));
    if (line.size() > room)
        line.resize(room);
    return line;
}

} // namespace

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
    if (outcome == "skipped")
        return BoxVerdict::Skipped;
    return BoxVerdict::NoAnswer;
}

BoxEnd boxEnd_fromResult(
    const BoxConfig& box, const CheckReport& report, std::string_view resultText, std::string_view output)
{
    BoxEnd end;
    end.outcome = report.outcome;
    end.verdict = verdictOf(report.outcome);
    // The printable form the check wrote is exact; current_channel has
    // bytes that are not UTF-8 replaced (a check that does not write it).
    if (report.currentChannelPrintable)
        end.channelSeen = report.currentChannelPrintable;
    else if (report.currentChannel)
        end.channelSeen = printable(*report.currentChannel);
    end.elapsedMs = report.elapsedMs;
    const std::string detail = detailOf(report.failures, end.channelSeen, output);
    end.message = oneLine(printable(report.outcome) + (detail.empty() ? "" : ": " + detail));
    // The check's own object, whole, with the box's name first.
    std::string_view members = resultText.substr(resultText.find('{') + 1);
    while (!members.empty() && (members.back() == '\n' || members.back() == ' ' || members.back() == '\r'))
        members.remove_suffix(1);
    end.resultJson = "{\"name\":";
    json_appendString(end.resultJson, box.name);
    if (members != "}")
        end.resultJson += ',';
    end.resultJson.append(members);
    return end;
}

BoxEnd boxEnd_synthesized(const BoxConfig& box, std::string_view outcome, std::optional<int> status, int64_t elapsedMs,
    std::string_view detail, std::string_view output)
{
    BoxEnd end;
    end.outcome = outcome;
    end.verdict = verdictOf(outcome);
    end.elapsedMs = elapsedMs;
    std::string said(detail);
    if (const std::vector<std::string> last = lastLines(output, 1); !last.empty())
        said += (said.empty() ? "" : ": ") + last.front();
    end.message = oneLine(std::string(outcome) + (said.empty() ? "" : ": " + said));
    // The members of a check's own result, so that readers find them all.
    std::string& j = end.resultJson;
    j = "{\"name\":";
    json_appendString(j, box.name);
    j += ",\"outcome\":";
    json_appendString(j, outcome);
    j += ",\"status\":" + (status ? std::to_string(*status) : std::string("null"));
    j += ",\"channel\":";
    json_appendString(j, box.channel);
    j += ",\"port\":";
    json_appendString(j, box.port);
    j += ",\"current_channel\":null,\"failures\":[],\"requested_channel\":null,\"packets\":0,"
         "\"bad_input_reports\":0,\"bytes\":0,\"elapsed_ms\":" +
        std::to_string(elapsedMs) + ",\"fleet_note\":";
    json_appendString(j, end.message);
    j += '}';
    return end;
}

void Tally::add(BoxVerdict verdict)
{
    switch (verdict) {
    case BoxVerdict::Correct: ++correct; break;
    case BoxVerdict::AnsweredOtherwise: ++answeredOtherwise; break;
    case BoxVerdict::NoAnswer: ++noAnswer; break;
    case BoxVerdict::Skipped: ++skipped; break;
    }
}

int fleetStatus(const Tally& tally)
{
    if (tally.answeredOtherwise > 0)
        return 1;
    return tally.correct == tally.boxes ? 0 : 2;
}

std::string summaryLine(const Tally& tally, int64_t seconds)
{
    std::string line = std::to_string(tally.done()) + "/" + std::to_string(tally.boxes) +
        " done: " + std::to_string(tally.correct) + " correct, " + std::to_string(tally.answeredOtherwise) +
        " incorrect, " + std::to_string(tally.noAnswer) + " no answer";
    if (tally.skipped > 0)
        line += ", " + std::to_string(tally.skipped) + " skipped";
    return line + ", " + std::to_string(seconds) + " s";
}

std::string channelField(const std::optional<std::string>& channel)
{
    if (!channel)
        return "-";
    if (channel->empty())
        return "\"\"";
    std::string field;
    for (const char c : printable(*channel)) {
        if (c == ' ')
            field += "[20]";
        else
            field += c;
    }
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
        lines.push_back(printable(line));
        output.remove_suffix(line.size());
    }
    std::reverse(lines.begin(), lines.end());
    return lines;
}

std::string junit_head(std::string_view suite, const Tally& tally, double seconds, std::string_view timestamp)
{
    const std::string name = attribute(suite);
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<testsuites name=\"" + name + "\" " + counts(tally) +
        " time=\"" + seconds3(seconds) + "\">\n  <testsuite name=\"" + name + "\" " + counts(tally) + " time=\"" +
        seconds3(seconds) + "\" timestamp=\"" + attribute(timestamp) + "\">\n";
}

std::string junit_testCase(std::string_view suite, const BoxConfig& box, const BoxEnd& end, std::string_view output)
{
    std::string x = "    <testcase name=\"" + attribute(box.name) + "\" classname=\"" + attribute(suite) +
        "\" time=\"" + seconds3(static_cast<double>(end.elapsedMs) / 1000.0) + "\">\n";
    // By verdict, in their order: none for a pass.
    constexpr const char* element[] = {nullptr, "failure", "error", "skipped"};
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
    std::string j = "{\"suite\":";
    json_appendString(j, suite);
    j += ",\"status\":" + std::to_string(status) +
        ",\"ended_by_signal\":" + (endedBySignal ? std::to_string(*endedBySignal) : std::string("null")) +
        ",\"boxes\":" + std::to_string(tally.boxes) + ",\"correct\":" + std::to_string(tally.correct) +
        ",\"answered_otherwise\":" + std::to_string(tally.answeredOtherwise) +
        ",\"no_answer\":" + std::to_string(tally.noAnswer) + ",\"skipped\":" + std::to_string(tally.skipped) +
        ",\"elapsed_ms\":" + std::to_string(elapsedMs) + ",\"results\":[";
    return j;
}

std::string result_box(const BoxEnd& end, bool first) { return (first ? "\n" : ",\n") + end.resultJson; }
std::vector<std::string> liveView_lines(
    const std::vector<ViewRow>& rows, const std::string& summary, int height, int width, bool final)
{
    size_t nameWidth = 4;
    size_t portWidth = 4;
    for (const ViewRow& row : rows) {
        nameWidth = std::max(nameWidth, std::min(row.name.size(), MaxName));
        portWidth = std::max(portWidth, std::min(row.port.size(), MaxPort));
    }
    const auto line = [&](const std::string& name, const std::string& port, const std::string& state,
                          const std::string& channel) {
        return fit(
            cell(name, nameWidth) + "  " + cell(port, portWidth) + "  " + cell(state, StateWidth) + "  " + channel,
            width);
    };

    std::vector<std::string> lines;
    const std::string last = final ? summary : fit(summary, width);
    const int usable = height - 1;
    if (usable < 2) {
        if (usable == 1 || final)
            lines.push_back(last);
        return lines;
    }
    const size_t room = static_cast<size_t>(usable - 2); // less the heading and the summary
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
    lines.push_back(line("NAME", "PORT", "STATE", "CHANNEL"));
    for (const ViewRow* row : shown)
        lines.push_back(line(row->name, row->port, row->state, row->channel));
    if (hidden > 0 && room > 0)
        lines.push_back(fit("... " + std::to_string(hidden) + " more", width));
    lines.push_back(last);
    return lines;
}

std::string liveView_redraw(const std::vector<std::string>& lines, size_t previous)
{
    std::string out;
    if (previous > 0)
        out += "\r\x1b[" + std::to_string(previous) + "A";
    out += "\x1b[J";
    for (const std::string& l : lines)
        out += l + "\n";
    return out;
}
