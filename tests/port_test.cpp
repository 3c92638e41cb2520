#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sstream>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "buffer.h"
#include "printable.h"
#include "port.h"
#include "pty_support.h"
#include "ser2net_support.h"
#include "telnet.h"

namespace {

constexpr int IAC = TELNET_IAC;
constexpr int SB = TELNET_SB;
constexpr int SE = TELNET_SE;
constexpr int COM = TELNET_COM_PORT;

int64_t msSince(int64_t start) { return (Clock_now() - start) / CLOCK_MILLISECOND; }

PortOptions options(bool listenOnly = true, int64_t withinMs = 10000)
{
    PortOptions o;
    o.listenOnly = listenOnly;
    o.deadline = Deadline_after(Clock_now(), withinMs * CLOCK_MILLISECOND);
    return o;
}

// Whether data can be read before `until`.
bool readable(const Port* port, Deadline until)
{
    pollfd p{Port_fd(port), POLLIN, 0};
    return Port_buffered(port) != 0 || poll(&p, 1, Deadline_pollMs(until, Clock_now())) == 1;
}

// Reads until `count` data bytes came, the port ended (*ended set) or 10 s passed.
std::string readData(Port* port, size_t count, bool* ended = nullptr)
{
    std::string got;
    const Deadline until = Deadline_after(Clock_now(), 10 * CLOCK_SECOND);
    while (got.size() < count && readable(port, until)) {
        char chunk[512];
        const ssize_t n = Port_read(port, chunk, sizeof chunk);
        if (n > 0) {
            got.append(chunk, static_cast<size_t>(n));
            continue;
        }
        if (n < 0 && errno == EAGAIN)
            continue;
        if (ended != nullptr)
            *ended = true;
        break;
    }
    return got;
}

TEST(PortName, GoodForms)
{
    struct Case {
        const char* name;
        PortKind kind;
        const char* path;
        const char* host;
        int port;
    };
    const Case cases[] = {
        {"/dev/ttyUSB0", PortKind::Local, "/dev/ttyUSB0", "", 0},
        {"relative:with:colons", PortKind::Local, "relative:with:colons", "", 0},
        {"rfc2217://box7.lab:2001", PortKind::Rfc2217, "", "box7.lab", 2001},
        {"RFC2217://10.0.0.5:1", PortKind::Rfc2217, "", "10.0.0.5", 1},
        {"tcp://127.0.0.1:65535", PortKind::Tcp, "", "127.0.0.1", 65535},
        {"socket://host:80", PortKind::Tcp, "", "host", 80},
        {"rfc2217://[::1]:2000", PortKind::Rfc2217, "", "::1", 2000},
        {"tcp://[fe80::1%eth0]:7", PortKind::Tcp, "", "fe80::1%eth0", 7},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        PortName parsed;
        std::string why;
        ASSERT_TRUE(Port_parseName(c.name, &parsed, &why)) << why;
        EXPECT_EQ(parsed.kind, c.kind);
        EXPECT_EQ(parsed.path, c.path);
        EXPECT_EQ(parsed.host, c.host);
        EXPECT_EQ(parsed.port, c.port);
    }
}

TEST(PortName, MalformedFormsNameTheProblem)
{
    const std::pair<const char*, const char*> cases[] = {
        {"telnet://box:23", "unknown kind of port 'telnet://' (rfc2217://, tcp:// or socket://)"},
        {"://box:23", "unknown kind of port '://' (rfc2217://, tcp:// or socket://)"},
        {"rfc2217://box", "no port number (HOST:PORT)"},
        {"rfc2217://box:", "no port number (HOST:PORT)"},
        {"tcp://box:/dev", "no port number (HOST:PORT)"},
        {"tcp://:2000", "no host"},
        {"tcp://[]:2000", "no host"},
        {"rfc2217://[::1]", "no port number (HOST:PORT)"},
        {"rfc2217://[::1:2000", "no ']' after the IPv6 address"},
        {"rfc2217://[::1]x:2000", "'x:2000' after the address: expected ':PORT'"},
        {"rfc2217://::1:2000", "no host"},
        {"tcp://box:0", "port 0 is not a number from 1 to 65535"},
        {"tcp://box:65536", "port 65536 is not a number from 1 to 65535"},
        {"tcp://box:99999999999999999999", "port 99999999999999999999 is not a number from 1 to 65535"},
        {"tcp://box:20x0", "port '20x0' is not a number from 1 to 65535"},
        {"tcp://box:-1", "port '-1' is not a number from 1 to 65535"},
        {"tcp://box:2000/path", "'/path' after the port number: nothing may follow it"},
        {"rfc2217://box:2000?ign_set_control", "'?ign_set_control' after the port number: nothing may follow it"},
        {"tcp://box/x:2000", "'/x:2000' where the port number belongs (HOST:PORT)"},
        {"tcp://user@box:2000", "'user@box' is not a host name or address"},
        {"tcp://bo\x1bx:1", "'bo[1B]x' is not a host name or address"},
    };
    for (const auto& [name, problem] : cases) {
        SCOPED_TRACE(name);
        PortName parsed;
        std::string why;
        EXPECT_FALSE(Port_parseName(name, &parsed, &why));
        EXPECT_EQ(why, problem);
    }
}

TEST(PortLocal, OpensAPathAsTheSerialModuleDoes)
{
    Pty pty;
    PortError error;
    Port* port = openPort(pty.path(), options(), &error);
    ASSERT_NE(port, nullptr);
    EXPECT_EQ(Port_kind(port), PortKind::Local);
    ASSERT_TRUE(pty.write(bytes({'a', 0xFF, 0})));
    EXPECT_EQ(readData(port, 3), bytes({'a', 0xFF, 0}));
    EXPECT_EQ(Port_write(port, "x", 1), -1); // listen-only
    EXPECT_EQ(errno, EPERM);
    EXPECT_EQ(Port_close(port), 0);

    // The serial module's own report; the port layer adds nothing.
    testing::internal::CaptureStderr();
    EXPECT_EQ(openPort("/nonexistent/tty", options(), &error), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "/nonexistent/tty: No such file or directory\n");
    EXPECT_EQ(error.failure, PortFailure::Local);
    EXPECT_EQ(error.errnum, ENOENT);
    EXPECT_EQ(error.text, "");

    // A speed the serial module does not know is refused rather than ending the process.
    PortOptions odd = options();
    odd.baud = 1234;
    EXPECT_EQ(openPort(pty.path(), odd, &error), nullptr);
    EXPECT_EQ(error.text, "Unknown baudrate: 1234");
}

class PortSer2net : public testing::TestWithParam<Ser2net::Mode> {
protected:
    void SetUp() override { SKIP_WITHOUT_SER2NET(); }
    bool telnet() const { return GetParam() == Ser2net::Mode::Telnet; }
    // Opens a port through `through`, started first unless running; null,
    // with the test failed, when either did not work.
    static Port* opened(Ser2net& through, bool listenOnly = true)
    {
        if (!through.running()) {
            EXPECT_TRUE(through.start()) << through.log();
        }
        PortError error;
        Port* port = openPort(through.url(), options(listenOnly), &error);
        EXPECT_NE(port, nullptr) << error.text;
        return port;
    }

