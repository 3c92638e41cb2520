// The fleet's own standard output, written only as fast as its reader takes
// it: a reader that stops reading (a pipe into a program that never reads,
// a FIFO nobody opened for reading long ago) never holds the fleet, which
// goes on reaping and starting checks; the text waits here meanwhile, until
// the rule for output nobody takes (ending_signals.h) gives it up.
#pragma once

#include <string>
#include <string_view>

class PendingOutput {
public:
    explicit PendingOutput(int fd) : fd_(fd) {}

    // Queues `text` behind what is waiting (dropped once the output is
    // given up).
    void add(std::string_view text);
    // Writes what the descriptor takes now, never waiting for it.
    void pump();
    // Nothing waits to be written.
    bool idle() const { return at_ == text_.size(); }
    size_t waiting() const { return text_.size() - at_; }
    // What is waiting, and all that comes later, is dropped: the deadline
    // passed, or a write failed.
    void giveUp();
    bool givenUp() const { return givenUp_; }
    // A write failed for a reason other than a full output: its errno, or 0.
    int error() const { return error_; }

private:
    int fd_;
    std::string text_;
    size_t at_ = 0; // written so far
    bool givenUp_ = false;
    int error_ = 0;
};
