// The container driven like a busy host drives it, all at once: an audio
// thread renders blocks; host threads automate and save, restore documents,
// suspend and resume at changing rates and block sizes, and ask parameter
// texts; meanwhile the message thread loads, unloads, switches, recovers,
// toggles protection and paints the panel, with VST 2.x, VST3 and LV2 plug-ins
// in the host's process and protected. Now and then the message thread stops
// pumping, as a busy host main thread, and a host thread automates and saves:
// the document must hold the value just set and the plug-in's state.
//
// What must hold throughout: no call waits beyond its bound, every document
// reads back, the audio thread never waits for a lock inside the container,
// and nothing deadlocks (DeadlockGuard ends the program otherwise).
#include "processor/PluginContainerAudioProcessor.h"
#include "processor/StateCodec.h"
#include "support/AudioThreadCounters.h"
#include "support/TestHelpers.h"
#include <gtest/gtest.h>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <future>
#include <mutex>
#include <optional>
#include <random>
#include <thread>
#include <unistd.h>

using testing_support::DeadlockGuard;
using testing_support::runLoopFor;

namespace
{
    const juce::String vst2Synth = TAMBLIT_FIXTURE_SYNTH;
    const juce::String vst3Synth = TAMBLIT_FIXTURE_VST3_SYNTH;
    const juce::String mdaPiano = "http://drobilla.net/plugins/mda/Piano";

    const bool cacheIsolated = []
    {
        const auto cache = juce::File::createTempFile ("cache");
        cache.createDirectory();
        return setenv ("XDG_CACHE_HOME", cache.getFullPathName().toRawUTF8(), 1) == 0
               && setenv ("TAMBLIT_BRIDGE_RESOURCES", TAMBLIT_BINARY_DIR "/plugin/Contents/Resources", 1) == 0;
    }();

    struct Plugin
    {
        juce::String identifier;
        bool isProtected;
    };
    const Plugin plugins[] = {
        { vst2Synth, false }, { vst3Synth, false }, { mdaPiano, false }, { vst2Synth, true }, { vst3Synth, true }, { mdaPiano, true },
    };

    // The bounds a host call may take. A save gives the message thread 20 ms
    // and then never waits for it; a restore handed over waits up to 1 s for
    // the message thread to take it up (30 s to finish it).
    constexpr long long saveBoundMs = 2000;
    constexpr long long prepareBoundMs = 2000;
    constexpr long long textBoundMs = 2000;
    constexpr long long restoreBoundMs = 31000;

    using Clock = std::chrono::steady_clock;
    long long msSince (Clock::time_point start)
    {
        return (long long) std::chrono::duration_cast<std::chrono::milliseconds> (Clock::now() - start).count();
    }

    void noteSlowest (std::atomic<long long>& slowest, long long ms)
    {
        auto seen = slowest.load();
        while (ms > seen && ! slowest.compare_exchange_weak (seen, ms))
        {
        }
    }

    struct HostThreads
    {
        explicit HostThreads (PluginContainerAudioProcessor& p)
            : processor (p)
        {
        }

        ~HostThreads() { stop(); }

        void start ()
        {
            threads.emplace_back ([this] { audio(); });
            threads.emplace_back ([this] { saver(); });
            threads.emplace_back ([this] { preparer(); });
            threads.emplace_back ([this] { texts(); });
            threads.emplace_back ([this] { restorer(); });
        }

        void stop ()
        {
            running = false;
            for (auto& thread : threads)
                if (thread.joinable())
                    thread.join();
            threads.clear();
        }

        // The host's audio thread: never inside a block while the host
        // prepares (hostGate is the host's own lock, taken outside what is
        // counted), blocks under the wrapper's callback lock, counted inside
        // processBlock only.
        void audio ()
        {
            juce::AudioBuffer<float> storage (2, 1024);
            juce::MidiBuffer midi;
            midi.ensureSize (1024);
            int block = 0;
            while (running)
            {
                {
                    const std::lock_guard<std::mutex> gate (hostGate);
                    juce::AudioBuffer<float> buffer (storage.getArrayOfWritePointers(), 2, blockSize.load());
                    midi.clear();
                    if (block % 20 == 0)
                        midi.addEvent (juce::MidiMessage::noteOn (1, 48 + block % 24, (juce::uint8) 100), 0);
                    if (block % 20 == 10)
                        midi.addEvent (juce::MidiMessage::allNotesOff (1), 0);
                    const juce::ScopedLock callback (processor.getCallbackLock());
                    if (! processor.isSuspended())
                    {
                        const long waitsBefore = lockWaits.load();
                        const long allocationsBefore = heapAllocations.load();
                        {
                            CountHeapTraffic counting;
                            processor.processBlock (buffer, midi);
                        }
                        audioLockWaits += lockWaits.load() - waitsBefore;
                        audioAllocations += heapAllocations.load() - allocationsBefore;
                        ++blocks;
                    }
                }
                ++block;
                std::this_thread::sleep_for (std::chrono::milliseconds (1));
            }
        }

