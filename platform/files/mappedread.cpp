#include "mappedread.h"

#include <csetjmp>
#include <csignal>
#include <mutex>

namespace platform {

namespace {

struct Guard
{
    std::initializer_list<QByteArrayView> regions;
    sigjmp_buf resume;
};

// Set only while a guarded step runs, on its own thread.
thread_local Guard *guarded = nullptr;
struct sigaction previousAction;

bool covers(const Guard &guard, const void *address)
{
    const char *at = static_cast<const char *>(address);
    for (const QByteArrayView region : guard.regions) {
        if (at >= region.data() && at < region.data() + region.size())
            return true;
    }
    return false;
}

void onBusError(int, siginfo_t *info, void *)
{
    if (Guard *guard = guarded; guard && covers(*guard, info->si_addr))
        siglongjmp(guard->resume, 1);
    // Not a read that is watched: the fault happens again under the action
    // there was before, the default one ending the program.
    ::sigaction(SIGBUS, &previousAction, nullptr);
}

void installHandler()
{
    static std::once_flag once;
    std::call_once(once, [] {
        struct sigaction action {};
        action.sa_sigaction = onBusError;
        action.sa_flags = SA_SIGINFO;
        sigemptyset(&action.sa_mask);
        ::sigaction(SIGBUS, &action, &previousAction);
    });
}

} // namespace

bool readsMapped(std::initializer_list<QByteArrayView> regions, void (*step)(void *), void *context)
{
    installHandler();
    Guard guard{regions, {}};
    // The signal mask is saved, so that SIGBUS is not left blocked after the jump.
    if (sigsetjmp(guard.resume, 1) != 0) {
        guarded = nullptr;
        return false;
    }
    guarded = &guard;
    step(context);
    guarded = nullptr;
    return true;
}

} // namespace platform
