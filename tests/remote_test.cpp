// The commands end to end through a real serial server: ser2net, started by
// each test on 127.0.0.1, serving a pseudo-terminal that stands for the box,
// over RFC 2217 and over raw TCP.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <functional>
#include <memory>
#include <netinet/in.h>
#include <pty.h>
#include <regex>
#include <sys/socket.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

#include "capture.h"
#include "capture_support.h"
#include "packets.h"
#include "port.h"
#include "pty_support.h"
#include "ser2net_support.h"
#include "telnet.h"

namespace {

const std::string NoResponse = "Failed reading response from quarvo box.\n";

// The bytes a capture file holds, or "unreadable: WHY".
std::string capturedBytes(const std::string& path)
{
    const std::string text = readFile(path);
    size_t badLine = 0;
    const char* why = nullptr;
    const auto log = parseCapture(text, &badLine, &why);
    if (!log)
        return std::string("unreadable: ") + (why != nullptr ? why : "out of memory");
    std::string bytes;
    for (size_t i = 0; i < log->count; ++i)
        bytes.append(log->chunks[i].bytes, log->chunks[i].size);
    return bytes;
}

std::string outcomeOf(const std::string& resultPath)
{
    const std::string text = readFile(resultPath);
    const size_t at = text.find("\"outcome\":\"");
    if (at == std::string::npos)
        return "no outcome in: " + text;
    const size_t from = at + 11;
    return text.substr(from, text.find('"', from) - from);
}

// A client of the server's, listen-only, holding its one place; null, with
// the test failed, when it cannot.
Port* holdPort(const std::string& url)
{
    PortOptions options;
    options.listenOnly = true;
    PortError error;
    Port* port = openPort(url, options, &error);
    EXPECT_NE(port, nullptr) << error.text;
    return port;
}

// A box behind its own ser2net.
struct ServedBox {
    Pty pty;
    Ser2net server;
    explicit ServedBox(Ser2net::Mode mode, bool kickOldUser = false) : server(pty.path(), mode, kickOldUser) {}
    // The server opens the device only while a client is connected: once it
    // has, the client's connection was taken. Bytes the box sends from then
    // on (even before the line settings are confirmed) reach the client.
    void waitServing() { waitUntilOpened(server.pid(), pty.path()); }
    // Sends a boot text and, once `tookBoot` says the client has it, stops the
    // server; starts it again once the client says it reopens, and sends the
    // deciding packet.
    testing::AssertionResult restartAfterBoot(Child& client, const std::function<bool()>& tookBoot)
    {
        if (!pty.write("boot\r\n") || !waitUntil(tookBoot))
            return testing::AssertionFailure() << "the boot text did not arrive: " << client.errSoFar();
        server.stop();
        if (!waitUntil([&] { return client.errSoFar().find("port lost, reopening") != std::string::npos; }))
            return testing::AssertionFailure() << "no reopening said: " << client.errSoFar();
        if (!server.start())
            return testing::AssertionFailure() << server.log();
        waitServing();
        if (!pty.write(packet({{"SSCN", "101"}})))
            return testing::AssertionFailure() << "the packet was not written";
        return testing::AssertionSuccess();
    }
};

class Remote : public testing::TestWithParam<Ser2net::Mode> {
protected:
    void SetUp() override { SKIP_WITHOUT_SER2NET(); }
    bool telnet() const { return GetParam() == Ser2net::Mode::Telnet; }
};

TEST_P(Remote, CheckGivesTheVerdictsOfALocalPort)
{
    const struct {
        std::string sent;
        std::string out;
        int status;
    } cases[] = {
        {packet({{"SSCN", "101"}}), "Current channel '101' [correct]\n", 0},
        {packet({{"SSCN", "102"}}), "Current channel '102' [incorrect]\nFailed\n", 1},
        {packet({{"CEER", "E1"}}), "Channel error: E1\nFailed\n", 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.out);
        ServedBox box(GetParam());
        ASSERT_TRUE(box.server.start()) << box.server.log();
        Child check({checkPath(), "--feedback", box.server.url(), "--channel", "101", "--timeout", "20"});
        box.waitServing();
        ASSERT_TRUE(box.pty.write(c.sent));
        const ChildResult r = check.wait();
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.status, c.status);
    }
}

