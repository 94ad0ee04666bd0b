#include "writelease.h"

#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <signal.h>

namespace platform {

namespace {

// A real-time signal, which no part of the program uses otherwise: SIGIO,
// the default, would end the process.
int breakSignal()
{
    return SIGRTMIN + 5;
}

// Another opener waits no longer than this takes: the lease is given up
// (an async-signal-safe call), which holdsWriteLease then tells.
void giveUp(int, siginfo_t *info, void *)
{
    ::fcntl(info->si_fd, F_SETLEASE, F_UNLCK);
}

} // namespace

bool takeWriteLease(int fd)
{
    static std::once_flag handled;
    std::call_once(handled, [] {
        struct sigaction action;
        std::memset(&action, 0, sizeof action);
        action.sa_sigaction = giveUp;
        action.sa_flags = SA_SIGINFO | SA_RESTART;
        ::sigaction(breakSignal(), &action, nullptr);
    });
    return ::fcntl(fd, F_SETSIG, breakSignal()) == 0 && ::fcntl(fd, F_SETLEASE, F_WRLCK) == 0;
}

bool holdsWriteLease(int fd)
{
    return ::fcntl(fd, F_GETLEASE) == F_WRLCK;
}

} // namespace platform
