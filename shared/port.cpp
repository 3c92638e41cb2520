#include "port.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <memory>
#include <new>
#include <mutex>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <span>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "buffer.h"
#include "ending_signals.h"
#include "printable.h"
#include "serial.h"
#include "telnet.h"

struct Port {
    PortKind kind = PortKind::Local;
    int fd = -1;
    bool listenOnly = false;
    Telnet telnet;
    std::string pending;     // data that came while the line settings were negotiated
    size_t pendingPos = 0;
    std::string out;         // bytes for the server not yet taken by the socket
    std::array<char, PORT_LAST_TEXT> last{};
    size_t lastEnd = 0;      // ring: next write position
    size_t lastCount = 0;
    uint8_t reportedErrors = 0;
};

namespace {

// Beyond this, a writer waits: a server that takes nothing cannot make us
// hold everything the user types.
constexpr size_t maxQueued = 64 * 1024;

PortResolver resolver = getaddrinfo;

bool startsWithScheme(std::string_view name, std::string_view scheme)
{
    if (name.size() < scheme.size())
        return false;
    for (size_t i = 0; i < scheme.size(); ++i) {
        const char c = name[i];
        const char lower = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
        if (lower != scheme[i])
            return false;
    }
    return true;
}

// before + printable(middle) + after, built by appending (g++ 12 warns
// wrongly about the chain of operator+).
std::string around(std::string_view before, std::string_view middle, std::string_view after)
{
    std::string out(before);
    appendPrintable(out, middle);
    out += after;
    return out;
}

void fail(PortError* error, PortFailure failure, std::string_view shownName, std::string_view why, int errnum = 0)
{
    error->failure = failure;
    error->text = printable(shownName);
    error->text += ": ";
    error->text += why;
    error->why = std::string(why);
    error->errnum = errnum;
}

// One wait: >0 ready, 0 time is up, -1 failed (errno), with EINTR only when stopped.
int waitFor(pollfd* fds, nfds_t count, int64_t untilMs, const PortOptions& o)
{
    for (;;) {
        int64_t left = untilMs == PORT_NO_DEADLINE ? -1 : std::max<int64_t>(0, untilMs - Port_clockMs());
        if (left > 30LL * 86400 * 1000) // poll takes an int of milliseconds
            left = 30LL * 86400 * 1000;
        int ready = 0;
        if (o.endingSignals != nullptr && o.stop != nullptr) {
            const timespec timeout{static_cast<time_t>(left / 1000), static_cast<long>(left % 1000) * 1000000};
            ready = endingSignals_wait(fds, count, left < 0 ? nullptr : &timeout, o.endingSignals, o.stop);
        } else {
            ready = poll(fds, count, static_cast<int>(left));
        }
        if (ready >= 0)
            return ready;
        if (errno != EINTR || (o.stop != nullptr && *o.stop != 0))
            return -1;
    }
}

bool stopped(const PortOptions& o) { return o.stop != nullptr && *o.stop != 0; }

// The result of a lookup, shared with the thread doing it, so that an
// abandoned lookup can finish (and clean up) on its own.
struct Lookup {
    std::mutex mutex;
    int wake[2] = {-1, -1};
    addrinfo* result = nullptr;
    int rc = EAI_SYSTEM;
    int error = 0; // errno of the lookup, for EAI_SYSTEM
    Lookup() = default;
    Lookup(const Lookup&) = delete;
    Lookup& operator=(const Lookup&) = delete;
    ~Lookup()
    {
        if (result != nullptr)
            freeaddrinfo(result);
        for (const int fd : wake) {
            if (fd >= 0)
                close(fd);
        }
    }
};

using AddressList = std::unique_ptr<addrinfo, decltype(&freeaddrinfo)>;

// Resolves host and port; null after filling *error.
AddressList resolve(const PortName& name, std::string_view shownName, int64_t untilMs, const PortOptions& o,
                    PortError* error)
{
    const std::string service = std::to_string(name.port);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    // An address needs no resolver, and so cannot wait on one.
    if (getaddrinfo(name.host.c_str(), service.c_str(), &hints, &found) == 0)
        return {found, freeaddrinfo};

    auto lookup = std::make_shared<Lookup>();
    if (pipe2(lookup->wake, O_CLOEXEC) != 0) {
        fail(error, PortFailure::System, shownName, std::string("pipe: ") + std::strerror(errno), errno);
        return {nullptr, freeaddrinfo};
    }
    hints.ai_flags = AI_NUMERICSERV;
    // The thread takes no signal: an ending signal must reach the waiting
    // thread, or its wait would not end.
    sigset_t all;
    sigset_t before;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &before);
    bool started = true;
    try {
        std::thread([lookup, lookUp = resolver, host = name.host, service, hints] {
            addrinfo* result = nullptr;
            const int rc = lookUp(host.c_str(), service.c_str(), &hints, &result);
            {
                const std::lock_guard<std::mutex> hold(lookup->mutex);
                lookup->error = errno;
                lookup->result = result;
                lookup->rc = rc;
            }
            const char done = 1;
            [[maybe_unused]] const ssize_t ignored = write(lookup->wake[1], &done, 1);
        }).detach();
    } catch (...) {
        started = false;
    }
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    if (!started) {
        fail(error, PortFailure::System, shownName, "cannot start the name lookup", EAGAIN);
        return {nullptr, freeaddrinfo};
    }

