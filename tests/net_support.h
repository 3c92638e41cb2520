// Loopback sockets, and the byte tables the tests send over them.
#pragma once

#include <initializer_list>
#include <string>

// A TCP socket bound to a free port on 127.0.0.1; *port receives its number.
int bindLoopback(int* port);
// The same, listening with room for `backlog` connections not yet accepted.
int listenOnLoopback(int* port, int backlog = 4);
// A socket connected (blocking) to 127.0.0.1:port, or -1.
int connectToLoopback(int port);

// A TCP port on 127.0.0.1 free a moment ago (bound to port 0, then closed).
int pickFreePort();

// Whether something listens on 127.0.0.1:port.
bool listeningOn(int port);
// Whether a connection to 127.0.0.1:port is waiting for its answer (SYN-SENT).
bool connecting(int port);

// The bytes of `values`, each 0 to 255.
std::string bytes(std::initializer_list<int> values);
// Every byte value once, 0 to 255.
std::string allByteValues();
