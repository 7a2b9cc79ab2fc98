// A protected VST3 or LV2 plug-in runs in the bridge's worker like a VST 2.x
// one, so its crash costs the same: the built container, driven by a plain
// host, hands over to the other slot within the block in which the worker is
// known to be gone, with the held note, and the project then names the other
// slot active; recovery brings the plug-in back in a new worker with its own
// state. The VST3 fixture dies on note 0 at velocity 127.
#include "FixtureSignal.h"
#include "support/TestHelpers.h"
#include "test_bridge_support.h"
#include <algorithm>
#include <chrono>
#include <thread>

using namespace testing_support;
using namespace bridge_test;
namespace fx = tamblit::fixtures;

namespace
{
    constexpr int blockSize = 64;
    constexpr float sampleRate = 48000.0f;
    using Clock = std::chrono::steady_clock;

    const std::string vst3Binary = std::string (TAMBLIT_FIXTURE_VST3_SYNTH)
                                   + "/Contents/" TAMBLIT_SYSTEM_PROCESSOR "-linux/fixture-vst3-synth.so";

    // The plug-in's own state block a container's saved project holds for a slot.
    juce::MemoryBlock slotStateOf (RawVstHost& host, int index)
    {
        const auto chunk = host.getChunk();
        const auto reading = readContainerState (chunk.data(), chunk.size());
        for (const auto& part : reading.parts)
            if (part.kind == StateDocumentPart::Kind::slot && part.slot == index)
                return part.slotState.stateBlock;
        return {};
    }

    VstMidiEvent crashNote ()
    {
        auto event = noteOn (0, 10);
        event.midiData[2] = 127;
        return event;
    }
}

TEST (ProtectedFormats, AVst3PluginThatDiesHandsOverWithinTheBlockAndComesBackWithItsState)
{
    FreshCache cache;
    RawVstHost host;
    std::string error;
    ASSERT_TRUE (host.load (TAMBLIT_PLUGIN_PATH, error)) << error;
    host.start (sampleRate, blockSize);
    // Auto-switch and automatic recovery with the plug-in's data on.
    host.setChunk (toBytes (document ({ { 0, { TAMBLIT_FIXTURE_VST3_SYNTH, "", true } }, { 1, { TAMBLIT_FIXTURE_SYNTH, "", false } } }, 0,
                                      { { false, true, true, true } })));
    const auto stateAtStart = slotStateOf (host, 0);

    // Note 60 held on the protected VST3 synth.
    host.process (blockSize, { noteOn (60, 0) });
    bool plays = false;
    for (int block = 0; block < 200 && ! plays; ++block)
        plays = isVst3Fixture (host.process (blockSize));
    ASSERT_TRUE (plays) << "the protected VST3 synth was never heard";

    const auto workers = workersRunning (vst3Binary);
    ASSERT_EQ (workers.size(), 1u) << "no bridge worker has " << vst3Binary << " loaded";
    const pid_t worker = *workers.begin();
    const auto stateBeforeCrash = slotStateOf (host, 0);
    // It counts the notes it played in its state, which no parameter carries.
    ASSERT_FALSE (stateBeforeCrash == stateAtStart);

    std::vector<std::vector<std::vector<float>>> after;
    after.push_back (host.process (blockSize, { crashNote() }));
    // A sanitized worker writes its report before it dies: count from its end.
    int knownFrom = 0;
    if (! isSynth (after.back()))
    {
        const auto gone = Clock::now() + std::chrono::seconds (10);
        while (! hasEnded (worker) && Clock::now() < gone)
            std::this_thread::sleep_for (std::chrono::milliseconds (1));
        ASSERT_TRUE (hasEnded (worker)) << "the worker did not die on the crash note";
        std::this_thread::sleep_for (std::chrono::milliseconds (10)); // the bridge's reaper wakes on its pidfd
        knownFrom = (int) after.size();
    }
    const auto end = Clock::now() + std::chrono::seconds (5);
    while (! isSynth (after.back()) && Clock::now() < end)
        after.push_back (host.process (blockSize));
    ASSERT_TRUE (isSynth (after.back())) << "the other slot was never heard";
    const int handOver = (int) after.size() - 1;
    EXPECT_LT (handOver - knownFrom, 2) << "blocks before the other slot once the worker is gone";

    // The held note comes along: the fixture synth plays a tone over its level.
    const auto next = host.process (blockSize);
    float swing = 0.0f;
    for (float sample : next[0])
        swing = std::max (swing, std::abs (sample - next[0][0]));
    EXPECT_GT (swing, 0.01f) << "the held note did not follow";

    const auto followed = Clock::now() + std::chrono::milliseconds (900);
    while (activeSlotSaved (host) != 1 && Clock::now() < followed)
        std::this_thread::sleep_for (std::chrono::milliseconds (5));
    EXPECT_EQ (activeSlotSaved (host), 1);

    // Recovery loads the plug-in in a new worker and gives it its state back.
    const auto recovered = Clock::now() + std::chrono::seconds (10);
    std::set<pid_t> fresh;
    while ((fresh.empty() || slotStateOf (host, 0) != stateBeforeCrash) && Clock::now() < recovered)
    {
        host.process (blockSize);
        std::this_thread::sleep_for (std::chrono::milliseconds (20));
        fresh = workersRunning (vst3Binary);
    }
    ASSERT_EQ (fresh.size(), 1u) << "no new worker";
    EXPECT_NE (*fresh.begin(), worker);
    // Until recovery has put the state back, saves write the last good snapshot;
    // after it, the save asks the new instance itself.
    std::this_thread::sleep_for (std::chrono::milliseconds (500));
    host.process (blockSize);
    EXPECT_TRUE (slotStateOf (host, 0) == stateBeforeCrash) << "the recovered plug-in lost its state";
    host.close();
}
