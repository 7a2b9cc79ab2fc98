// Host parameter calls race slot changes. Host threads hammer the forwarded
// parameters (one of them also renders audio, as the host's audio thread does)
// while the message thread loads, replaces, switches, recovers, restores and
// unloads slots. No call may reach a hosted instance that is being deleted:
// here every answer must be one a live fixture or the fallback gives, and the
// sanitizer builds (ASan: heap-use-after-free, TSan: data races) check the rest.
//
// Bounded by operations and time; TAMBLIT_STRESS_SECONDS sets a longer run.
#include "processor/ActivePluginGuard.h"
#include "processor/PluginContainerAudioProcessor.h"
#include "processor/StateCodec.h"
#include "FixtureSignal.h"
#include "support/TestHelpers.h"
#include <gtest/gtest.h>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using namespace tamblit::fixtures;

namespace
{
    using Clock = std::chrono::steady_clock;

    double stressSeconds (double normal)
    {
        if (const char* text = std::getenv ("TAMBLIT_STRESS_SECONDS"))
            if (const double seconds = std::atof (text); seconds > 0.0)
                return seconds;
        return normal;
    }

    Clock::time_point deadlineAfter (double seconds)
    {
        return Clock::now() + std::chrono::milliseconds ((long long) (seconds * 1000.0));
    }

    struct Failures
    {
        std::atomic<int> count { 0 };
        std::mutex lock;
        std::string first;

        void add (const std::string& what)
        {
            if (count++ == 0)
            {
                const std::lock_guard<std::mutex> sl (lock);
                first = what;
            }
        }
    };
}

// The guard on its own, with stand-in instances that are marked retired (never
// freed) once the publisher may delete them: a reader must never hold one.
// Publishing as fast as possible makes readers that were preempted anywhere
// inside Reader's constructor meet several publishes at once.
TEST (ParameterStress, GuardNeverHandsOutAnInstanceItsPublisherMayDelete)
{
    struct StandIn
    {
        std::atomic<bool> retired { false };
    };
    using Guard = BasicActivePluginGuard<StandIn>;

    constexpr int capacity = 1 << 21;
    std::vector<StandIn> standIns (capacity);
    Guard guard;
    std::atomic<bool> stop { false };
    std::atomic<long long> reads { 0 };
    Failures failures;

    auto reader = [&]
    {
        long long local = 0;
        while (! stop.load())
        {
            Guard::Reader held (guard);
            if (auto* instance = held.get())
            {
                // Stay inside a little while, as a real parameter call does.
                for (int i = 0; i < 8; ++i)
                    if (instance->retired.load())
                    {
                        failures.add ("stand-in " + std::to_string (instance - standIns.data()) + " retired while held");
                        break;
                    }
            }
            ++local;
        }
        reads += local;
    };

    std::vector<std::thread> readers;
    for (int i = 0; i < 3; ++i)
        readers.emplace_back (reader);

    const auto deadline = deadlineAfter (stressSeconds (2.0));
    int published = 0;
    while (published < capacity && Clock::now() < deadline && failures.count.load() == 0)
    {
        auto* previous = guard.current();
        // Now and then the slot is empty.
        guard.publish (published % 5 == 4 ? nullptr : &standIns[(size_t) published]);
        if (previous != nullptr)
            previous->retired.store (true);
        ++published;
    }

    stop = true;
    for (auto& t : readers)
        t.join();

    std::cerr << "publishes " << published << ", reads " << reads.load() << "\n";
    EXPECT_EQ (failures.count.load(), 0) << failures.first;
    EXPECT_GT (published, 100);
    EXPECT_GT (reads.load(), 1000);
}

namespace
{
    // Stops the first reader that passes it, between reading the epoch and
    // counting itself, until the test lets it go on.
    struct ScriptedPause
    {
        static inline std::atomic<bool> armed { false };
        static inline std::atomic<bool> paused { false };
        static inline std::atomic<bool> resume { false };

        static void afterEpochRead () noexcept
        {
            if (! armed.exchange (false))
                return;
            paused = true;
            while (! resume.load())
                std::this_thread::yield();
        }
    };

