#include "ser2net_support.h"

#include <csignal>
#include <memory>
#include <poll.h>
#include <fstream>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

Port* openPort(const std::string& name, const PortOptions& options, PortError* error)
{
    PortName parsed;
    std::string why;
    EXPECT_TRUE(Port_parseName(name, &parsed, &why)) << why;
    const std::unique_ptr<PortOpening, void (*)(PortOpening*)> opening{
        PortOpening_start(parsed, name, options), PortOpening_destroy};
    for (short revents = 0;;) {
        const int rc = PortOpening_step(opening.get(), revents, error);
        if (rc != 0)
            return rc > 0 ? PortOpening_take(opening.get()) : nullptr;
        pollfd want{};
        Deadline wakeAt;
        PortOpening_interest(opening.get(), &want, &wakeAt);
        revents = poll(&want, 1, Deadline_pollMs(wakeAt, Clock_now())) > 0 ? want.revents : 0;
    }
}

std::string ser2netPath()
{
    for (const char* candidate : {"/usr/sbin/ser2net", "/usr/bin/ser2net", "/usr/local/sbin/ser2net"}) {
        if (access(candidate, X_OK) == 0)
            return candidate;
    }
    return {};
}

Ser2net::Ser2net(std::string device, Mode mode, bool kickOldUser, bool charDelay)
    : devices_{std::move(device)}, mode_(mode), kickOldUser_(kickOldUser), charDelay_(charDelay),
      ports_{pickFreePort()}, config_(tempPath("ser2net-yaml")), logPath_(tempPath("ser2net-log"))
{
}

Ser2net::Ser2net(std::vector<std::string> devices, Mode mode, bool charDelay)
    : devices_(std::move(devices)), mode_(mode), kickOldUser_(false), charDelay_(charDelay),
      config_(tempPath("ser2net-yaml")), logPath_(tempPath("ser2net-log"))
{
    // Each one held until all are picked, so that no two are the same.
    std::vector<int> held;
    for (size_t i = 0; i < devices_.size(); ++i) {
        int port = 0;
        held.push_back(bindLoopback(&port));
        ports_.push_back(port);
    }
    for (const int fd : held)
        close(fd);
}

Ser2net::~Ser2net()
{
    stop();
    unlink(config_.c_str());
    unlink(logPath_.c_str());
}

std::string Ser2net::url(size_t index) const
{
    return (mode_ == Mode::Telnet ? "rfc2217://127.0.0.1:" : "tcp://127.0.0.1:") + std::to_string(ports_[index]);
}

bool Ser2net::start()
{
    stop();
    std::ofstream yaml(config_, std::ios::trunc);
    yaml << "%YAML 1.1\n---\n";
    for (size_t i = 0; i < devices_.size(); ++i) {
        yaml << "connection: &box" << i << "\n"
             << "    accepter: " << (mode_ == Mode::Telnet ? "telnet(rfc2217),tcp,127.0.0.1," : "tcp,127.0.0.1,")
             << ports_[i] << "\n"
             << "    connector: serialdev(nouucplock=true)," << devices_[i] << ",57600n81,local,nobreak\n"
             << "    timeout: 0\n"
             << "    options:\n"
             << "      max-connections: 1\n"
             << (charDelay_ ? "" : "      chardelay: false\n")
             << (kickOldUser_ ? "      kickolduser: true\n" : "");
    }
    yaml.close();
    // Started directly, not as a Child: a cross build's emulator is for the
    // project's own programs, and this one is the machine's.
    const std::string program = ser2netPath();
    // -d: in the foreground, logging to its output; -n: no default
    // configuration (it names the machine's own serial port).
    const char* argv[] = {program.c_str(), "-d", "-n", "-c", config_.c_str(), nullptr};
    pid_ = fork();
    if (pid_ == 0) {
        const int in = open("/dev/null", O_RDONLY);
        const int log = open(logPath_.c_str(), O_WRONLY | O_TRUNC);
        dup2(in, STDIN_FILENO);
        dup2(log, STDOUT_FILENO);
        dup2(log, STDERR_FILENO);
        setsid();
        execv(argv[0], const_cast<char* const*>(argv));
        _exit(127);
    }
    const auto allListening = [this] {
        for (const int port : ports_) {
            if (!listeningOn(port))
                return false;
        }
        return true;
    };
    return pid_ > 0 && waitUntil([&] { return allListening() || !running(); }, std::chrono::seconds(10)) &&
           running();
}

void Ser2net::stop()
{
    if (pid_ <= 0)
        return;
    kill(pid_, SIGTERM);
    // Ends within milliseconds as a rule (exit status 1 is its normal way);
    // killed if it lingers.
    if (!waitUntil([this] { return waitpid(pid_, nullptr, WNOHANG) == pid_; }, std::chrono::seconds(5))) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    pid_ = -1;
    waitUntil([this] { return !listeningOn(ports_[0]); }, std::chrono::seconds(5));
}

bool Ser2net::running()
{
    if (pid_ <= 0)
        return false;
    siginfo_t info{};
    return !(waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid_);
}

std::string Ser2net::log() const { return readFile(logPath_); }
