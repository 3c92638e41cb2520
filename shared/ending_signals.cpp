#include "ending_signals.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <string>
#include <unistd.h>

namespace {

// The output is looked at this often once it may be let go; a write that
// made no progress between two looks is stuck.
constexpr int64_t LookNanos = 100 * CLOCK_MILLISECOND;

volatile sig_atomic_t caughtSignal = 0;
Deadline limit = DEADLINE_NEVER; // the command's, from endingSignals_limitWrites
sigset_t takenSet;
int originalStderr = -1;
int nullFd = -1;

// The timer signals a real-time signal nobody else sends, so an outside
// SIGALRM stays an ending signal and is never taken for it; its ticks carry
// the timer's address, so that one sent from outside is told apart.
timer_t timer{};
bool timerReady = false;
bool tickIgnoredAtStart = false;
volatile sig_atomic_t nudged = 0;
volatile sig_atomic_t stuckBefore[3] = {0, 0, 0};
// Output lost on descriptor 1 or 2: Cut, a write cut short by an ending
// signal (the descriptor is still watched: a later write stuck on it is let
// go too); LetGo, pointed at /dev/null.
enum Loss : sig_atomic_t { None, Cut, LetGo };
volatile sig_atomic_t lost[3] = {None, None, None};

int tickSignal() { return SIGRTMIN + 4; }

// Lets descriptor 1 or 2 go once it has been unwritable on two looks: it
// is pointed at /dev/null, so the write blocked on it, restarted, ends at
// once, and so does every later one.
void onTick(int signo, siginfo_t* info, void*)
{
    // Anyone else's signal of this number does what it would have done had
    // the program never taken it: it ends the program.
    if (info->si_code != SI_TIMER || info->si_value.sival_ptr != &timer) {
        if (!tickIgnoredAtStart)
            endingSignals_endAs(signo);
        return;
    }
    if (nullFd < 0)
        return;
    const int saved = errno;
    for (int fd = 1; fd <= 2; ++fd) {
        if (lost[fd] == LetGo)
            continue;
        pollfd out{fd, POLLOUT, 0};
        const bool stuck = poll(&out, 1, 0) == 0;
        if (stuck && stuckBefore[fd] != 0 && dup2(nullFd, fd) == fd)
            lost[fd] = LetGo;
        stuckBefore[fd] = stuck ? 1 : 0;
    }
    errno = saved;
}

void prepareTimer()
{
    if (timerReady)
        return;
    if (nullFd < 0)
        nullFd = open("/dev/null", O_WRONLY | O_CLOEXEC);
    struct sigaction tick {};
    tick.sa_sigaction = onTick;
    sigemptyset(&tick.sa_mask);
    // Restarted: a tick alone never makes a write fail (a wait it cuts
    // short is looked at again by its caller).
    tick.sa_flags = SA_SIGINFO | SA_RESTART;
    struct sigaction before {};
    sigaction(tickSignal(), &tick, &before);
    tickIgnoredAtStart = before.sa_handler == SIG_IGN;
    sigevent event{};
    event.sigev_notify = SIGEV_SIGNAL;
    event.sigev_signo = tickSignal();
    event.sigev_value.sival_ptr = &timer; // tells the timer's ticks from an outside kill
    timerReady = timer_create(CLOCK_MONOTONIC, &event, &timer) == 0;
}

void armTimer(int flags, timespec first)
{
    if (!timerReady)
        return;
    itimerspec when{};
    when.it_value = first;
    when.it_interval = {0, LookNanos};
    timer_settime(timer, flags, &when, nullptr);
}

void noteSignal(int signo)
{
    if (caughtSignal == 0)
        caughtSignal = signo;
    endingSignals_nudgeWrites();
}

} // namespace