    pollfd done{lookup->wake[0], POLLIN, 0};
    const int ready = waitFor(&done, 1, untilMs, o);
    if (ready < 0 && stopped(o)) {
        fail(error, PortFailure::Interrupted, shownName, "interrupted", EINTR);
        return {nullptr, freeaddrinfo};
    }
    if (ready < 0) {
        fail(error, PortFailure::System, shownName, std::string("poll: ") + std::strerror(errno), errno);
        return {nullptr, freeaddrinfo};
    }
    if (ready == 0) {
        fail(error, PortFailure::TimedOut, shownName, "no answer from the name lookup in the time allowed", ETIMEDOUT);
        return {nullptr, freeaddrinfo};
    }
    const std::lock_guard<std::mutex> hold(lookup->mutex);
    if (lookup->rc != 0) {
        const std::string why = lookup->rc == EAI_SYSTEM ? std::strerror(lookup->error) : gai_strerror(lookup->rc);
        fail(error, PortFailure::Resolve, shownName, around("cannot resolve '", name.host, "': ").append(why));
        return {nullptr, freeaddrinfo};
    }
    AddressList list{lookup->result, freeaddrinfo};
    lookup->result = nullptr;
    return list;
}

void setOptions(int fd)
{
    const int on = 1;
    // A dead server or a cut cable is noticed within about 25 s.
    const int idle = 10;
    const int interval = 5;
    const int probes = 3;
    setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes);
    // Answers and keys go out at once rather than waiting to fill a segment.
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

// Tries each address in turn, each with a share of the time left. A
// connected non-blocking socket, or -1 after filling *error.
int connectAny(const addrinfo* list, std::string_view shownName, int64_t untilMs, const PortOptions& o,
               PortError* error)
{
    size_t count = 0;
    for (const addrinfo* a = list; a != nullptr; a = a->ai_next)
        ++count;
    int lastError = ECONNREFUSED;
    for (const addrinfo* a = list; a != nullptr; a = a->ai_next, --count) {
        int64_t shareUntil = untilMs;
        if (untilMs != PORT_NO_DEADLINE) {
            const int64_t left = untilMs - Port_clockMs();
            if (left <= 0)
                break;
            shareUntil = Port_clockMs() + left / static_cast<int64_t>(count);
        }
        const int fd = socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
        if (fd < 0) {
            lastError = errno;
            continue;
        }
        setOptions(fd);
        if (connect(fd, a->ai_addr, a->ai_addrlen) == 0)
            return fd;
        if (errno != EINPROGRESS) {
            lastError = errno;
            close(fd);
            continue;
        }
        pollfd writable{fd, POLLOUT, 0};
        const int ready = waitFor(&writable, 1, shareUntil, o);
        if (ready < 0 && stopped(o)) {
            close(fd);
            fail(error, PortFailure::Interrupted, shownName, "interrupted", EINTR);
            return -1;
        }
        int soError = 0;
        socklen_t length = sizeof soError;
        if (ready > 0 && getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &length) == 0 && soError == 0)
            return fd;
        lastError = ready == 0 ? ETIMEDOUT : ready < 0 ? errno : soError;
        close(fd);
    }
    if (untilMs != PORT_NO_DEADLINE && Port_clockMs() >= untilMs) {
        fail(error, PortFailure::TimedOut, shownName, "no connection in the time allowed", ETIMEDOUT);
        return -1;
    }
    fail(error, PortFailure::Connect, shownName, std::string("cannot connect: ") + std::strerror(lastError),
         lastError);
    return -1;
}

