// The container as a busy host drives it: saves, prepares and parameter calls
// on host threads while the message thread is blocked, or while it loads,
// switches and paints. Every slot format, in the host's process and protected:
// the fixture synths (VST 2.x, VST3), Debian's amsynth (VST 2.x) and mda Piano
// (LV2). A call that deadlocks ends the program through DeadlockGuard.
#include "console/LogLines.h"
#include "processor/PluginContainerAudioProcessor.h"
#include "processor/ProjectBridge.h"
#include "processor/StateCodec.h"
#include "support/TestHelpers.h"
#include <gtest/gtest.h>
#include <juce_gui_basics/juce_gui_basics.h>
#include <pluginterfaces/vst2.x/aeffectx.h>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <dlfcn.h>
#include <future>
#include <optional>
#include <thread>
#include <unistd.h>

using testing_support::DeadlockGuard;
using testing_support::runLoopFor;
using testing_support::runLoopUntil;

namespace
{
    constexpr double kRate = 48000.0;
    constexpr int kBlock = 256;
    const juce::String amsynth = "/usr/lib/vst/amsynth_vst.so";
    const juce::String mdaPiano = "http://drobilla.net/plugins/mda/Piano";
    const juce::String vst3Synth = TAMBLIT_FIXTURE_VST3_SYNTH;
    const juce::String vst2Synth = TAMBLIT_FIXTURE_SYNTH;

    // Stand-ins of protected slots go to a cache folder of this run.
    const juce::File cacheHome = []
    {
        auto cache = juce::File::createTempFile ("cache");
        cache.createDirectory();
        setenv ("XDG_CACHE_HOME", cache.getFullPathName().toRawUTF8(), 1);
        setenv ("TAMBLIT_BRIDGE_RESOURCES", TAMBLIT_BINARY_DIR "/plugin/Contents/Resources", 1);
        return cache;
    }();

    using Clock = std::chrono::steady_clock;
    long long msSince (Clock::time_point start)
    {
        return (long long) std::chrono::duration_cast<std::chrono::milliseconds> (Clock::now() - start).count();
    }

    std::optional<SlotState> savedSlot (const juce::MemoryBlock& document, int index)
    {
        const auto reading = readContainerState (document.getData(), document.getSize());
        for (const auto& part : reading.parts)
            if (part.kind == StateDocumentPart::Kind::slot && part.slot == index)
                return part.slotState;
        return std::nullopt;
    }

    struct Threads : ::testing::Test
    {
        void SetUp () override
        {
            processor = std::make_unique<PluginContainerAudioProcessor>();
            processor->setRateAndBufferSizeDetails (kRate, kBlock);
            processor->prepareToPlay (kRate, kBlock);
            console = std::make_unique<testing_support::ConsoleLines> (*processor);
            console->clear();
        }

        void TearDown () override
        {
            console.reset();
            processor.reset();
        }

        void load (int slot, const juce::String& identifier, bool isProtected = false)
        {
            ASSERT_TRUE (processor->setSlotProtected (slot, isProtected));
            ASSERT_TRUE (processor->loadPlugin (slot, identifier, {})) << identifier;
        }

        // A save on a host thread while this (the message) thread does not run
        // its loop, as a host's main thread that is busy: the document and how
        // long the host waited for it.
        std::pair<juce::MemoryBlock, long long> saveWhileMessageThreadBlocked (std::function<void()> before = {})
        {
            auto saving = std::async (std::launch::async,
                                      [this, before]
                                      {
                                          if (before)
                                              before();
                                          const auto started = Clock::now();
                                          juce::MemoryBlock document;
                                          processor->getStateInformation (document);
                                          return std::make_pair (document, msSince (started));
                                      });
            const DeadlockGuard guard ("a save on a host thread");
            return saving.get();
        }

        std::unique_ptr<PluginContainerAudioProcessor> processor;
        std::unique_ptr<testing_support::ConsoleLines> console;
    };

    struct Format
    {
        const char* label;
        juce::String identifier;
        bool isProtected;
    };

    const Format formats[] = {
        { "fixture synth (VST 2.x)", vst2Synth, false },
        { "amsynth (VST 2.x)", amsynth, false },
        { "mda Piano (LV2)", mdaPiano, false },
        { "fixture synth (VST3)", vst3Synth, false },
        { "fixture synth (VST 2.x) protected", vst2Synth, true },
        { "mda Piano (LV2) protected", mdaPiano, true },
        { "fixture synth (VST3) protected", vst3Synth, true },
    };
}

