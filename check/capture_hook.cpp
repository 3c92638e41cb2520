#include <cstdlib>

#include "capture.h"
#include "read_func.h"

namespace {

Capture* capture = nullptr;

} // namespace

// The verdict and the failure paths end through exit(), which calls this;
// a signal's ending calls it itself.
void finishCapture()
{
    Capture_destroy(capture);
    capture = nullptr;
}

void startCapture(const char* path, const char* program, const char* port, int baud, ReadContext* context)
{
    if (capture != nullptr)
        return;
    capture = Capture_create(path, program, port, baud);
    if (capture == nullptr)
        return;
    std::atexit(finishCapture);
    context->capture = capture;
}
