#include "atomic_file.h"

#include <cerrno>
#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

constexpr size_t FlushAt = 64 * 1024;

bool writeAll(int fd, std::string_view bytes)
{
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        bytes.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

bool readWhole(int fd, size_t limit, std::string* text)
{
    char chunk[4096];
    for (ssize_t n; (n = read(fd, chunk, sizeof chunk)) != 0;) {
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (text->size() + static_cast<size_t>(n) > limit) {
            errno = EFBIG;
            return false;
        }
        text->append(chunk, static_cast<size_t>(n));
    }
    return true;
}

AtomicFile::~AtomicFile() { discard(); }

int AtomicFile::open(const std::string& path, std::string_view prefix)
{
    discard();
    struct stat existing {};
    if (lstat(path.c_str(), &existing) == 0 && !S_ISREG(existing.st_mode) && !S_ISLNK(existing.st_mode))
        return -2;
    // In the same folder, so that the rename is atomic; made by mkstemp, so
    // that no link planted beforehand is written through.
    const size_t slash = path.rfind('/');
    temporary_ = (slash == std::string::npos ? std::string() : path.substr(0, slash + 1));
    temporary_ += std::string(prefix) + "XXXXXX";
    fd_ = mkstemp(temporary_.data());
    if (fd_ < 0) {
        temporary_.clear(); // the name last tried is not ours to remove
        return -1;
    }
    // mkstemp makes the file for its owner alone; a report is for others to read too.
    const mode_t mask = umask(0);
    umask(mask);
    fchmod(fd_, 0666 & ~mask);
    path_ = path;
    error_ = 0;
    return 0;
}

bool AtomicFile::write(std::string_view bytes)
{
    if (fd_ < 0 || error_ != 0)
        return false;
    pending_.append(bytes);
    if (pending_.size() >= FlushAt) {
        if (!writeAll(fd_, pending_))
            error_ = errno;
        pending_.clear();
    }
    return error_ == 0;
}

int AtomicFile::commit()
{
    if (fd_ < 0) {
        errno = EBADF;
        return -1;
    }
    if (error_ == 0 && (!writeAll(fd_, pending_) || fsync(fd_) != 0))
        error_ = errno;
    if (close(std::exchange(fd_, -1)) != 0 && error_ == 0)
        error_ = errno;
    if (error_ == 0 && rename(temporary_.c_str(), path_.c_str()) != 0)
        error_ = errno;
    if (error_ == 0)
        temporary_.clear(); // renamed: nothing left to remove
    const int error = error_;
    discard();
    errno = error;
    return error == 0 ? 0 : -1;
}

void AtomicFile::discard()
{
    if (fd_ >= 0)
        close(std::exchange(fd_, -1));
    if (!temporary_.empty())
        unlink(temporary_.c_str());
    temporary_.clear();
    pending_.clear();
}
