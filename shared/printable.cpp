#include "printable.h"

#include "buffer.h"

std::string printable(std::string_view bytes)
{
    std::string out;
    appendPrintable(out, bytes);
    return out;
}