void endingSignals_start(bool closedPipeEnds)
{
    if (originalStderr < 0)
        originalStderr = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
    if (!closedPipeEnds)
        signal(SIGPIPE, SIG_IGN); // and so not taken
    endingSignals_catch(ENDING_SIGNALS, noteSignal, &takenSet);
}

int endingSignals_caught() { return caughtSignal; }

int endingSignals_waitFor(pollfd* fds, nfds_t count, const timespec* timeout)
{
    return endingSignals_wait(fds, count, timeout, &takenSet, &caughtSignal);
}

void endingSignals_limitWrites(Deadline deadline)
{
    limit = deadline;
    if (nudged != 0 || Deadline_isNever(deadline))
        return;
    // The first look a look before the deadline, so that output stuck from
    // then on is let go at the deadline itself, not a look after it.
    int64_t first = deadline.at - LookNanos;
    if (first <= Clock_now())
        first = deadline.at;
    armTimer(TIMER_ABSTIME, {static_cast<time_t>(first / CLOCK_SECOND), static_cast<long>(first % CLOCK_SECOND)});
}

Deadline endingSignals_outputLimit(int64_t moved)
{
    const Deadline still = Deadline_after(moved, LookNanos);
    if (nudged != 0)
        return still;
    if (Deadline_isNever(limit))
        return limit;
    return {std::max(limit.at, still.at)};
}

bool endingSignals_outputLost(int fd) { return fd >= 1 && fd <= 2 && lost[fd] != None; }

void endingSignals_noteFailedWrite(int fd, int error)
{
    if (fd >= 1 && fd <= 2 && error == EINTR && caughtSignal != 0 && lost[fd] == None)
        lost[fd] = Cut;
}

void endingSignals_report(std::string_view text)
{
    const int fd = originalStderr >= 0 ? originalStderr : STDERR_FILENO;
    // A caller's error output that takes nothing is not waited for: the
    // report is one short write, made only when there is room for it.
    pollfd room{fd, POLLOUT, 0};
    if (poll(&room, 1, 100) == 1 && (room.revents & POLLOUT) != 0) {
        const ssize_t n = write(fd, text.data(), text.size());
        static_cast<void>(n);
    }
}

void endingSignals_reportOutputLost(std::string_view program, std::string_view what)
{
    endingSignals_report(std::string(program).append(": ").append(what).append(
        " was not taken in time: the rest of it is lost\n"));
}

void endingSignals_endAs(int signo)
{
    nudged = 0;
    armTimer(0, {}); // a first tick of zero disarms the timer
    signal(signo, SIG_DFL);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, signo);
    sigprocmask(SIG_UNBLOCK, &only, nullptr);
    raise(signo);
    _exit(128 + signo);
}

void endingSignals_catch(std::span<const int> signals, void (*handler)(int), sigset_t* caught)
{
    prepareTimer();
    sigemptyset(caught);
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0; // no restart
    for (int signo : signals) {
        struct sigaction before {};
        sigaction(signo, nullptr, &before);
        if (before.sa_handler == SIG_IGN)
            continue;
        sigaction(signo, &action, nullptr);
        sigaddset(caught, signo);
    }
}

void endingSignals_nudgeWrites()
{
    nudged = 1;
    armTimer(0, {0, 1'000'000});
}

int endingSignals_wait(pollfd* fds, nfds_t count, const timespec* timeout, const sigset_t* caught,
                       const volatile sig_atomic_t* stop)
{
    sigset_t outside;
    sigprocmask(SIG_BLOCK, caught, &outside);
    int ready = -1;
    errno = EINTR;
    if (*stop == 0)
        ready = ppoll(fds, count, timeout, &outside);
    const int error = errno;
    sigprocmask(SIG_SETMASK, &outside, nullptr);
    errno = error;
    return ready;
}

void endingSignals_defaultsForChild()
{
    for (int s = 1; s < NSIG; ++s) {
        if (s != SIGKILL && s != SIGSTOP)
            signal(s, SIG_DFL);
    }
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
}

