#include "json.h"

#include <algorithm>

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

// Hands each well-formed UTF-8 sequence of two or more bytes to `sequence`
// and every other byte to `single` (one of 0x80 or more is not well-formed).
template <typename Sequence, typename Single>
void eachCharacter(std::string_view bytes, Sequence sequence, Single single)
{
    for (size_t i = 0; i < bytes.size();) {
        const auto b = static_cast<unsigned char>(bytes[i]);
        const size_t n = b >= 0x80 ? utf8Length(bytes.substr(i)) : 0;
        if (n > 0)
            sequence(bytes.substr(i, n));
        else
            single(b);
        i += std::max<size_t>(n, 1);
    }
}

} // namespace

void json_appendString(std::string& out, std::string_view bytes)
{
    static constexpr char hex[] = "0123456789abcdef";
    out += '"';
    eachCharacter(bytes, [&out](std::string_view sequence) { out.append(sequence); }, [&out](unsigned char b) {
        switch (b) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (b >= 0x80) {
                out += "\\ufffd";
            } else if (b < 0x20 || b == 0x7F) {
                out += "\\u00";
                out += hex[b >> 4];
                out += hex[b & 0xF];
            } else {
                out += static_cast<char>(b);
            }
        }
    });
    out += '"';
}

void xml_appendEscaped(std::string& out, std::string_view bytes, bool attribute)
{
    const auto sequence = [&out](std::string_view s) {
        if (s != "\xEF\xBF\xBE" && s != "\xEF\xBF\xBF")
            out.append(s);
    };
    eachCharacter(bytes, sequence, [&out, attribute](unsigned char b) {
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
            if (b >= 0x20 && b < 0x7F)
                out += static_cast<char>(b);
        }
    });
}
