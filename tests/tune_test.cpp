// The stand-in box tuned through its FIFO: the packets a channel change
// brings, in order, as a check on the port sees them.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

#include "packet.h"
#include "pty_support.h"

namespace {

std::string packet(const std::vector<SimRecord>& records)
{
    std::string error;
    return encodePacket(records, {}, &error);
}

// The box's port as its reader: the packets it has sent so far, one each.
class PortReader {
public:
    explicit PortReader(const std::string& path) : fd_(open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK)) {}
    ~PortReader() { close(fd_); }
    PortReader(const PortReader&) = delete;
    PortReader& operator=(const PortReader&) = delete;

    // Waits until a packet equal to `wanted` has come, packets[from] or
    // later; false if none did.
    bool waitFor(const std::string& wanted, size_t from = 0)
    {
        return waitUntil([&] {
            take();
            return from < packets.size() && std::find(packets.begin() + static_cast<long>(from), packets.end(),
                                                      wanted) != packets.end();
        });
    }

    std::vector<std::string> packets;

private:
    void take()
    {
        char chunk[512];
        ssize_t n;
        while ((n = read(fd_, chunk, sizeof chunk)) > 0)
            bytes_.append(chunk, static_cast<size_t>(n));
        // Each packet starts with a line feed; a complete one is followed by the next.
        size_t next;
        while (bytes_.size() > 1 && (next = bytes_.find('\n', 1)) != std::string::npos) {
            packets.push_back(bytes_.substr(0, next));
            bytes_.erase(0, next);
        }
    }

    int fd_;
    std::string bytes_;
};

void tune(const std::string& fifo, const std::string& line)
{
    const int fd = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
    ASSERT_GE(fd, 0) << fifo;
    ASSERT_EQ(write(fd, line.data(), line.size()), static_cast<ssize_t>(line.size()));
    close(fd);
}

// The packets after `from`, with runs of one packet over and over said once.
std::vector<std::string> changesAfter(const std::vector<std::string>& packets, size_t from)
{
    std::vector<std::string> changes;
    for (size_t i = from; i < packets.size(); ++i)
        if (changes.empty() || changes.back() != packets[i])
            changes.push_back(packets[i]);
    return changes;
}

bool exists(const std::string& path)
{
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}