void remember(Port* port, const uint8_t* data, size_t size)
{
    for (size_t i = 0; i < size; ++i) {
        port->last[port->lastEnd] = static_cast<char>(data[i]);
        port->lastEnd = (port->lastEnd + 1) % port->last.size();
    }
    port->lastCount = std::min(port->last.size(), port->lastCount + size);
}

// Takes in what the server sent; data go to `out` (may be `in`). Returns the data count.
size_t takeIn(Port* port, uint8_t* in, size_t size, uint8_t* out)
{
    if (port->kind != PortKind::Rfc2217) {
        if (out != in)
            std::memmove(out, in, size);
        remember(port, out, size);
        return size;
    }
    const size_t n = Telnet_receive(port->telnet, std::span<const uint8_t>(in, size), out, port->out);
    remember(port, out, n);
    return n;
}

// What is wrong with the settings the server confirmed, or empty.
std::string wrongSettings(const Telnet& t, int64_t baud)
{
    if (t.baud >= 0 && t.baud != baud)
        return "the server set " + std::to_string(t.baud) + " baud, not " + std::to_string(baud);
    if (t.dataSize >= 0 && t.dataSize != 8)
        return "the server set " + std::to_string(t.dataSize) + " data bits, not 8";
    if (t.parity >= 0 && t.parity != COM_PARITY_NONE)
        return "the server set parity " + std::to_string(t.parity) + ", not none";
    if (t.stopSize >= 0 && t.stopSize != COM_STOPSIZE_ONE)
        return "the server set stop size " + std::to_string(t.stopSize) + ", not one stop bit";
    return {};
}

bool settingsConfirmed(const Telnet& t) { return t.baud >= 0 && t.dataSize >= 0 && t.parity >= 0 && t.stopSize >= 0; }

void endedBeforeReady(Port* port, std::string_view shownName, PortError* error)
{
    const std::string text = Port_lastText(port);
    error->serverText = printable(text);
    std::string why = "the server ended the connection";
    if (!text.empty())
        why += ": " + error->serverText;
    fail(error, PortFailure::Ended, shownName, why);
}