// A host automates container parameter 0 and saves from a thread of its own
// while its main thread, which runs the container's messages, is busy. The
// save returns at once with the automated value and the plug-in's state.
TEST_F (Threads, ASaveOnAHostThreadCarriesTheCurrentStateWhileTheMessageThreadIsBusy)
{
    for (const auto& format : formats)
    {
        SCOPED_TRACE (format.label);
        load (0, format.identifier, format.isProtected);
        ASSERT_GT (processor->getAudioPluginInstance (0)->getParameters().size(), 0);

        const auto [document, waitedMs] = saveWhileMessageThreadBlocked ([this] { processor->setParameter (0, 0.123f); });
        EXPECT_LT (waitedMs, 500) << "the save waited for the message thread";
        const auto slot = savedSlot (document, 0);
        ASSERT_TRUE (slot.has_value());
        ASSERT_GT (slot->parameters.size(), 0) << "the slot was saved without its parameters";
        EXPECT_NEAR (slot->parameters[0], 0.123f, 0.002f) << "the automated value";
        EXPECT_GT (slot->stateBlock.getSize(), 0u) << "the slot was saved without its state";
        EXPECT_FALSE (console->contains (logLines::binaryDataSize (0))) << console->lines().joinIntoString ("\n");

        processor->unloadPlugin (0, false, true);
        console->clear();
    }
}

// A VST3 slot loaded since the last save, the other slot empty, the panel open
// and painting: a save on a host thread meanwhile holds the plug-in's state.
TEST_F (Threads, ASaveWhileThePanelPaintsKeepsAFreshlyLoadedSlotsState)
{
    load (0, vst3Synth);
    processor->getAudioPluginInstance (0)->setCurrentProgram (2);
    // The message thread notices a program change within its snapshot timer.
    runLoopFor (400);
    std::unique_ptr<juce::AudioProcessorEditor> panel (processor->createEditor());
    panel->setVisible (true);

    const DeadlockGuard guard ("a save while the panel paints");
    auto saving = std::async (std::launch::async,
                              [this]
                              {
                                  juce::MemoryBlock document;
                                  processor->getStateInformation (document);
                                  return document;
                              });
    while (saving.wait_for (std::chrono::milliseconds (0)) != std::future_status::ready)
    {
        panel->createComponentSnapshot (panel->getLocalBounds()); // paints on this thread
        runLoopFor (1);
    }
    const auto slot = savedSlot (saving.get(), 0);
    ASSERT_TRUE (slot.has_value());
    EXPECT_GT (slot->stateBlock.getSize(), 0u);
    EXPECT_EQ (slot->programName, "Loud");
    EXPECT_FALSE (console->contains (logLines::binaryDataSize (0))) << console->lines().joinIntoString ("\n");
}

// A host resumes the container on its own thread at a new rate and block size
// while the message thread loads and unloads the other slot. VST3 and LV2
// plug-ins are prepared on the message thread (their hosting needs it), they
// then play at the new settings, and neither thread waits for the other.
TEST_F (Threads, AHostThreadPrepareWhileTheMessageThreadLoadsNeverDeadlocks)
{
    for (const auto& identifier : { vst3Synth, mdaPiano })
    {
        SCOPED_TRACE (identifier);
        load (0, identifier);
        std::atomic<bool> preparing { true };
        std::thread host (
            [this, &preparing]
            {
                for (int round = 0; round < 20; ++round)
                {
                    processor->releaseResources();
                    processor->setRateAndBufferSizeDetails (round % 2 == 0 ? 44100.0 : kRate, round % 2 == 0 ? 512 : kBlock);
                    processor->prepareToPlay (round % 2 == 0 ? 44100.0 : kRate, round % 2 == 0 ? 512 : kBlock);
                }
                processor->setRateAndBufferSizeDetails (44100.0, 512);
                processor->prepareToPlay (44100.0, 512);
                preparing = false;
            });
        {
            const DeadlockGuard guard ("a prepare on a host thread while the message thread loads");
            while (preparing)
            {
                ASSERT_TRUE (processor->loadPlugin (1, vst2Synth, {}));
                runLoopFor (2);
                processor->unloadPlugin (1, false, true);
            }
            host.join();
        }

        auto* instance = processor->getAudioPluginInstance (0);
        ASSERT_TRUE (runLoopUntil ([&] { return instance->getSampleRate() == 44100.0 && instance->getBlockSize() == 512; }, 5000));
        juce::AudioBuffer<float> buffer (2, 512);
        juce::MidiBuffer midi;
        float peak = 0.0f;
        for (int block = 0; block < 40; ++block)
        {
            midi.clear();
            if (block == 0)
                midi.addEvent (juce::MidiMessage::noteOn (1, 60, (juce::uint8) 100), 0);
            buffer.clear();
            testing_support::renderLikeWrapper (*processor, buffer, midi);
            peak = juce::jmax (peak, buffer.getMagnitude (0, 512));
        }
        EXPECT_GT (peak, 0.001f) << "the slot plays once prepared at the new settings";

        processor->unloadPlugin (0, false, true);
        processor->setRateAndBufferSizeDetails (kRate, kBlock);
        processor->prepareToPlay (kRate, kBlock);
    }
}

