// Real-time behaviour of the container as a host's audio thread sees it:
// processBlock and host parameter calls never touch the heap nor wait for a
// lock once warmed up, and a slot load on the message thread never holds the
// audio thread up.
// Windows and dialogs: run under Xvfb.
#include "processor/PluginContainerAudioProcessor.h"
#include "support/TestHelpers.h"
#include "test_loading_support.h"
#include "support/AudioThreadCounters.h"
#include <gtest/gtest.h>
#include <atomic>
#include <chrono>
#include <cerrno>
#include <cstdint>
#include <mutex>
#include <new>
#include <thread>

using namespace loading_test;
using namespace tamblit::fixtures;

namespace
{
    constexpr double sampleRate = 48000.0;
    constexpr int preparedBlock = 512;

    std::unique_ptr<PluginContainerAudioProcessor> preparedContainer ()
    {
        auto processor = std::make_unique<PluginContainerAudioProcessor>();
        processor->setRateAndBufferSizeDetails (sampleRate, preparedBlock);
        processor->prepareToPlay (sampleRate, preparedBlock);
        return processor;
    }

    // The same block lengths every run: all of 1..prepared occur in shape, the
    // prepared length itself often, and longer blocks right after shorter ones.
    int blockLength (std::uint32_t& seed)
    {
        seed = seed * 1664525u + 1013904223u;
        switch ((seed >> 24) % 4)
        {
            case 0: return preparedBlock;
            case 1: return 1 + (int) ((seed >> 8) % 32);
            default: return 1 + (int) ((seed >> 8) % (std::uint32_t) preparedBlock);
        }
    }

    struct HeapCase
    {
        const char* what;
        const char* plugin; // null: the active slot stays empty
        int hostedOutputs;
        bool automate;
        bool midi;
    };

    struct AudioRun
    {
        long allocations = 0;
        long frees = 0;
        long lockWaits = 0;
        int blocksWithSound = 0;
        int blocksWithNotes = 0;
        int automationMisses = 0;
        float lastAutomatedValue = -1.0f;
        int lastAutomatedIndex = -1;
    };

    constexpr int maxEventsPerBlock = 8;

    // The host's side of one block: MIDI for it, automation before it, then the
    // block as the wrapper renders it.
    void hostBlock (PluginContainerAudioProcessor& processor, const HeapCase& row, juce::AudioBuffer<float>& storage,
                    juce::MidiBuffer& midi, int length, int events, int block, AudioRun& run)
    {
        // As the VST wrapper does: a buffer over the host's channels, nothing resized.
        juce::AudioBuffer<float> buffer (storage.getArrayOfWritePointers(), 2, length);
        midi.clear();
        if (row.midi)
        {
            for (int e = 0; e < events; ++e)
            {
                const juce::uint8 note = (juce::uint8) (48 + (block + e) % 24);
                const juce::uint8 message[3] = { (juce::uint8) (e % 2 == 0 ? 0x90 : 0x80), note, 100 };
                midi.addEvent (message, 3, (e * 37 + block) % length);
            }
        }
        if (row.automate)
        {
            const int index = block % kNumParams == kParamCrash ? kParamLevel : block % kNumParams;
            const float value = 0.25f + 0.5f * (float) ((block * 7) % 100) / 100.0f;
            JUCE_BEGIN_IGNORE_WARNINGS_GCC_LIKE ("-Wdeprecated-declarations")
            processor.setParameter (index, value);
            if (processor.getParameter (index) != value)
                ++run.automationMisses;
            run.lastAutomatedValue = value;
            JUCE_END_IGNORE_WARNINGS_GCC_LIKE
            run.lastAutomatedIndex = index;
        }
        testing_support::renderLikeWrapper (processor, buffer, midi);
        if (buffer.getMagnitude (0, length) > 0.0f)
            ++run.blocksWithSound;
        // Held notes make the fixtures' constant output move.
        if (length > 1 && ! channelIsConstant (buffer, 0, buffer.getSample (0, 0), length))
            ++run.blocksWithNotes;
    }

