#include <gtest/gtest.h>

#include <string>

#include "json.h"

namespace {

std::string asJson(std::string_view bytes)
{
    std::string out;
    json_appendString(out, bytes);
    return out;
}

TEST(Json, StringsAreValidWhateverTheBytes)
{
    const struct {
        std::string in;
        std::string out;
    } cases[] = {
        {"101", R"("101")"},
        {"a\"b\\c", R"("a\"b\\c")"},
        {std::string("\n\r\t\x00\x1b\x7f", 6), R"("\n\r\t\u0000\u001b\u007f")"},
        {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x93\xba", "\"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x93\xba\""},
        // Lone, truncated, overlong and surrogate sequences: one U+FFFD per byte.
        {"\xff", R"("\ufffd")"},
        {"a\xc3", R"("a\ufffd")"},
        {"\xc0\xaf", R"("\ufffd\ufffd")"},
        {"\xed\xa0\x80", R"("\ufffd\ufffd\ufffd")"},
        {"\xf4\x90\x80\x80", R"("\ufffd\ufffd\ufffd\ufffd")"},
        {"\xe2\x82", R"("\ufffd\ufffd")"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(asJson(c.in), c.out) << c.in;
}

} // namespace
