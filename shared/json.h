// Text for the JSON results and event lines and the XML report, valid
// whatever bytes it is given; and a reader for the JSON a check writes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// Appends `bytes` as a quoted JSON string. Control bytes, '"' and '\' are
// escaped; well-formed UTF-8 passes through; every byte that is not part of a
// well-formed UTF-8 sequence becomes U+FFFD, written as "\ufffd".
void json_appendString(std::string& out, std::string_view bytes);

// Appends `bytes` as XML 1.0 character data, or as an attribute value
// between double quotes: markup characters become references; tab, line
// feed and carriage return are kept (as references in an attribute, where
// a parser would otherwise turn them into spaces); every other control byte,
// every byte not part of well-formed UTF-8, and U+FFFE and U+FFFF are left
// out, XML 1.0 having no place for them.
void xml_appendEscaped(std::string& out, std::string_view bytes, bool attribute = false);

// A reader for flat JSON objects, as a check's result file holds: strings,
// numbers, null, true, false and arrays of those. Deeper nesting is refused,
// which keeps the reader small and its recursion bounded.
class JsonReader {
public:
    explicit JsonReader(std::string_view text) : text_(text) {}

    // Takes `w` when it comes next, after any blanks.
    bool take(std::string_view w);
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

    bool string(std::string* out);
    // A fraction or exponent is read past: whole numbers are all a result holds.
    bool integer(int64_t* out);
    // Any value but an object or an array within an array.
    bool skipValue(bool inArray = false);

private:
    bool next(std::string_view chars); // one of `chars` when it comes next, blanks and all
    bool digits();
    bool hex4(unsigned* code);

    std::string_view text_;
    size_t pos_ = 0;
};