// Negotiates the com port option and waits until the server confirms the
// line settings. False after filling *error.
bool negotiate(Port* port, std::string_view shownName, const PortOptions& o, PortError* error)
{
    Telnet_opening(port->telnet, port->out);
    const int64_t limit = Port_clockMs() + std::max(0, o.negotiationMs);
    const int64_t untilMs = std::min(limit, o.deadlineMs);
    bool asked = false;
    std::array<uint8_t, 4096> chunk{};
    for (;;) {
        if (!asked && Telnet_comPortAccepted(port->telnet)) {
            Telnet_comPortRequests(o.baud, port->out);
            asked = true;
        }
        if (Telnet_comPortRefused(port->telnet)) {
            fail(error, PortFailure::Negotiation, shownName, "the server refused the com port option");
            return false;
        }
        const std::string wrong = wrongSettings(port->telnet, o.baud);
        if (!wrong.empty()) {
            fail(error, PortFailure::Negotiation, shownName, wrong);
            return false;
        }
        if (settingsConfirmed(port->telnet))
            return true;
        if (Port_flush(port) != 0) {
            if (errno == EPIPE || errno == ECONNRESET) {
                endedBeforeReady(port, shownName, error);
                return false;
            }
            fail(error, PortFailure::System, shownName, std::string("send: ") + std::strerror(errno), errno);
            return false;
        }
        pollfd p{port->fd, static_cast<short>(POLLIN | (port->out.empty() ? 0 : POLLOUT)), 0};
        // A server that never stops sending keeps the socket ready: the
        // clock, not the wait, says when time is up.
        const int ready = Port_clockMs() >= untilMs ? 0 : waitFor(&p, 1, untilMs, o);
        if (ready < 0 && stopped(o)) {
            fail(error, PortFailure::Interrupted, shownName, "interrupted", EINTR);
            return false;
        }
        if (ready == 0) {
            if (untilMs == o.deadlineMs && o.deadlineMs < limit)
                fail(error, PortFailure::TimedOut, shownName,
                     "the server did not confirm the line settings in the time allowed", ETIMEDOUT);
            else
                fail(error, PortFailure::Negotiation, shownName,
                     "the server did not confirm the line settings within " +
                         (o.negotiationMs % 1000 == 0 ? std::to_string(o.negotiationMs / 1000) + " s"
                                                      : std::to_string(o.negotiationMs) + " ms"),
                     ETIMEDOUT);
            return false;
        }
        if (ready < 0) {
            fail(error, PortFailure::System, shownName, std::string("poll: ") + std::strerror(errno), errno);
            return false;
        }
        if ((p.revents & (POLLIN | POLLHUP | POLLERR)) == 0)
            continue;
        const ssize_t got = recv(port->fd, chunk.data(), chunk.size(), 0);
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
            continue;
        if (got == 0 || (got < 0 && errno == ECONNRESET)) {
            endedBeforeReady(port, shownName, error);
            return false;
        }
        if (got < 0) {
            fail(error, PortFailure::System, shownName, std::string("recv: ") + std::strerror(errno), errno);
            return false;
        }
        const size_t n = takeIn(port, chunk.data(), static_cast<size_t>(got), chunk.data());
        if (port->pending.size() + n > PORT_HELD_MAX) {
            fail(error, PortFailure::Negotiation, shownName,
                 "the server sent too much before confirming the line settings");
            return false;
        }
        port->pending.append(reinterpret_cast<const char*>(chunk.data()), n);
    }
}

} // namespace

int64_t Port_clockMs()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

void Port_setResolver(PortResolver replacement) { resolver = replacement != nullptr ? replacement : getaddrinfo; }

bool Port_parseName(std::string_view name, PortName* out, std::string* why)
{
    const size_t separator = name.find("://");
    if (separator == std::string_view::npos) {
        *out = PortName{};
        out->path = std::string(name);
        return true;
    }
    PortKind kind = PortKind::Tcp;
    const std::string_view scheme = name.substr(0, separator);
    if (scheme.size() == 7 && startsWithScheme(scheme, "rfc2217"))
        kind = PortKind::Rfc2217;
    else if (!(scheme.size() == 3 && startsWithScheme(scheme, "tcp")) &&
             !(scheme.size() == 6 && startsWithScheme(scheme, "socket"))) {
        *why = around("unknown kind of port '", scheme, "://' (rfc2217://, tcp:// or socket://)");
        return false;
    }
    std::string_view rest = name.substr(separator + 3);
    std::string_view host;
    if (!rest.empty() && rest.front() == '[') {
        const size_t close = rest.find(']');
        if (close == std::string_view::npos) {
            *why = "no ']' after the IPv6 address";
            return false;
        }
        host = rest.substr(1, close - 1);
        rest.remove_prefix(close + 1);
        if (!rest.empty() && rest.front() != ':') {
            *why = around("'", rest, "' after the address: expected ':PORT'");
            return false;
        }
    } else {
        const size_t end = rest.find_first_of(":/?#");
        host = rest.substr(0, end);
        rest.remove_prefix(end == std::string_view::npos ? rest.size() : end);
    }
    if (host.empty()) {
        *why = "no host";
        return false;
    }
    for (const char c : host) {
        const auto b = static_cast<unsigned char>(c);
        if (b <= ' ' || b >= 0x7F || c == '@' || c == '[' || c == ']' || c == '/') {
            *why = around("'", host, "' is not a host name or address");
            return false;
        }
    }
    if (rest.empty() || rest.front() != ':') {
        *why = rest.empty() ? "no port number (HOST:PORT)"
                            : around("'", rest, "' where the port number belongs (HOST:PORT)");
        return false;
    }
    rest.remove_prefix(1);
    const size_t digits = std::min(rest.find_first_not_of("0123456789"), rest.size());
    const std::string_view number = rest.substr(0, digits);
    const std::string_view after = rest.substr(digits);
    const bool trailing = !after.empty() && std::string_view("/?#").find(after.front()) != std::string_view::npos;
    if (number.empty() && (after.empty() || trailing)) {
        *why = "no port number (HOST:PORT)";
        return false;
    }
    if (!after.empty() && !trailing) {
        *why = around("port '", rest, "' is not a number from 1 to 65535");
        return false;
    }
    if (!after.empty()) {
        *why = around("'", after, "' after the port number: nothing may follow it");
        return false;
    }
    unsigned long value = 0;
    for (const char c : number) {
        value = value * 10 + static_cast<unsigned long>(c - '0');
        if (value > 65535)
            break;
    }
    if (value == 0 || value > 65535) {
        *why = around("port ", number, " is not a number from 1 to 65535");
        return false;
    }
    out->kind = kind;
    out->path.clear();
    out->host = std::string(host);
    out->port = static_cast<uint16_t>(value);
    return true;
}