    // Renders on a thread of its own, as a host's audio thread: a warm-up that
    // reaches the largest block and MIDI load used later, then the counted blocks.
    AudioRun runAudioThread (PluginContainerAudioProcessor& processor, const HeapCase& row)
    {
        AudioRun run;
        std::thread audio (
            [&]
            {
                juce::AudioBuffer<float> buffer (2, preparedBlock);
                juce::MidiBuffer midi;
                midi.ensureSize (4096);
                AudioRun warmUp;
                for (int block = 0; block < 16; ++block)
                    hostBlock (processor, row, buffer, midi, preparedBlock, maxEventsPerBlock, block, warmUp);

                std::uint32_t seed = 20240611u;
                const long allocationsBefore = heapAllocations.load();
                const long freesBefore = heapFrees.load();
                const long lockWaitsBefore = lockWaits.load();
                {
                    CountHeapTraffic counting;
                    for (int block = 0; block < 3000; ++block)
                        hostBlock (processor, row, buffer, midi, blockLength (seed), block % (maxEventsPerBlock + 1), block, run);
                }
                run.allocations = heapAllocations.load() - allocationsBefore;
                run.frees = heapFrees.load() - freesBefore;
                run.lockWaits = lockWaits.load() - lockWaitsBefore;
            });
        audio.join();
        return run;
    }
}

TEST (RealTime, AudioThreadNeverTouchesTheHeap)
{
    {
        // The counter itself must see heap traffic, or a zero below proves nothing.
        const long before = heapAllocations.load();
        {
            CountHeapTraffic counting;
            auto probe = std::make_unique<juce::MemoryBlock> (1000);
            juce::String text ("a string long enough to need the heap, not a small buffer");
            text << juce::String (42);
        }
        ASSERT_GE (heapAllocations.load() - before, 2);
    }
    if (lockWaitsCounted)
    {
        // And a lock held elsewhere must count as a wait.
        std::mutex held;
        std::atomic<bool> locked { false };
        std::thread holder (
            [&]
            {
                const std::lock_guard<std::mutex> hold (held);
                locked = true;
                std::this_thread::sleep_for (std::chrono::milliseconds (50));
            });
        while (! locked)
            std::this_thread::yield();
        const long before = lockWaits.load();
        {
            CountHeapTraffic counting;
            const std::lock_guard<std::mutex> wait (held);
        }
        holder.join();
        ASSERT_EQ (lockWaits.load() - before, 1);
    }

    const HeapCase cases[] = {
        { "empty active slot, automation and MIDI", nullptr, 0, true, true },
        { "direct path", TAMBLIT_FIXTURE_SYNTH, 2, false, false },
        { "direct path, automation and MIDI", TAMBLIT_FIXTURE_SYNTH, 2, true, true },
        { "auxiliary buffer path", TAMBLIT_FIXTURE_SYNTH8, 8, false, false },
        { "auxiliary buffer path, automation and MIDI", TAMBLIT_FIXTURE_SYNTH8, 8, true, true },
    };

    for (auto& row : cases)
    {
        SCOPED_TRACE (row.what);
        auto processor = preparedContainer();
        if (row.plugin != nullptr)
        {
            ASSERT_TRUE (processor->loadPlugin (0, row.plugin, {}));
            ASSERT_EQ (processor->getAudioPluginInstance (0)->getTotalNumOutputChannels(), row.hostedOutputs);
        }

        const auto run = runAudioThread (*processor, row);

        EXPECT_EQ (run.allocations, 0);
        EXPECT_EQ (run.frees, 0);
        EXPECT_EQ (run.lockWaits, 0);
        if (row.plugin != nullptr)
        {
            // The blocks really went through the hosted synth and the automation reached it.
            EXPECT_EQ (run.blocksWithSound, 3000);
            if (row.midi)
                EXPECT_GT (run.blocksWithNotes, 1000);
            else
                EXPECT_EQ (run.blocksWithNotes, 0);
            if (row.automate)
            {
                EXPECT_EQ (run.automationMisses, 0);
                ASSERT_GE (run.lastAutomatedIndex, 0);
                JUCE_BEGIN_IGNORE_WARNINGS_GCC_LIKE ("-Wdeprecated-declarations")
                EXPECT_EQ (processor->getParameter (run.lastAutomatedIndex), run.lastAutomatedValue);
                JUCE_END_IGNORE_WARNINGS_GCC_LIKE
                EXPECT_EQ (processor->getAudioPluginInstance (0)->getParameters()[run.lastAutomatedIndex]->getValue(),
                           run.lastAutomatedValue);
            }
        }
        else
        {
            EXPECT_EQ (run.blocksWithSound, 0);
        }
    }
}

