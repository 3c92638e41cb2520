#include "port.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <strings.h>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <new>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <span>
#include <sys/socket.h>
#include <thread>
#include <utility>
#include <vector>
#include <unistd.h>

#include "buffer.h"
#include "ending_signals.h"
#include "serial.h"
#include "telnet.h"

struct Port {
    PortKind kind = PortKind::Local;
    int fd = -1;
    bool listenOnly = false;
    bool borrowed = false; // Port_local's descriptor: its owner closes it
    Telnet telnet;
    std::string pending;     // data that came while the line settings were negotiated
    std::string out;         // bytes for the server not yet taken by the socket
    std::string last;        // the last PORT_LAST_TEXT data bytes at most
    uint8_t reportedErrors = 0;
};

namespace {

// Beyond this, a writer waits: a server that takes nothing cannot make us
// hold everything the user types.
constexpr size_t maxQueued = 64 * 1024;
// Data held back while negotiating, at most: a server flooding us before it
// confirms the settings is not one to use.
constexpr size_t maxHeld = 64 * 1024;

// Whether `scheme` is `lower`, letters in either case.
bool isScheme(std::string_view scheme, std::string_view lower)
{
    return scheme.size() == lower.size() && strncasecmp(scheme.data(), lower.data(), lower.size()) == 0;
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
    error->text = around("", shownName, ": ").append(why);
    error->why = std::string(why);
    error->errnum = errnum;
}

void remember(Port* port, const uint8_t* data, size_t size)
{
    const size_t keep = std::min(size, PORT_LAST_TEXT);
    port->last.append(reinterpret_cast<const char*>(data) + size - keep, keep);
    if (port->last.size() > PORT_LAST_TEXT)
        port->last.erase(0, port->last.size() - PORT_LAST_TEXT);
}

// Takes in what the server sent, leaving the data in its place. Returns the data count.
size_t takeIn(Port* port, uint8_t* bytes, size_t size)
{
    const size_t n = port->kind != PortKind::Rfc2217
                         ? size
                         : Telnet_receive(port->telnet, std::span<const uint8_t>(bytes, size), bytes, port->out);
    remember(port, bytes, n);
    return n;
}

// Sends what is queued for the server: 0, or -1 with errno.
int flush(Port* port)
{
    while (!port->out.empty()) {
        const ssize_t n = send(port->fd, port->out.data(), port->out.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            port->out.erase(0, static_cast<size_t>(n));
        } else if (n < 0 && errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) {
            port->out.clear(); // the connection is gone: what was queued can never be sent
            return -1;
        } else if (n == 0 || errno != EINTR) {
            break;
        }
    }
    return 0;
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

void setOptions(int fd)
{
    // A dead server or a cut cable is noticed within about 25 s (10 idle, 3
    // probes 5 s apart); answers and keys go out at once (no delay).
    static constexpr std::array<std::array<int, 3>, 5> settings{{
        {SOL_SOCKET, SO_KEEPALIVE, 1},
        {IPPROTO_TCP, TCP_KEEPIDLE, 10},
        {IPPROTO_TCP, TCP_KEEPINTVL, 5},
        {IPPROTO_TCP, TCP_KEEPCNT, 3},
        {IPPROTO_TCP, TCP_NODELAY, 1},
    }};
    for (const auto& [level, name, value] : settings)
        setsockopt(fd, level, name, &value, sizeof value);
}

// Host lookups on threads of their own (getaddrinfo cannot be waited on),
// shared with them, so that an abandoned lookup finishes and cleans up on
// its own. The last host looked up writes a byte to wake[1].
struct Lookup {
    struct Host {
        std::string name;
        std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> found{nullptr, freeaddrinfo};
        int rc = 0;
        int error = 0; // errno of the lookup, for EAI_SYSTEM
        bool done = false;
    };
    std::mutex lock; // over the hosts' results, `next` and `left`
    std::vector<Host> hosts;
    std::string service; // the port number, or empty
    PortResolver resolver = getaddrinfo;
    int wake[2] = {-1, -1};
    size_t next = 0; // the next host to take
    size_t left = 0; // hosts not looked up yet

    ~Lookup()
    {
        for (const int fd : wake) {
            if (fd >= 0)
                close(fd);
        }
    }

    void work()
    {
        addrinfo hints{};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        hints.ai_flags = AI_NUMERICSERV;
        std::unique_lock held(lock);
        while (next < hosts.size()) {
            Host& host = hosts[next++];
            held.unlock();
            addrinfo* found = nullptr;
            const int rc = resolver(host.name.c_str(), service.empty() ? nullptr : service.c_str(), &hints, &found);
            const int error = errno;
            held.lock();
            host.found.reset(found);
            host.rc = rc;
            host.error = error;
            host.done = true;
            if (--left == 0) {
                [[maybe_unused]] const ssize_t ignored = write(wake[1], "", 1);
            }
        }
    }
};

constexpr size_t lookupThreads = 8; // for one caller at once

// Starts looking up `hosts` on threads that take no signal: an ending
// signal must reach the thread that waits, or its wait would not end. Null
// with errno when none could start (EAGAIN: no thread).
std::shared_ptr<Lookup> startLookup(const std::vector<std::string>& hosts, std::string service, PortResolver resolver)
{
    auto lookup = std::make_shared<Lookup>();
    for (const std::string& host : hosts)
        lookup->hosts.emplace_back().name = host;
    lookup->left = hosts.size();
    lookup->service = std::move(service);
    lookup->resolver = resolver != nullptr ? resolver : getaddrinfo;
    if (pipe2(lookup->wake, O_CLOEXEC) != 0)
        return nullptr;
    sigset_t all;
    sigset_t before;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &before);
    size_t started = 0;
    try {
        for (; started < std::min(lookupThreads, hosts.size()); ++started)
            std::thread([lookup] { lookup->work(); }).detach();
    } catch (...) {
        errno = EAGAIN;
    }
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    return started > 0 ? lookup : nullptr;
}

enum class Stage : uint8_t { Ready, Failed, Lookup, Connect, Negotiate };

} // namespace

