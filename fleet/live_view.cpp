#include "report.h"

#include <algorithm>

namespace {

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

std::vector<std::string> liveView_lines(
    const std::vector<ViewRow>& rows, const std::string& summary, int height, int width)
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
    const int usable = height - 1;
    if (usable < 2) {
        if (usable == 1)
            lines.push_back(fit(summary, width));
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
    lines.push_back(fit(summary, width));
    return lines;
}

std::vector<std::string> liveView_finalLines(
    const std::vector<ViewRow>& rows, const std::string& summary, int height, int width)
{
    std::vector<std::string> lines = liveView_lines(rows, summary, height, width);
    if (lines.empty())
        lines.push_back(summary);
    else
        lines.back() = summary;
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