// Every byte value reaches the reader as the box sent it (0xFF, which
// RFC 2217 doubles, included), and nothing the check or the monitor does
// reaches the box.
TEST_P(Remote, EveryByteValueReachesTheReaderAndNothingReachesTheBox)
{
    const std::string capture = tempPath("remote-capture");
    const std::string sent = allByteValues() + allByteValues() + packet({{"SSCN", "101"}});
    const std::vector<std::vector<std::string>> commands{
        {checkPath(), "--feedback", "{url}", "--channel", "101", "--timeout", "20", "--capture", capture},
        {QUARVO_MONITOR_PATH, "{url}", "--count", "1", "--duration", "20", "--capture", capture},
    };
    for (std::vector<std::string> command : commands) {
        SCOPED_TRACE(command[0]);
        ServedBox box(GetParam());
        ASSERT_TRUE(box.server.start()) << box.server.log();
        for (std::string& word : command)
            word = word == "{url}" ? box.server.url() : word;
        Child child(command);
        box.waitServing();
        ASSERT_TRUE(box.pty.write(sent));
        const ChildResult r = child.wait();
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(capturedBytes(capture), sent);
        const std::string header = readFile(capture);
        EXPECT_NE(header.find(telnet() ? "\n# line 57600 8N1\n" : "\n# line unknown\n"), std::string::npos) << header;
        // The server forwards what a client sends before it closes the device.
        box.server.stop();
        EXPECT_EQ(boxReceived(box.pty), "");
    }
    unlink(capture.c_str());
}

// A busy port, a missing device, a server stopped mid-check and a kicked
// client: each a failure that says the server ended the connection, with
// its last words where it had any; never a pass.
TEST_P(Remote, WhatServersDoToClientsFailsTheCheckClearly)
{
    enum class Event { Busy, Missing, Stopped, Kicked };
    const struct {
        Event event;
        const char* name;
        std::string serverText; // printable form, at the start of the server's last text
        const char* rfc2217Outcome;
        const char* rawOutcome;
    } cases[] = {
        {Event::Busy, "busy", "Port already in use[0D][0A]", "port-failed", "port-lost"},
        {Event::Missing, "missing device", "Device open failure: ", "port-failed", "port-lost"},
        {Event::Stopped, "stopped", "boot[0D][0A]", "port-lost", "port-lost"},
        {Event::Kicked, "kicked", "boot[0D][0A]", "port-lost", "port-lost"},
    };
    const std::string result = tempPath("remote-result");
    const std::string capture = tempPath("remote-capture");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Pty pty;
        Ser2net server(c.event == Event::Missing ? "/nonexistent/quarvo-box" : pty.path(), GetParam(),
                       c.event == Event::Kicked);
        ASSERT_TRUE(server.start()) << server.log();
        Port* holder = nullptr;
        if (c.event == Event::Busy) {
            holder = holdPort(server.url());
            ASSERT_NE(holder, nullptr);
        }
        Child check({checkPath(), "--feedback", server.url(), "--channel", "101", "--timeout", "20",
                     "--distinct-status", "--result", result, "--capture", capture});
        if (c.event == Event::Stopped || c.event == Event::Kicked) {
            waitUntilOpened(server.pid(), pty.path());
            ASSERT_TRUE(pty.write("boot\r\n"));
            // In the capture (within its second of quiet), the bytes were
            // read past the negotiation: the check is under way.
            ASSERT_TRUE(waitUntil([&] { return capturedBytes(capture) == "boot\r\n"; }, std::chrono::seconds(10)));
            if (c.event == Event::Stopped) {
                server.stop();
            } else {
                holder = holdPort(server.url());
                EXPECT_NE(holder, nullptr);
            }
        }
        const ChildResult r = check.wait();
        Port_close(holder);
        EXPECT_EQ(r.status, 2);
        const std::string outcome = telnet() ? c.rfc2217Outcome : c.rawOutcome;
        EXPECT_EQ(outcomeOf(result), outcome);
        EXPECT_EQ(r.out.find("[correct]"), std::string::npos) << r.out;
        const std::string ended = server.url() + ": the server ended the connection: " + c.serverText;
        if (outcome == "port-failed") {
            // During the negotiation ser2net may end the connection before
            // its text is taken in (a reset throws unread bytes away): the
            // end is then said without it.
            const std::string plainEnd = "Opening feedback serial port failed: " + server.url() +
                                         ": the server ended the connection";
            EXPECT_TRUE(r.err.rfind("Opening feedback serial port failed: " + ended, 0) == 0 ||
                        r.err == plainEnd + "\n")
                << r.err;
            EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << "one line: " << r.err;
        } else {
            EXPECT_NE(r.err.find(ended), std::string::npos) << r.err;
            EXPECT_EQ(r.out.substr(r.out.size() - NoResponse.size()), NoResponse) << r.out;
        }
    }
    unlink(result.c_str());
    unlink(capture.c_str());
}