struct PortOpening {
    PortOptions options;
    std::string shownName;
    std::string host;
    Stage stage = Stage::Failed;
    PortError error; // Failed: why
    std::unique_ptr<Port, int (*)(Port*)> port{new (std::nothrow) Port, Port_close}; // not handed over: closed
    std::shared_ptr<Lookup> lookup; // Lookup: what the thread fills in
    std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> addresses{nullptr, freeaddrinfo};
    const addrinfo* next = nullptr; // the address to try after the one being tried
    Deadline share;                 // Connect: when the address being tried is given up
    int lastError = ECONNREFUSED;   // why the last address tried failed
    Deadline until;                 // Negotiate: its limit or the deadline, the sooner
    bool asked = false;             // the line settings were asked for
};

namespace {

int failed(PortOpening& o, PortFailure failure, std::string_view why, int errnum = 0)
{
    fail(&o.error, failure, o.shownName, why, errnum);
    o.stage = Stage::Failed;
    o.port.reset();
    o.lookup.reset();
    o.addresses.reset();
    return -1;
}

void openLocal(PortOpening& o, const std::string& path)
{
    const PortOptions& options = o.options;
    if (!serial_baudSupported(options.baud)) {
        const std::string why = "Unknown baudrate: " + std::to_string(options.baud);
        o.error = {PortFailure::BadName, why, why, EINVAL};
        return;
    }
    o.port->fd = options.quiet ? serial_tryopen(path.c_str(), options.baud, options.stopBits)
                               : serial_openport(path.c_str(), options.baud, options.stopBits);
    if (o.port->fd < 0)
        o.error = {PortFailure::Local, {}, {}, errno};
    else
        o.stage = Stage::Ready;
}

int endedBeforeReady(PortOpening& o) { return failed(o, PortFailure::Ended, Port_endedWhy(o.port.get())); }

// Takes in what the server sent while negotiating: its data are kept for
// the reader. 0, or -1 when the port is not to be used.
int takeInNegotiating(PortOpening& o)
{
    Port& port = *o.port;
    std::array<uint8_t, 4096> chunk{};
    const ssize_t got = recv(port.fd, chunk.data(), chunk.size(), 0);
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
        return 0;
    if (got == 0 || (got < 0 && errno == ECONNRESET))
        return endedBeforeReady(o);
    if (got < 0)
        return failed(o, PortFailure::System, std::string("recv: ") + std::strerror(errno), errno);
    const size_t n = takeIn(&port, chunk.data(), static_cast<size_t>(got));
    if (port.pending.size() + n > maxHeld)
        return failed(o, PortFailure::Negotiation, "the server sent too much before confirming the line settings");
    port.pending.append(reinterpret_cast<const char*>(chunk.data()), n);
    return 0;
}

// Negotiates the com port option until the server confirms the line
// settings. A server that never stops sending keeps the socket ready: the
// clock, not readiness, says when time is up.
int negotiating(PortOpening& o, short revents)
{
    Port& port = *o.port;
    if ((revents & (POLLIN | POLLHUP | POLLERR)) != 0 && takeInNegotiating(o) < 0)
        return -1;
    if (!o.asked && Telnet_comPortAccepted(port.telnet)) {
        Telnet_comPortRequests(o.options.baud, port.out);
        o.asked = true;
    }
    if (port.telnet.comPortRefused)
        return failed(o, PortFailure::Negotiation, "the server refused the com port option");
    if (const std::string wrong = wrongSettings(port.telnet, o.options.baud); !wrong.empty())
        return failed(o, PortFailure::Negotiation, wrong);
    if (settingsConfirmed(port.telnet)) {
        o.stage = Stage::Ready;
        return 1;
    }
    if (flush(&port) != 0) {
        if (errno == EPIPE || errno == ECONNRESET)
            return endedBeforeReady(o);
        return failed(o, PortFailure::System, std::string("send: ") + std::strerror(errno), errno);
    }
    if (!Deadline_passed(o.until, Clock_now()))
        return 0;
    if (o.until.at == o.options.deadline.at)
        return failed(o, PortFailure::TimedOut, "the server did not confirm the line settings in the time allowed",
                      ETIMEDOUT);
    const int ms = o.options.negotiationMs;
    return failed(o, PortFailure::Negotiation,
                  "the server did not confirm the line settings within " +
                      (ms % 1000 == 0 ? std::to_string(ms / 1000) + " s" : std::to_string(ms) + " ms"),
                  ETIMEDOUT);
}

// Connected: a raw port is ready, an rfc2217 one negotiates first.
int connected(PortOpening& o)
{
    o.addresses.reset();
    o.next = nullptr;
    if (o.port->kind != PortKind::Rfc2217) {
        o.stage = Stage::Ready;
        return 1;
    }
    Telnet_opening(o.port->telnet, o.port->out);
    const int64_t limitNanos = int64_t{std::max(0, o.options.negotiationMs)} * CLOCK_MILLISECOND;
    const Deadline limit = Deadline_after(Clock_now(), limitNanos);
    o.until = Deadline_sooner(limit, o.options.deadline);
    o.stage = Stage::Negotiate;
    return negotiating(o, 0);
}

void closeSocket(PortOpening& o)
{
    close(o.port->fd);
    o.port->fd = -1;
}

// Tries the addresses from the next untried one on, each with a share of
// the time left, until one connects or is under way.
int connectNext(PortOpening& o)
{
    const Deadline deadline = o.options.deadline;
    while (o.next != nullptr) {
        const addrinfo* a = o.next;
        o.next = a->ai_next;
        int64_t count = 1;
        for (const addrinfo* b = o.next; b != nullptr; b = b->ai_next)
            ++count;
        const int64_t now = Clock_now();
        if (Deadline_passed(deadline, now))
            break;
        o.share = Deadline_isNever(deadline) ? deadline : Deadline_after(now, Deadline_left(deadline, now) / count);
        o.port->fd = socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
        if (o.port->fd < 0) {
            o.lastError = errno;
            continue;
        }
        setOptions(o.port->fd);
        if (connect(o.port->fd, a->ai_addr, a->ai_addrlen) == 0)
            return connected(o);
        if (errno == EINPROGRESS) {
            o.stage = Stage::Connect;
            return 0;
        }
        o.lastError = errno;
        closeSocket(o);
    }
    if (Deadline_passed(deadline, Clock_now()))
        return failed(o, PortFailure::TimedOut, "no connection in the time allowed", ETIMEDOUT);
    return failed(o, PortFailure::Connect, std::string("cannot connect: ") + std::strerror(o.lastError),
                  o.lastError);
}

// The connection under way: done (readiness), or given up at its share.
int connecting(PortOpening& o, short revents)
{
    if (revents == 0 && !Deadline_passed(o.share, Clock_now()))
        return 0;
    int soError = ETIMEDOUT;
    socklen_t length = sizeof soError;
    if (revents != 0 && getsockopt(o.port->fd, SOL_SOCKET, SO_ERROR, &soError, &length) != 0)
        soError = errno;
    if (soError == 0)
        return connected(o);
    o.lastError = soError;
    closeSocket(o);
    return connectNext(o);
}

// Starts connecting to the addresses found.
int connectTo(PortOpening& o, addrinfo* addresses)
{
    o.addresses.reset(addresses);
    o.next = addresses;
    return connectNext(o);
}

// An address is connected to at once; a name is looked up on a thread of
// its own (getaddrinfo cannot be waited on), which wakes the opening.
void lookUp(PortOpening& o, uint16_t port)
{
    const std::string service = std::to_string(port);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    // An address needs no resolver, and so cannot wait on one.
    if (getaddrinfo(o.host.c_str(), service.c_str(), &hints, &found) == 0) {
        connectTo(o, found);
        return;
    }
    o.lookup = startLookup({o.host}, service, o.options.resolver);
    if (o.lookup != nullptr)
        o.stage = Stage::Lookup;
    else if (errno == EAGAIN)
        failed(o, PortFailure::System, "cannot start the name lookup", EAGAIN);
    else
        failed(o, PortFailure::System, std::string("pipe: ") + std::strerror(errno), errno);
}

int lookedUp(PortOpening& o)
{
    Lookup::Host host;
    {
        const std::lock_guard held(o.lookup->lock);
        if (o.lookup->hosts.front().done)
            host = std::exchange(o.lookup->hosts.front(), {});
    }
    if (!host.done)
        return Deadline_passed(o.options.deadline, Clock_now())
                   ? failed(o, PortFailure::TimedOut, "no answer from the name lookup in the time allowed", ETIMEDOUT)
                   : 0;
    o.lookup.reset();
    if (host.rc != 0) {
        const std::string why = host.rc == EAI_SYSTEM ? std::strerror(host.error) : gai_strerror(host.rc);
        return failed(o, PortFailure::Resolve, around("cannot resolve '", o.host, "': ").append(why));
    }
    return connectTo(o, host.found.release());
}

// What is wrong with "HOST:PORT" (an IPv6 host in brackets), or empty with
// the host and port filled in.
std::string remoteProblem(std::string_view rest, PortName* out)
{
    std::string_view host;
    if (!rest.empty() && rest.front() == '[') {
        const size_t close = rest.find(']');
        if (close == std::string_view::npos)
            return "no ']' after the IPv6 address";
        host = rest.substr(1, close - 1);
        rest.remove_prefix(close + 1);
        if (!rest.empty() && rest.front() != ':')
            return around("'", rest, "' after the address: expected ':PORT'");
    } else {
        const size_t end = std::min(rest.find_first_of(":/?#"), rest.size());
        host = rest.substr(0, end);
        rest.remove_prefix(end);
    }
    if (host.empty())
        return "no host";
    const auto unfit = [](char c) {
        const auto b = static_cast<unsigned char>(c);
        return b <= ' ' || b >= 0x7F || c == '@' || c == '[' || c == ']' || c == '/';
    };
    if (std::any_of(host.begin(), host.end(), unfit))
        return around("'", host, "' is not a host name or address");
    if (rest.empty())
        return "no port number (HOST:PORT)";
    if (rest.front() != ':')
        return around("'", rest, "' where the port number belongs (HOST:PORT)");
    rest.remove_prefix(1);
    const size_t digits = std::min(rest.find_first_not_of("0123456789"), rest.size());
    const std::string_view number = rest.substr(0, digits);
    const std::string_view after = rest.substr(digits);
    const bool trailing = !after.empty() && std::string_view("/?#").find(after.front()) != std::string_view::npos;
    if (number.empty() && (after.empty() || trailing))
        return "no port number (HOST:PORT)";
    if (!after.empty())
        return trailing ? around("'", after, "' after the port number: nothing may follow it")
                        : around("port '", rest, "' is not a number from 1 to 65535");
    unsigned value = 0; // stays 0 when the number is out of range
    std::from_chars(number.data(), number.data() + number.size(), value);
    if (value == 0 || value > 65535)
        return around("port ", number, " is not a number from 1 to 65535");
    out->host = std::string(host);
    out->port = static_cast<uint16_t>(value);
    return {};
}

} // namespace

