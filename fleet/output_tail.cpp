#include "output_tail.h"

#include <algorithm>

void OutputTail::append(std::string_view bytes)
{
    total_ += bytes.size();
    kept_.append(bytes.substr(bytes.size() - std::min(bytes.size(), capacity_)));
    // What is past the capacity is let go in bulk, not on every append.
    if (kept_.size() > 2 * capacity_)
        kept_.erase(0, kept_.size() - capacity_);
}

std::string OutputTail::text() const
{
    std::string text = kept_.substr(kept_.size() - std::min(kept_.size(), capacity_));
    if (total_ > text.size()) {
        const size_t eol = text.find('\n');
        text.erase(0, eol == std::string::npos ? 0 : eol + 1);
    }
    return text;
}
