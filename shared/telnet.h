// The Telnet layer of a serial server's port (Telnet with the Com Port
// Control Option): the client side of a listen-first connection. Pure: bytes
// in, data and answers out; the caller does all input and output.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

inline constexpr uint8_t TELNET_IAC = 255;
inline constexpr uint8_t TELNET_DONT = 254;
inline constexpr uint8_t TELNET_DO = 253;
inline constexpr uint8_t TELNET_WONT = 252;
inline constexpr uint8_t TELNET_WILL = 251;
inline constexpr uint8_t TELNET_SB = 250;
inline constexpr uint8_t TELNET_SE = 240;
inline constexpr uint8_t TELNET_NOP = 241;

inline constexpr uint8_t TELNET_BINARY = 0;
inline constexpr uint8_t TELNET_SGA = 3;
inline constexpr uint8_t TELNET_COM_PORT = 44;

// Com port requests; the server answers each with the code plus 100 and the
// value it actually uses.
inline constexpr uint8_t COM_SET_BAUDRATE = 1;
inline constexpr uint8_t COM_SET_DATASIZE = 2;
inline constexpr uint8_t COM_SET_PARITY = 3;
inline constexpr uint8_t COM_SET_STOPSIZE = 4;
inline constexpr uint8_t COM_NOTIFY_LINESTATE = 6;
inline constexpr uint8_t COM_SET_LINESTATE_MASK = 10;
inline constexpr uint8_t COM_SERVER_OFFSET = 100;

inline constexpr uint8_t COM_PARITY_NONE = 1;
inline constexpr uint8_t COM_STOPSIZE_ONE = 1;

// Line-state bits worth telling the user about.
inline constexpr uint8_t LINE_OVERRUN = 0x02;
inline constexpr uint8_t LINE_PARITY = 0x04;
inline constexpr uint8_t LINE_FRAMING = 0x08;
inline constexpr uint8_t LINE_BREAK = 0x10;
inline constexpr uint8_t LINE_ERRORS = LINE_OVERRUN | LINE_PARITY | LINE_FRAMING | LINE_BREAK;

// A subnegotiation longer than this is dropped whole: a com port answer
// needs at most 6 bytes, and a server's text must not grow our memory.
inline constexpr size_t TELNET_MAX_SUBNEGOTIATION = 64;

// Where one side of one option stands (RFC 1143, without the queue bit).
enum class TelnetOptionState : uint8_t { No, Yes, WantYes, WantNo };

struct Telnet {
    // Decoder position within a command or subnegotiation.
    enum class Phase : uint8_t { Data, Iac, Verb, Sub, SubIac } phase = Phase::Data;
    uint8_t verb = 0;                 // DO, DONT, WILL or WONT awaiting its option
    bool subOverflow = false;         // the subnegotiation being read is dropped
    bool afterCr = false;             // the last data byte was a CR sent as text (for CR NUL)
    uint8_t subLength = 0;
    uint8_t sub[TELNET_MAX_SUBNEGOTIATION] = {};
    TelnetOptionState us[256] = {};   // options we perform
    TelnetOptionState him[256] = {};  // options the server performs
    bool refusedUs[256] = {};         // refusals answered once, so a stubborn server cannot make us loop
    bool refusedHim[256] = {};
    bool serverTextMode = false;      // the server refused to send binary: it stuffs CR NUL
    bool clientTextMode = false;      // the server refused our binary: we must stuff CR NUL
    bool comPortRefused = false;      // the server refused the com port option

    // What the server confirmed; -1 until it answered.
    int64_t baud = -1;
    int dataSize = -1;
    int parity = -1;
    int stopSize = -1;
    int lineStateMask = -1;
    uint8_t lineErrors = 0;           // LINE_* bits the server has ever reported
};

// Feeds bytes received from the server: returns the count of data bytes
// put in `out` (which may be in.data()), appends answers to `replies`.
size_t Telnet_receive(Telnet& telnet, std::span<const uint8_t> in, uint8_t* out, std::string& replies);

// The client's opening: WILL COM-PORT-OPTION, WILL and DO BINARY and
// SUPPRESS-GO-AHEAD, marked asked for.
void Telnet_opening(Telnet& telnet, std::string& out);
// The line settings (`baud`, 8 data bits, no parity, one stop bit) and the
// line-state mask for break, framing, parity and overrun reports.
void Telnet_comPortRequests(int64_t baud, std::string& out);
// Data for the server: 0xFF doubled; a CR sent as CR NUL when the server
// refused our binary mode.
void Telnet_encodeData(const Telnet& telnet, std::span<const uint8_t> data, std::string& out);
// The server agreed to the com port option.
bool Telnet_comPortAccepted(const Telnet& telnet);
