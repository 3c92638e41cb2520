#include "json.h"

namespace {

// Length of the well-formed UTF-8 sequence at the start of `s` (not empty),
// or 0. Overlong forms, surrogates and code points past U+10FFFF are not.
size_t utf8Length(std::string_view s)
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

} // namespace

void json_appendString(std::string& out, std::string_view bytes)
{
    static constexpr char hex[] = "0123456789abcdef";
    out += '"';
    size_t i = 0;
    while (i < bytes.size()) {
        const auto b = static_cast<unsigned char>(bytes[i]);
        if (b >= 0x80) {
            const size_t n = utf8Length(bytes.substr(i));
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

void xml_appendEscaped(std::string& out, std::string_view bytes, bool attribute)
{
    size_t i = 0;
    while (i < bytes.size()) {
        const auto b = static_cast<unsigned char>(bytes[i]);
        if (b >= 0x80) {
            const size_t n = utf8Length(bytes.substr(i));
            const std::string_view sequence = bytes.substr(i, n == 0 ? 1 : n);
            if (n != 0 && sequence != "\xEF\xBF\xBE" && sequence != "\xEF\xBF\xBF")
                out.append(sequence);
            i += sequence.size();
            continue;
        }
        switch (b) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += attribute ? "&quot;" : "\""; break;
        case '\'': out += attribute ? "&apos;" : "'"; break;
        case '\t': out += attribute ? "&#9;" : "\t"; break;
        case '\n': out += attribute ? "&#10;" : "\n"; break;
        case '\r': out += "&#13;"; break; // a parser would turn a bare one into a line feed
        default:
            if (b >= 0x20 && b != 0x7F)
                out += static_cast<char>(b);
        }
        ++i;
    }
}
