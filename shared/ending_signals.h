// How a command ends: the one list of signals that end it, and the one
// policy for them. A signal is noted, not acted on: the command ends at its
// next wait, cleans up in one place, then ends as its manual says.
//
// Output nobody takes (a stopped pager, a pipe or FIFO nobody reads) follows
// one rule: from the command's deadline on, or at once after an ending
// signal, output that makes no progress for 100 ms is let go (output stuck
// since before the deadline goes at the deadline itself); without a
// deadline, output is waited for until a signal comes. What is let go is
// lost, counted and reported once. Blocking writes on descriptors 1 and 2
// (stdio, so the check's log and the terminal's screen too) are let go by a
// timer of the process's own: while the rule applies it looks at both every
// 100 ms and points one unwritable on two looks at /dev/null, ending the
// stuck write. A writer that must never block (the capture's file, the
// fleet's output) asks endingSignals_outputLimit when to give up instead.
// One timer rather than a queue per stream keeps stdio's buffering as is.
#pragma once

#include "clock.h"

#include <array>
#include <csignal>
#include <ctime>
#include <poll.h>
#include <span>
#include <string_view>

// Ctrl-C, kill, a closed window, Ctrl-\, a closed pipe, an outside alarm.
inline constexpr std::array<int, 6> ENDING_SIGNALS{SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE, SIGALRM};

// Takes every ending signal not ignored at start (as under nohup). With
// closedPipeEnds false, SIGPIPE is ignored, so a closed pipe is a failed
// write. Keeps a copy of the standard error for reports that must reach the
// caller once a log has taken descriptor 2. Call once, early.
void endingSignals_start(bool closedPipeEnds);

// The ending signal that arrived first, or 0.
int endingSignals_caught();

// endingSignals_wait with the signals and flag of endingSignals_start.
int endingSignals_waitFor(pollfd* fds, nfds_t count, const timespec* timeout);

// The command's deadline, from which the rule applies.
void endingSignals_limitWrites(Deadline deadline);
// For a writer that never blocks: when output that last moved at `moved`
// (Clock_now()) is given up under the rule; never while it does not apply.
Deadline endingSignals_outputLimit(int64_t moved);

// Whether output on descriptor 1 or 2 was lost: the descriptor was let go,
// or a write to it was cut short by an ending signal.
bool endingSignals_outputLost(int fd);

// A write to descriptor `fd` failed with `error`: one an ending signal cut
// short lost what it held (stdio keeps nothing of it), and counts as lost.
void endingSignals_noteFailedWrite(int fd, int error);

// Writes a report to the original standard error, never waiting long.
void endingSignals_report(std::string_view text);
// "PROGRAM: WHAT was not taken in time: the rest of it is lost", reported so.
void endingSignals_reportOutputLost(std::string_view program, std::string_view what = "the output");

// Ends the process as `signo` ends a program that does not catch it.
// Buffered output is not written: flush first.
[[noreturn]] void endingSignals_endAs(int signo);

// The building blocks, for a command with a handler of its own.

// Installs `handler`, without restart (a stuck write gives way), for each
// of the `signals` not ignored at start; *caught holds the ones installed.
void endingSignals_catch(std::span<const int> signals, void (*handler)(int), sigset_t* caught);

// For the handler (async-signal-safe): from now on, a write to descriptor 1
// or 2 that makes no progress for a tenth of a second is let go.
void endingSignals_nudgeWrites();

// ppoll with the `caught` signals let through only inside the wait, so none
// is missed between a look at *stop and the wait: -1 with EINTR at once
// when *stop is set.
int endingSignals_wait(pollfd* fds, nfds_t count, const timespec* timeout, const sigset_t* caught,
                       const volatile sig_atomic_t* stop);

// For a child between fork and exec: every signal at its default action and
// none blocked, as for a program started afresh. Async-signal-safe.
void endingSignals_defaultsForChild();
