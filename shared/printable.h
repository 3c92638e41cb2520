// Bytes as a report shows them: safe on any terminal and in any log.
#pragma once

#include <string>
#include <string_view>

#include "buffer.h"

// Bytes outside 0x20..0x7E as [XX], the rest as they are.
inline std::string printable(std::string_view bytes)
{
    std::string out;
    appendPrintable(out, bytes);
    return out;
}
