#include "xml.h"

#include "json.h"

void xml_appendEscaped(std::string& out, std::string_view bytes, bool attribute)
{
    size_t i = 0;
    while (i < bytes.size()) {
        const auto b = static_cast<unsigned char>(bytes[i]);
        if (b >= 0x80) {
            const size_t n = json_utf8Length(bytes.substr(i));
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
