// XML text that stays well-formed whatever bytes it is given.
#pragma once

#include <string>
#include <string_view>

// Appends `bytes` as XML 1.0 character data, or as an attribute value
// between double quotes: markup characters become references; tab, line
// feed and carriage return are kept (as references in an attribute, where
// a parser would otherwise turn them into spaces); every other control byte,
// every byte not part of well-formed UTF-8, and U+FFFE and U+FFFF are left
// out, XML 1.0 having no place for them.
void xml_appendEscaped(std::string& out, std::string_view bytes, bool attribute = false);
