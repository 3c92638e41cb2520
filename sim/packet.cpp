#include "packet.h"

#include <charconv>
#include <cstdio>

namespace {

std::string threeDigits(unsigned n)
{
    char text[8];
    std::snprintf(text, sizeof text, "%03u", n % 1000);
    return text;
}

} // namespace

std::string encodePacket(const std::vector<SimRecord>& records, const PacketOptions& options, std::string* error)
{
    const auto refuse = [error](const char* why) {
        *error = why;
        return std::string();
    };
    std::string body;
    for (const SimRecord& r : records) {
        if (r.code.size() != 4 || r.code.find('\n') != std::string::npos)
            return refuse("record code must be 4 bytes without a line feed");
        if (r.value.find('\n') != std::string::npos)
            return refuse("record value must not hold a line feed");
        if (r.value.size() + 7 > 999)
            return refuse("record value too long (992 bytes at most)");
        body += r.code + threeDigits(static_cast<unsigned>(r.value.size() + 7)) + r.value;
    }
    if (records.empty())
        return refuse("a packet needs at least one record");
    const size_t length = 3 + body.size() + 2;
    if (length > 999)
        return refuse("packet too long (999 bytes at most)");
    std::string packet(1, '\n');
    packet += threeDigits(options.lengthOverride >= 0 ? static_cast<unsigned>(options.lengthOverride)
                                                       : static_cast<unsigned>(length));
    packet += body;
    unsigned sum = 0;
    for (unsigned char b : packet)
        sum += b;
    sum = (sum + (options.badChecksum ? 1 : 0)) & 0xFF;
    char digits[3];
    std::snprintf(digits, sizeof digits, options.lowerCaseHex ? "%02x" : "%02X", sum);
    packet += digits;
    return packet;
}

bool unescape(std::string_view text, std::string* out)
{
    out->clear();
    for (size_t i = 0; i < text.size(); ++i) {
        unsigned byte = static_cast<unsigned char>(text[i]);
        if (text[i] == '\\' && text.substr(i + 1, 1) == "\\") {
            ++i;
        } else if (text[i] == '\\') {
            if (text.substr(i + 1, 1) != "x" || text.size() < i + 4)
                return false;
            const char* hex = text.data() + i + 2;
            if (std::from_chars(hex, hex + 2, byte, 16).ptr != hex + 2)
                return false;
            i += 3;
        }
        *out += static_cast<char>(byte);
    }
    return true;
}

bool parseRecord(std::string_view text, SimRecord* record, std::string* error)
{
    const auto refuse = [error](const char* why) {
        *error = why;
        return false;
    };
    const size_t eq = text.find('=');
    if (eq == std::string_view::npos)
        return refuse("record must be CODE=VALUE");
    if (!unescape(text.substr(0, eq), &record->code) || !unescape(text.substr(eq + 1), &record->value))
        return refuse("bad escape (use \\xHH or \\\\)");
    if (record->code.size() != 4)
        return refuse("record code must be exactly 4 bytes");
    if (record->code.find('\n') != std::string::npos || record->value.find('\n') != std::string::npos)
        return refuse("record must not hold a line feed");
    return true;
}
