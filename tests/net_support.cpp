#include "net_support.h"

#include <cstdio>
#include <fstream>
#include <netinet/in.h>
#include <sstream>
#include <sys/socket.h>
#include <unistd.h>

namespace {

sockaddr_in loopback(int port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    return address;
}

// Whether /proc/net/tcp has a socket in `state` whose local (or, with
// remoteSide, remote) address is 127.0.0.1:port. Rows: "sl local_address
// rem_address st ...", addresses as hex IP:PORT. Looking here rather than
// connecting keeps a server's one client slot free.
bool inTcpTable(int port, bool remoteSide, const char* state)
{
    char wanted[32];
    std::snprintf(wanted, sizeof wanted, "0100007F:%04X", static_cast<unsigned>(port));
    std::ifstream table("/proc/net/tcp");
    std::string line;
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, st;
        if (fields >> slot >> local >> remote >> st && (remoteSide ? remote : local) == wanted && st == state)
            return true;
    }
    return false;
}

} // namespace

int bindLoopback(int* port)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = loopback(0);
    socklen_t length = sizeof address;
    *port = 0;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        *port = ntohs(address.sin_port);
    return fd;
}

int listenOnLoopback(int* port, int backlog)
{
    const int fd = bindLoopback(port);
    listen(fd, backlog);
    return fd;
}

int connectToLoopback(int port)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in address = loopback(port);
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0)
        return fd;
    close(fd);
    return -1;
}

int pickFreePort()
{
    int port = 0;
    close(bindLoopback(&port));
    return port;
}

bool listeningOn(int port) { return inTcpTable(port, false, "0A"); }

bool connecting(int port) { return inTcpTable(port, true, "02"); }

std::string bytes(std::initializer_list<int> values)
{
    std::string out;
    for (const int v : values)
        out += static_cast<char>(v);
    return out;
}

std::string allByteValues()
{
    std::string all;
    for (int b = 0; b < 256; ++b)
        all += static_cast<char>(b);
    return all;
}
