// Fuzz target: the capture reader fed arbitrary files. Whatever it hands over
// must hold what the format allows: times that never go back, chunks of at
// least one byte, marks by turns (lost first) and no chunk while the port is
// lost; a refusal names a line within the file and says why.
#include <cstdint>
#include <cstdlib>
#include <sys/mman.h>
#include <unistd.h>

#include "capture.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const int fd = memfd_create("capture", MFD_CLOEXEC);
    require(fd >= 0 && ftruncate(fd, 0) == 0 && lseek(fd, 0, SEEK_SET) == 0, "memfd");
    require(write(fd, data, size) == static_cast<ssize_t>(size) && lseek(fd, 0, SEEK_SET) == 0, "memfd write");
    CaptureReader* reader = CaptureReader_open(fd);
    require(reader != nullptr, "reader");
    CaptureItem item{};
    int64_t last = 0;
    bool lost = false;
    int got;
    while ((got = CaptureReader_next(reader, &item)) == 1) {
        require(item.offset >= last, "times in order");
        last = item.offset;
        if (item.isMark) {
            require((item.kind == CaptureMarkKind::Lost) != lost, "marks by turns");
            lost = item.kind == CaptureMarkKind::Lost;
        } else {
            require(!lost, "no chunk while lost");
            require(item.size >= 1 && item.size < CAPTURE_MAX_LINE / 2, "chunk size");
        }
    }
    size_t lines = 1;
    for (size_t i = 0; i < size; ++i)
        lines += data[i] == '\n';
    if (got < 0) {
        require(CaptureReader_why(reader) != nullptr, "a reason");
        require(CaptureReader_line(reader) >= 1 && CaptureReader_line(reader) <= lines, "a line in the file");
    }
    require(CaptureReader_next(reader, &item) == got, "an end stays an end");
    CaptureReader_destroy(reader);
    return 0;
}