TEST_P(Remote, ReconnectRecoversFromAServerRestart)
{
    ServedBox box(GetParam());
    ASSERT_TRUE(box.server.start()) << box.server.log();
    const std::string capture = tempPath("remote-capture");
    Child check({checkPath(), "--feedback", box.server.url(), "--channel", "101", "--timeout", "30", "--reconnect",
                 "--capture", capture});
    box.waitServing();
    ASSERT_TRUE(box.restartAfterBoot(check, [&] { return capturedBytes(capture) == "boot\r\n"; }));
    const ChildResult r = check.wait();
    EXPECT_EQ(r.status, 0) << r.err;
    // The boot text was no packet: reported, then the packet decides.
    EXPECT_EQ(r.out.substr(r.out.find("Current")), "Current channel '101' [correct]\n") << box.server.log();
    const std::string lost = box.server.url() + ": the server ended the connection: boot[0D][0A]\n" +
                             box.server.url() + ": port lost, reopening\n";
    EXPECT_EQ(r.err.substr(0, lost.size()), lost);
    // A raw connection the stopping server's queue took in is dropped in
    // turn: said the same way, and tried again.
    const std::string again = box.server.url() + ": the server ended the connection\n" + box.server.url() +
                              ": port lost, reopening\n";
    for (size_t at = lost.size(); at < r.err.size(); at += again.size())
        EXPECT_EQ(r.err.substr(at, again.size()), again) << r.err;
    unlink(capture.c_str());
}

TEST_P(Remote, MonitorWithReconnectOutlivesAServerRestart)
{
    ServedBox box(GetParam());
    ASSERT_TRUE(box.server.start()) << box.server.log();
    Child monitor({QUARVO_MONITOR_PATH, box.server.url(), "--reconnect", "--count", "1", "--duration", "30"});
    box.waitServing();
    // Its report of the boot text says the monitor is past the negotiation.
    ASSERT_TRUE(
        box.restartAfterBoot(monitor, [&] { return monitor.outSoFar().find(" report ") != std::string::npos; }));
    const ChildResult r = monitor.wait();
    EXPECT_EQ(r.status, 0) << r.err;
    const std::string out = std::regex_replace(r.out, std::regex("[0-9]+\\.[0-9]{6}"), "T");
    const size_t lost = out.find("\nT lost\n");
    EXPECT_NE(lost, std::string::npos) << out;
    EXPECT_NE(out.find("\nT reopened\n", lost), std::string::npos) << out;
    EXPECT_EQ(out.substr(out.size() - 18), "T packet SSCN=101\n") << out;
}

