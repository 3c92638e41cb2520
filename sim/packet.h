// Writes packets in the box's feedback format: a line feed, the 3-digit
// packet length, the records (4-byte code, 3-digit record length, value) and
// two hex digits of the byte sum from the line feed to the last value byte.
#pragma once

#include <string>
#include <string_view>
#include <vector>

struct SimRecord {
    std::string code;  // exactly 4 bytes
    std::string value; // any bytes but line feed
};

struct PacketOptions {
    int lengthOverride = -1;   // packet length field to send instead of the right one
    bool badChecksum = false;  // send a checksum that is off by one
    bool lowerCaseHex = false; // checksum digits in lower case
};

// The packet bytes, or an empty string with `error` set when a record cannot
// be framed (code not 4 bytes, line feed in a field, record or packet too long).
std::string encodePacket(const std::vector<SimRecord>& records, const PacketOptions& options, std::string* error);

// Parses "CODE=VALUE"; the value may hold \xHH escapes and "\\".
bool parseRecord(std::string_view text, SimRecord* record, std::string* error);
// Expands \xHH and "\\" escapes; false on a malformed escape.
bool unescape(std::string_view text, std::string* out);