// A host asks parameter texts of a VST3 plug-in on its own thread while the
// message thread switches the active slot, which waits for parameter calls
// to leave the old plug-in.
TEST_F (Threads, ParameterTextsOnAHostThreadNeverDeadlockASlotSwitch)
{
    load (0, vst3Synth);
    load (1, vst2Synth);
    std::atomic<bool> asking { true };
    std::atomic<int> texts { 0 };
    std::thread host (
        [this, &asking, &texts]
        {
            while (asking)
            {
                processor->getParameterText (0);
                ++texts;
            }
        });
    {
        const DeadlockGuard guard ("a slot switch while a host thread asks parameter texts");
        for (int round = 0; round < 200; ++round)
        {
            ASSERT_TRUE (processor->changeActivePlugin (round % 2));
            runLoopFor (1);
        }
        asking = false;
        host.join();
    }
    EXPECT_GT (texts.load(), 0);
    // On the message thread the plug-in's own text stands.
    processor->changeActivePlugin (0);
    processor->setParameter (0, 0.5f);
    EXPECT_EQ (processor->getParameterText (0), processor->getAudioPluginInstance (0)->getParameters()[0]->getCurrentValueAsText());
}

// Host automation of a VST 2.x plug-in in the host's process goes straight to
// the effect: it never queues behind a save that holds JUCE's lock on the
// plug-in while the plug-in takes its time over its chunk.
TEST_F (Threads, AutomationOfAVst2PluginNeverWaitsForASlowSave)
{
    load (0, vst2Synth);
    void* fixture = dlopen (TAMBLIT_FIXTURE_SYNTH, RTLD_NOW | RTLD_NOLOAD);
    ASSERT_NE (fixture, nullptr);
    auto* setChunkDelay = reinterpret_cast<void (*) (int)> (dlsym (fixture, "tamblit_fixture_set_chunk_delay"));
    ASSERT_NE (setChunkDelay, nullptr);
    setChunkDelay (1500);

    std::atomic<bool> saving { false };
    auto save = std::async (std::launch::async,
                            [this, &saving]
                            {
                                saving = true;
                                juce::MemoryBlock document;
                                processor->getStateInformation (document);
                                return document;
                            });
    while (! saving)
        std::this_thread::yield();
    std::this_thread::sleep_for (std::chrono::milliseconds (300)); // the save is inside the chunk call

    long long slowest = 0;
    auto audio = std::async (std::launch::async,
                             [this, &slowest]
                             {
                                 for (int i = 0; i < 50; ++i)
                                 {
                                     const auto started = Clock::now();
                                     processor->setParameter (0, (float) i / 50.0f);
                                     processor->getParameter (0);
                                     slowest = std::max (slowest, msSince (started));
                                 }
                             });
    audio.get();
    EXPECT_LT (slowest, 300) << "automation waited for the save";
    EXPECT_NEAR (processor->getParameter (0), 49.0f / 50.0f, 1e-6f);
    setChunkDelay (0);
    save.get();
    dlclose (fixture);
}

// A slot whose plug-in crashed before any save and then did not reload keeps
// its element in every save, and "Recover" brings it back once it can.
TEST_F (Threads, ASlotThatCrashedBeforeAnySaveAndDidNotReloadKeepsItsElement)
{
    const auto copy = juce::File::createTempFile (".so");
    ASSERT_TRUE (juce::File (TAMBLIT_FIXTURE_BRIDGE).copyFileTo (copy));
    const auto path = copy.getFullPathName();
    load (0, path);
    processor->setOption (3, true);

    {
        void* fixture = dlopen (path.toRawUTF8(), RTLD_NOW | RTLD_NOLOAD);
        ASSERT_NE (fixture, nullptr);
        reinterpret_cast<void (*)()> (dlsym (fixture, "tamblit_fixture_crash_all"))();
        dlclose (fixture);
    }
    ASSERT_TRUE (processor->checkIfPluginCrashed (0));
    const auto moved = copy.getSiblingFile ("moved-away.so");
    ASSERT_TRUE (copy.moveFileTo (moved));
    processor->recoverPluginUnattended (0);
    ASSERT_EQ (processor->getAudioPluginInstance (0), nullptr) << "the reload failed";
    ASSERT_TRUE (processor->keepsUnloadedPlugin (0));

    juce::MemoryBlock document;
    processor->getStateInformation (document);
    const auto slot = savedSlot (document, 0);
    ASSERT_TRUE (slot.has_value()) << "the slot disappeared from the save";
    EXPECT_EQ (slot->filePath, path);

    ASSERT_TRUE (moved.moveFileTo (copy));
    processor->recoverPlugin (0);
    EXPECT_NE (processor->getAudioPluginInstance (0), nullptr) << "Recover brought the plug-in back";
    processor->unloadPlugin (0, false, true);
    copy.deleteFile();
}

