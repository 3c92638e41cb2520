// Text for the JSON results and event lines and the XML report, valid
// whatever bytes it is given.
#pragma once

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