    bool waitUntil (const std::atomic<bool>& flag, int timeoutMs)
    {
        const auto end = Clock::now() + std::chrono::milliseconds (timeoutMs);
        while (! flag.load())
        {
            if (Clock::now() > end)
                return false;
            std::this_thread::sleep_for (std::chrono::milliseconds (1));
        }
        return true;
    }
}

// A reader preempted after reading the epoch wakes up two publishes later: it
// must still be waited for by the publish that replaces what it then holds.
TEST (ParameterStress, PublishWaitsForAReaderThatWasPreemptedAcrossAPublish)
{
    struct StandIn
    {
        int id;
    };
    using Guard = BasicActivePluginGuard<StandIn, ScriptedPause>;
    Guard guard;
    StandIn a { 1 }, b { 2 }, c { 3 };
    guard.publish (&a);

    ScriptedPause::armed = true;
    std::atomic<StandIn*> held { nullptr };
    std::atomic<bool> holding { false }, release { false };
    std::thread reader (
        [&]
        {
            Guard::Reader r (guard);
            held = r.get();
            holding = true;
            while (! release.load())
                std::this_thread::yield();
        });

    ASSERT_TRUE (waitUntil (ScriptedPause::paused, 5000));
    guard.publish (&b); // the reader has not counted itself yet: nothing to wait for
    ScriptedPause::resume = true;
    ASSERT_TRUE (waitUntil (holding, 5000));
    EXPECT_EQ (held.load(), &b);

    std::atomic<bool> replaced { false };
    std::thread writer (
        [&]
        {
            guard.publish (&c);
            replaced = true;
        });

    // While the reader holds b, publishing c must not report b free to delete.
    std::this_thread::sleep_for (std::chrono::milliseconds (200));
    EXPECT_FALSE (replaced.load()) << "publish returned while a reader still held the instance it replaced";

    release = true;
    EXPECT_TRUE (waitUntil (replaced, 5000));
    reader.join();
    writer.join();
    EXPECT_EQ (guard.current(), &c);
}

JUCE_BEGIN_IGNORE_WARNINGS_GCC_LIKE ("-Wdeprecated-declarations")

namespace
{
    constexpr const char* kNames[kNumParams] = { "Level", "Offset", "Tone", "Color", "Width", "Drive", "Speed", "Depth", "Mix", "Extra" };

    // One forwarded call of each kind on `index`, checked against what a live
    // fixture (10 parameters) or the empty-slot fallback can answer.
    void callAndCheck (PluginContainerAudioProcessor& processor, int index, float value, bool withTexts, Failures& failures)
    {
        processor.setParameter (index, value);
        const float read = processor.getParameter (index);
        const bool hosted = index < kNumParams;
        if (read < 0.0f || read > 1.0f || (! hosted && read != 0.0f))
            failures.add ("index " + std::to_string (index) + " read " + std::to_string (read));

        if (! withTexts)
            return;

        const auto name = processor.getParameterName (index);
        const auto text = processor.getParameterText (index);
        const bool nameOk = name.isEmpty() || (hosted && name == kNames[index]);
        const bool textOk = text.isEmpty() || (hosted && text.startsWith ("P" + juce::String (index) + "="));
        if (! nameOk || ! textOk)
            failures.add ("index " + std::to_string (index) + " name \"" + name.toStdString() + "\" text \"" + text.toStdString() + "\"");
    }

    juce::String stateDocument (int active, const juce::String& slot0, const juce::String& slot1)
    {
        ContainerState state;
        state.settings.activeSlot = active;
        state.settings.options = { { false, false, false, true } };
        state.settings.instanceName = "stress";
        const juce::String paths[2] = { slot0, slot1 };
        for (size_t slot = 0; slot < 2; ++slot)
            if (paths[slot].isNotEmpty())
                state.slots[slot].emplace().filePath = paths[slot];
        return writeContainerState (state);
    }
}