        void saver ()
        {
            std::minstd_rand random (7);
            while (running)
            {
                if (automating)
                    processor.setParameter ((int) (random() % 4), (float) (random() % 1000) / 1000.0f);
                const auto started = Clock::now();
                juce::MemoryBlock document;
                processor.getStateInformation (document);
                noteSlowest (slowestSaveMs, msSince (started));
                ++saves;
                if (! readContainerState (document.getData(), document.getSize()).ok())
                    ++unreadable;
                else
                {
                    const std::lock_guard<std::mutex> lock (documentLock);
                    lastDocument = document;
                }
                std::this_thread::sleep_for (std::chrono::milliseconds (3));
            }
        }

        void preparer ()
        {
            int round = 0;
            while (running)
            {
                std::this_thread::sleep_for (std::chrono::milliseconds (40));
                const double rate = round % 2 == 0 ? 44100.0 : 48000.0;
                const int size = round % 3 == 0 ? 512 : 256;
                const auto started = Clock::now();
                {
                    const std::lock_guard<std::mutex> gate (hostGate);
                    processor.releaseResources();
                    processor.setRateAndBufferSizeDetails (rate, size);
                    processor.prepareToPlay (rate, size);
                    blockSize = size;
                }
                noteSlowest (slowestPrepareMs, msSince (started));
                ++round;
            }
        }

        void texts ()
        {
            int index = 0;
            while (running)
            {
                const auto started = Clock::now();
                processor.getParameterText (index % 4);
                processor.getParameterName (index % 4);
                processor.getParameter (index % 4);
                noteSlowest (slowestTextMs, msSince (started));
                ++index;
                std::this_thread::sleep_for (std::chrono::microseconds (500));
            }
        }

        void restorer ()
        {
            while (running)
            {
                std::this_thread::sleep_for (std::chrono::milliseconds (400));
                if (! restoring)
                    continue;
                juce::MemoryBlock document;
                {
                    const std::lock_guard<std::mutex> lock (documentLock);
                    document = lastDocument;
                }
                if (document.getSize() == 0)
                    continue;
                const auto started = Clock::now();
                processor.setStateInformation (document.getData(), (int) document.getSize());
                noteSlowest (slowestRestoreMs, msSince (started));
                ++restores;
            }
        }

        PluginContainerAudioProcessor& processor;
        std::vector<std::thread> threads;
        std::atomic<bool> running { true }, automating { true }, restoring { true };
        std::mutex hostGate, documentLock;
        std::atomic<int> blockSize { 256 };
        juce::MemoryBlock lastDocument;
        std::atomic<long> blocks { 0 }, saves { 0 }, restores { 0 }, unreadable { 0 }, audioLockWaits { 0 }, audioAllocations { 0 };
        std::atomic<long long> slowestSaveMs { 0 }, slowestPrepareMs { 0 }, slowestTextMs { 0 }, slowestRestoreMs { 0 };
    };

    std::optional<SlotState> savedSlot (const juce::MemoryBlock& document, int index)
    {
        const auto reading = readContainerState (document.getData(), document.getSize());
        for (const auto& part : reading.parts)
            if (part.kind == StateDocumentPart::Kind::slot && part.slot == index)
                return part.slotState;
        return std::nullopt;
    }
}