bool Port_parseName(std::string_view name, PortName* out, std::string* why)
{
    *out = PortName{};
    const size_t separator = name.find("://");
    if (separator == std::string_view::npos) {
        out->path = std::string(name);
        return true;
    }
    const std::string_view scheme = name.substr(0, separator);
    out->kind = isScheme(scheme, "rfc2217") ? PortKind::Rfc2217 : PortKind::Tcp;
    if (out->kind == PortKind::Tcp && !isScheme(scheme, "tcp") && !isScheme(scheme, "socket"))
        *why = around("unknown kind of port '", scheme, "://' (rfc2217://, tcp:// or socket://)");
    else
        *why = remoteProblem(name.substr(separator + 3), out);
    return why->empty();
}

std::vector<std::vector<std::string>> Port_resolveAll(
    const std::vector<std::string>& hosts, int64_t bound, PortResolver resolver)
{
    std::vector<std::vector<std::string>> addresses(hosts.size());
    const std::shared_ptr<Lookup> lookup = hosts.empty() ? nullptr : startLookup(hosts, "", resolver);
    if (lookup == nullptr)
        return addresses;
    const Deadline until = Deadline_after(Clock_now(), bound);
    pollfd wake{lookup->wake[0], POLLIN, 0};
    while (poll(&wake, 1, Deadline_pollMs(until, Clock_now())) < 0 && errno == EINTR) {
    }
    const std::lock_guard held(lookup->lock);
    lookup->next = hosts.size(); // no lookup starts after this
    for (size_t i = 0; i < hosts.size(); ++i) {
        for (const addrinfo* a = lookup->hosts[i].found.get(); a != nullptr; a = a->ai_next) {
            char text[NI_MAXHOST];
            if (getnameinfo(a->ai_addr, a->ai_addrlen, text, sizeof text, nullptr, 0, NI_NUMERICHOST) == 0)
                addresses[i].emplace_back(text);
        }
    }
    return addresses;
}

