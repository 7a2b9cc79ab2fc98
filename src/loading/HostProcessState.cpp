#include "HostProcessState.h"

#include <clocale>
#include <cstdlib>
#include <locale>
#include <mutex>
#if defined(__x86_64__) || defined(__i386__)
#include <xmmintrin.h>
#endif

namespace
{
    // The signals whose handlers belong to the host: the terminal's, the pipe's,
    // child processes' and the ones hosts use among themselves.
    constexpr int kHostSignals[] = { SIGHUP, SIGINT, SIGQUIT, SIGPIPE, SIGTERM, SIGCHLD, SIGUSR1, SIGUSR2 };
    constexpr int kSignalCount = int (sizeof (kHostSignals) / sizeof (kHostSignals[0]));

    // The process-wide part, taken by the first guard in and put back by the last out.
    struct Snapshot
    {
        std::mutex lock; // held only to enter and leave, never across plug-in code
        int depth = 0;
        char* hostRandomState = nullptr;
        std::string locale;
        std::locale globalLocale;
        struct sigaction handlers[kSignalCount]
        {
        };
    };

    Snapshot& snapshot ()
    {
        static Snapshot instance;
        return instance;
    }

    // The generator plug-in code draws from (and seeds) while a guard lives:
    // glibc's default size, so rand() behaves as it always does.
    char containerRandomState[128];
    bool containerRandomReady = false;

    unsigned int readFloatMode ()
    {
#if defined(__x86_64__) || defined(__i386__)
        return _mm_getcsr();
#else
        return 0;
#endif
    }

    void writeFloatMode ([[maybe_unused]] unsigned int mode)
    {
#if defined(__x86_64__) || defined(__i386__)
        _mm_setcsr (mode);
#endif
    }

    // The handler, its flags and the signals it blocks (sigset_t is larger
    // than what the kernel fills in: only real signals are compared).
    bool sameHandler (const struct sigaction& a, const struct sigaction& b)
    {
        if (a.sa_flags != b.sa_flags || ((a.sa_flags & SA_SIGINFO) != 0 ? a.sa_sigaction != b.sa_sigaction : a.sa_handler != b.sa_handler))
            return false;
        for (int number = 1; number < NSIG; ++number)
            if (sigismember (&a.sa_mask, number) != sigismember (&b.sa_mask, number))
                return false;
        return true;
    }
}

HostProcessStateGuard::HostProcessStateGuard()
    : floatMode (readFloatMode())
{
    auto& s = snapshot();
    const std::lock_guard<std::mutex> hold (s.lock);
    if (s.depth++ > 0)
        return;
    // initstate and setstate select the buffer srand seeds and rand draws from,
    // and return the one selected before: the host's, left as it is.
    if (! containerRandomReady)
    {
        s.hostRandomState = initstate (1u, containerRandomState, sizeof (containerRandomState));
        containerRandomReady = true;
    }
    else
    {
        s.hostRandomState = setstate (containerRandomState);
    }
    const char* locale = std::setlocale (LC_ALL, nullptr);
    s.locale = locale != nullptr ? locale : "";
    s.globalLocale = std::locale();
    for (int i = 0; i < kSignalCount; ++i)
        sigaction (kHostSignals[i], nullptr, &s.handlers[i]);
}

HostProcessStateGuard::~HostProcessStateGuard()
{
    // The control bits only (rounding, flush-to-zero, denormals-are-zero, the
    // exception masks); the low six bits note exceptions that happened.
    const unsigned int now = readFloatMode();
    if ((now & ~0x3fu) != (floatMode & ~0x3fu))
        writeFloatMode ((floatMode & ~0x3fu) | (now & 0x3fu));

    auto& s = snapshot();
    const std::lock_guard<std::mutex> hold (s.lock);
    if (--s.depth > 0)
        return;
    if (s.hostRandomState != nullptr)
        setstate (s.hostRandomState);
    s.hostRandomState = nullptr;
    if (std::locale() != s.globalLocale)
        std::locale::global (s.globalLocale); // names a C locale too when it has a name
    const char* locale = std::setlocale (LC_ALL, nullptr);
    if (! s.locale.empty() && (locale == nullptr || s.locale != locale))
        std::setlocale (LC_ALL, s.locale.c_str());
    for (int i = 0; i < kSignalCount; ++i)
    {
        struct sigaction now
        {
        };
        sigaction (kHostSignals[i], nullptr, &now);
        if (! sameHandler (now, s.handlers[i]))
            sigaction (kHostSignals[i], &s.handlers[i], nullptr);
    }
}
