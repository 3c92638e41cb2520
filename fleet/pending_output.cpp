#include "pending_output.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <poll.h>
#include <unistd.h>

void PendingOutput::add(std::string_view text)
{
    if (!givenUp_)
        text_.append(text);
}

void PendingOutput::pump()
{
    while (!idle() && !givenUp_) {
        pollfd out{fd_, POLLOUT, 0};
        if (poll(&out, 1, 0) != 1)
            break;
        // Room is only promised for this much: a pipe with any room at all
        // takes PIPE_BUF bytes without blocking.
        const size_t n = std::min<size_t>(text_.size() - at_, PIPE_BUF);
        const ssize_t written = write(fd_, text_.data() + at_, n);
        if (written > 0) {
            at_ += static_cast<size_t>(written);
        } else if (written < 0 && (errno == EINTR || errno == EAGAIN)) {
            break;
        } else {
            error_ = written < 0 ? errno : EIO;
            giveUp();
        }
    }
    // What was written is let go once it is most of what is held.
    if (at_ * 2 >= text_.size()) {
        text_.erase(0, at_);
        at_ = 0;
    }
}

void PendingOutput::giveUp()
{
    givenUp_ = true;
    text_.clear();
    at_ = 0;
}
