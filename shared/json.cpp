#include "json.h"

#include <algorithm>
#include <charconv>

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

// `code` as UTF-8.
void appendUtf8(std::string* out, unsigned code)
{
    const int more = code < 0x80 ? 0 : code < 0x800 ? 1 : code < 0x10000 ? 2 : 3;
    // The lead byte: as many high bits set as there are bytes, then the top of the code.
    *out += static_cast<char>((more == 0 ? 0 : (0xFF00 >> (more + 1)) & 0xFF) | (code >> (6 * more)));
    for (int i = more - 1; i >= 0; --i)
        *out += static_cast<char>(0x80 | ((code >> (6 * i)) & 0x3F));
}

} // namespace

void json_appendString(std::string& out, std::string_view bytes)
{
    static constexpr char hex[] = "0123456789abcdef";
    constexpr std::string_view named = "\"\\\n\r\t", letters = "\"\\nrt";
    out += '"';
    eachCharacter(bytes, [&out](std::string_view sequence) { out.append(sequence); }, [&](unsigned char b) {
        if (const size_t i = named.find(static_cast<char>(b)); i != std::string_view::npos) {
            out += '\\';
            out += letters[i];
        } else if (b >= 0x80) {
            out += "\\ufffd";
        } else if (b < 0x20 || b == 0x7F) {
            out += "\\u00";
            out += hex[b >> 4];
            out += hex[b & 0xF];
        } else {
            out += static_cast<char>(b);
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

bool JsonReader::take(std::string_view w)
{
    pos_ = std::min(text_.find_first_not_of(" \n\r\t", pos_), text_.size());
    if (text_.substr(pos_, w.size()) != w)
        return false;
    pos_ += w.size();
    return true;
}

bool JsonReader::string(std::string* out)
{
    constexpr std::string_view escapes = "\"\\/bfnrt", meanings = "\"\\/\b\f\n\r\t";
    if (!take("\""))
        return false;
    out->clear();
    while (pos_ < text_.size()) {
        const char c = text_[pos_++];
        if (c == '"')
            return true;
        if (static_cast<unsigned char>(c) < 0x20 || (c == '\\' && pos_ == text_.size()))
            return false;
        if (c != '\\') {
            *out += c;
            continue;
        }
        const char e = text_[pos_++];
        if (const size_t i = escapes.find(e); i != std::string_view::npos) {
            *out += meanings[i];
            continue;
        }
        unsigned code = 0;
        if (e != 'u' || !hex4(&code) || (code >= 0xDC00 && code <= 0xDFFF))
            return false;
        if (code >= 0xD800 && code <= 0xDBFF) {
            unsigned low = 0;
            if (!take("\\u") || !hex4(&low) || low < 0xDC00 || low > 0xDFFF)
                return false;
            code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
        }
        appendUtf8(out, code);
    }
    return false;
}

bool JsonReader::integer(int64_t* out)
{
    take("");
    const char* begin = text_.data() + pos_;
    const auto [end, error] = std::from_chars(begin, text_.data() + text_.size(), *out);
    if (error != std::errc())
        return false;
    pos_ += static_cast<size_t>(end - begin);
    if (next(".") && !digits())
        return false;
    if (next("eE")) {
        next("+-");
        return digits();
    }
    return true;
}

bool JsonReader::skipValue(bool inArray)
{
    std::string ignored;
    int64_t number = 0;
    if (peek('"'))
        return string(&ignored);
    if (!inArray && take("["))
        return items("]", [this] { return skipValue(true); });
    return take("null") || take("true") || take("false") || integer(&number);
}

bool JsonReader::next(std::string_view chars)
{
    if (pos_ == text_.size() || chars.find(text_[pos_]) == std::string_view::npos)
        return false;
    ++pos_;
    return true;
}

bool JsonReader::digits()
{
    const size_t start = pos_;
    while (pos_ < text_.size() && text_[pos_] >= '0' && text_[pos_] <= '9')
        ++pos_;
    return pos_ > start;
}

bool JsonReader::hex4(unsigned* code)
{
    const char* begin = text_.data() + pos_;
    if (text_.size() - pos_ < 4 || std::from_chars(begin, begin + 4, *code, 16).ptr != begin + 4)
        return false;
    pos_ += 4;
    return true;
}
