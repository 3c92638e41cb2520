// Checks run as children that the fleet alone ends, and what it keeps of
// their output.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

// The check command: "check-quarvo" beside this program's own executable,
// else the first executable one on PATH; empty when there is none.
std::string children_findCheck();

// Starts `program` with `args` (its name first) in a process group of its
// own, with default signal actions, a SIGTERM should `parent` end, the
// standard input on /dev/null and the standard output and error on
// `outputFd`. The pid, or -1 with errno set when no process could be made.
// A program that cannot be run writes why on `outputFd` ("WHO: starting
// PROGRAM failed: ...") and exits with 127.
pid_t children_start(const std::string& program, const std::vector<std::string>& args, int outputFd, pid_t parent,
    const std::string& who);

// The last bytes a check printed: all the reports ever use of a check's
// output, so a box that floods its check costs no more than this.
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
