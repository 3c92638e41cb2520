#include "report.h"

#include <algorithm>
#include <cstdio>

#include "json.h"
#include "printable.h"
#include "xml.h"

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

} // namespace

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
    const std::string type = attribute(end.outcome);
    switch (end.verdict) {
    case BoxVerdict::Correct: break;
    case BoxVerdict::AnsweredOtherwise:
        x += "      <failure message=\"" + attribute(end.message) + "\" type=\"" + type + "\"/>\n";
        break;
    case BoxVerdict::NoAnswer:
        x += "      <error message=\"" + attribute(end.message) + "\" type=\"" + type + "\"/>\n";
        break;
    case BoxVerdict::Skipped: x += "      <skipped message=\"" + attribute(end.message) + "\"/>\n"; break;
    }
    if (!output.empty()) {
        x += "      <system-out>";
        xml_appendEscaped(x, output);
        x += "</system-out>\n";
    }
    return x + "    </testcase>\n";
}

std::string junit_tail() { return "  </testsuite>\n</testsuites>\n"; }

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

std::string result_tail() { return "\n]}\n"; }
