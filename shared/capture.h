// Capture files: what a port sent, with its timing, as plain text (see
// quarvo-capture(5)). A writer the commands hand every received byte to,
// and a reader that turns a capture back into timed chunks for replay.
#pragma once

#include <cstddef>
#include <cstdint>

// A chunk ends at a line feed, after a gap in the input, or at this size.
inline constexpr size_t CAPTURE_MAX_CHUNK = 4096;
// How long a capture's end waits, at most, for a file that cannot take the
// rest yet (a pipe whose reader is slow).
inline constexpr int CAPTURE_CLOSE_WAIT_MS = 1000;

struct Capture;

// Where the writer lost the port ("# lost S.UUUUUU") and had it back
// ("# reopened S.UUUUUU"): comments to a reader that knows no marks.
enum class CaptureMarkKind { Lost, Reopened };

// Creates or replaces `path` and writes the header's first lines (port,
// line settings; a `baud` of 0 says they are unknown). Null only when
// memory is short. A file that cannot be opened or written, or that is the
// port itself, is reported once on the standard error (prefixed with
// `program`) and the capture then quietly takes nothing. The arguments are
// copied. Nothing is recorded before Capture_start.
Capture* Capture_open(const char* path, const char* program, const char* port, int baud);
// Time zero: now, written as the header's start. `portFd`, when not -1, is
// the opened port: a capture that turns out to be that device records
// nothing (reported). Null is ignored; a second call too.
void Capture_start(Capture* capture, int portFd);

// Ends the capture: the chunk in progress becomes a complete line, and what
// the file has not taken yet is written, waiting at most `waitMs` and no
// longer than the rule for output nobody takes allows (ending_signals.h).
// Bytes the file never took are dropped; their count over the whole capture
// is reported once on the standard error and returned. Null is ignored (0).
uint64_t Capture_close(Capture* capture, int waitMs);

// Records bytes received at `stamp` (Clock_now() of the read that brought
// them, never before Capture_start). 0, or -1 once the capture has failed.
// The file is written without ever waiting: what it cannot take while the
// capture's 64 KiB are full is dropped, counted, and marked where it was
// lost by a comment line, "# dropped N bytes".
int Capture_append(Capture* capture, const void* bytes, size_t size, int64_t stamp);
// The Clock_now() value of Capture_start: the file's time zero.
int64_t Capture_zero(const Capture* capture);
// Ends the chunk in progress and marks the port lost or reopened at `stamp`
// (Clock_now(); never before the last byte). 0, or -1 once failed.
int Capture_mark(Capture* capture, CaptureMarkKind kind, int64_t stamp);
// Ends the chunk in progress as a complete line and writes what the file
// takes now. 0, or -1 once the capture has failed.
int Capture_flush(Capture* capture);

// A capture read back, one chunk or mark at a time, in file order, through
// a bounded buffer: memory stays the same whatever the file's size.
struct CaptureItem {
    bool isMark;
    CaptureMarkKind kind; // of a mark
    int64_t offset;       // microseconds since the start
    const char* bytes;    // a chunk's, decoded, valid until the next call
    size_t size;          // at least 1 for a chunk
};

// The longest line read (the writer's longest is about a quarter of it); a
// longer comment is passed over.
inline constexpr size_t CAPTURE_MAX_LINE = 64 * 1024;

struct CaptureReader;

// Reads from `fd`, which stays the caller's. Null when memory is short.
CaptureReader* CaptureReader_open(int fd);
// 1: *item holds the next chunk or mark; 0: the capture ended well; -1: it is
// not one, or reading failed (see CaptureReader_line), and stays so.
int CaptureReader_next(CaptureReader* reader, CaptureItem* item);
// After -1: the 1-based number of the offending line, or 0 when reading
// failed; and a static text saying what is wrong (or the error's).
size_t CaptureReader_line(const CaptureReader* reader);
const char* CaptureReader_why(const CaptureReader* reader);
// Null is ignored.
void CaptureReader_destroy(CaptureReader* reader);
