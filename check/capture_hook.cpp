#include <cstdlib>

#include "capture.h"
#include "read_func.h"

namespace {

Capture* capture = nullptr;

// The verdict and the failure paths all end through exit().
void finishCapture()
{
    Capture_flushOnSignals(nullptr);
    Capture_destroy(capture);
    capture = nullptr;
}

} // namespace

void startCapture(const char* path, const char* program, const char* port, int baud, ReadContext* context)
{
    if (capture != nullptr)
        return;
    capture = Capture_create(path, program, port, baud);
    if (capture == nullptr)
        return;
    Capture_flushOnSignals(capture);
    std::atexit(finishCapture);
    context->capture = capture;
}