TEST_P(Remote, TerminalKeysReachTheBoxAndTheBoxReachesTheScreen)
{
    ServedBox box(GetParam());
    ASSERT_TRUE(box.server.start()) << box.server.log();
    Keyboard keyboard;
    Child term({QUARVO_TERM_PATH, box.server.url(), "--escape", "^A"}, keyboard.slave);
    ASSERT_TRUE(waitUntil([&] { return keyboard.raw() || !term.running(); }));
    const std::string keys = "a\xFF\xFF" "b";
    ASSERT_EQ(write(keyboard.master, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
    std::string got;
    EXPECT_TRUE(waitUntil([&] {
        got += boxReceived(box.pty);
        return got.size() >= keys.size() || !term.running();
    }));
    EXPECT_EQ(got, keys);
    ASSERT_TRUE(box.pty.write("hi\xFF\n"));
    EXPECT_TRUE(waitUntil([&] { return term.outSoFar().find("hi[FF][LF]") != std::string::npos; })) << term.outSoFar();
    ASSERT_EQ(write(keyboard.master, "\x01", 1), 1);
    const ChildResult r = term.wait();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "Connected to " + box.server.url() +
                         (telnet() ? " at 57600 baud." : " (line settings: the server's).") +
                         " Press Ctrl-A (0x01) to end the session.\n\nGot escape char, exitting\n");
}

INSTANTIATE_TEST_SUITE_P(BothModes, Remote, testing::Values(Ser2net::Mode::Telnet, Ser2net::Mode::Raw),
                         [](const auto& info) { return info.param == Ser2net::Mode::Telnet ? "Rfc2217" : "Raw"; });

// Needs no server: a malformed name is refused before anything is opened.
TEST(RemoteNames, MalformedUrlIsAPortThatCannotBeOpened)
{
    const struct {
        std::string url;
        std::string why;
    } cases[] = {
        {"rfc2217://box7", "no port number (HOST:PORT)"},
        {"telnet://box7:23", "unknown kind of port 'telnet://' (rfc2217://, tcp:// or socket://)"},
        {"tcp://box7:2001/dev/ttyS0", "'/dev/ttyS0' after the port number: nothing may follow it"},
        {"socket://box7:99999", "port 99999 is not a number from 1 to 65535"},
    };
    const std::string result = tempPath("remote-result");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.url);
        Child check({checkPath(), "--feedback", c.url, "--channel", "101", "--distinct-status", "--result", result});
        const ChildResult r = check.wait();
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "Opening feedback serial port failed: " + c.url + ": " + c.why + "\n");
        EXPECT_EQ(outcomeOf(result), "port-failed");
        for (const char* program : {QUARVO_MONITOR_PATH, QUARVO_TERM_PATH}) {
            Child other({program, c.url});
            const ChildResult o = other.wait();
            EXPECT_EQ(o.status, 1) << program;
            EXPECT_EQ(o.err, "Opening serial port failed: " + c.url + ": " + c.why + "\n") << program;
        }
    }
    unlink(result.c_str());
}

// The line's settings of a raw TCP port are its server's: a speed asked for
// is a usage error, before anything is opened.
TEST(RemoteNames, BaudWithARawTcpPortIsRefused)
{
    const struct {
        const char* program;
        int status;
    } cases[] = {{QUARVO_MONITOR_PATH, 2}, {QUARVO_TERM_PATH, 1}};
    for (const auto& c : cases) {
        Child child({c.program, "tcp://127.0.0.1:1", "--baud", "9600"});
        const ChildResult r = child.wait();
        EXPECT_EQ(r.status, c.status) << c.program;
        EXPECT_EQ(r.err.substr(0, r.err.find('\n') + 1),
                  std::string(c.program) +
                      ": --baud: a raw TCP port's line settings are its server's: tcp://127.0.0.1:1\n");
    }
}

std::string lineState(int bits)
{
    return bytes({TELNET_IAC, TELNET_SB, TELNET_COM_PORT, 106, bits, TELNET_IAC, TELNET_SE});
}

