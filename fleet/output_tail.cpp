#include "output_tail.h"

#include <algorithm>

void OutputTail::append(std::string_view bytes)
{
    total_ += bytes.size();
    if (capacity_ == 0)
        return;
    if (bytes.size() >= capacity_) {
        ring_.assign(bytes.substr(bytes.size() - capacity_));
        start_ = 0;
        return;
    }
    if (ring_.size() < capacity_) {
        const size_t room = capacity_ - ring_.size();
        ring_.append(bytes.substr(0, room));
        bytes.remove_prefix(std::min(room, bytes.size()));
    }
    // Full: overwrite the oldest bytes in place.
    while (!bytes.empty()) {
        const size_t n = std::min(bytes.size(), capacity_ - start_);
        ring_.replace(start_, n, bytes.substr(0, n));
        start_ = (start_ + n) % capacity_;
        bytes.remove_prefix(n);
    }
}

std::string OutputTail::text() const
{
    std::string text = ring_.substr(start_) + ring_.substr(0, start_);
    if (total_ > text.size()) {
        const size_t eol = text.find('\n');
        text.erase(0, eol == std::string::npos ? 0 : eol + 1);
    }
    return text;
}
