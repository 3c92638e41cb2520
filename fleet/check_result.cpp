#include "check_result.h"

#include <charconv>

namespace {

// A reader for the flat objects a check writes: strings, numbers, null,
// true, false and arrays of those. Deeper nesting is refused, which keeps
// the reader small and its recursion bounded.
class Reader {
public:
    explicit Reader(std::string_view text) : text_(text) { }

    void skipBlank()
    {
        while (pos_ < text_.size() &&
            (text_[pos_] == ' ' || text_[pos_] == '\n' || text_[pos_] == '\r' || text_[pos_] == '\t'))
            ++pos_;
    }

    bool take(char c)
    {
        skipBlank();
        if (pos_ < text_.size() && text_[pos_] == c) {
            ++pos_;
            return true;
        }
        return false;
    }

    bool peek(char c)
    {
        skipBlank();
        return pos_ < text_.size() && text_[pos_] == c;
    }

    bool atEnd()
    {
        skipBlank();
        return pos_ == text_.size();
    }

    bool word(std::string_view w)
    {
        skipBlank();
        if (text_.substr(pos_, w.size()) != w)
            return false;
        pos_ += w.size();
        return true;
    }

    bool string(std::string* out)
    {
        if (!take('"'))
            return false;
        out->clear();
        while (pos_ < text_.size()) {
            const char c = text_[pos_++];
            if (c == '"')
                return true;
            if (static_cast<unsigned char>(c) < 0x20)
                return false;
            if (c != '\\') {
                *out += c;
                continue;
            }
            if (pos_ >= text_.size())
                return false;
            const char e = text_[pos_++];
            switch (e) {
            case '"': *out += '"'; break;
            case '\\': *out += '\\'; break;
            case '/': *out += '/'; break;
            case 'b': *out += '\b'; break;
            case 'f': *out += '\f'; break;
            case 'n': *out += '\n'; break;
            case 'r': *out += '\r'; break;
            case 't': *out += '\t'; break;
            case 'u': {
                unsigned code = 0;
                if (!hex4(&code))
                    return false;
                if (code >= 0xD800 && code <= 0xDBFF) {
                    unsigned low = 0;
                    if (!word("\\u") || !hex4(&low) || low < 0xDC00 || low > 0xDFFF)
                        return false;
                    code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
                } else if (code >= 0xDC00 && code <= 0xDFFF) {
                    return false;
                }
                appendUtf8(out, code);
                break;
            }
            default: return false;
            }
        }
        return false;
    }

    bool integer(int64_t* out)
    {
        skipBlank();
        const char* begin = text_.data() + pos_;
        const auto [end, error] = std::from_chars(begin, text_.data() + text_.size(), *out);
        if (error != std::errc())
            return false;
        pos_ += static_cast<size_t>(end - begin);
        // A fraction or exponent is read past: the fleet only needs whole numbers.
        if (pos_ < text_.size() && text_[pos_] == '.') {
            ++pos_;
            if (!digits())
                return false;
        }
        if (pos_ < text_.size() && (text_[pos_] == 'e' || text_[pos_] == 'E')) {
            ++pos_;
            if (pos_ < text_.size() && (text_[pos_] == '+' || text_[pos_] == '-'))
                ++pos_;
            if (!digits())
                return false;
        }
        return true;
    }

    // Any value but an object or an array within an array.
    bool skipValue(bool inArray = false)
    {
        std::string ignored;
        int64_t number = 0;
        if (peek('"'))
            return string(&ignored);
        if (peek('[') && !inArray) {
            take('[');
            if (take(']'))
                return true;
            do {
                if (!skipValue(true))
                    return false;
            } while (take(','));
            return take(']');
        }
        return word("null") || word("true") || word("false") || integer(&number);
    }

private:
    bool digits()
    {
        const size_t start = pos_;
        while (pos_ < text_.size() && text_[pos_] >= '0' && text_[pos_] <= '9')
            ++pos_;
        return pos_ > start;
    }

    bool hex4(unsigned* code)
    {
        if (text_.size() - pos_ < 4)
            return false;
        const char* begin = text_.data() + pos_;
        const auto [end, error] = std::from_chars(begin, begin + 4, *code, 16);
        if (error != std::errc() || end != begin + 4)
            return false;
        pos_ += 4;
        return true;
    }

    static void appendUtf8(std::string* out, unsigned code)
    {
        if (code < 0x80) {
            *out += static_cast<char>(code);
        } else if (code < 0x800) {
            *out += static_cast<char>(0xC0 | (code >> 6));
            *out += static_cast<char>(0x80 | (code & 0x3F));
        } else if (code < 0x10000) {
            *out += static_cast<char>(0xE0 | (code >> 12));
            *out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            *out += static_cast<char>(0x80 | (code & 0x3F));
        } else {
            *out += static_cast<char>(0xF0 | (code >> 18));
            *out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
            *out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            *out += static_cast<char>(0x80 | (code & 0x3F));
        }
    }

    std::string_view text_;
    size_t pos_ = 0;
};

} // namespace

std::optional<CheckReport> checkResult_parse(std::string_view json)
{
    Reader in(json);
    CheckReport report;
    bool haveOutcome = false;
    if (!in.take('{'))
        return std::nullopt;
    if (!in.take('}')) {
        do {
            std::string key;
            if (!in.string(&key) || !in.take(':'))
                return std::nullopt;
            bool ok = true;
            if (key == "outcome") {
                ok = in.string(&report.outcome);
                haveOutcome = ok;
            } else if (key == "status") {
                int64_t n = 0;
                if (in.integer(&n))
                    report.status = static_cast<int>(n);
                else
                    ok = in.skipValue();
            } else if (key == "current_channel" || key == "current_channel_printable") {
                std::string channel;
                if (in.peek('"')) {
                    ok = in.string(&channel);
                    (key == "current_channel" ? report.currentChannel : report.currentChannelPrintable) = channel;
                } else {
                    ok = in.skipValue();
                }
            } else if (key == "failures" && in.take('[')) {
                report.failures.clear();
                if (!in.take(']')) {
                    do {
                        std::string line;
                        ok = ok && in.string(&line);
                        report.failures.push_back(line);
                    } while (ok && in.take(','));
                    ok = ok && in.take(']');
                }
            } else if (key == "elapsed_ms") {
                ok = in.integer(&report.elapsedMs);
            } else {
                ok = in.skipValue();
            }
            if (!ok)
                return std::nullopt;
        } while (in.take(','));
        if (!in.take('}'))
            return std::nullopt;
    }
    if (!in.atEnd() || !haveOutcome)
        return std::nullopt;
    return report;
}