PortOpening* PortOpening_start(const PortName& name, std::string_view shownName, const PortOptions& options)
{
    auto* o = new (std::nothrow) PortOpening;
    if (o == nullptr || o->port == nullptr) {
        delete o;
        return nullptr;
    }
    o->options = options;
    o->shownName = std::string(shownName);
    o->host = name.host;
    o->port->kind = name.kind;
    o->port->listenOnly = options.listenOnly;
    if (name.kind == PortKind::Local)
        openLocal(*o, name.path);
    else if (name.kind == PortKind::Rfc2217 && options.baud <= 0)
        failed(*o, PortFailure::BadName, "unknown baudrate " + std::to_string(options.baud), EINVAL);
    else if (endingSignals_caught() != 0)
        failed(*o, PortFailure::Interrupted, "interrupted", EINTR);
    else
        lookUp(*o, name.port);
    return o;
}

void PortOpening_interest(const PortOpening* o, pollfd* want, Deadline* wakeAt)
{
    *want = {-1, 0, 0};
    *wakeAt = Deadline{0}; // a result: step at once
    if (o->stage == Stage::Lookup) {
        *want = {o->lookup->wake[0], POLLIN, 0};
        *wakeAt = o->options.deadline;
    } else if (o->stage == Stage::Connect) {
        *want = {o->port->fd, POLLOUT, 0};
        *wakeAt = o->share;
    } else if (o->stage == Stage::Negotiate) {
        *want = {o->port->fd, static_cast<short>(POLLIN | (o->port->out.empty() ? 0 : POLLOUT)), 0};
        *wakeAt = o->until;
    }
}

