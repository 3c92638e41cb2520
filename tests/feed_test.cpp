// The feed in-process, over real pseudo-terminals: stamps, several feeds in
// one loop, a port lost and reopened, and what its capture records.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <csignal>
#include <functional>
#include <memory>
#include <poll.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "capture.h"
#include "capture_support.h"
#include "ending_signals.h"
#include "feed.h"
#include "net_support.h"
#include "pty_support.h"

namespace {

struct FeedCloser {
    void operator()(Feed* feed) const { Feed_destroy(feed); }
};
using FeedPtr = std::unique_ptr<Feed, FeedCloser>;

FeedPtr feedFor(const std::string& path, const FeedOptions& options = {})
{
    PortName name;
    name.path = path;
    FeedPtr feed(Feed_create(name, path, options));
    // A test that goes wrong ends at a deadline rather than hanging.
    Feed_setDeadline(feed.get(), Deadline_after(Clock_now(), 30 * CLOCK_SECOND));
    return feed;
}

FeedPtr openFeed(const Pty& pty)
{
    FeedPtr feed = feedFor(pty.path());
    PortError error;
    EXPECT_TRUE(Feed_open(feed.get(), DEADLINE_NEVER, &error)) << error.text;
    return feed;
}

FeedEvent next(Feed* feed)
{
    FeedEvent event;
    Feed_wait(feed, &event);
    return event;
}

std::string bytesOf(const FeedEvent& event) { return {event.bytes, event.size}; }

// The next `size` bytes, however many reads bring them, and the first
// read's stamp: the time a capture gives them.
std::string readBytes(Feed* feed, size_t size, int64_t* stamp)
{
    std::string got;
    while (got.size() < size) {
        const FeedEvent event = next(feed);
        EXPECT_EQ(event.kind, FeedEventKind::Data);
        if (event.kind != FeedEventKind::Data)
            break;
        if (got.empty())
            *stamp = event.stamp;
        got += bytesOf(event);
    }
    return got;
}

TEST(Feed, EveryReadIsStampedAtTheReadAndTheStampTravelsWithItsBytes)
{
    Pty pty;
    const FeedPtr feed = openFeed(pty);
    int64_t last = Clock_now();
    for (const std::string text : {"first", "second", "third"}) {
        ASSERT_TRUE(pty.write(text));
        const int64_t before = Clock_now();
        int64_t stamp = 0;
        EXPECT_EQ(readBytes(feed.get(), text.size(), &stamp), text);
        EXPECT_GT(stamp, last);
        EXPECT_LE(stamp, Clock_now());
        EXPECT_GE(stamp, before) << "stamped at the read, which came after the write";
        last = stamp;
    }
}

// One turn of the way a command watching many boxes drives them: one poll,
// each feed stepped on its own readiness. The longest step is noted.
std::vector<FeedEvent> stepAll(const std::vector<Feed*>& feeds, int64_t* longestStep)
{
    std::vector<pollfd> fds(feeds.size());
    Deadline wake = DEADLINE_NEVER;
    for (size_t i = 0; i < feeds.size(); ++i) {
        Deadline at;
        Feed_interest(feeds[i], &fds[i], &at);
        wake = Deadline_sooner(wake, at);
    }
    timespec storage{};
    std::vector<FeedEvent> events(feeds.size());
    if (ppoll(fds.data(), fds.size(), Deadline_timespec(wake, Clock_now(), &storage), nullptr) < 0)
        return events;
    for (size_t i = 0; i < feeds.size(); ++i) {
        const int64_t before = Clock_now();
        Feed_step(feeds[i], fds[i].revents, &events[i]);
        *longestStep = std::max(*longestStep, Clock_now() - before);
    }
    return events;
}

TEST(Feed, TwoFeedsSteppedFromOnePollLoopEachGetTheirOwnBytes)
{
    std::array<Pty, 2> ptys;
    const std::array<FeedPtr, 2> feeds{openFeed(ptys[0]), openFeed(ptys[1])};
    const std::array<std::string, 2> sent{"to the first", "to the second, a longer text"};
    ASSERT_TRUE(ptys[1].write(sent[1]));
    ASSERT_TRUE(ptys[0].write(sent[0]));
    std::array<std::string, 2> got;
    int64_t longest = 0;
    const bool done = waitUntil([&] {
        const std::vector<FeedEvent> events = stepAll({feeds[0].get(), feeds[1].get()}, &longest);
        for (size_t i = 0; i < 2; ++i) {
            EXPECT_TRUE(events[i].kind == FeedEventKind::Data || events[i].kind == FeedEventKind::None);
            if (events[i].kind == FeedEventKind::Data)
                got[i] += bytesOf(events[i]);
        }
        return got == sent;
    });
    EXPECT_TRUE(done) << got[0] << " / " << got[1];
}

// An RFC 2217 server that takes the connection (its backlog does) and never
// answers, and a reconnecting feed for it that gives up after `nanos`.
struct SilentServer {
    int port = 0;
    int listener = listenOnLoopback(&port);
    std::string url = "rfc2217://127.0.0.1:" + std::to_string(port);
    SilentServer() = default;
    SilentServer(const SilentServer&) = delete;
    SilentServer& operator=(const SilentServer&) = delete;
    ~SilentServer() { close(listener); }

