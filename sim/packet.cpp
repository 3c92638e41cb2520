#include "packet.h"

#include <cstdio>

namespace {

std::string threeDigits(unsigned n)
{
    char text[8];
    std::snprintf(text, sizeof text, "%03u", n % 1000);
    return text;
}

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

} // namespace

std::string encodePacket(const std::vector<SimRecord>& records, const PacketOptions& options, std::string* error)
{
    std::string body;
    for (const SimRecord& r : records) {
        if (r.code.size() != 4 || r.code.find('\n') != std::string::npos) {
            *error = "record code must be 4 bytes without a line feed";
            return {};
        }
        if (r.value.find('\n') != std::string::npos) {
            *error = "record value must not hold a line feed";
            return {};
        }
        if (r.value.size() + 7 > 999) {
            *error = "record value too long (992 bytes at most)";
            return {};
        }
        body += r.code;
        body += threeDigits(static_cast<unsigned>(r.value.size() + 7));
        body += r.value;
    }
    if (records.empty()) {
        *error = "a packet needs at least one record";
        return {};
    }
    const size_t length = 3 + body.size() + 2;
    if (length > 999) {
        *error = "packet too long (999 bytes at most)";
        return {};
    }
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
        if (text[i] != '\\') {
            *out += text[i];
            continue;
        }
        if (i + 1 < text.size() && text[i + 1] == '\\') {
            *out += '\\';
            ++i;
            continue;
        }
        if (i + 3 >= text.size() || text[i + 1] != 'x')
            return false;
        const int hi = hexValue(text[i + 2]);
        const int lo = hexValue(text[i + 3]);
        if (hi < 0 || lo < 0)
            return false;
        *out += static_cast<char>(hi * 16 + lo);
        i += 3;
    }
    return true;
}

bool parseRecord(std::string_view text, SimRecord* record, std::string* error)
{
    const size_t eq = text.find('=');
    if (eq == std::string_view::npos) {
        *error = "record must be CODE=VALUE";
        return false;
    }
    if (!unescape(text.substr(0, eq), &record->code) || !unescape(text.substr(eq + 1), &record->value)) {
        *error = "bad escape (use \\xHH or \\\\)";
        return false;
    }
    if (record->code.size() != 4) {
        *error = "record code must be exactly 4 bytes";
        return false;
    }
    if (record->code.find('\n') != std::string::npos || record->value.find('\n') != std::string::npos) {
        *error = "record must not hold a line feed";
        return false;
    }
    return true;
}
