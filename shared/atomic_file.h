// A file replaced in one step: readers see the old one or the whole new one.
#pragma once

#include <string>
#include <string_view>

// Writes all of `bytes`, through interruptions: false with errno on failure.
bool writeAll(int fd, std::string_view bytes);
// Reads `fd` to its end onto `text`, through interruptions: false with errno
// on failure, EFBIG when there is more than `limit`.
bool readWhole(int fd, size_t limit, std::string* text);

class AtomicFile {
public:
    AtomicFile() = default;
    ~AtomicFile();
    AtomicFile(const AtomicFile&) = delete;
    AtomicFile& operator=(const AtomicFile&) = delete;

    // Starts the new file under an unpredictable name beside `path` that
    // begins with `prefix`. 0; -1 with errno set; -2 when `path` is something
    // other than a file or a link (a device named by mistake is never replaced).
    int open(const std::string& path, std::string_view prefix);
    // False once any write has failed (errno tells why).
    bool write(std::string_view bytes);
    // Syncs the new file and renames it over the path: 0, or -1 with errno.
    int commit();

private:
    void discard();

    int fd_ = -1;
    int error_ = 0;
    std::string path_;
    std::string temporary_;
    std::string pending_; // written out in large pieces
};