TEST (ParameterStress, HostCallsNeverReachADeletedPlugin)
{
    auto processor = std::make_unique<PluginContainerAudioProcessor>();
    processor->setRateAndBufferSizeDetails (48000.0, 256);
    processor->prepareToPlay (48000.0, 256);

    std::atomic<bool> stop { false };
    std::atomic<long long> calls { 0 }, blocks { 0 };
    Failures failures;

    // Two display-like threads use every call; the audio thread renders a block
    // and automates between blocks, without the texts (they allocate).
    auto host = [&] (int seed, bool audio)
    {
        juce::Random random (seed);
        juce::AudioBuffer<float> buffer (2, 256);
        juce::MidiBuffer midi;
        long long local = 0;
        while (! stop.load())
        {
            if (audio)
            {
                testing_support::renderLikeWrapper (*processor, buffer, midi);
                ++blocks;
            }
            for (int i = 0; i < 8; ++i, ++local)
                callAndCheck (*processor, random.nextInt (kNumParams + 3), random.nextFloat(), ! audio, failures);
        }
        calls += local;
    };

    std::vector<std::thread> threads;
    threads.emplace_back (host, 1, true);
    threads.emplace_back (host, 2, false);
    threads.emplace_back (host, 3, false);

    const juce::String plugins[] = { TAMBLIT_FIXTURE_SYNTH, TAMBLIT_FIXTURE_SYNTH8 };
    juce::Random random (20240612);
    const auto deadline = deadlineAfter (stressSeconds (20.0));
    const int maxOperations = std::getenv ("TAMBLIT_STRESS_SECONDS") != nullptr ? 1 << 30 : 1000;
    int operations = 0, loads = 0, switches = 0, recoveries = 0, unloads = 0, restores = 0;

    while (operations < maxOperations && Clock::now() < deadline && failures.count.load() == 0)
    {
        const int slot = random.nextInt (2);
        const int kind = random.nextInt (12);
        switch (kind)
        {
            case 0:
            case 1:
            case 2:
            case 3: loads += processor->loadPlugin (slot, plugins[random.nextInt (2)], {}) ? 1 : 0; break;
            case 4:
            case 5:
            case 6: switches += processor->changeActivePlugin (slot) ? 1 : 0; break;
            case 7:
            case 8:
                recoveries += processor->getAudioPluginInstance (slot) != nullptr ? 1 : 0;
                processor->recoverPlugin (slot);
                break;
            case 9:
            case 10:
                processor->unloadPlugin (slot, false, true);
                ++unloads;
                break;
            default:
            {
                // A restore changes the active index directly and replaces both slots.
                const auto text = stateDocument (slot, random.nextBool() ? plugins[0] : juce::String(), plugins[random.nextInt (2)]);
                processor->setStateInformation (text.toRawUTF8(), (int) text.getNumBytesAsUTF8());
                ++restores;
                break;
            }
        }
        ++operations;

        // A restore that empties the active slot leaves it suspended (silent either
        // way); an occupied active slot must always play.
        if (processor->getAudioPluginInstance (processor->getActivePlugin()) != nullptr)
        {
            EXPECT_FALSE (processor->isSuspended()) << "operation " << operations << " of kind " << kind << " on slot " << slot;
        }
        if (operations % 50 == 0)
            testing_support::runLoopFor (1);
    }

    stop = true;
    for (auto& t : threads)
        t.join();

    std::cerr << "operations " << operations << " (loads " << loads << ", switches " << switches << ", recoveries " << recoveries
              << ", unloads " << unloads << ", restores " << restores << "); parameter calls " << calls.load() << ", blocks "
              << blocks.load() << "\n";

    EXPECT_EQ (failures.count.load(), 0) << failures.first;
    EXPECT_GT (loads, 10);
    EXPECT_GT (switches, 10);
    EXPECT_GT (recoveries, 10);
    EXPECT_GT (restores, 10);
    EXPECT_GT (calls.load(), (long long) operations);
    EXPECT_GT (blocks.load(), 0);
}

JUCE_END_IGNORE_WARNINGS_GCC_LIKE