// A protected VST3 slot is saved and restored in the same form when the cache
// folder that holds its stand-in was cleaned after it loaded.
TEST_F (Threads, AProtectedVst3SlotKeepsItsStateFormWhenTheCacheIsCleaned)
{
    load (0, vst3Synth, true);
    processor->getAudioPluginInstance (0)->setCurrentProgram (1);
    juce::MemoryBlock before;
    processor->getStateInformation (before);
    const auto saved = savedSlot (before, 0);
    ASSERT_TRUE (saved.has_value());
    ASSERT_GT (saved->stateBlock.getSize(), 0u);

    ASSERT_TRUE (cacheHome.getChildFile ("tamblit").deleteRecursively());
    juce::MemoryBlock after;
    processor->getStateInformation (after);
    const auto again = savedSlot (after, 0);
    ASSERT_TRUE (again.has_value());
    EXPECT_EQ (again->stateBlock, saved->stateBlock) << "the state was saved in another form";

    PluginContainerAudioProcessor restored;
    restored.setRateAndBufferSizeDetails (kRate, kBlock);
    restored.prepareToPlay (kRate, kBlock);
    ASSERT_TRUE (cacheHome.getChildFile ("tamblit").deleteRecursively());
    restored.setStateInformation (after.getData(), (int) after.getSize());
    ASSERT_NE (restored.getAudioPluginInstance (0), nullptr);
    juce::MemoryBlock roundTrip;
    restored.getStateInformation (roundTrip);
    const auto back = savedSlot (roundTrip, 0);
    ASSERT_TRUE (back.has_value());
    EXPECT_EQ (back->stateBlock, saved->stateBlock) << "the restore ignored the state";
    EXPECT_EQ (back->program, 1);
}

// A bridged plug-in's chunk answer stays intact while it is read: a later
// fetch does not overwrite it, and two host threads saving at once (the
// container asks one plug-in for its state one call at a time) each write the
// whole state.
TEST_F (Threads, ConcurrentSavesOfABridgedPluginReadIntactChunks)
{
    load (0, vst2Synth, true);
    auto* effect = projectBridgeEffect (processor->getAudioPluginInstance (0));
    ASSERT_NE (effect, nullptr);

    auto fetch = [effect]
    {
        void* data = nullptr;
        const auto size = effect->dispatcher (effect, effGetChunk, 0, 0, &data, 0.0f);
        return std::vector<char> (static_cast<char*> (data), static_cast<char*> (data) + (size > 0 ? size : 0));
    };

    // The window two threads race in, step by step: an answer a caller still
    // reads is not overwritten by a later fetch of changed state.
    void* first = nullptr;
    const auto firstSize = effect->dispatcher (effect, effGetChunk, 0, 0, &first, 0.0f);
    ASSERT_GT (firstSize, 0);
    const std::vector<char> firstBytes (static_cast<char*> (first), static_cast<char*> (first) + firstSize);
    const float value = effect->getParameter (effect, 0);
    effect->setParameter (effect, 0, value > 0.5f ? 0.125f : 0.875f);
    ASSERT_NE (fetch(), firstBytes) << "the state changed";
    EXPECT_EQ (std::vector<char> (static_cast<char*> (first), static_cast<char*> (first) + firstSize), firstBytes)
        << "a later fetch overwrote an answer still being read";

    juce::MemoryBlock reference;
    processor->getStateInformation (reference);
    const auto expected = savedSlot (reference, 0);
    ASSERT_TRUE (expected.has_value());
    ASSERT_GT (expected->stateBlock.getSize(), 0u);
    std::atomic<int> damaged { 0 };
    auto saver = [&]
    {
        for (int i = 0; i < 100; ++i)
        {
            juce::MemoryBlock document;
            processor->getStateInformation (document);
            const auto slot = savedSlot (document, 0);
            if (! slot.has_value() || slot->stateBlock != expected->stateBlock)
                ++damaged;
        }
    };
    std::thread a (saver), b (saver);
    a.join();
    b.join();
    EXPECT_EQ (damaged.load(), 0);
}
