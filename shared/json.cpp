#include "json.h"

#include <array>
#include <cstdint>

size_t json_utf8Length(std::string_view s)
{
    const auto b0 = static_cast<unsigned char>(s[0]);
    size_t n = 0;
    unsigned lo = 0x80;
    unsigned hi = 0xBF;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        n = 2;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        n = 3;
        lo = b0 == 0xE0 ? 0xA0 : 0x80;
        hi = b0 == 0xED ? 0x9F : 0xBF;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        n = 4;
        lo = b0 == 0xF0 ? 0x90 : 0x80;
        hi = b0 == 0xF4 ? 0x8F : 0xBF;
    } else {
        return 0;
    }
    if (s.size() < n)
        return 0;
    for (size_t i = 1; i < n; ++i) {
        const auto b = static_cast<unsigned char>(s[i]);
        if (b < (i == 1 ? lo : 0x80) || b > (i == 1 ? hi : 0xBF))
            return 0;
    }
    return n;
}


void json_appendString(std::string& out, std::string_view bytes)
{
    static constexpr char hex[] = "0123456789abcdef";
    out += '"';
    size_t i = 0;
    while (i < bytes.size()) {
        const auto b = static_cast<unsigned char>(bytes[i]);
        if (b >= 0x80) {
            const size_t n = json_utf8Length(bytes.substr(i));
            if (n == 0) {
                out += "\\ufffd";
                ++i;
            } else {
                out.append(bytes.substr(i, n));
                i += n;
            }
            continue;
        }
        switch (b) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (b < 0x20 || b == 0x7F) {
                out += "\\u00";
                out += hex[b >> 4];
                out += hex[b & 0xF];
            } else {
                out += static_cast<char>(b);
            }
        }
        ++i;
    }
    out += '"';
}
