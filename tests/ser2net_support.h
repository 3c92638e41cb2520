// A real serial server for the tests: ser2net in the foreground on
// 127.0.0.1, with a configuration the test writes, serving a pseudo-terminal.
#pragma once

#include <sys/types.h>
#include <string>
#include <vector>

#include "net_support.h"
#include "port.h"
#include "pty_support.h"

// Parses `name` and opens it, stepping its opening until it is done, as a
// command's feed does (without ending signals). Null on failure, with *error
// filled in.
Port* openPort(const std::string& name, const PortOptions& options, PortError* error);

// The ser2net program, or empty when it is not installed.
std::string ser2netPath();

#define SKIP_WITHOUT_SER2NET()                                                                                   \
    do {                                                                                                         \
        if (ser2netPath().empty())                                                                               \
            GTEST_SKIP() << "ser2net is not installed (setup/packages.sh installs it)";                        \
    } while (false)

class Ser2net {
public:
    enum class Mode { Telnet, Raw };
    // Serves `device` (a pty slave path; it need not exist) on a port picked
    // now, kept across restarts. charDelay: ser2net's own batching of the
    // device's bytes, off unless asked for.
    Ser2net(std::string device, Mode mode, bool kickOldUser = false, bool charDelay = false);
    // Serves each device on a port of its own, in one server.
    Ser2net(std::vector<std::string> devices, Mode mode, bool charDelay = false);
    ~Ser2net();
    Ser2net(const Ser2net&) = delete;
    Ser2net& operator=(const Ser2net&) = delete;

    // Starts the server and waits until it listens. False if it did not.
    bool start();
    // SIGTERM, then SIGKILL if it lingers; waits for the end.
    void stop();
    bool running();

    int port() const { return ports_[0]; }
    pid_t pid() const { return pid_; }
    // "rfc2217://127.0.0.1:PORT" or "tcp://127.0.0.1:PORT" of the device
    // given at `index`.
    std::string url(size_t index = 0) const;
    // What the server logged so far.
    std::string log() const;

private:
    std::vector<std::string> devices_;
    Mode mode_;
    bool kickOldUser_;
    bool charDelay_;
    std::vector<int> ports_;
    std::string config_;
    std::string logPath_;
    pid_t pid_ = -1;
};
