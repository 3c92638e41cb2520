// Capture files: what a port sent, with its timing, as plain text (the
// format is described in quarvo-capture(5)). A writer that the commands hand
// every received byte to, and a reader that turns a capture back into timed
// chunks for replay.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr int CAPTURE_VERSION = 1;
// A chunk ends at the next line feed, after a gap longer than this, or when
// it holds CAPTURE_MAX_CHUNK bytes.
inline constexpr int64_t CAPTURE_GAP_MICROS = 20000;
inline constexpr size_t CAPTURE_MAX_CHUNK = 4096;

struct Capture;

// Where the writer lost the port ("# lost S.UUUUUU") and had it back
// ("# reopened S.UUUUUU"): comments to older readers, which pass them over.
enum class CaptureMarkKind { Lost, Reopened };

// The monotonic clock in microseconds.
int64_t Capture_clockMicros();

// Creates or replaces `path` and writes the header (port, line settings,
// wall-clock start). Never null: a file that cannot be opened or written is
// reported once on the standard error, prefixed with `program`, and the
// capture then quietly takes nothing. All arguments are copied or used at once.
Capture* Capture_create(const char* path, const char* program, const char* port, int baud);
// Flushes and closes; null is ignored.
void Capture_destroy(Capture* capture);

// Records bytes received now. 0, or -1 once the capture has failed.
int Capture_append(Capture* capture, const void* bytes, size_t size);
// As Capture_append, with the arrival time given in microseconds of the
// monotonic clock since the capture was created.
int Capture_appendAt(Capture* capture, const void* bytes, size_t size, int64_t sinceStart);
// Microseconds of the monotonic clock since the capture was created.
int64_t Capture_elapsed(const Capture* capture);
// Ends the chunk in progress and marks the port lost or reopened at
// `sinceStart` (never before the last byte). 0, or -1 once the capture has failed.
int Capture_mark(Capture* capture, CaptureMarkKind kind, int64_t sinceStart);
// Writes every recorded byte to the file, the chunk in progress as a
// complete line. 0, or -1 once the capture has failed.
int Capture_flush(Capture* capture);
// Async-signal-safe: puts everything recorded so far on disk as complete
// lines, without touching the capture's state, for a signal handler that
// then ends the process. Null is ignored.
void Capture_flushFromSignal(Capture* capture);
// Makes SIGINT, SIGTERM and SIGHUP put the capture on disk (as
// Capture_flushFromSignal) before the process ends as the signal would.
// Pass null to stop doing so before the capture is destroyed.
void Capture_flushOnSignals(Capture* capture);

// A capture read back: chunks in file order, their bytes decoded.
struct CaptureChunk {
    int64_t offset;      // microseconds since the start
    const char* bytes;   // into the log's storage
    size_t size;         // at least 1
};

struct CaptureMark {
    int64_t offset;       // microseconds since the start
    CaptureMarkKind kind;
    size_t beforeChunk;   // the index of the first chunk that follows it
};

struct CaptureLog {
    CaptureChunk* chunks; // owned
    size_t count;
    char* bytes;          // owned: every chunk's bytes, back to back
    CaptureMark* marks;   // owned, in file order: lost and reopened by turns
    size_t markCount;
};

// Parses a whole capture. Null when it is not one: then *badLine holds the
// 1-based number of the offending line and *why a static text saying what
// is wrong with it. Null with *badLine 0 when memory is short.
CaptureLog* CaptureLog_parse(const char* text, size_t size, size_t* badLine, const char** why);
// Null is ignored.
void CaptureLog_destroy(CaptureLog* log);
