// Bytes as a report shows them: safe on any terminal and in any log.
#pragma once

#include <string>
#include <string_view>

// Bytes outside 0x20..0x7E as [XX], the rest as they are.
std::string printable(std::string_view bytes);