TEST (ChaosHost, HostThreadsAndTheMessageThreadNeverWaitOnEachOtherAndSavesHoldTheCurrentState)
{
    ASSERT_TRUE (cacheIsolated);
    PluginContainerAudioProcessor processor;
    processor.setRateAndBufferSizeDetails (48000.0, 256);
    processor.prepareToPlay (48000.0, 256);
    ASSERT_TRUE (processor.loadPlugin (0, vst3Synth, {}));
    ASSERT_TRUE (processor.loadPlugin (1, mdaPiano, {}));
    std::unique_ptr<juce::AudioProcessorEditor> panel (processor.createEditor());
    panel->setVisible (true);

    HostThreads host (processor);
    host.start();
    const DeadlockGuard guard ("the chaos host", std::chrono::seconds (500));

    std::minstd_rand random (2026);
    int checks = 0;
    auto act = [&] (int step)
    {
        const int slot = (int) (random() % 2);
        switch (random() % 7)
        {
            case 0:
            case 1:
            {
                const auto& plugin = plugins[random() % std::size (plugins)];
                processor.setSlotProtected (slot, plugin.isProtected);
                processor.loadPlugin (slot, plugin.identifier, {});
                break;
            }
            case 2:
                if (step % 3 == 0)
                    processor.unloadPlugin (slot, false, true);
                break;
            case 3: processor.changeActivePlugin (slot); break;
            case 4:
                if (processor.getAudioPluginInstance (slot) != nullptr)
                    processor.setSlotProtected (slot, ! processor.isSlotProtected (slot));
                break;
            case 5:
                if (processor.getAudioPluginInstance (slot) != nullptr)
                    processor.recoverPlugin (slot);
                break;
            default: panel->createComponentSnapshot (panel->getLocalBounds()); break;
        }
        runLoopFor (5 + (int) (random() % 25));
    };

    // The message thread blocked, a host thread automates the active slot and
    // saves: the document holds that value and the plug-in's state.
    auto checkASaveWhileBlocked = [&]
    {
        const int active = processor.getActivePlugin();
        if (processor.getAudioPluginInstance (active) == nullptr || processor.isPluginCrashed (active))
            return;
        const float value = 0.1f + 0.01f * (float) (checks % 50);
        auto saved = std::async (std::launch::async,
                                 [&]
                                 {
                                     processor.setParameter (0, value);
                                     juce::MemoryBlock document;
                                     processor.getStateInformation (document);
                                     return document;
                                 });
        const auto document = saved.get(); // without pumping messages
        const auto slot = savedSlot (document, active);
        ASSERT_TRUE (slot.has_value()) << "check " << checks;
        ASSERT_GT (slot->parameters.size(), 0) << "check " << checks << ": " << slot->filePath;
        EXPECT_NEAR (slot->parameters[0], value, 0.002f) << "check " << checks << ": " << slot->filePath;
        EXPECT_GT (slot->stateBlock.getSize(), 0u) << "check " << checks << ": " << slot->filePath;
        ++checks;
    };

    // Everything at once, restores from host threads among it.
    for (int step = 0; step < 30; ++step)
        act (step);

    // Then without restores (a save answers with a restore's document until the
    // message thread has applied it), checking saves while it is blocked.
    host.restoring = false;
    runLoopFor (1500);
    for (int step = 0; step < 30; ++step)
    {
        act (step);
        if (step % 3 == 0)
        {
            host.automating = false;
            runLoopFor (20); // an automation already under way lands first
            checkASaveWhileBlocked();
            host.automating = true;
        }
    }

    host.stop();
    panel.reset();

    EXPECT_GT (checks, 5);
    EXPECT_GT (host.blocks.load(), 100);
    EXPECT_GT (host.saves.load(), 20);
    EXPECT_GT (host.restores.load(), 0);
    EXPECT_EQ (host.unreadable.load(), 0);
    EXPECT_LT (host.slowestSaveMs.load(), saveBoundMs);
    EXPECT_LT (host.slowestPrepareMs.load(), prepareBoundMs);
    EXPECT_LT (host.slowestTextMs.load(), textBoundMs);
    EXPECT_LT (host.slowestRestoreMs.load(), restoreBoundMs);
    if (lockWaitsCounted)
    {
        EXPECT_EQ (host.audioLockWaits.load(), 0) << "the audio thread waited for a lock inside the container";
    }
    std::printf ("chaos: %ld heap allocations on the audio thread\n", host.audioAllocations.load());
    std::printf ("chaos: %ld blocks, %ld saves (slowest %lld ms), %ld restores (slowest %lld ms), prepares slowest %lld ms, texts slowest "
                 "%lld ms, %d blocked-save checks\n",
                 host.blocks.load(), host.saves.load(), host.slowestSaveMs.load(), host.restores.load(), host.slowestRestoreMs.load(),
                 host.slowestPrepareMs.load(), host.slowestTextMs.load(), checks);
}
