// The boxes of a fleet: read from a lab's boxes file or named by their
// ports, each with a name that becomes a file name.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

struct BoxConfig {
    std::string name;
    std::string port;
    std::string channel;
    std::string source; // where the box was given: a file's name, or empty for the command line
    int line = 0;       // its line in that file
};

// Letters, digits, '.', '_' and '-', 1 to 200 of them, and not "." or "..":
// a name is safe as the start of a file name in any folder.
bool boxName_valid(std::string_view name);

// The name of a box given by its port alone: the last component of a path,
// or HOST_PORT for a URL (scheme://HOST:PORT); any other character becomes '_'.
std::string boxName_forPort(std::string_view port);

// Reads a boxes file's text: one box a line, "NAME PORT [CHANNEL]", blank
// lines and '#' comments allowed. A box without a channel takes
// `defaultChannel` (none when empty). Appends to `boxes`; returns an empty
// string, or the first fault as "SOURCE:LINE: what is wrong".
std::string boxes_parse(
    std::string_view text, const std::string& source, std::string_view defaultChannel, std::vector<BoxConfig>& boxes);

// What each box's port is, as keys: two ports are one when they share a key.
// A device by its real path; a server port by its number and by its host's
// name and every address the host has, whatever the scheme. The hosts are
// looked up at once, and not waited for past `bound` nanoseconds: one not found
// by then is known by its name alone.
std::vector<std::vector<std::string>> boxes_portKeys(
    const std::vector<BoxConfig>& boxes, int64_t bound);

// Names must be unique, and so must ports (`portKeys` as boxes_portKeys
// gives them). Empty, or the fault.
std::string boxes_checkUnique(
    const std::vector<BoxConfig>& boxes, const std::vector<std::vector<std::string>>& portKeys);
