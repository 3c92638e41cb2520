#include "boxes.h"

#include <algorithm>
#include <unordered_map>

#include "buffer.h"

namespace {

constexpr size_t MaxNameLength = 200; // the name plus ".json" or ".cap" stays a valid file name
constexpr size_t MaxFields = 3;

bool nameChar(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '_' ||
        c == '-';
}

bool blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

std::string printable(std::string_view bytes)
{
    std::string out;
    appendPrintable(out, bytes);
    return out;
}

std::string where(const BoxConfig& box)
{
    if (box.source.empty())
        return "command line";
    return printable(box.source) + ":" + std::to_string(box.line);
}

} // namespace

bool boxName_valid(std::string_view name)
{
    return !name.empty() && name.size() <= MaxNameLength && name != "." && name != ".." &&
        std::all_of(name.begin(), name.end(), nameChar);
}

std::string boxName_forPort(std::string_view port)
{
    std::string_view base = port;
    std::string name;
    const size_t scheme = port.find("://");
    if (scheme != std::string_view::npos) {
        base = port.substr(scheme + 3);
        base = base.substr(0, base.find('/'));
        // An IPv6 host is written in brackets; the colon before the port
        // number becomes the underscore.
        for (char c : base) {
            if (c != '[' && c != ']')
                name += c;
        }
    } else {
        while (base.size() > 1 && base.back() == '/')
            base.remove_suffix(1);
        const size_t slash = base.rfind('/');
        if (slash != std::string_view::npos && slash + 1 < base.size())
            base.remove_prefix(slash + 1);
        name = base;
    }
    for (char& c : name) {
        if (!nameChar(c))
            c = '_';
    }
    if (name.size() > MaxNameLength)
        name.resize(MaxNameLength);
    return name;
}

std::string boxes_parse(
    std::string_view text, const std::string& source, std::string_view defaultChannel, std::vector<BoxConfig>& boxes)
{
    int lineNumber = 0;
    while (!text.empty()) {
        const size_t end = std::min(text.find('\n'), text.size());
        std::string_view line = text.substr(0, end);
        text.remove_prefix(std::min(end + 1, text.size()));
        ++lineNumber;
        const std::string at = printable(source) + ":" + std::to_string(lineNumber) + ": ";

        std::vector<std::string_view> fields;
        while (!line.empty()) {
            if (blank(line.front())) {
                line.remove_prefix(1);
                continue;
            }
            if (line.front() == '#')
                break;
            size_t n = 0;
            while (n < line.size() && !blank(line[n]))
                ++n;
            fields.push_back(line.substr(0, n));
            line.remove_prefix(n);
        }
        if (fields.empty())
            continue;
        if (fields.size() < 2 || fields.size() > MaxFields) {
            std::string all;
            for (const std::string_view field : fields)
                all += (all.empty() ? "" : " ") + printable(field);
            return at + "a box is written NAME PORT [CHANNEL], not '" + all + "'";
        }
        if (!boxName_valid(fields[0]))
            return at + "box name '" + printable(fields[0]) +
                "' is not 1 to 200 letters, digits, '.', '_' and '-' (nor '.' or '..')";
        BoxConfig box;
        box.name = fields[0];
        box.port = fields[1];
        box.source = source;
        box.line = lineNumber;
        if (fields.size() == 3)
            box.channel = fields[2];
        else if (!defaultChannel.empty())
            box.channel = defaultChannel;
        else
            return at + "box '" + box.name + "' has no channel, and no --channel was given";
        boxes.push_back(std::move(box));
    }
    return {};
}

std::string boxes_checkUnique(
    const std::vector<BoxConfig>& boxes, const std::function<std::string(const std::string&)>& portKey)
{
    std::unordered_map<std::string, size_t> names;
    std::unordered_map<std::string, size_t> ports;
    for (size_t i = 0; i < boxes.size(); ++i) {
        const BoxConfig& box = boxes[i];
        const auto [name, newName] = names.emplace(box.name, i);
        if (!newName)
            return where(box) + ": box name '" + box.name + "' is already taken by the box at " +
                where(boxes[name->second]) + (box.source.empty() ? " (name boxes in a boxes file)" : "");
        const auto [port, newPort] = ports.emplace(portKey(box.port), i);
        if (!newPort)
            return where(box) + ": port " + printable(box.port) + " is also the port of box '" +
                boxes[port->second].name + "' (" + where(boxes[port->second]) +
                "): two checks on one port would each see half of what the box sends";
    }
    return {};
}
