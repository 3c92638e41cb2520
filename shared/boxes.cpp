#include "boxes.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <unordered_map>

#include "port.h"
#include "printable.h"

namespace {

constexpr size_t MaxNameLength = 200; // the name plus ".json" or ".cap" stays a valid file name
constexpr size_t MaxFields = 3;

bool nameChar(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '_' ||
        c == '-';
}

constexpr std::string_view Blanks = " \t\r\v\f";

// A byte no field may hold: the check's arguments end at a NUL, and the
// other control bytes are nothing a name, port or channel is written with.
bool control(char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; }

std::string where(const BoxConfig& box)
{
    if (box.source.empty())
        return "command line";
    return printable(box.source) + ":" + std::to_string(box.line);
}

std::string lowered(std::string_view text)
{
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(), [](char c) { return c >= 'A' && c <= 'Z' ? c + 32 : c; });
    return out;
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
        // An IPv6 host is written in brackets; the colon before the port
        // number becomes the underscore.
        name = base.substr(0, base.find('/'));
        std::erase_if(name, [](char c) { return c == '[' || c == ']'; });
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

        // A '#' starting a field starts a comment.
        std::vector<std::string_view> fields;
        for (size_t start = line.find_first_not_of(Blanks); start != std::string_view::npos && line[start] != '#';
             start = line.find_first_not_of(Blanks, start)) {
            const size_t end = std::min(line.find_first_of(Blanks, start), line.size());
            fields.push_back(line.substr(start, end - start));
            start = end;
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
        for (const std::string_view field : fields) {
            if (const auto c = std::find_if(field.begin(), field.end(), control); c != field.end())
                return at + "control byte " + printable(std::string_view(&*c, 1)) + " in '" + printable(field) + "'";
        }
        if (fields.size() < 3 && defaultChannel.empty())
            return at + "box '" + std::string(fields[0]) + "' has no channel, and no --channel was given";
        const std::string_view channel = fields.size() == 3 ? fields[2] : defaultChannel;
        boxes.push_back({std::string(fields[0]), std::string(fields[1]), std::string(channel), source, lineNumber});
    }
    return {};
}

std::vector<std::vector<std::string>> boxes_portKeys(
    const std::vector<BoxConfig>& boxes, int64_t bound)
{
    std::vector<PortName> names(boxes.size());
    std::vector<std::string> hosts;
    for (size_t i = 0; i < boxes.size(); ++i) {
        std::string why;
        if (!Port_parseName(boxes[i].port, &names[i], &why))
            names[i] = PortName{PortKind::Local, boxes[i].port, {}, 0}; // refused by its check, as written
        else if (names[i].kind != PortKind::Local)
            hosts.push_back(lowered(names[i].host));
    }
    std::sort(hosts.begin(), hosts.end());
    hosts.erase(std::unique(hosts.begin(), hosts.end()), hosts.end());
    const std::vector<std::vector<std::string>> addresses = Port_resolveAll(hosts, bound);
    std::vector<std::vector<std::string>> keys(boxes.size());
    for (size_t i = 0; i < boxes.size(); ++i) {
        const PortName& name = names[i];
        if (name.kind == PortKind::Local) {
            char resolved[PATH_MAX];
            keys[i].push_back(realpath(name.path.c_str(), resolved) != nullptr ? resolved : name.path);
            continue;
        }
        const std::string host = lowered(name.host);
        const std::string port = " port " + std::to_string(name.port);
        keys[i].push_back("host " + host + port);
        const size_t at = static_cast<size_t>(std::lower_bound(hosts.begin(), hosts.end(), host) - hosts.begin());
        for (const std::string& address : addresses[at])
            keys[i].push_back("address " + address + port);
    }
    return keys;
}

std::string boxes_checkUnique(
    const std::vector<BoxConfig>& boxes, const std::vector<std::vector<std::string>>& portKeys)
{
    std::unordered_map<std::string, size_t> names;
    std::unordered_map<std::string, size_t> ports;
    for (size_t i = 0; i < boxes.size(); ++i) {
        const BoxConfig& box = boxes[i];
        const auto [name, newName] = names.emplace(box.name, i);
        if (!newName)
            return where(box) + ": box name '" + box.name + "' is already taken by the box at " +
                where(boxes[name->second]) + (box.source.empty() ? " (name boxes in a boxes file)" : "");
        for (const std::string& key : portKeys[i]) {
            const auto [port, newPort] = ports.emplace(key, i);
            if (!newPort && port->second != i)
                return where(box) + ": port " + printable(box.port) + " is also the port of box '" +
                    boxes[port->second].name + "' (" + where(boxes[port->second]) +
                    "): two checks on one port would each see half of what the box sends";
        }
    }
    return {};
}