    Pty pty;
    Ser2net server{pty.path(), GetParam()};
};

TEST_P(PortSer2net, EveryByteValueReachesTheReaderAndNothingReachesTheBox)
{
    Port* port = opened(server);
    ASSERT_NE(port, nullptr);
    EXPECT_EQ(Port_kind(port), telnet() ? PortKind::Rfc2217 : PortKind::Tcp);
    // A dead server is noticed within seconds, not hours.
    int value = 0;
    socklen_t length = sizeof value;
    EXPECT_EQ(getsockopt(Port_fd(port), SOL_SOCKET, SO_KEEPALIVE, &value, &length), 0);
    EXPECT_EQ(value, 1);
    EXPECT_EQ(getsockopt(Port_fd(port), IPPROTO_TCP, TCP_KEEPIDLE, &value, &length), 0);
    EXPECT_EQ(value, 10);
    const std::string all = allByteValues() + allByteValues();
    ASSERT_TRUE(pty.write(all));
    EXPECT_EQ(readData(port, all.size()), all);
    // The server forwards a client's bytes in order, before it answers what
    // follows them: had the negotiation leaked data, it would be here by now.
    EXPECT_EQ(boxReceived(pty), "");
    EXPECT_EQ(Port_write(port, "x", 1), -1);
    EXPECT_EQ(errno, EPERM);
    EXPECT_EQ(Port_takeLineErrors(port), 0);
    Port_close(port);
}

TEST_P(PortSer2net, WritesReachTheBoxUnchanged)
{
    Port* port = opened(server, false);
    ASSERT_NE(port, nullptr);
    const std::string all = allByteValues();
    ASSERT_EQ(Port_write(port, all.data(), all.size()), static_cast<ssize_t>(all.size()));
    std::string got;
    EXPECT_TRUE(waitUntil([&] {
        got += boxReceived(pty);
        return got.size() >= all.size();
    }));
    EXPECT_EQ(got, all);
    Port_close(port);
}

TEST_P(PortSer2net, BusyPortAndMissingDeviceFailWithTheServersText)
{
    Ser2net missing("/nonexistent/quarvo-box", GetParam());
    ASSERT_TRUE(missing.start()) << missing.log();
    Port* first = opened(server);
    ASSERT_NE(first, nullptr);
    PortError error;

    const std::pair<Ser2net*, std::string> cases[] = {
        {&server, "Port already in use\r\n"},
        {&missing, "Device open failure: "},
    };
    for (const auto& [which, text] : cases) {
        SCOPED_TRACE(text);
        Port* second = openPort(which->url(), options(), &error);
        if (telnet()) {
            // The connection ends before the settings are confirmed.
            EXPECT_EQ(second, nullptr);
            EXPECT_EQ(error.failure, PortFailure::Ended);
            std::string shown;
            appendPrintable(shown, text);
            EXPECT_EQ(error.text.rfind(which->url() + ": the server ended the connection: " + shown, 0), 0u)
                << error.text;
            continue;
        }
        // Raw: the text is data, then the end.
        ASSERT_NE(second, nullptr) << error.text;
        bool ended = false;
        const std::string got = readData(second, 1000, &ended);
        EXPECT_TRUE(ended);
        EXPECT_EQ(got.rfind(text, 0), 0u) << got;
        EXPECT_EQ(Port_endedWhy(second), "the server ended the connection: " + printable(got));
        Port_close(second);
    }
    Port_close(first);
}

TEST_P(PortSer2net, ServerStoppedMidReadEndsTheInput)
{
    Port* port = opened(server);
    ASSERT_NE(port, nullptr);
    const std::string longText(300, 'L');
    ASSERT_TRUE(pty.write(longText + "tail\r\n"));
    EXPECT_EQ(readData(port, 306), longText + "tail\r\n");
    server.stop();
    bool ended = false;
    EXPECT_EQ(readData(port, 1, &ended), "");
    EXPECT_TRUE(ended);
    const std::string all = longText + "tail\r\n";
    const std::string last = printable(all.substr(all.size() - PORT_LAST_TEXT));
    EXPECT_EQ(Port_endedWhy(port), "the server ended the connection: " + last);
    Port_close(port);

    // The same port number serves a restart.
    ASSERT_TRUE(server.start()) << server.log();
    port = opened(server);
    ASSERT_NE(port, nullptr);
    Port_close(port);
}

TEST_P(PortSer2net, KickedClientSeesTheEnd)
{
    Ser2net kicking(pty.path(), GetParam(), true);
    Port* old = opened(kicking);
    ASSERT_NE(old, nullptr);
    Port* newer = opened(kicking);
    ASSERT_NE(newer, nullptr);
    bool ended = false;
    readData(old, 1000, &ended);
    EXPECT_TRUE(ended);
    Port_close(old);
    Port_close(newer);
}

INSTANTIATE_TEST_SUITE_P(BothModes, PortSer2net, testing::Values(Ser2net::Mode::Telnet, Ser2net::Mode::Raw),
                         [](const auto& info) { return info.param == Ser2net::Mode::Telnet ? "Rfc2217" : "Raw"; });

// A listening socket on 127.0.0.1 whose one-place queue is taken: further
// connections get no answer, as from a black-holed address.
class BlackHole {
public:
    BlackHole()
    {
        listener_ = listenOnLoopback(&port_, 0);
        filler_ = connectToLoopback(port_);
    }
    ~BlackHole()
    {
        close(filler_);
        close(listener_);
    }
    int port() const { return port_; }

private:
    int listener_ = -1;
    int filler_ = -1;
    int port_ = 0;
};

TEST(PortConnect, RefusedAndBlackHoledFailInTime)
{
    const int nobody = pickFreePort();
    PortError error;
    EXPECT_EQ(openPort("tcp://127.0.0.1:" + std::to_string(nobody), options(), &error), nullptr);
    EXPECT_EQ(error.failure, PortFailure::Connect);
    EXPECT_EQ(error.text, "tcp://127.0.0.1:" + std::to_string(nobody) + ": cannot connect: Connection refused");

    BlackHole hole;
    const int64_t start = Clock_now();
    EXPECT_EQ(openPort("rfc2217://127.0.0.1:" + std::to_string(hole.port()), options(true, 300), &error), nullptr);
    const int64_t took = msSince(start);
    EXPECT_EQ(error.failure, PortFailure::TimedOut) << error.text;
    EXPECT_EQ(error.text, "rfc2217://127.0.0.1:" + std::to_string(hole.port()) + ": no connection in the time allowed");
    EXPECT_GE(took, 290);
    EXPECT_LT(took, 3000);
}

// Resolvers standing in for the system's, so no lookup leaves the machine.
int unknownName(const char*, const char*, const addrinfo*, addrinfo**) { return EAI_NONAME; }

// The lookups below wait for a byte on `releaseFd`; each counts itself
// ended, so that a test knows when it may close the descriptor.
std::atomic<int> releaseFd = -1;
std::atomic<int> lookupsEnded = 0;
int blackHolePort = 0;
int stuckResolver(const char*, const char*, const addrinfo*, addrinfo**)
{
    char b;
    [[maybe_unused]] const ssize_t n = read(releaseFd, &b, 1);
    ++lookupsEnded;
    return EAI_AGAIN;
}

// Two addresses: the black hole first, then the real one.
int twoAddresses(const char*, const char* service, const addrinfo* hints, addrinfo** result)
{
    addrinfo numeric = *hints;
    numeric.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
    addrinfo* first = nullptr;
    addrinfo* second = nullptr;
    if (getaddrinfo("127.0.0.1", std::to_string(blackHolePort).c_str(), &numeric, &first) != 0)
        return EAI_FAIL;
    if (getaddrinfo("127.0.0.1", service, &numeric, &second) != 0) {
        freeaddrinfo(first);
        return EAI_FAIL;
    }
    addrinfo* last = first;
    while (last->ai_next != nullptr)
        last = last->ai_next;
    last->ai_next = second;
    *result = first;
    return 0;
}

TEST(PortConnect, NameLookupIsBoundedAndEachAddressGetsAShare)
{
    PortError error;
    PortOptions unknown = options();
    unknown.resolver = unknownName;
    EXPECT_EQ(openPort("rfc2217://no-such-box.lab:2000", unknown, &error), nullptr);
    EXPECT_EQ(error.failure, PortFailure::Resolve);
    EXPECT_EQ(error.text, std::string("rfc2217://no-such-box.lab:2000: cannot resolve 'no-such-box.lab': ") +
                              gai_strerror(EAI_NONAME));

    // A lookup that never answers is abandoned at the deadline; it finishes
    // on its own later.
    int release[2];
    ASSERT_EQ(pipe(release), 0);
    releaseFd = release[0];
    const int ended = lookupsEnded;
    PortOptions stuck = options(true, 200);
    stuck.resolver = stuckResolver;
    const int64_t start = Clock_now();
    EXPECT_EQ(openPort("tcp://stuck.lab:2000", stuck, &error), nullptr);
    EXPECT_EQ(error.failure, PortFailure::TimedOut);
    EXPECT_EQ(error.text, "tcp://stuck.lab:2000: no answer from the name lookup in the time allowed");
    EXPECT_LT(msSince(start), 3000);
    ASSERT_EQ(write(release[1], "x", 1), 1);
    EXPECT_TRUE(waitUntil([ended] { return lookupsEnded == ended + 1; }));

    // The black-holed first address does not take all the time.
    BlackHole hole;
    blackHolePort = hole.port();
    int listening = 0;
    const int listener = listenOnLoopback(&listening);
    ASSERT_NE(listening, 0);
    PortOptions two = options(true, 1000);
    two.resolver = twoAddresses;
    Port* port = openPort("tcp://two.lab:" + std::to_string(listening), two, &error);
    EXPECT_NE(port, nullptr) << error.text;
    Port_close(port);
    close(listener);
    close(release[0]);
    close(release[1]);
}

// A stuck lookup that counts how many run at once.
std::atomic<int> lookupsRunning = 0;
std::atomic<int> mostRunning = 0;
int countedStuck(const char* host, const char* service, const addrinfo* hints, addrinfo** result)
{
    const int now = ++lookupsRunning;
    for (int seen = mostRunning; now > seen && !mostRunning.compare_exchange_weak(seen, now);) {
    }
    const int rc = stuckResolver(host, service, hints, result);
    --lookupsRunning;
    return rc;
}

TEST(PortResolveAll, EightLookupsAtMostAndNoWaitPastTheBound)
{
    EXPECT_EQ(Port_resolveAll({"127.0.0.1", "::1"}, CLOCK_SECOND),
              (std::vector<std::vector<std::string>>{{"127.0.0.1"}, {"::1"}}));
    int release[2];
    ASSERT_EQ(pipe(release), 0);
    releaseFd = release[0];
    const int ended = lookupsEnded;
    std::vector<std::string> hosts;
    for (int i = 0; i < 20; ++i)
        hosts.push_back("box" + std::to_string(i) + ".lab");
    const int64_t start = Clock_now();
    const auto addresses = Port_resolveAll(hosts, 200 * CLOCK_MILLISECOND, countedStuck);
    EXPECT_GE(msSince(start), 200);
    EXPECT_LT(msSince(start), 2000);
    EXPECT_EQ(addresses, std::vector<std::vector<std::string>>(hosts.size()));
    // Released, the lookups under way end, and no other starts.
    close(release[1]);
    EXPECT_TRUE(waitUntil([ended] { return lookupsEnded == ended + 8 && lookupsRunning == 0; }));
    EXPECT_EQ(mostRunning, 8);
    EXPECT_EQ(lookupsEnded, ended + 8);
    close(release[0]);
}

// A stand-in serial server on 127.0.0.1 that misbehaves as told: it greets,
// reads the client's requests, then runs `script` on the connection.
class FakeServer {
public:
    explicit FakeServer(std::string greeting, std::function<void(int)> script)
    {
        listener_ = listenOnLoopback(&port_, 1);
        thread_ = std::thread([this, greeting = std::move(greeting), script = std::move(script)] {
            const int client = accept(listener_, nullptr, nullptr);
            if (client < 0)
                return;
            sendAll(client, greeting);
            script(client);
            close(client);
        });
    }
    ~FakeServer()
    {
        shutdown(listener_, SHUT_RDWR);
        thread_.join();
        close(listener_);
    }
    std::string url() const { return "rfc2217://127.0.0.1:" + std::to_string(port_); }

