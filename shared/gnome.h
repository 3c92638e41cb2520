// Packet reader: turns the byte stream of the box's feedback port into
// validated packets (framing, record lengths and checksum checked).
// Malformed input is reported (on the standard output unless another report
// sink is given) and skipped up to the next line feed; the reader never stops
// the program because of input.
#pragma once

#include <cstdint>

#include "buffer.h"

inline constexpr int GNOME_MAX_RECORDS = 64;
inline constexpr size_t GNOME_BUFFER_SIZE = 0x4000;

enum GnomeState : uint32_t {
    WaitStart = 0,
    PacketLength = 1,
    RecordCode = 2,
    RecordLength = 3,
    RecordData = 4,
    Checksum = 5,
};

struct Gnome {
    uint32_t state;
    Buffer* buffer;                              // owned
    const char* codes[GNOME_MAX_RECORDS];        // each to 4 code bytes
    const char* values[GNOME_MAX_RECORDS];       // not terminated
    int32_t lengths[GNOME_MAX_RECORDS];          // value lengths in bytes
    int32_t count;                               // records of the current packet
    uint32_t checksum;                           // running byte sum
    uint32_t remaining;                          // packet bytes left
    uint32_t fieldLength;                        // value length of the record being read
};

// New reader pulling bytes through readFn(readArg, ...), or null. Its
// reports and its buffer's go to the standard output.
Gnome* Gnome_create(ReadCallback readFn, void* readArg);
// The same, with the reports going to `reports`.
Gnome* Gnome_createWithSink(ReadCallback readFn, void* readArg, ReportSink reports);
// Null is ignored.
void Gnome_destroy(Gnome* gnome);

// 0: one validated packet; *count >= 1 and the arrays describe its records in
// arrival order, valid until the next call on this reader or its destruction.
// -1: the source ended or failed first; *count is 0 and the arrays null.
int Gnome_readPacket(Gnome* gnome, int32_t* count, const char* const** codes, const char* const** values,
                     const int32_t** lengths);