Port* Port_open(std::string_view name, const PortOptions& options, PortError* error)
{
    PortName parsed;
    std::string why;
    if (!Port_parseName(name, &parsed, &why)) {
        fail(error, PortFailure::BadName, name, why, EINVAL);
        return nullptr;
    }
    return Port_openParsed(parsed, name, options, error);
}

Port* Port_openParsed(const PortName& name, std::string_view shownName, const PortOptions& options,
                      PortError* error)
{
    *error = PortError{};
    if (name.kind == PortKind::Local) {
        if (!serial_baudSupported(options.baud)) {
            error->failure = PortFailure::BadName;
            error->text = "Unknown baudrate: " + std::to_string(options.baud);
            error->why = error->text;
            error->errnum = EINVAL;
            return nullptr;
        }
        const int fd = options.quiet ? serial_tryopen(name.path.c_str(), options.baud, options.stopBits)
                                     : serial_openport(name.path.c_str(), options.baud, options.stopBits);
        if (fd < 0) {
            error->failure = PortFailure::Local;
            error->errnum = errno;
            return nullptr;
        }
        auto* port = new Port;
        port->fd = fd;
        port->listenOnly = options.listenOnly;
        return port;
    }
    if (name.kind == PortKind::Rfc2217 && options.baud <= 0) {
        fail(error, PortFailure::BadName, shownName, "unknown baudrate " + std::to_string(options.baud), EINVAL);
        return nullptr;
    }
    if (stopped(options)) {
        fail(error, PortFailure::Interrupted, shownName, "interrupted", EINTR);
        return nullptr;
    }
    const AddressList addresses = resolve(name, shownName, options.deadlineMs, options, error);
    if (!addresses)
        return nullptr;
    const int fd = connectAny(addresses.get(), shownName, options.deadlineMs, options, error);
    if (fd < 0)
        return nullptr;
    auto port = std::make_unique<Port>();
    port->kind = name.kind;
    port->fd = fd;
    port->listenOnly = options.listenOnly;
    if (name.kind == PortKind::Rfc2217 && !negotiate(port.get(), shownName, options, error)) {
        close(fd);
        return nullptr;
    }
    return port.release();
}

int Port_close(Port* port)
{
    if (port == nullptr)
        return 0;
    const int rc = port->kind == PortKind::Local ? serial_close(port->fd) : close(port->fd);
    delete port;
    return rc;
}

Port* Port_local(int fd)
{
    auto* port = new (std::nothrow) Port;
    if (port != nullptr)
        port->fd = fd;
    return port;
}

void Port_release(Port* port) { delete port; }

PortKind Port_kind(const Port* port) { return port->kind; }

int Port_fd(const Port* port) { return port->fd; }