// Plays an RFC 2217 server's part until the client has asked for its line
// state mask, then confirms 57600 8N1. False when the client went away.
bool confirmSettings(int client)
{
    constexpr int IAC = TELNET_IAC;
    constexpr int SB = TELNET_SB;
    constexpr int SE = TELNET_SE;
    constexpr int COM = TELNET_COM_PORT;
    const std::string greeting = bytes({IAC, TELNET_WILL, 0, IAC, TELNET_DO, 0, IAC, TELNET_DO, COM});
    const std::string maskRequest = bytes({IAC, SB, COM, 10});
    const std::string acks = bytes({IAC, SB, COM, 101, 0, 0, 0xE1, 0, IAC, SE, IAC, SB, COM, 102, 8, IAC, SE,
                                    IAC, SB, COM, 103, 1, IAC, SE, IAC, SB, COM, 104, 1, IAC, SE});
    std::string got;
    char chunk[256];
    ssize_t n = send(client, greeting.data(), greeting.size(), MSG_NOSIGNAL);
    while (n > 0 && got.find(maskRequest) == std::string::npos) {
        n = recv(client, chunk, sizeof chunk, 0);
        got.append(chunk, static_cast<size_t>(std::max<ssize_t>(n, 0)));
    }
    return n > 0 && send(client, acks.data(), acks.size(), MSG_NOSIGNAL) > 0;
}

// A loopback server whose `serve` plays each client's part in turn.
class FakeServer {
public:
    FakeServer(std::string scheme, std::function<void(int client)> serve) : scheme_(std::move(scheme))
    {
        listener_ = listenOnLoopback(&port_);
        thread_ = std::thread([this, serve = std::move(serve)] {
            for (int client; (client = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC)) >= 0; close(client))
                serve(client);
        });
    }
    ~FakeServer()
    {
        shutdown(listener_, SHUT_RDWR);
        thread_.join();
        close(listener_);
    }
    FakeServer(const FakeServer&) = delete;
    FakeServer& operator=(const FakeServer&) = delete;
    std::string url() const { return scheme_ + "://127.0.0.1:" + std::to_string(port_); }

private:
    std::string scheme_;
    int listener_ = -1;
    int port_ = 0;
    std::thread thread_;
};

// An RFC 2217 server that confirms the settings, then reports line errors
// around one packet: break and framing, then framing and overrun. ser2net
// on a pseudo-terminal never sees a line error, so this one stands in.
struct LineErrorServer : FakeServer {
    explicit LineErrorServer(const std::string& packetBytes)
        : FakeServer("rfc2217", [packetBytes](int client) {
              if (!confirmSettings(client))
                  return;
              const std::string reply = lineState(0x18) + packetBytes + lineState(0x0A);
              send(client, reply.data(), reply.size(), MSG_NOSIGNAL);
              char chunk[256];
              while (recv(client, chunk, sizeof chunk, 0) > 0) {
              }
          })
    {
    }
};