int PortOpening_step(PortOpening* o, short revents, PortError* error)
{
    if (o->stage > Stage::Failed && endingSignals_caught() != 0)
        failed(*o, PortFailure::Interrupted, "interrupted", EINTR);
    const int rc = o->stage == Stage::Ready       ? 1
                   : o->stage == Stage::Lookup    ? lookedUp(*o)
                   : o->stage == Stage::Connect   ? connecting(*o, revents)
                   : o->stage == Stage::Negotiate ? negotiating(*o, revents)
                                                  : -1;
    if (rc < 0)
        *error = o->error;
    return rc;
}

Port* PortOpening_take(PortOpening* o) { return o->stage == Stage::Ready ? o->port.release() : nullptr; }

void PortOpening_destroy(PortOpening* o) { delete o; }

int Port_close(Port* port)
{
    if (port == nullptr)
        return 0;
    // An opening's port may have no descriptor yet.
    const int rc = port->fd < 0 || port->borrowed ? 0
                   : port->kind == PortKind::Local ? serial_close(port->fd)
                                                   : close(port->fd);
    delete port;
    return rc;
}

Port* Port_local(int fd)
{
    auto* port = new (std::nothrow) Port;
    if (port != nullptr) {
        port->fd = fd;
        port->borrowed = true;
    }
    return port;
}