size_t Port_buffered(const Port* port) { return port->pending.size() - port->pendingPos; }

int Port_wait(const Port* port, int64_t deadlineMs, const sigset_t* endingSignals,
              const volatile sig_atomic_t* stop)
{
    if (Port_buffered(port) != 0)
        return 1;
    PortOptions o;
    o.endingSignals = endingSignals;
    o.stop = stop;
    pollfd readable{port->fd, POLLIN, 0};
    return waitFor(&readable, 1, deadlineMs, o);
}

ssize_t Port_read(Port* port, void* buf, size_t size, size_t* taken)
{
    size_t ignored = 0;
    taken = taken != nullptr ? taken : &ignored;
    *taken = 0;
    auto* bytes = static_cast<uint8_t*>(buf);
    if (Port_buffered(port) != 0) {
        const size_t n = std::min(size, Port_buffered(port));
        *taken = n;
        std::memcpy(bytes, port->pending.data() + port->pendingPos, n);
        port->pendingPos += n;
        if (port->pendingPos == port->pending.size()) {
            port->pending = std::string();
            port->pendingPos = 0;
        }
        return static_cast<ssize_t>(n);
    }
    const ssize_t got = port->kind == PortKind::Local ? read(port->fd, buf, size) : recv(port->fd, buf, size, 0);
    if (got <= 0)
        return got;
    *taken = static_cast<size_t>(got);
    if (port->kind == PortKind::Local)
        return got;
    const size_t n = takeIn(port, bytes, static_cast<size_t>(got), bytes);
    // Answers are sent now; a broken connection shows in the next read.
    const int saved = errno;
    Port_flush(port);
    errno = saved;
    if (n == 0) {
        errno = EAGAIN;
        return -1;
    }
    return static_cast<ssize_t>(n);
}

ssize_t Port_write(Port* port, const void* data, size_t size)
{
    if (port->listenOnly) {
        errno = EPERM;
        return -1;
    }
    if (port->kind == PortKind::Local)
        return write(port->fd, data, size);
    if (Port_flush(port) != 0)
        return -1;
    if (port->out.size() >= maxQueued) {
        errno = EAGAIN;
        return -1;
    }
    const std::span<const uint8_t> bytes(static_cast<const uint8_t*>(data), size);
    if (port->kind == PortKind::Rfc2217)
        Telnet_encodeData(port->telnet, bytes, port->out);
    else
        port->out.append(static_cast<const char*>(data), size);
    if (Port_flush(port) != 0)
        return -1;
    return static_cast<ssize_t>(size);
}

bool Port_writePending(const Port* port) { return !port->out.empty(); }

int Port_flush(Port* port)
{
    size_t sent = 0;
    while (sent < port->out.size()) {
        const ssize_t n = send(port->fd, port->out.data() + sent, port->out.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            sent += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            // The connection is gone: what was queued can never be sent.
            const int saved = errno;
            port->out.clear();
            errno = saved;
            return -1;
        }
        break;
    }
    port->out.erase(0, sent);
    return 0;
}

uint8_t Port_takeLineErrors(Port* port)
{
    const uint8_t fresh = port->telnet.lineErrors & static_cast<uint8_t>(~port->reportedErrors);
    port->reportedErrors |= fresh;
    return fresh;
}

std::string Port_lineErrorNames(uint8_t errors)
{
    static constexpr std::array<std::pair<uint8_t, const char*>, 4> names{{
        {LINE_BREAK, "break"},
        {LINE_FRAMING, "framing error"},
        {LINE_PARITY, "parity error"},
        {LINE_OVERRUN, "overrun error"},
    }};
    std::string text;
    for (const auto& [bit, name] : names) {
        if ((errors & bit) == 0)
            continue;
        if (!text.empty())
            text += ", ";
        text += name;
    }
    return text;
}

std::string Port_lastText(const Port* port)
{
    std::string text;
    const size_t size = port->last.size();
    const size_t start = (port->lastEnd + size - port->lastCount) % size;
    for (size_t i = 0; i < port->lastCount; ++i)
        text += port->last[(start + i) % size];
    return text;
}