    static void sendAll(int fd, std::string_view data)
    {
        while (!data.empty()) {
            const ssize_t n = send(fd, data.data(), data.size(), MSG_NOSIGNAL);
            if (n <= 0)
                return;
            data.remove_prefix(static_cast<size_t>(n));
        }
    }
    // Reads until `marker` has come (true) or the client is gone.
    static bool readUntil(int fd, const std::string& marker, std::string* seen = nullptr)
    {
        std::string got;
        char chunk[256];
        while (got.find(marker) == std::string::npos) {
            const ssize_t n = recv(fd, chunk, sizeof chunk, 0);
            if (n <= 0)
                return false;
            got.append(chunk, static_cast<size_t>(n));
        }
        if (seen != nullptr)
            *seen = got;
        return true;
    }
    // Waits until the client hangs up.
    static void drain(int fd)
    {
        char chunk[256];
        while (recv(fd, chunk, sizeof chunk, 0) > 0) {
        }
    }

private:
    int listener_ = -1;
    int port_ = 0;
    std::thread thread_;
};

const std::string agreeable = bytes({IAC, TELNET_WILL, 0, IAC, TELNET_DO, 0, IAC, TELNET_WILL, 3, IAC, TELNET_DO, COM});
// The last request the client sends: the line-state mask.
const std::string maskRequest = bytes({IAC, SB, COM, 10, 0x1E, IAC, SE});

std::string acks(int baudHigh, int baudLow, int dataSize = 8)
{
    return bytes({IAC, SB, COM, 101, 0, 0, baudHigh, baudLow, IAC, SE, IAC, SB, COM, 102, dataSize, IAC, SE, IAC, SB,
                  COM, 103, 1, IAC, SE, IAC, SB, COM, 104, 1, IAC, SE});
}

TEST(PortFakeServer, DataBeforeTheAcknowledgementsIsKeptAndLineErrorsReportedOnce)
{
    FakeServer server(agreeable + "early", [](int fd) {
        if (!FakeServer::readUntil(fd, maskRequest))
            return;
        FakeServer::sendAll(fd, acks(0xE1, 0) + bytes({IAC, SB, COM, 106, 0x18, IAC, SE}) + "late" +
                                    bytes({IAC, SB, COM, 106, 0x1A, IAC, SE, IAC, IAC}));
        FakeServer::drain(fd);
    });
    PortError error;
    Port* port = openPort(server.url(), options(), &error);
    ASSERT_NE(port, nullptr) << error.text;
    EXPECT_TRUE(Port_buffered(port));
    EXPECT_EQ(readData(port, 10), "early" + std::string("late") + bytes({0xFF}));
    EXPECT_EQ(Port_takeLineErrors(port), LINE_BREAK | LINE_FRAMING | LINE_OVERRUN);
    EXPECT_EQ(Port_takeLineErrors(port), 0);
    EXPECT_EQ(Port_lineErrorNames(LINE_ERRORS), "break, framing error, parity error, overrun error");
    Port_close(port);
}

TEST(PortFakeServer, MisbehavingServersAreNotUsed)
{
    struct Case {
        const char* name;
        std::string greeting;
        std::function<void(int)> script;
        PortFailure failure;
        std::string why;
    };
    const auto answer = [](std::string reply) {
        return [reply](int fd) {
            if (FakeServer::readUntil(fd, maskRequest))
                FakeServer::sendAll(fd, reply);
            FakeServer::drain(fd);
        };
    };
    const Case cases[] = {
        {"other baud", agreeable, answer(acks(0x25, 0x80)), PortFailure::Negotiation,
         "the server set 9600 baud, not 57600"},
        {"other data size", agreeable, answer(acks(0xE1, 0, 7)), PortFailure::Negotiation,
         "the server set 7 data bits, not 8"},
        {"no acknowledgement", agreeable, answer(""), PortFailure::Negotiation,
         "the server did not confirm the line settings within 300 ms"},
        {"no com port option", bytes({IAC, TELNET_WILL, 0}), answer(""), PortFailure::Negotiation,
         "the server did not confirm the line settings within 300 ms"},
        {"refused com port option", bytes({IAC, TELNET_DONT, COM}), answer(""), PortFailure::Negotiation,
         "the server refused the com port option"},
        {"endless subnegotiation", agreeable + bytes({IAC, SB, COM, 101}),
         [](int fd) {
             const std::string filler(4096, 'x');
             while (send(fd, filler.data(), filler.size(), MSG_NOSIGNAL) > 0) {
             }
         },
         PortFailure::Negotiation, "the server did not confirm the line settings within 300 ms"},
        {"hangs up", agreeable + "Go away\r\n", [](int) {}, PortFailure::Ended,
         "the server ended the connection: Go away[0D][0A]"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeServer server(c.greeting, c.script);
        PortOptions o = options();
        o.negotiationMs = 300;
        PortError error;
        const int64_t start = Clock_now();
        EXPECT_EQ(openPort(server.url(), o, &error), nullptr);
        EXPECT_LT(msSince(start), 3000);
        EXPECT_EQ(error.failure, c.failure);
        EXPECT_EQ(error.text, server.url() + ": " + c.why);
    }
}

TEST(PortFakeServer, ServerRefusingBinaryHasItsCrNulStuffingUndone)
{
    const std::string refusing = bytes({IAC, TELNET_WONT, 0, IAC, TELNET_DONT, 0, IAC, TELNET_DO, COM});
    std::string seen;
    {
        FakeServer server(refusing, [&seen](int fd) {
            if (!FakeServer::readUntil(fd, maskRequest))
                return;
            FakeServer::sendAll(fd, acks(0xE1, 0) + bytes({'a', '\r', 0, 'b', '\r', '\n', IAC, IAC}));
            FakeServer::readUntil(fd, "end", &seen);
        });
        PortError error;
        Port* port = openPort(server.url(), options(false), &error);
        ASSERT_NE(port, nullptr) << error.text;
        EXPECT_EQ(readData(port, 6), bytes({'a', '\r', 'b', '\r', '\n', 0xFF}));
        const std::string typed = bytes({'x', '\r', 0xFF, 'e', 'n', 'd'});
        EXPECT_EQ(Port_write(port, typed.data(), typed.size()), static_cast<ssize_t>(typed.size()));
        Port_close(port);
    } // the server's thread has ended: `seen` is complete
    EXPECT_NE(seen.find(bytes({'x', '\r', 0, IAC, IAC, 'e', 'n', 'd'})), std::string::npos);
}

// Once released, 127.0.0.1 (or, the release closed, a failure).
int slowLoopback(const char*, const char* service, const addrinfo* hints, addrinfo** result)
{
    char b;
    addrinfo numeric = *hints;
    numeric.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
    const int rc = read(releaseFd, &b, 1) == 1 ? getaddrinfo("127.0.0.1", service, &numeric, result) : EAI_AGAIN;
    ++lookupsEnded;
    return rc;
}

using Opening = std::unique_ptr<PortOpening, void (*)(PortOpening*)>;

Opening startOpening(const std::string& url, const PortOptions& o)
{
    PortName name;
    std::string why;
    EXPECT_TRUE(Port_parseName(url, &name, &why)) << why;
    return {PortOpening_start(name, url, o), PortOpening_destroy};
}

// One turn of an owner's loop: waits at most 20 ms for what the opening asks
// for, then steps it.
int turn(PortOpening* opening, PortError* error)
{
    pollfd want{};
    Deadline wakeAt;
    PortOpening_interest(opening, &want, &wakeAt);
    const int ready = poll(&want, 1, std::min(20, Deadline_pollMs(wakeAt, Clock_now())));
    return PortOpening_step(opening, ready > 0 ? want.revents : 0, error);
}

TEST(PortOpening, LocalDevicesAndRefusalsAreDoneAtTheFirstStep)
{
    Pty pty;
    PortOptions oddSpeed = options();
    oddSpeed.baud = 1234;
    PortOptions noSpeed = options();
    noSpeed.baud = 0;
    struct Case {
        const char* name;
        std::string port;
        PortOptions options;
        int step;
        std::string text;
    };
    const Case cases[] = {
        {"a local device", pty.path(), options(), 1, ""},
        {"a speed the serial module does not know", pty.path(), oddSpeed, -1, "Unknown baudrate: 1234"},
        {"rfc2217 without a speed", "rfc2217://127.0.0.1:1", noSpeed, -1, "rfc2217://127.0.0.1:1: unknown baudrate 0"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Opening opening = startOpening(c.port, c.options);
        pollfd want{};
        Deadline wakeAt;
        PortOpening_interest(opening.get(), &want, &wakeAt);
        EXPECT_EQ(want.fd, -1);
        EXPECT_TRUE(Deadline_passed(wakeAt, Clock_now()));
        PortError error;
        EXPECT_EQ(PortOpening_step(opening.get(), 0, &error), c.step);
        EXPECT_EQ(error.text, c.text);
        Port* port = PortOpening_take(opening.get());
        EXPECT_EQ(port != nullptr, c.step == 1);
        EXPECT_EQ(PortOpening_take(opening.get()), nullptr);
        Port_close(port);
    }
}

TEST(PortOpening, NeverWaitsForAServerThatKeepsItWaiting)
{
    int release[2];
    ASSERT_EQ(pipe(release), 0);
    releaseFd = release[0];
    const int ended = lookupsEnded;
    BlackHole hole;
    int silent = 0;
    const int listener = listenOnLoopback(&silent); // connects, then never says a word
    struct Case {
        const char* name;
        std::string url;
        PortResolver resolver;
        short events;
        bool untilDeadline; // else the 5 s of the negotiation
    };
    const Case cases[] = {
        {"a name lookup that never ends", "tcp://stuck.lab:2000", slowLoopback, POLLIN, true},
        {"a black-holed connection", "tcp://127.0.0.1:" + std::to_string(hole.port()), nullptr, POLLOUT, true},
        {"a negotiation never answered", "rfc2217://127.0.0.1:" + std::to_string(silent), nullptr, POLLIN, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        PortOptions o = options(true, 8000);
        o.resolver = c.resolver;
        const int64_t start = Clock_now();
        const Opening opening = startOpening(c.url, o);
        PortError error;
        // A quarter of a second of turns: every step returns at once.
        while (Clock_now() - start < 250 * CLOCK_MILLISECOND) {
            const int64_t before = Clock_now();
            ASSERT_EQ(turn(opening.get(), &error), 0) << error.text;
            EXPECT_LT(Clock_now() - before, 100 * CLOCK_MILLISECOND);
        }
        pollfd want{};
        Deadline wakeAt;
        PortOpening_interest(opening.get(), &want, &wakeAt);
        EXPECT_GE(want.fd, 0);
        EXPECT_EQ(want.events, c.events);
        if (c.untilDeadline)
            EXPECT_EQ(wakeAt.at, o.deadline.at);
        else
            EXPECT_NEAR(wakeAt.at - start, PORT_NEGOTIATION_MS * CLOCK_MILLISECOND, 250 * CLOCK_MILLISECOND);
        EXPECT_EQ(PortOpening_take(opening.get()), nullptr);
    }
    close(release[1]); // the lookup ends, and cleans up, on its own
    EXPECT_TRUE(waitUntil([ended] { return lookupsEnded == ended + 1; }));
    close(release[0]);
    close(listener);
}

TEST(PortOpening, AFastServerOpensWhileASlowOneIsStillAnswering)
{
    int release[2];
    ASSERT_EQ(pipe(release), 0);
    const auto answerAfterRelease = [&release](int fd) {
        char b;
        if (FakeServer::readUntil(fd, maskRequest) && read(release[0], &b, 1) == 1)
            FakeServer::sendAll(fd, acks(0xE1, 0));
        FakeServer::drain(fd);
    };
    const auto answer = [](int fd) {
        if (FakeServer::readUntil(fd, maskRequest))
            FakeServer::sendAll(fd, acks(0xE1, 0));
        FakeServer::drain(fd);
    };
    FakeServer slow(agreeable, answerAfterRelease);
    FakeServer fast(agreeable, answer);
    Opening openings[] = {startOpening(slow.url(), options()), startOpening(fast.url(), options())};
    Port* ports[2] = {nullptr, nullptr};
    std::vector<size_t> order;
    const Deadline until = Deadline_after(Clock_now(), 10 * CLOCK_SECOND);
    // One poll for both, as an owner of many ports waits.
    while (order.size() < 2 && !Deadline_passed(until, Clock_now())) {
        pollfd want[2];
        Deadline wakeAt = until;
        for (size_t i = 0; i < 2; ++i) {
            Deadline mine;
            PortOpening_interest(openings[i].get(), &want[i], &mine);
            wakeAt = Deadline_sooner(wakeAt, mine);
            if (ports[i] != nullptr)
                want[i].fd = -1;
        }
        ASSERT_GE(poll(want, 2, Deadline_pollMs(wakeAt, Clock_now())), 0);
        for (size_t i = 0; i < 2; ++i) {
            PortError error;
            if (ports[i] != nullptr)
                continue;
            const int rc = PortOpening_step(openings[i].get(), want[i].revents, &error);
            ASSERT_GE(rc, 0) << error.text;
            if (rc == 0)
                continue;
            ports[i] = PortOpening_take(openings[i].get());
            order.push_back(i);
            if (i == 1) { // the fast one is open: now the slow one may answer
                ASSERT_EQ(write(release[1], "x", 1), 1);
            }
        }
    }
    EXPECT_EQ(order, (std::vector<size_t>{1, 0}));
    for (Port* port : ports)
        Port_close(port);
    close(release[0]);
    close(release[1]);
}

size_t openDescriptors()
{
    size_t count = 0;
    for (int fd = 0; fd < 1024; ++fd)
        count += fcntl(fd, F_GETFD) != -1 ? 1 : 0;
    return count;
}

TEST(PortOpening, AbandonedWithItsLookupRunningLeavesNothingBehind)
{
    int release[2];
    ASSERT_EQ(pipe(release), 0);
    releaseFd = release[0];
    const int ended = lookupsEnded;
    const size_t before = openDescriptors();
    PortOptions o = options();
    o.resolver = slowLoopback;
    {
        const Opening opening = startOpening("tcp://slow.lab:2000", o);
        PortError error;
        EXPECT_EQ(PortOpening_step(opening.get(), 0, &error), 0);
        EXPECT_EQ(openDescriptors(), before + 2); // the lookup's wake-up pipe
    }
    // The lookup answers after its opening is gone: its result and pipe go
    // with the thread (the sanitizers see a leak or a use after free).
    ASSERT_EQ(write(release[1], "x", 1), 1);
    EXPECT_TRUE(waitUntil([&] { return lookupsEnded == ended + 1 && openDescriptors() == before; }));
    close(release[0]);
    close(release[1]);
    PortOpening_destroy(nullptr);
}

} // namespace