// A crash hand-over is made by the audio thread itself: the protected slot's
// worker segfaults on a note and the other slot plays from that block on,
// without any heap traffic on the audio thread across it.
TEST (RealTime, ACrashHandOverNeverTouchesTheHeap)
{
    auto cache = juce::File::createTempFile ("cache");
    ASSERT_TRUE (cache.createDirectory());
    setenv ("XDG_CACHE_HOME", cache.getFullPathName().toRawUTF8(), 1);
    setenv ("TAMBLIT_BRIDGE_RESOURCES",
            juce::File (TAMBLIT_PLUGIN_PATH).getSiblingFile ("Contents/Resources").getFullPathName().toRawUTF8(), 1);
    {
        auto processor = preparedContainer();
        processor->setSlotProtected (0, true);
        ASSERT_TRUE (processor->loadPlugin (0, TAMBLIT_FIXTURE_CRASHER, {}));
        ASSERT_TRUE (processor->isSlotProtected (0));
        ASSERT_TRUE (processor->loadPlugin (1, TAMBLIT_FIXTURE_SYNTH, {}));

        constexpr int crashBlock = 100;
        long allocations = 0, frees = 0, waits = 0;
        int handOverBlock = -1;
        std::thread audio (
            [&]
            {
                juce::AudioBuffer<float> buffer (2, preparedBlock);
                juce::MidiBuffer midi;
                midi.ensureSize (4096);
                auto render = [&] (int note)
                {
                    buffer.clear();
                    midi.clear();
                    if (note != 0)
                    {
                        const juce::uint8 noteOn[3] = { 0x90, (juce::uint8) note, 100 };
                        midi.addEvent (noteOn, 3, 3);
                    }
                    testing_support::renderLikeWrapper (*processor, buffer, midi);
                };
                for (int block = 0; block < 16; ++block)
                    render (block == 0 ? 60 : 0); // a held note, warmed up
                const long allocationsBefore = heapAllocations.load();
                const long freesBefore = heapFrees.load();
                const long lockWaitsBefore = lockWaits.load();
                {
                    CountHeapTraffic counting;
                    for (int block = 0; block < crashBlock + 2000; ++block)
                    {
                        render (block == crashBlock ? 1 : 0); // note 1: the crasher's segfault
                        if (handOverBlock < 0 && processor->getActivePlugin() == 1)
                            handOverBlock = block;
                        if (handOverBlock >= 0 && block > handOverBlock + 100)
                            break;
                        // Paced after the crash: a worker built with a sanitizer
                        // writes its report before it dies.
                        if (block >= crashBlock)
                            std::this_thread::sleep_for (std::chrono::milliseconds (2));
                    }
                }
                allocations = heapAllocations.load() - allocationsBefore;
                frees = heapFrees.load() - freesBefore;
                waits = lockWaits.load() - lockWaitsBefore;
            });
        audio.join();

        EXPECT_EQ (allocations, 0);
        EXPECT_EQ (frees, 0);
        EXPECT_EQ (waits, 0);
        EXPECT_GE (handOverBlock, crashBlock); // it happened, on the audio thread, after the crash
    }
    unsetenv ("TAMBLIT_BRIDGE_RESOURCES");
    unsetenv ("XDG_CACHE_HOME");
    cache.deleteRecursively();
}