TEST(Tune, ChannelChangesComeInTheBoxsOrder)
{
    const std::string dir = tempDir("quarvo-tune");
    const std::string fifo = dir + "/box.ctl";
    Child sim({QUARVO_SIM_PATH, "--record", "SSCN=101", "--tune-from", fifo, "--interval", "50", "--zap-ms", "300",
               "--zap-fail", "7,330"});
    const std::string port = firstLineOf(sim);
    ASSERT_EQ(port.rfind("/dev/pts/", 0), 0u) << port;
    struct stat st {};
    ASSERT_EQ(lstat(fifo.c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    PortReader reader(port);
    ASSERT_TRUE(reader.waitFor(packet({{"SSCN", "101"}})));

    // A change: said at once, the old channel until it is done, then the new.
    size_t from = reader.packets.size();
    const auto asked = std::chrono::steady_clock::now();
    tune(fifo, "205\n");
    ASSERT_TRUE(reader.waitFor(packet({{"SSCN", "205"}})));
    EXPECT_GE(std::chrono::steady_clock::now() - asked, std::chrono::milliseconds(300));
    std::vector<std::string> changes = changesAfter(reader.packets, from);
    if (!changes.empty() && changes.front() == packet({{"SSCN", "101"}}))
        changes.erase(changes.begin()); // sent before the box read the FIFO
    EXPECT_EQ(changes, (std::vector<std::string>{packet({{"CE00", "205"}}), packet({{"SSCN", "101"}}),
                                                 packet({{"SSCN", "205"}})}));

    // Lines that are no channel are said and passed over; a failing change
    // ends in a channel error, the channel unchanged.
    from = reader.packets.size();
    tune(fifo, "abc\n" + std::string(100, '9') + "\nx\x01\n330\n");
    const std::string failed = packet({{"SSCN", "205"}, {"CEER", "330"}});
    ASSERT_TRUE(reader.waitFor(failed, from));
    ASSERT_TRUE(reader.waitFor(packet({{"SSCN", "205"}}), reader.packets.size()));
    changes = changesAfter(reader.packets, from);
    if (!changes.empty() && changes.front() == packet({{"SSCN", "205"}}))
        changes.erase(changes.begin());
    EXPECT_EQ(changes, (std::vector<std::string>{packet({{"CE00", "330"}}), packet({{"SSCN", "205"}}), failed,
                                                 packet({{"SSCN", "205"}})}));

    kill(sim.pid(), SIGTERM);
    const ChildResult r = sim.wait(std::chrono::seconds(10));
    EXPECT_EQ(r.status, 128 + SIGTERM);
    EXPECT_NE(r.err.find("not a channel: abc\n"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("not a channel: x[01]\n"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("a line longer than 64 bytes passed over"), std::string::npos) << r.err;
    EXPECT_FALSE(exists(fifo));
    rmdir(dir.c_str());
}

TEST(Tune, ANewChannelReplacesThePendingChange)
{
    const std::string dir = tempDir("quarvo-tune");
    const std::string fifo = dir + "/box.ctl";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0); // one that exists is taken
    Child sim({QUARVO_SIM_PATH, "--record", "SSCN=101", "--tune-from", fifo, "--interval", "50", "--zap-ms",
               "200-400", "--count", "1000"});
    const std::string port = firstLineOf(sim);
    PortReader reader(port);
    ASSERT_TRUE(reader.waitFor(packet({{"SSCN", "101"}})));
    tune(fifo, "205\n330\n");
    ASSERT_TRUE(reader.waitFor(packet({{"SSCN", "330"}})));
    EXPECT_TRUE(reader.waitFor(packet({{"CE00", "205"}})));
    EXPECT_EQ(std::count(reader.packets.begin(), reader.packets.end(), packet({{"SSCN", "205"}})), 0);
    kill(sim.pid(), SIGINT);
    sim.wait(std::chrono::seconds(10));
    EXPECT_FALSE(exists(fifo));
    rmdir(dir.c_str());
}

TEST(Tune, TheFifoGoesWhenTheBoxEnds)
{
    const std::string dir = tempDir("quarvo-tune");
    const std::string fifo = dir + "/box.ctl";
    Child sim({QUARVO_SIM_PATH, "--record", "SSCN=101", "--tune-from", fifo, "--count", "1", "--linger", "0"});
    EXPECT_EQ(sim.wait(std::chrono::seconds(10)).status, 0);
    EXPECT_FALSE(exists(fifo));
    rmdir(dir.c_str());
}

TEST(Tune, BadCommandLinesAreRefused)
{
    const std::string dir = tempDir("quarvo-tune");
    const std::string file = dir + "/plain";
    std::ofstream(file) << "mine\n";
    const struct {
        std::vector<std::string> args;
        int status;
        const char* says;
    } cases[] = {
        {{"--tune-from", file}, 1, "exists and is not a FIFO"},
        {{"--zap-ms", "100"}, 2, "--zap-ms goes with --tune-from"},
        {{"--zap-fail", "7"}, 2, "--zap-fail goes with --tune-from"},
        {{"--tune-from", dir + "/f", "--zap-ms", "500-100"}, 2, "--zap-ms: not MS or MIN-MAX"},
        {{"--tune-from", dir + "/f", "--zap-ms", "3600001"}, 2, "--zap-ms: not MS or MIN-MAX"},
        {{"--tune-from", dir + "/f", "--zap-fail", "7,,8"}, 2, "--zap-fail: not a list of channels"},
        {{"--tune-from", dir + "/f", "--zap-fail", "-7"}, 2, "--zap-fail: not a list of channels"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> argv{QUARVO_SIM_PATH, "--record", "SSCN=101"};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        Child sim(argv);
        const ChildResult r = sim.wait(std::chrono::seconds(10));
        EXPECT_EQ(r.status, c.status) << c.says;
        EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
        EXPECT_EQ(r.out, "") << c.says;
    }
    Child raw({QUARVO_SIM_PATH, "--raw", file, "--tune-from", dir + "/f"});
    EXPECT_EQ(raw.wait(std::chrono::seconds(10)).status, 2);
    EXPECT_EQ(readFile(file), "mine\n");
    EXPECT_EQ(filesIn(dir), std::vector<std::string>{"plain"});
    unlink(file.c_str());
    rmdir(dir.c_str());
}

} // namespace
