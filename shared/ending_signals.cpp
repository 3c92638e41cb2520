#include "ending_signals.h"

#include <cerrno>
#include <cstdio>
#include <stdio_ext.h>
#include <unistd.h>

namespace {

void nudge(int) { alarm(1); }

} // namespace

void endingSignals_catch(const int* signals, int count, void (*handler)(int), sigset_t* caught,
                         struct sigaction* previous)
{
    struct sigaction nudging {};
    nudging.sa_handler = nudge;
    sigemptyset(&nudging.sa_mask);
    sigaction(SIGALRM, &nudging, nullptr);

    sigemptyset(caught);
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0; // no restart
    for (int i = 0; i < count; ++i) {
        struct sigaction before {};
        sigaction(signals[i], nullptr, &before);
        if (previous != nullptr)
            previous[i] = before;
        if (before.sa_handler == SIG_IGN)
            continue;
        sigaction(signals[i], &action, nullptr);
        sigaddset(caught, signals[i]);
    }
}

void endingSignals_nudgeWrites() { alarm(1); }

void endingSignals_stopNudges() { alarm(0); }

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

void endingSignals_flushOutput()
{
    pollfd out{STDOUT_FILENO, POLLOUT, 0};
    if (poll(&out, 1, 0) == 1 && out.revents == POLLOUT)
        std::fflush(stdout);
    else
        __fpurge(stdout);
}

// --- Added for quarvo-fleet: starting children and ending as a signal would.

void endingSignals_defaultsForChild()
{
    struct sigaction fresh {};
    fresh.sa_handler = SIG_DFL;
    sigemptyset(&fresh.sa_mask);
    for (int s = 1; s < NSIG; ++s) {
        if (s != SIGKILL && s != SIGSTOP)
            sigaction(s, &fresh, nullptr);
    }
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
}

void endingSignals_endAs(int signo)
{
    struct sigaction fresh {};
    fresh.sa_handler = SIG_DFL;
    sigemptyset(&fresh.sa_mask);
    sigaction(signo, &fresh, nullptr);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, signo);
    sigprocmask(SIG_UNBLOCK, &only, nullptr);
    raise(signo);
    _exit(128 + signo);
}
