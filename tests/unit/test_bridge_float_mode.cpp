// The worker's audio thread runs the plug-in with the floating-point mode of
// the host thread that drives the bridge: flush-to-zero and
// denormals-are-zero set there are set for the plug-in, cleared there are
// cleared for it, block by block. fixture-crasher reports, from inside the
// worker, what its last block's arithmetic did with denormals (parameter 7,
// once asked to).
#include "FixtureCrasher.h"
#include "test_bridge_support.h"
#if defined(__x86_64__) || defined(__i386__)
#include <xmmintrin.h>
#endif

using namespace bridge_test;
namespace fx = tamblit::fixtures;

namespace
{
    constexpr int blockSize = 64;
    constexpr unsigned int defaultMode = 0x1f80u;
    constexpr unsigned int flushToZero = 0x8000u;
    constexpr unsigned int denormalsAreZero = 0x0040u;

    struct Row
    {
        const char* what;
        unsigned int hostBits;
        float seen;
    };
    // In this order: each row changes the mode the row before left in the worker.
    const Row rows[] = {
        { "the host thread's default mode", 0u, fx::kCrasherFloatModeSeen },
        { "flush-to-zero and denormals-are-zero", flushToZero | denormalsAreZero,
          fx::kCrasherFloatModeSeen + fx::kCrasherFlushesToZero + fx::kCrasherDenormalsAreZero },
        { "back to the default mode", 0u, fx::kCrasherFloatModeSeen },
        { "flush-to-zero alone", flushToZero, fx::kCrasherFloatModeSeen + fx::kCrasherFlushesToZero },
        { "denormals-are-zero alone", denormalsAreZero, fx::kCrasherFloatModeSeen + fx::kCrasherDenormalsAreZero },
        { "the default mode at the end", 0u, fx::kCrasherFloatModeSeen },
    };

    // Plays a few blocks with this thread in `bits`, then reads what the
    // plug-in saw in its last one.
    float playIn (RawVstHost& host, unsigned int bits)
    {
        host.effect()->setParameter (host.effect(), fx::kCrasherParamFloatMode, fx::kCrasherReportFloatMode);
#if defined(__x86_64__) || defined(__i386__)
        _mm_setcsr (defaultMode | bits);
        for (int block = 0; block < 4; ++block)
            host.process (blockSize);
        _mm_setcsr (defaultMode);
#endif
        return host.effect()->getParameter (host.effect(), fx::kCrasherParamFloatMode);
    }
}

TEST (BridgeFloatMode, TheWorkerPlaysInTheHostThreadsFlushToZeroAndDenormalsAreZeroMode)
{
#if ! (defined(__x86_64__) || defined(__i386__))
    GTEST_SKIP() << "no MXCSR on this processor";
#endif
    RawVstHost host;
    std::string error;
    ASSERT_TRUE (host.load (bridged (TAMBLIT_FIXTURE_CRASHER), error)) << error;
    host.start (48000.0f, blockSize);
    for (const auto& row : rows)
    {
        SCOPED_TRACE (row.what);
        EXPECT_EQ (playIn (host, row.hostBits), row.seen);
    }
    host.close();
}

TEST (BridgeFloatMode, AProtectedSlotOfTheContainerPlaysInTheHostThreadsMode)
{
#if ! (defined(__x86_64__) || defined(__i386__))
    GTEST_SKIP() << "no MXCSR on this processor";
#endif
    FreshCache cache;
    ScopedEnvironment resources ("TAMBLIT_BRIDGE_RESOURCES", TAMBLIT_BINARY_DIR "/plugin/Contents/Resources");
    RawVstHost host;
    std::string error;
    ASSERT_TRUE (host.load (TAMBLIT_PLUGIN_PATH, error)) << error;
    host.start (48000.0f, blockSize);
    host.setChunk (toBytes (document ({ { 0, { TAMBLIT_FIXTURE_CRASHER, "", true } } })));
    // The slot is loaded once a block has run in a worker.
    for (int block = 0; block < 400 && playIn (host, 0u) != fx::kCrasherFloatModeSeen; ++block)
        ;
    ASSERT_EQ (workersRunning (TAMBLIT_FIXTURE_CRASHER).size(), 1u) << "the slot does not run in a worker";
    for (const auto& row : rows)
    {
        SCOPED_TRACE (row.what);
        EXPECT_EQ (playIn (host, row.hostBits), row.seen);
    }
    host.close();
}
