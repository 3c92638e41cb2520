// Signals that end a program (Ctrl-C, kill, a closed window or pipe), taken
// so that it ends at its next wait with its terminal, files and output
// complete, and then as the signal would have ended it.
#pragma once

#include <csignal>
#include <poll.h>

// Installs `handler` for each of the `count` signals that was not ignored at
// start (as under nohup: those stay ignored), without restarting interrupted
// calls, so a write stuck on output nobody takes gives way. Adds each to
// *caught; the previous actions go to previous[i] when previous is not null.
void endingSignals_catch(const int* signals, int count, void (*handler)(int), sigset_t* caught,
                         struct sigaction* previous);

// For the handler (async-signal-safe): from now on a stuck write is
// interrupted once a second, until endingSignals_stopNudges().
void endingSignals_nudgeWrites();
void endingSignals_stopNudges();

// ppoll with the `caught` signals let through only inside the wait, so that
// none is missed between a look at *stop and the wait: -1 with EINTR, at
// once, when *stop is set.
int endingSignals_wait(pollfd* fds, nfds_t count, const timespec* timeout, const sigset_t* caught,
                       const volatile sig_atomic_t* stop);

// Writes out what the standard output holds, unless nobody takes it (a
// stopped pager, a closed pipe): then it is let go rather than waited for.
void endingSignals_flushOutput();

// --- Added for quarvo-fleet: starting children and ending as a signal would.

// For a child between fork and exec: every signal takes its default action
// (ignored ones included) and none is blocked, as for a program started
// afresh. Async-signal-safe.
void endingSignals_defaultsForChild();

// Ends the process as `signo` ends a program that does not catch it: its
// default action, unblocked, then raised; status 128 + signo should the
// signal not end it (one whose default is to be ignored).
[[noreturn]] void endingSignals_endAs(int signo);