PortKind Port_kind(const Port* port) { return port->kind; }

int Port_fd(const Port* port) { return port->fd; }

size_t Port_buffered(const Port* port) { return port->pending.size(); }

ssize_t Port_read(Port* port, void* buf, size_t size, size_t* taken)
{
    size_t ignored = 0;
    taken = taken != nullptr ? taken : &ignored;
    auto* bytes = static_cast<uint8_t*>(buf);
    if (!port->pending.empty()) {
        *taken = std::min(size, port->pending.size());
        std::memcpy(bytes, port->pending.data(), *taken);
        port->pending.erase(0, *taken);
        return static_cast<ssize_t>(*taken);
    }
    const ssize_t got = port->kind == PortKind::Local ? read(port->fd, buf, size) : recv(port->fd, buf, size, 0);
    *taken = got > 0 ? static_cast<size_t>(got) : 0;
    if (got <= 0 || port->kind == PortKind::Local)
        return got;
    const size_t n = takeIn(port, bytes, *taken);
    flush(port); // answers go now; a broken connection shows in the next read
    if (n != 0)
        return static_cast<ssize_t>(n);
    errno = EAGAIN; // nothing but Telnet came
    return -1;
}

ssize_t Port_write(Port* port, const void* data, size_t size)
{
    if (port->listenOnly) {
        errno = EPERM;
        return -1;
    }
    if (port->kind == PortKind::Local)
        return write(port->fd, data, size);
    if (flush(port) != 0)
        return -1;
    if (port->out.size() >= maxQueued) {
        errno = EAGAIN;
        return -1;
    }
    if (port->kind == PortKind::Rfc2217)
        Telnet_encodeData(port->telnet, {static_cast<const uint8_t*>(data), size}, port->out);
    else
        port->out.append(static_cast<const char*>(data), size);
    return flush(port) != 0 ? -1 : static_cast<ssize_t>(size);
}

bool Port_writePending(const Port* port) { return !port->out.empty(); }

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
        if ((errors & bit) != 0)
            text.append(text.empty() ? "" : ", ").append(name);
    }
    return text;
}

std::string Port_endedWhy(const Port* port)
{
    std::string why = "the server ended the connection";
    if (!port->last.empty())
        appendPrintable(why.append(": "), port->last);
    return why;
}
