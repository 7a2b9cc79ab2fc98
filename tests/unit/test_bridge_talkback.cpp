// A protected VST3 plug-in talks back to its host: the stand-in the container
// makes for it, loaded by a raw host, passes on what the plug-in says by
// itself in the worker (a parameter moved as its own editor moves one: begin
// edit, automate with the index and normalised value, end edit; and a new
// latency: the effect's initialDelay, then I/O changed).
#include "loading/ProtectedLoad.h"
#include "test_bridge_support.h"
#include <algorithm>
#include <chrono>
#include <thread>

using namespace bridge_test;

namespace
{
    constexpr int blockSize = 256;
    constexpr int detune = 1, act = 2; // the VST3 fixture's parameters

    struct Talk
    {
        const char* what;
        int opcode, index;
    };
}

TEST (BridgeTalkBack, AVst3PluginsOwnEditsAndLatencyReachTheHost)
{
    FreshCache cache;
    ScopedEnvironment resources ("TAMBLIT_BRIDGE_RESOURCES", TAMBLIT_BINARY_DIR "/plugin/Contents/Resources");
    juce::String error;
    const auto standIn = protectedLoad::standInFor (juce::String (TAMBLIT_FIXTURE_VST3_SYNTH), error);
    ASSERT_NE (standIn, juce::File()) << error;

    RawVstHost host;
    std::string loadError;
    ASSERT_TRUE (host.load (standIn.getFullPathName().toStdString(), loadError)) << loadError;
    host.start (48000.0f, blockSize);
    ASSERT_GT (host.effect()->numParams, act);
    const int delayBefore = host.effect()->initialDelay;
    ASSERT_NE (delayBefore, 123);

    host.clearReceived();
    host.recordOpcodes (true);
    host.effect()->setParameter (host.effect(), act, 1.0f);

    // The plug-in acts on its message thread; the stand-in passes on what it
    // said at its next calls. Generous bound: it only proves nothing is lost.
    const std::vector<Talk> expected { { "begin edit", audioMasterBeginEdit, detune },
                                       { "automate", audioMasterAutomate, detune },
                                       { "end edit", audioMasterEndEdit, detune },
                                       { "I/O changed", audioMasterIOChanged, 0 } };
    auto position = [&host] (const Talk& talk)
    {
        const auto calls = host.receivedCalls();
        for (size_t i = 0; i < calls.size(); ++i)
            if (calls[i].opcode == talk.opcode && (talk.opcode == audioMasterIOChanged || calls[i].index == talk.index))
                return (long) i;
        return -1L;
    };
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds (10);
    while (std::chrono::steady_clock::now() < until
           && std::any_of (expected.begin(), expected.end(), [&] (const Talk& t) { return position (t) < 0; }))
    {
        host.process (blockSize);
        host.dispatch (effEditIdle);
        std::this_thread::sleep_for (std::chrono::milliseconds (10));
    }

    long previous = -1;
    for (const auto& talk : expected)
    {
        SCOPED_TRACE (talk.what);
        const auto at = position (talk);
        ASSERT_GE (at, 0) << "the host never heard it";
        if (talk.opcode != audioMasterIOChanged)
        {
            EXPECT_GT (at, previous) << "out of gesture order";
            previous = at;
        }
    }
    const auto calls = host.receivedCalls();
    EXPECT_FLOAT_EQ (calls[(size_t) position (expected[1])].option, 0.75f);
    EXPECT_FLOAT_EQ (host.effect()->getParameter (host.effect(), detune), 0.75f);
    EXPECT_EQ (host.effect()->initialDelay, 123);
    // The value the host set itself is not sent back as the plug-in's own.
    for (const auto& call : calls)
        EXPECT_FALSE (call.opcode == audioMasterAutomate && call.index == act);
    host.close();
}
