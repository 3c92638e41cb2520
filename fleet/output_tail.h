// The last bytes a check printed: all the reports ever use of a check's
// output, so a box that floods its check costs no more than this.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

class OutputTail {
public:
    explicit OutputTail(size_t capacity) : capacity_(capacity) {}

    void append(std::string_view bytes);
    // What is kept, from the start of a line when earlier bytes were let go.
    std::string text() const;
    uint64_t total() const { return total_; }

private:
    size_t capacity_;
    std::string kept_; // the last bytes, up to twice the capacity
    uint64_t total_ = 0;
};