// Each kind of line error is shown once: the check and the terminal on the
// standard error, the monitor as a report line in its text and JSON forms.
TEST(RemoteLineErrors, EachKindIsShownOnce)
{
    LineErrorServer server(packet({{"SSCN", "101"}}));
    Child check({checkPath(), "--feedback", server.url(), "--channel", "101", "--timeout", "20"});
    const ChildResult r = check.wait();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "Current channel '101' [correct]\n");
    // Framing, reported twice, is shown once.
    EXPECT_EQ(r.err, server.url() + ": the server reported on the line: break, framing error, overrun error\n");

    const struct {
        const char* form;
        std::string out;
    } monitors[] = {
        {"--duration=20", "T report the server reported on the line: break, framing error, overrun error\nT packet "
                          "SSCN=101\n"},
        {"--json", "{\"time\":T,\"type\":\"report\",\"text\":\"the server reported on the line: break, framing "
                   "error, overrun error\"}\n{\"time\":T,\"type\":\"packet\",\"records\":[{\"code\":\"SSCN\",\"value\":\"101\"}]}\n"},
    };
    for (const auto& m : monitors) {
        Child monitor({QUARVO_MONITOR_PATH, server.url(), "--count", "1", m.form});
        const ChildResult o = monitor.wait();
        EXPECT_EQ(o.status, 0) << o.err;
        EXPECT_EQ(std::regex_replace(o.out, std::regex("[0-9]+\\.[0-9]{6}"), "T"), m.out);
    }

    Keyboard keyboard;
    Child term({QUARVO_TERM_PATH, server.url(), "--escape", "^A"}, keyboard.slave);
    const std::string shown = "\nThe server reported on the line: break, framing error, overrun error\n";
    EXPECT_TRUE(waitUntil([&] { return term.errSoFar().find(shown) != std::string::npos || !term.running(); })) << term.errSoFar();
    ASSERT_TRUE(waitUntil([&] { return keyboard.raw() || !term.running(); }));
    ASSERT_EQ(write(keyboard.master, "\x01", 1), 1);
    const ChildResult t = term.wait();
    EXPECT_EQ(t.status, 0);
    EXPECT_EQ(t.err.find(shown), t.err.rfind(shown)) << t.err;
}

// Line errors reported together with the confirmation of the settings are
// shown even when no data ever follows.
TEST(RemoteLineErrors, ShownWithoutWaitingForData)
{
    LineErrorServer server("");
    Child check({checkPath(), "--feedback", server.url(), "--channel", "101", "--timeout", "1"});
    const ChildResult r = check.wait();
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "select timed out\nFailed reading response from quarvo box.\n");
    EXPECT_EQ(r.err, server.url() + ": the server reported on the line: break, framing error, overrun error\n");
}

// Servers that never stop sending, so that the socket is always readable:
// data, or nothing but Telnet (which yields no byte for the reader).
TEST(RemoteFlood, NeverHoldsTheCheckPastItsDeadline)
{
    const std::string data(64 * 1024, 'A');
    std::string reports;
    std::string nops;
    while (reports.size() < data.size()) {
        reports += lineState(0);
        nops += bytes({TELNET_IAC, TELNET_NOP});
    }
    const struct {
        const char* what;
        const char* scheme;
        std::string opening; // after the settings are confirmed (rfc2217)
        std::string flood;
    } cases[] = {
        {"data", "tcp", "", data},
        {"line state reports", "rfc2217", "", reports},
        {"IAC NOP", "rfc2217", "", nops},
        {"an unterminated subnegotiation", "rfc2217", bytes({TELNET_IAC, TELNET_SB, TELNET_COM_PORT, 106}), data},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const bool telnet = std::string_view(c.scheme) == "rfc2217";
        FakeServer server(c.scheme, [&c, telnet](int client) {
            if (telnet && (!confirmSettings(client) ||
                           send(client, c.opening.data(), c.opening.size(), MSG_NOSIGNAL) < 0))
                return;
            while (send(client, c.flood.data(), c.flood.size(), MSG_NOSIGNAL) > 0) {
            }
        });
        const std::string result = tempPath("flood-result");
        Child check(
            {checkPath(), "--feedback", server.url(), "--channel", "101", "--timeout", "2", "--result", result});
        const ChildResult r = check.wait(std::chrono::seconds(60));
        EXPECT_EQ(r.status, 1);
        // Nothing but Telnet ends as a silent port does.
        if (telnet) {
            EXPECT_EQ(r.out, "select timed out\n" + NoResponse);
        }
        EXPECT_EQ(outcomeOf(result), "no-answer");
        const std::string json = readFile(result);
        std::smatch elapsed;
        ASSERT_TRUE(std::regex_search(json, elapsed, std::regex("\"elapsed_ms\":([0-9]+)")));
        EXPECT_LT(std::stoll(elapsed[1]), 10000) << "a generous bound a loaded machine cannot miss";
        unlink(result.c_str());
    }
}

} // namespace
