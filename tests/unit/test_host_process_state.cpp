// Loading the container leaves the host's process as it found it: the host's
// rand() sequence, its locale, its signal handlers and its thread's
// floating-point mode. A plain host (this program) dlopens the built
// container, calls its VST 2.x entry and effOpen, has it load a plug-in into a
// slot (in its own process, or protected in a worker), plays, and closes it.
#include "test_bridge_support.h"
#include <clocale>
#include <csignal>
#include <cstdlib>
#include <functional>
#if defined(__x86_64__) || defined(__i386__)
#include <xmmintrin.h>
#endif

using namespace bridge_test;

namespace
{
    constexpr int blockSize = 64;
    constexpr int draws = 64;
    constexpr int drawsBeforeLoad = 8;

    std::vector<int> randomSequence (int count)
    {
        std::vector<int> values;
        for (int i = 0; i < count; ++i)
            values.push_back (std::rand());
        return values;
    }

    // The MXCSR's control bits: rounding, flush-to-zero, denormals-are-zero,
    // the exception masks. Its low six bits note exceptions that happened (any
    // inexact sum sets one) and are no mode.
    unsigned int floatMode ()
    {
#if defined(__x86_64__) || defined(__i386__)
        return _mm_getcsr() & ~0x3fu;
#else
        return 0;
#endif
    }

    void setFloatMode ([[maybe_unused]] unsigned int mode)
    {
#if defined(__x86_64__) || defined(__i386__)
        _mm_setcsr (mode);
#endif
    }

    void hostInterruptHandler (int)
    {
    }

    struct Handler
    {
        int signal;
        void (*handler) (int);
        int flags;
        bool operator== (const Handler& other) const { return signal == other.signal && handler == other.handler && flags == other.flags; }
    };

    std::vector<Handler> handlers ()
    {
        std::vector<Handler> found;
        for (int number : { SIGINT, SIGPIPE, SIGCHLD, SIGTERM, SIGHUP })
        {
            struct sigaction action
            {
            };
            sigaction (number, nullptr, &action);
            found.push_back ({ number, action.sa_handler, action.sa_flags });
        }
        return found;
    }

}

TEST (HostProcessState, LoadingTheContainerAndItsSlotsLeavesTheHostsProcessStateAlone)
{
    FreshCache cache;
    ScopedEnvironment resources ("TAMBLIT_BRIDGE_RESOURCES", TAMBLIT_BINARY_DIR "/plugin/Contents/Resources");

    // As a host sets itself up: its own locale, handlers and thread mode.
    ASSERT_NE (std::setlocale (LC_ALL, "C.UTF-8"), nullptr);
    std::signal (SIGINT, hostInterruptHandler);
    std::signal (SIGPIPE, SIG_IGN);

    std::srand (42);
    const auto expected = randomSequence (draws);

    struct Case
    {
        const char* what;
        juce::String file;
        bool isProtected;
        unsigned int hostFloatMode; // the host thread's MXCSR while it loads and plays
        std::function<bool (const std::vector<std::vector<float>>&)> plays;
    };
    const unsigned int defaultMode = 0x1f80u;
    const unsigned int flushToZero = defaultMode | 0x8040u;
    const Case cases[] = {
        // The first load also maps the container: its static initialisers run here.
        { "a VST3 synth in the host's process", TAMBLIT_FIXTURE_VST3_SYNTH, false, defaultMode, isVst3Fixture },
        { "a VST3 synth, the host thread flushing denormals", TAMBLIT_FIXTURE_VST3_SYNTH, false, flushToZero, isVst3Fixture },
        { "a VST 2.x synth protected in a worker", TAMBLIT_FIXTURE_SYNTH, true, defaultMode, isSynth },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.what);
        setFloatMode (c.hostFloatMode);
        const std::string locale = std::setlocale (LC_ALL, nullptr);
        const auto handlersBefore = handlers();

        std::srand (42);
        auto drawn = randomSequence (drawsBeforeLoad);
        {
            RawVstHost host;
            std::string error;
            ASSERT_TRUE (host.load (TAMBLIT_PLUGIN_PATH, error)) << error;
            host.start (48000.0f, blockSize);
            host.setChunk (toBytes (document ({ { 0, { c.file, "", c.isProtected } } })));
            bool played = false;
            for (int block = 0; block < 400 && ! played; ++block)
                played = c.plays (host.process (blockSize, { noteOn (60, 0) }));
            EXPECT_TRUE (played) << "the slot was never heard";
            host.stop();
            host.close();
        }
        const auto rest = randomSequence (draws - drawsBeforeLoad);
        drawn.insert (drawn.end(), rest.begin(), rest.end());

        EXPECT_EQ (drawn, expected) << "the host's rand() sequence changed";
        EXPECT_EQ (std::setlocale (LC_ALL, nullptr), locale);
        EXPECT_EQ (floatMode(), c.hostFloatMode) << std::hex << "MXCSR";
        const auto handlersAfter = handlers();
        for (size_t i = 0; i < handlersAfter.size(); ++i)
            EXPECT_TRUE (handlersAfter[i] == handlersBefore[i])
                << "the handler of signal " << handlersAfter[i].signal << " changed: flags " << std::hex << handlersBefore[i].flags
                << " -> " << handlersAfter[i].flags << (handlersAfter[i].handler == handlersBefore[i].handler ? "" : ", another function");
    }
    setFloatMode (defaultMode);
}