// Manual switches with a crossfade between slots of different latency, and
// with held notes let ring, cost the audio thread no heap traffic and no lock
// waits: both slots render, the old one is delayed and mixed, its notes ring
// on until released, and it is let go. The message thread switches (and resets
// the slot let go) while the audio thread waits between two blocks.
TEST (RealTime, SwitchFadesAndRingingNeverTouchTheHeap)
{
    auto processor = preparedContainer();
    ASSERT_TRUE (processor->loadPlugin (0, TAMBLIT_FIXTURE_SYNTH, {}));
    ASSERT_TRUE (processor->loadPlugin (1, TAMBLIT_FIXTURE_SYNTH8, {}));
    processor->setSwitchFadeMs (20);

    // The first rounds warm both plug-ins up (JUCE's VST 2.x hosting grows
    // its event list to the most events a block has brought), the rest count.
    constexpr int warmRounds = 2, rounds = 8;
    std::atomic<int> switchesWanted { 0 }, switchesMade { 0 };
    std::atomic<bool> finished { false };
    long allocations = 0, frees = 0, waits = 0;
    int blocksMixingTwoSlots = 0;
    std::thread audio (
        [&]
        {
            juce::AudioBuffer<float> buffer (2, preparedBlock);
            juce::MidiBuffer midi;
            midi.ensureSize (4096);
            auto render = [&] (std::initializer_list<juce::uint8> notesOn, std::initializer_list<juce::uint8> notesOff, int pedal)
            {
                buffer.clear();
                midi.clear();
                for (const auto note : notesOn)
                    midi.addEvent (juce::MidiMessage::noteOn (1, note, (juce::uint8) 100), 1);
                for (const auto note : notesOff)
                    midi.addEvent (juce::MidiMessage::noteOff (1, note), 2);
                if (pedal >= 0)
                    midi.addEvent (juce::MidiMessage::controllerEvent (1, 64, pedal), 3);
                testing_support::renderLikeWrapper (*processor, buffer, midi);
                if (processor->getLeavingSlot() >= 0)
                    ++blocksMixingTwoSlots;
            };
            auto playRound = [&] (int round)
            {
                render ({ 60, 64, 67 }, {}, round % 3 == 2 ? 127 : -1);
                for (int block = 0; block < 8; ++block)
                    render ({}, {}, -1);
                switchesWanted = round + 1;
                while (switchesMade.load() != round + 1)
                    std::this_thread::yield();
                for (int block = 0; block < 40; ++block)
                    render (block == 5 ? std::initializer_list<juce::uint8> { 72 } : std::initializer_list<juce::uint8> {},
                            block == 20 ? std::initializer_list<juce::uint8> { 60, 64, 67, 72 } : std::initializer_list<juce::uint8> {},
                            block == 30 && round % 3 == 2 ? 0 : -1);
            };
            for (int round = 0; round < warmRounds; ++round)
                playRound (round);
            blocksMixingTwoSlots = 0;
            const long allocationsBefore = heapAllocations.load();
            const long freesBefore = heapFrees.load();
            const long lockWaitsBefore = lockWaits.load();
            {
                CountHeapTraffic counting;
                for (int round = warmRounds; round < warmRounds + rounds; ++round)
                    playRound (round);
            }
            allocations = heapAllocations.load() - allocationsBefore;
            frees = heapFrees.load() - freesBefore;
            waits = lockWaits.load() - lockWaitsBefore;
            finished = true;
        });

    for (int round = 0; round < warmRounds + rounds; ++round)
    {
        while (switchesWanted.load() != round + 1)
            std::this_thread::yield();
        // Between two blocks: what earlier switches let go is reset, then the next one starts.
        testing_support::runLoopFor (30);
        processor->setLetNotesRing (round % 2 == 1);
        ASSERT_TRUE (processor->changeActivePlugin (1 - processor->getActivePlugin()));
        switchesMade = round + 1;
    }
    audio.join();
    ASSERT_TRUE (finished.load());

    EXPECT_EQ (allocations, 0);
    EXPECT_EQ (frees, 0);
    EXPECT_EQ (waits, 0);
    EXPECT_GT (blocksMixingTwoSlots, rounds * 2); // the fades and rings really ran
}

//==============================================================================
namespace
{
    // Paced blocks on a thread of its own, counting those that carry the
    // fixture synth's signal.
    class PacedAudio
    {
    public:
        explicit PacedAudio (PluginContainerAudioProcessor& p)
            : processor (p),
              thread ([this] { run(); })
        {
        }
        ~PacedAudio()
        {
            stop = true;
            thread.join();
        }

        int blocks () const { return rendered.load(); }
        int blocksWithoutSynth () const { return withoutSynth.load(); }

    private:
        void run ()
        {
            juce::AudioBuffer<float> buffer (2, 256);
            juce::MidiBuffer midi;
            while (! stop.load())
            {
                buffer.clear();
                testing_support::renderLikeWrapper (processor, buffer, midi);
                // Counted before the block itself, so a reader of both never sees the block without its verdict.
                if (! channelIsConstant (buffer, 0, initialDc (kIdentitySynth, 0))
                    || ! channelIsConstant (buffer, 1, initialDc (kIdentitySynth, 1)))
                    ++withoutSynth;
                ++rendered;
                std::this_thread::sleep_for (std::chrono::milliseconds (1));
            }
        }

        PluginContainerAudioProcessor& processor;
        std::atomic<bool> stop { false };
        std::atomic<int> rendered { 0 }, withoutSynth { 0 };
        std::thread thread;
    };

