// Counts, in whatever process it is preloaded into (LD_PRELOAD), the clock
// reads and event-loop passes that a benchmark wants per block, without
// touching the program measured:
//   clock_gettime                        (vDSO: strace does not see it)
//   QCoreApplication::sendPostedEvents   (a pass over the posted events)
//   QCoreApplication::processEvents      (a full pass of the event loop)
// Each call goes on to the real function. The counts are those of every
// thread, for calls made through the dynamic linker (Qt's own calls inside
// its library are not seen). They are printed on stderr when the process
// ends, also by _Exit, as one line:
//   counts clock_gettime N sendPostedEvents N processEvents N

#include <atomic>
#include <cstdio>
#include <ctime>
#include <dlfcn.h>
#include <unistd.h>

namespace {

std::atomic<unsigned long long> clockReads{0};
std::atomic<unsigned long long> postedPasses{0};
std::atomic<unsigned long long> fullPasses{0};
std::atomic<bool> printed{false};

template <typename Function>
Function real(const char *name, const char *version = nullptr)
{
    void *symbol = version ? dlvsym(RTLD_NEXT, name, version) : nullptr;
    if (!symbol)
        symbol = dlsym(RTLD_NEXT, name);
    if (!symbol) {
        std::fprintf(stderr, "countshim: %s not found\n", name);
        ::_exit(127);
    }
    return reinterpret_cast<Function>(symbol);
}

void printCounts()
{
    if (printed.exchange(true))
        return;
    char line[160];
    const int n = std::snprintf(line, sizeof line, "counts clock_gettime %llu sendPostedEvents %llu processEvents %llu\n",
                                clockReads.load(), postedPasses.load(), fullPasses.load());
    if (n > 0 && ::write(2, line, std::size_t(n)) < 0)
        return;
}

[[gnu::destructor]] void printAtExit()
{
    printCounts();
}

constexpr char postedName[] = "_ZN16QCoreApplication16sendPostedEventsEP7QObjecti";
constexpr char processName[] = "_ZN16QCoreApplication13processEventsE6QFlagsIN10QEventLoop17ProcessEventsFlagEE";

} // namespace

extern "C" {

int clock_gettime(clockid_t clock, timespec *now)
{
    static const auto next = real<int (*)(clockid_t, timespec *)>("clock_gettime");
    clockReads.fetch_add(1, std::memory_order_relaxed);
    return next(clock, now);
}

// QCoreApplication::sendPostedEvents(QObject *, int)
void countedSendPostedEvents(void *receiver, int eventType) __asm__(
    "_ZN16QCoreApplication16sendPostedEventsEP7QObjecti");
void countedSendPostedEvents(void *receiver, int eventType)
{
    static const auto next = real<void (*)(void *, int)>(postedName, "Qt_6");
    postedPasses.fetch_add(1, std::memory_order_relaxed);
    next(receiver, eventType);
}

// QCoreApplication::processEvents(QEventLoop::ProcessEventsFlags); the flags
// are passed as an int.
void countedProcessEvents(int flags) __asm__(
    "_ZN16QCoreApplication13processEventsE6QFlagsIN10QEventLoop17ProcessEventsFlagEE");
void countedProcessEvents(int flags)
{
    static const auto next = real<void (*)(int)>(processName, "Qt_6");
    fullPasses.fetch_add(1, std::memory_order_relaxed);
    next(flags);
}

[[noreturn]] void _Exit(int status)
{
    static const auto next = real<void (*)(int)>("_Exit");
    printCounts();
    next(status);
    __builtin_unreachable();
}

} // extern "C"
