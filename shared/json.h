// A small JSON writer for results and event lines: strings are always valid
// JSON whatever bytes they are given.
#pragma once

#include <string>
#include <string_view>

// Appends `bytes` as a quoted JSON string. Control bytes, '"' and '\' are
// escaped; well-formed UTF-8 passes through; every byte that is not part of a
// well-formed UTF-8 sequence becomes U+FFFD, written as "\ufffd".
void json_appendString(std::string& out, std::string_view bytes);

// Length of the well-formed UTF-8 sequence at the start of `s` (not empty),
// or 0. Overlong forms, surrogates and code points past U+10FFFF are not
// well-formed.
size_t json_utf8Length(std::string_view s);