    FeedPtr feed(int64_t nanos) const
    {
        PortName name;
        std::string why;
        EXPECT_TRUE(Port_parseName(url, &name, &why)) << why;
        FeedOptions options;
        options.reconnect = true;
        FeedPtr feed(Feed_create(name, url, options));
        Feed_setDeadline(feed.get(), Deadline_after(Clock_now(), nanos));
        return feed;
    }
};

// A server that takes the connection and never confirms the line settings
// holds its own feed's opening for up to the negotiation's 5 s; stepped in
// the same loop, another feed reads on meanwhile.
TEST(Feed, AServerThatNeverConfirmsTheSettingsStallsNoOtherFeed)
{
    const SilentServer server;
    ASSERT_GE(server.listener, 0);
    const FeedPtr slow = server.feed(30 * CLOCK_SECOND);
    Pty pty;
    const FeedPtr fast = openFeed(pty);
    ASSERT_TRUE(pty.write("while the other opens"));
    std::string got;
    int64_t longest = 0;
    EXPECT_TRUE(waitUntil([&] {
        const std::vector<FeedEvent> events = stepAll({slow.get(), fast.get()}, &longest);
        EXPECT_NE(events[0].kind, FeedEventKind::Opened);
        if (events[1].kind == FeedEventKind::Data)
            got += bytesOf(events[1]);
        return got == "while the other opens";
    })) << got;
    EXPECT_EQ(Feed_port(slow.get()), nullptr);
    EXPECT_LT(longest, 2 * CLOCK_SECOND) << "a step waited on the server";
}

// With reconnect, a try still under way at the deadline is ended there and
// says why before the feed times out: the user learns what was wrong.
TEST(Feed, ATryCutShortByTheDeadlineSaysWhyBeforeItTimesOut)
{
    const SilentServer server;
    ASSERT_GE(server.listener, 0);
    const FeedPtr feed = server.feed(1200 * CLOCK_MILLISECOND);
    const FeedEvent waiting = next(feed.get());
    EXPECT_EQ(waiting.kind, FeedEventKind::Waiting);
    EXPECT_EQ(waiting.text, server.url + ": waiting for the port: the server did not confirm the line settings in the time allowed");
    EXPECT_EQ(next(feed.get()).kind, FeedEventKind::TimedOut);
}

// A device that vanishes and comes back under the same name (a USB adapter
// replugged): the feed notices, marks its capture, reopens and reads on;
// the capture's times are the stamps the feed handed out.
TEST(Feed, LostLocalPortWithReconnectComesBackAndTheCaptureHasTheStampedBytes)
{
    const std::string dir = tempDir();
    const std::string link = dir + "/box";
    const std::string capturePath = dir + "/box.cap";
    Capture* capture = Capture_open(capturePath.c_str(), "test", link.c_str(), 57600);
    auto first = std::make_unique<Pty>();
    ASSERT_EQ(symlink(first->path().c_str(), link.c_str()), 0);
    FeedOptions options;
    options.reconnect = true;
    options.capture = capture;
    const FeedPtr feed = feedFor(link, options);
    ASSERT_EQ(next(feed.get()).kind, FeedEventKind::Opened);
    Capture_start(capture, Feed_fd(feed.get()));
    const int64_t zero = Capture_zero(capture);

    ASSERT_TRUE(first->write("before"));
    int64_t before = 0;
    ASSERT_EQ(readBytes(feed.get(), 6, &before), "before");
    first.reset(); // the device vanishes
    unlink(link.c_str());
    const FeedEvent lost = next(feed.get());
    EXPECT_EQ(lost.kind, FeedEventKind::Lost);
    EXPECT_EQ(lost.text, "") << "a local port has no server to name";
    EXPECT_EQ(Feed_port(feed.get()), nullptr);

    Pty second;
    ASSERT_EQ(symlink(second.path().c_str(), link.c_str()), 0);
    const FeedEvent reopened = next(feed.get());
    ASSERT_EQ(reopened.kind, FeedEventKind::Opened);
    ASSERT_TRUE(second.write("after"));
    int64_t after = 0;
    ASSERT_EQ(readBytes(feed.get(), 5, &after), "after");
    EXPECT_EQ(Capture_close(capture, CAPTURE_CLOSE_WAIT_MS), 0u);

    const std::unique_ptr<CaptureLog> log = parseCapture(readFile(capturePath));
    ASSERT_NE(log, nullptr);
    ASSERT_EQ(log->count, 2u);
    ASSERT_EQ(log->markCount, 2u);
    const auto micros = [zero](int64_t stamp) { return stamp / 1000 - zero / 1000; };
    EXPECT_EQ(std::string(log->chunks[0].bytes, log->chunks[0].size), "before");
    EXPECT_EQ(log->chunks[0].offset, micros(before));
    EXPECT_EQ(log->marks[0].kind, CaptureMarkKind::Lost);
    EXPECT_EQ(log->marks[0].offset, micros(lost.stamp));
    EXPECT_EQ(log->marks[1].kind, CaptureMarkKind::Reopened);
    EXPECT_EQ(log->marks[1].offset, micros(reopened.stamp));
    EXPECT_EQ(log->marks[1].beforeChunk, 1u);
    EXPECT_EQ(log->chunks[1].offset, micros(after));
    unlink(capturePath.c_str());
    unlink(link.c_str());
    rmdir(dir.c_str());
}

// A port that is not there yet is reported once, then tried quietly until
// the deadline.
TEST(Feed, MissingPortWithReconnectIsAnnouncedOnceThenTimesOut)
{
    FeedOptions options;
    options.reconnect = true;
    const FeedPtr feed = feedFor("/nonexistent/tty", options);
    Feed_setDeadline(feed.get(), Deadline_after(Clock_now(), 1200 * CLOCK_MILLISECOND));
    const FeedEvent waiting = next(feed.get());
    EXPECT_EQ(waiting.kind, FeedEventKind::Waiting);
    EXPECT_EQ(waiting.text, "/nonexistent/tty: waiting for the port: No such file or directory");
    EXPECT_EQ(next(feed.get()).kind, FeedEventKind::TimedOut);
}

std::atomic<bool> lookupStarted = false;
int neverAnswers(const char*, const char*, const addrinfo*, addrinfo**)
{
    lookupStarted = true;
    for (;;)
        pause(); // the lookup thread takes no signal: it waits for the end of the child
}

// In a child of its own, as a command: the ending signals taken, SIGTERM
// sent at once or, from another thread, once `waiting` holds. Prints the
// error of opening `url` (for 60 s at most) and ends 0 when the opening
// failed as interrupted.
void openUntilSignalled(const std::string& url, PortResolver resolver, const std::function<bool()>& waiting)
{
    endingSignals_start(true);
    std::thread signaller([&waiting] {
        sigset_t all;
        sigfillset(&all);
        pthread_sigmask(SIG_BLOCK, &all, nullptr); // the waiting thread takes it, as in a command
        if (waiting)
            waitUntil(waiting);
        kill(getpid(), SIGTERM);
    });
    if (!waiting)
        signaller.join(); // caught before the opening starts
    PortName name;
    std::string why;
    Port_parseName(url, &name, &why);
    FeedOptions options;
    options.port.resolver = resolver;
    Feed* feed = Feed_create(name, url, options);
    PortError error;
    const bool opened = Feed_open(feed, Deadline_after(Clock_now(), 60 * CLOCK_SECOND), &error);
    if (signaller.joinable())
        signaller.join();
    std::fprintf(stderr, "%s\n", opened ? "opened" : error.text.c_str());
    std::_Exit(!opened && error.failure == PortFailure::Interrupted ? 0 : 1);
}

// An ending signal ends an opening wherever it waits, and one that came
// first fails a remote opening at once; a local device still opens.
TEST(FeedDeathTest, AnEndingSignalEndsTheOpening)
{
    int blackHole = 0;
    const int listener = listenOnLoopback(&blackHole, 0);
    const int filler = connectToLoopback(blackHole); // takes the one place: further connections get no answer
    const std::string hole = "tcp://127.0.0.1:" + std::to_string(blackHole);
    EXPECT_EXIT(openUntilSignalled("tcp://stuck.lab:2000", neverAnswers, [] { return lookupStarted.load(); }),
                testing::ExitedWithCode(0), "^tcp://stuck.lab:2000: interrupted\n$");
    EXPECT_EXIT(openUntilSignalled(hole, nullptr, [blackHole] { return connecting(blackHole); }),
                testing::ExitedWithCode(0), "^" + hole + ": interrupted\n$");
    EXPECT_EXIT(openUntilSignalled("tcp://127.0.0.1:1", nullptr, nullptr), testing::ExitedWithCode(0),
                "^tcp://127.0.0.1:1: interrupted\n$");
    close(filler);
    close(listener);
    Pty pty;
    EXPECT_EXIT(openUntilSignalled(pty.path(), nullptr, nullptr), testing::ExitedWithCode(1), "^opened\n$");
}

} // namespace
