#include "report.h"

#include <algorithm>
#include <charconv>

namespace {

// A reader for the flat objects a check writes: strings, numbers, null,
// true, false and arrays of those. Deeper nesting is refused, which keeps
// the reader small and its recursion bounded.
class Reader {
public:
    explicit Reader(std::string_view text) : text_(text) {}

    // Takes `w` when it comes next, after any blanks.
    bool take(std::string_view w)
    {
        pos_ = std::min(text_.find_first_not_of(" \n\r\t", pos_), text_.size());
        if (text_.substr(pos_, w.size()) != w)
            return false;
        pos_ += w.size();
        return true;
    }

    bool peek(char c) { return take("") && pos_ < text_.size() && text_[pos_] == c; }
    bool atEnd() { return take("") && pos_ == text_.size(); }

    // The items up to `close`, each read by `item`, the opening taken.
    template <typename Item>
    bool items(std::string_view close, Item item)
    {
        if (take(close))
            return true;
        do {
            if (!item())
                return false;
        } while (take(","));
        return take(close);
    }

    bool string(std::string* out)
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

    // A fraction or exponent is read past: the fleet only needs whole numbers.
    bool integer(int64_t* out)
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

    // Any value but an object or an array within an array.
    bool skipValue(bool inArray = false)
    {
        std::string ignored;
        int64_t number = 0;
        if (peek('"'))
            return string(&ignored);
        if (!inArray && take("["))
            return items("]", [this] { return skipValue(true); });
        return take("null") || take("true") || take("false") || integer(&number);
    }

private:
    // Takes one of `chars` when it comes next, blanks and all.
    bool next(std::string_view chars)
    {
        if (pos_ == text_.size() || chars.find(text_[pos_]) == std::string_view::npos)
            return false;
        ++pos_;
        return true;
    }

    bool digits()
    {
        const size_t start = pos_;
        while (pos_ < text_.size() && text_[pos_] >= '0' && text_[pos_] <= '9')
            ++pos_;
        return pos_ > start;
    }

    bool hex4(unsigned* code)
    {
        const char* begin = text_.data() + pos_;
        if (text_.size() - pos_ < 4 || std::from_chars(begin, begin + 4, *code, 16).ptr != begin + 4)
            return false;
        pos_ += 4;
        return true;
    }

    static void appendUtf8(std::string* out, unsigned code)
    {
        const int more = code < 0x80 ? 0 : code < 0x800 ? 1 : code < 0x10000 ? 2 : 3;
        // The lead byte: as many high bits set as there are bytes, then the top of the code.
        *out += static_cast<char>((more == 0 ? 0 : (0xFF00 >> (more + 1)) & 0xFF) | (code >> (6 * more)));
        for (int i = more - 1; i >= 0; --i)
            *out += static_cast<char>(0x80 | ((code >> (6 * i)) & 0x3F));
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
    const auto member = [&] {
        std::string key;
        if (!in.string(&key) || !in.take(":"))
            return false;
        int64_t n = 0;
        if (key == "outcome")
            return haveOutcome = in.string(&report.outcome);
        if (key == "status" && in.integer(&n)) {
            report.status = static_cast<int>(n);
            return true;
        }
        if ((key == "current_channel" || key == "current_channel_printable") && in.peek('"')) {
            auto& channel = key == "current_channel" ? report.currentChannel : report.currentChannelPrintable;
            return in.string(&channel.emplace());
        }
        if (key == "failures" && in.take("[")) {
            report.failures.clear();
            return in.items("]", [&] { return in.string(&report.failures.emplace_back()); });
        }
        if (key == "elapsed_ms")
            return in.integer(&report.elapsedMs);
        return in.skipValue();
    };
    if (!in.take("{") || !in.items("}", member) || !in.atEnd() || !haveOutcome)
        return std::nullopt;
    return report;
}
