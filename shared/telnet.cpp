#include "telnet.h"

namespace {

using State = TelnetOptionState;

void command(std::string& out, uint8_t verb, uint8_t option)
{
    out += static_cast<char>(TELNET_IAC);
    out += static_cast<char>(verb);
    out += static_cast<char>(option);
}

// The server's WILL or WONT (whether it performs `option`: answered DO or
// DONT), or its DO or DONT (whether we are to: answered WILL or WONT).
void answer(Telnet& t, uint8_t verb, uint8_t option, std::string& replies)
{
    const bool his = verb == TELNET_WILL || verb == TELNET_WONT;
    const bool yes = verb == TELNET_WILL || verb == TELNET_DO;
    State& state = his ? t.him[option] : t.us[option];
    const uint8_t refusal = his ? TELNET_DONT : TELNET_WONT;
    if (option == TELNET_BINARY)
        (his ? t.serverTextMode : t.clientTextMode) = !yes;
    if (!yes) {
        t.comPortRefused = t.comPortRefused || (!his && option == TELNET_COM_PORT);
        if (state == State::Yes)
            command(replies, refusal, option);
        state = State::No;
        return;
    }
    // Binary and suppress-go-ahead both ways; the com port option is ours.
    if (option != TELNET_BINARY && option != TELNET_SGA && (his || option != TELNET_COM_PORT)) {
        bool& refused = his ? t.refusedHim[option] : t.refusedUs[option];
        if (!refused)
            command(replies, refusal, option);
        refused = true;
        return;
    }
    if (state == State::No)
        command(replies, his ? TELNET_DO : TELNET_WILL, option);
    state = State::Yes;
}

void subnegotiation(Telnet& t)
{
    if (t.subLength < 2 || t.sub[0] != TELNET_COM_PORT)
        return;
    const uint8_t code = t.sub[1];
    const uint8_t* value = t.sub + 2;
    const size_t size = t.subLength - 2u;
    if (code == COM_SERVER_OFFSET + COM_SET_BAUDRATE) {
        if (size == 4)
            t.baud = (int64_t{value[0]} << 24) | (int64_t{value[1]} << 16) | (int64_t{value[2]} << 8) | value[3];
        return;
    }
    // Modem state, flow control and the rest: nothing a listener needs.
    if (size != 1)
        return;
    if (code == COM_SERVER_OFFSET + COM_SET_DATASIZE)
        t.dataSize = value[0];
    else if (code == COM_SERVER_OFFSET + COM_SET_PARITY)
        t.parity = value[0];
    else if (code == COM_SERVER_OFFSET + COM_SET_STOPSIZE)
        t.stopSize = value[0];
    else if (code == COM_SERVER_OFFSET + COM_NOTIFY_LINESTATE)
        t.lineErrors |= value[0] & LINE_ERRORS;
    else if (code == COM_SERVER_OFFSET + COM_SET_LINESTATE_MASK)
        t.lineStateMask = value[0];
}

void subByte(Telnet& t, uint8_t b)
{
    if (t.subLength < TELNET_MAX_SUBNEGOTIATION)
        t.sub[t.subLength++] = b;
    else
        t.subOverflow = true;
}

// The byte after an IAC outside a subnegotiation. True when it is data (0xFF).
bool afterIac(Telnet& t, uint8_t b)
{
    t.phase = Telnet::Phase::Data;
    if (b == TELNET_IAC)
        return true;
    if (b >= TELNET_WILL && b <= TELNET_DONT) {
        t.verb = b;
        t.phase = Telnet::Phase::Verb;
    } else if (b == TELNET_SB) {
        t.subLength = 0;
        t.subOverflow = false;
        t.phase = Telnet::Phase::Sub;
    }
    // NOP, go-ahead, a stray SE and the other two-byte commands mean nothing here.
    return false;
}

} // namespace

size_t Telnet_receive(Telnet& t, std::span<const uint8_t> in, uint8_t* out, std::string& replies)
{
    size_t n = 0;
    const auto data = [&t, out, &n](uint8_t b) {
        // A server sending text rather than binary sends a bare CR as CR NUL.
        if (t.serverTextMode && t.afterCr && b == 0) {
            t.afterCr = false;
            return;
        }
        // Only a CR sent as text is stuffed: after a switch the next NUL is data.
        t.afterCr = b == '\r' && t.serverTextMode;
        out[n++] = b;
    };
    for (const uint8_t b : in) {
        switch (t.phase) {
        case Telnet::Phase::Data:
            if (b == TELNET_IAC)
                t.phase = Telnet::Phase::Iac;
            else
                data(b);
            break;
        case Telnet::Phase::Iac:
            if (afterIac(t, b))
                data(b);
            break;
        case Telnet::Phase::Verb:
            t.phase = Telnet::Phase::Data;
            answer(t, t.verb, b, replies);
            break;
        case Telnet::Phase::Sub:
            if (b == TELNET_IAC)
                t.phase = Telnet::Phase::SubIac;
            else
                subByte(t, b);
            break;
        case Telnet::Phase::SubIac:
            if (b == TELNET_IAC) {
                subByte(t, b);
                t.phase = Telnet::Phase::Sub;
            } else if (b == TELNET_SE) {
                if (!t.subOverflow)
                    subnegotiation(t);
                t.phase = Telnet::Phase::Data;
            } else if (afterIac(t, b)) {
                // An unterminated subnegotiation: dropped, and the IAC read as
                // the command it starts. IAC IAC was handled above.
                data(b);
            }
            break;
        }
    }
    return n;
}

void Telnet_opening(Telnet& t, std::string& out)
{
    for (const uint8_t option : {TELNET_COM_PORT, TELNET_BINARY, TELNET_SGA}) {
        if (t.us[option] == State::No) {
            command(out, TELNET_WILL, option);
            t.us[option] = State::WantYes;
        }
    }
    for (const uint8_t option : {TELNET_BINARY, TELNET_SGA}) {
        if (t.him[option] == State::No) {
            command(out, TELNET_DO, option);
            t.him[option] = State::WantYes;
        }
    }
}

void Telnet_comPortRequests(int64_t baud, std::string& out)
{
    const auto request = [&out](uint8_t code, std::initializer_list<uint8_t> value) {
        command(out, TELNET_SB, TELNET_COM_PORT);
        out += static_cast<char>(code);
        for (const uint8_t b : value) {
            out += static_cast<char>(b);
            if (b == TELNET_IAC)
                out += static_cast<char>(b);
        }
        out += static_cast<char>(TELNET_IAC);
        out += static_cast<char>(TELNET_SE);
    };
    const auto rate = static_cast<uint32_t>(baud);
    request(COM_SET_BAUDRATE, {static_cast<uint8_t>(rate >> 24), static_cast<uint8_t>(rate >> 16),
                               static_cast<uint8_t>(rate >> 8), static_cast<uint8_t>(rate)});
    request(COM_SET_DATASIZE, {8});
    request(COM_SET_PARITY, {COM_PARITY_NONE});
    request(COM_SET_STOPSIZE, {COM_STOPSIZE_ONE});
    request(COM_SET_LINESTATE_MASK, {LINE_ERRORS});
}

void Telnet_encodeData(const Telnet& t, std::span<const uint8_t> data, std::string& out)
{
    for (const uint8_t b : data) {
        out += static_cast<char>(b);
        if (b == TELNET_IAC)
            out += static_cast<char>(b);
        else if (b == '\r' && t.clientTextMode)
            out += '\0';
    }
}

bool Telnet_comPortAccepted(const Telnet& t) { return t.us[TELNET_COM_PORT] == State::Yes; }