    // A dialog step that holds the load where the dialog opened until the audio
    // thread has rendered `blocksToWait` more blocks, then answers with `act`.
    struct HeldStep
    {
        HeldStep (const PacedAudio& a, int wait)
            : audio (a),
              blocksToWait (wait)
        {
        }

        DialogScript::Match waitForBlocks (DialogScript::Match isTheDialog)
        {
            return [this, isTheDialog] (juce::Component& c)
            {
                if (! isTheDialog (c))
                    return false;
                if (firstBlock < 0)
                {
                    firstBlock = audio.blocks();
                    firstSilentOrOther = audio.blocksWithoutSynth();
                }
                const int now = audio.blocks();
                if (now - firstBlock < blocksToWait)
                    return false;
                blocksDuringDialog = now - firstBlock;
                otherBlocksDuringDialog = audio.blocksWithoutSynth() - firstSilentOrOther;
                return true;
            };
        }

        const PacedAudio& audio;
        int blocksToWait;
        int firstBlock = -1, firstSilentOrOther = -1;
        int blocksDuringDialog = 0, otherBlocksDuringDialog = 0;
    };

    bool isErrorBox (juce::Component& c)
    {
        return dynamic_cast<juce::AlertWindow*> (&c) != nullptr && c.getName() == "Error";
    }

    void chooseFixtureSynth (juce::Component& dialog)
    {
        if (auto* browser = findComponent<juce::FileBrowserComponent> (dialog))
            browser->setRoot (juce::File (TAMBLIT_FIXTURE_SYNTH).getParentDirectory());
        if (auto* list = findComponent<juce::FileListComponent> (dialog))
        {
            testing_support::runLoopUntil ([list] { return ! list->directoryContentsList.isStillLoading(); }, 5000);
            list->setSelectedFile (juce::File (TAMBLIT_FIXTURE_SYNTH));
        }
        press ("Open") (dialog);
    }
}

// A load stops on the message thread at each of its dialogs: the question about
// a missing file and the file browser before anything is opened, the shell's
// sub-plug-in chooser after the library is open and scanned. Held there, the
// audio thread must go on rendering the active slot, into either slot.
TEST (RealTime, ALoadHeldOnTheMessageThreadNeverHoldsTheAudioThread)
{
    struct Case
    {
        const char* what;
        int slot;
        bool shell; // through the shell's chooser; otherwise a missing file, then the browser
    };
    const Case cases[] = {
        { "shell chooser, inactive slot", 1, true },
        { "shell chooser, active slot", 0, true },
        { "missing file, then the browser, inactive slot", 1, false },
        { "missing file, then the browser, active slot", 0, false },
    };
    constexpr int blocksToWait = 30;

    for (auto& row : cases)
    {
        SCOPED_TRACE (row.what);
        auto processor = preparedContainer();
        ASSERT_TRUE (processor->loadPlugin (0, TAMBLIT_FIXTURE_SYNTH, {}));

        PacedAudio audio (*processor);
        HeldStep first (audio, blocksToWait), second (audio, blocksToWait);
        DialogScript script;
        bool loaded = false;

        if (row.shell)
        {
            script.then (first.waitForBlocks (windowNamed ("Please choose a plugin")), press ("OK"));
            script.start (20000);
            loaded = processor->loadPlugin (row.slot, TAMBLIT_FIXTURE_SHELL, {});
        }
        else
        {
            script.then (first.waitForBlocks (isErrorBox), press ("Yes"))
                .then (second.waitForBlocks (windowNamed ("Open file")), chooseFixtureSynth);
            script.start (20000);
            loaded = processor->loadPlugin (row.slot, "/nonexistent/realtime-missing.so", {});
        }

        EXPECT_TRUE (script.allStepsDone());
        EXPECT_FALSE (script.timedOut()) << "the audio thread stopped while a dialog of the load was open";
        EXPECT_TRUE (loaded);
        for (auto* step : { &first, &second })
        {
            if (step->firstBlock < 0)
                continue;
            EXPECT_GE (step->blocksDuringDialog, blocksToWait);
            // Until the new instance is in place, the active slot keeps playing.
            EXPECT_EQ (step->otherBlocksDuringDialog, 0);
        }
        if (! row.shell)
        {
            EXPECT_GE (second.firstBlock, 0) << "the file browser never opened";
        }
    }
}
