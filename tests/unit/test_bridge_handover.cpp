// Crash hand-over within a block. When the active slot's plug-in runs behind
// the project's bridge and its worker dies or hangs, the container's audio
// thread hears of it in the same block and the healthy slot plays from that
// block on, starting with the notes the host holds. Other crash-protecting
// plug-ins keep the watchdog's once-a-second probe, and its switch carries the
// held notes too.
#include "FixtureCrasher.h"
#include "crash/CrashWatchDog.h"
#include "processor/ContainerProcess.h"
#include "processor/HeldNotes.h"
#include "support/TestHelpers.h"
#include "test_bridge_support.h"
#include <algorithm>
#include <chrono>
#include <csignal>
#include <thread>

using namespace testing_support;
using namespace bridge_test;
namespace fx = tamblit::fixtures;

namespace
{
    constexpr int blockSize = 64;
    constexpr float sampleRate = 48000.0f;
    using Clock = std::chrono::steady_clock;

    // A note the fixture synth plays in a block, from sample `from` of it, `age` samples old there.
    struct Sounding
    {
        int note;
        int from;
        long long age;
    };

    // What the fixture synth with its first program plays (FixtureSignal.h), in
    // the order its voices add up.
    float synthSample (int channel, int sample, const std::vector<Sounding>& notes)
    {
        const float tone = fx::presetValue (0, fx::kParamTone);
        float sum = 0.0f;
        for (const auto& note : notes)
            if (sample >= note.from)
                sum += fx::fixtureTone (note.note, note.age + sample - note.from, sampleRate, tone);
        return fx::fixtureDc (fx::kIdentitySynth, channel, fx::presetValue (0, fx::kParamLevel), fx::presetValue (0, fx::kParamOffset))
               + sum;
    }

    // The largest difference between a block and what the synth plays.
    float synthError (const std::vector<std::vector<float>>& block, const std::vector<Sounding>& notes)
    {
        float worst = 0.0f;
        for (int channel = 0; channel < 2; ++channel)
            for (int sample = 0; sample < blockSize; ++sample)
                worst = std::max (worst, std::abs (block[(size_t) channel][(size_t) sample] - synthSample (channel, sample, notes)));
        return worst;
    }

    bool isCrasher (const std::vector<std::vector<float>>& block)
    {
        return std::abs (identityOf (block, fx::presetValue (0, fx::kParamLevel)) - fx::kIdentityCrasher) < 1e-4f;
    }

    enum class Death
    {
        segfaultOnNote,
        killed
    };

    // The processor in this process, rendered as the VST 2.x wrapper renders it,
    // with the process-wide watchdog's timer stopped: it ticks when a test says.
    struct InProcess
    {
        InProcess()
        {
            processor->setRateAndBufferSizeDetails (sampleRate, blockSize);
            processor->prepareToPlay (sampleRate, blockSize);
        }
        ~InProcess()
        {
            processor.reset();
            if (auto* dog = watchdog())
                dog->startTimer (1000);
        }

        void stopWatchdog ()
        {
            auto* dog = watchdog();
            ASSERT_NE (dog, nullptr);
            dog->stopTimer();
        }

        std::vector<std::vector<float>> render (int noteOn = 0, int offset = 0)
        {
            buffer.clear();
            midi.clear();
            if (noteOn != 0)
                midi.addEvent (juce::MidiMessage::noteOn (1, noteOn, (juce::uint8) 100), offset);
            renderLikeWrapper (*processor, buffer, midi);
            std::vector<std::vector<float>> block (2);
            for (int channel = 0; channel < 2; ++channel)
                block[(size_t) channel].assign (buffer.getReadPointer (channel), buffer.getReadPointer (channel) + blockSize);
            return block;
        }

        std::unique_ptr<PluginContainerAudioProcessor> processor = std::make_unique<PluginContainerAudioProcessor>();
        juce::AudioBuffer<float> buffer { 2, blockSize };
        juce::MidiBuffer midi;
    };
}

// The crasher (protected) in the active slot holds a note; its worker then
// segfaults on another note or is killed from outside. The fixture
// synth in the other slot is heard within two blocks of the bridge knowing,
// and it plays the held note (and the note of the crash) from the first
// sample of the hand-over block on. The message thread then follows: the
// project names slot 1 active.
TEST (HandOver, ProtectedActiveSlotDiesAndTheOtherSlotPlaysTheHeldNotesWithinTwoBlocks)
{
    struct Case
    {
        const char* what;
        Death death;
        int crashNote; // sent at sample 10 of the crash block, 0 for none
    };
    const Case cases[] = {
        { "segfault on a note", Death::segfaultOnNote, fx::kCrasherNoteSegfault },
        { "worker killed by SIGKILL", Death::killed, 0 },
    };

    for (const auto& row : cases)
    {
        SCOPED_TRACE (row.what);
        FreshCache cache;
        RawVstHost host;
        std::string error;
        ASSERT_TRUE (host.load (TAMBLIT_PLUGIN_PATH, error)) << error;
        host.start (sampleRate, blockSize);
        // Auto-switch on, automatic recovery off: the defaults of a new instance.
        host.setChunk (toBytes (document ({ { 0, { TAMBLIT_FIXTURE_CRASHER, "", true } }, { 1, { TAMBLIT_FIXTURE_SYNTH, "", false } } }, 0,
                                          { { false, false, true, true } })));
        bool crasherPlays = false;
        for (int block = 0; block < 2000 && ! crasherPlays; ++block)
        {
            crasherPlays = isCrasher (host.process (blockSize));
            std::this_thread::sleep_for (std::chrono::milliseconds (1));
        }
        ASSERT_TRUE (crasherPlays);

        // Note 60 held from sample 5, for a few blocks.
        host.process (blockSize, { noteOn (60, 5) });
        for (int block = 0; block < 3; ++block)
            ASSERT_TRUE (isCrasher (host.process (blockSize)));

        const auto workers = workersRunning (TAMBLIT_FIXTURE_CRASHER);
        ASSERT_EQ (workers.size(), 1u);
        const pid_t worker = *workers.begin();
        if (row.death == Death::killed)
        {
            ASSERT_EQ (kill (worker, SIGKILL), 0);
            const auto end = Clock::now() + std::chrono::seconds (5);
            while (! hasEnded (worker) && Clock::now() < end)
                std::this_thread::sleep_for (std::chrono::milliseconds (1));
            ASSERT_TRUE (hasEnded (worker));
        }

        // The crash block, then blocks until the synth is heard.
        std::vector<std::vector<std::vector<float>>> after;
        after.push_back (host.process (blockSize, row.crashNote != 0 ? std::vector<VstMidiEvent> { noteOn (row.crashNote, 10) }
                                                                     : std::vector<VstMidiEvent> {}));
        // A worker built with a sanitizer takes its time to die (it writes a
        // report first): the bridge knows once the worker is gone, and the
        // count starts there.
        int knownFrom = 0;
        if (! isSynth (after.back()))
        {
            const auto gone = Clock::now() + std::chrono::seconds (10);
            while (! hasEnded (worker) && Clock::now() < gone)
                std::this_thread::sleep_for (std::chrono::milliseconds (1));
            ASSERT_TRUE (hasEnded (worker));
            std::this_thread::sleep_for (std::chrono::milliseconds (10)); // the bridge's reaper wakes on its pidfd
            knownFrom = (int) after.size();
        }
        const auto end = Clock::now() + std::chrono::seconds (5);
        while (! isSynth (after.back()) && Clock::now() < end)
            after.push_back (host.process (blockSize));
        ASSERT_TRUE (isSynth (after.back())) << "the other slot was never heard";
        const int handOver = (int) after.size() - 1;
        for (int block = 0; block < handOver; ++block)
            EXPECT_TRUE (silent (after[(size_t) block])) << "block " << block << " after the crash";
        EXPECT_LT (handOver - knownFrom, 2) << "blocks before the other slot once the worker is gone";

        // The hand-over block: what was held when it began from its first
        // sample (keys in order), then its own note.
        std::vector<Sounding> notes;
        if (row.crashNote != 0 && handOver > 0)
            notes.push_back ({ row.crashNote, 0, 0 });
        notes.push_back ({ 60, 0, 0 });
        if (row.crashNote != 0 && handOver == 0)
            notes.push_back ({ row.crashNote, 10, 0 });
        EXPECT_LT (synthError (after.back(), notes), 1e-5f);
        // ... and it goes on sounding in the next block.
        for (auto& note : notes)
            note.age += blockSize - note.from, note.from = 0;
        EXPECT_LT (synthError (host.process (blockSize), notes), 1e-5f);

        // The message thread follows at once, not at the watchdog's next tick.
        const auto followed = Clock::now() + std::chrono::milliseconds (900);
        while (activeSlotSaved (host) != 1 && Clock::now() < followed)
            std::this_thread::sleep_for (std::chrono::milliseconds (5));
        EXPECT_EQ (activeSlotSaved (host), 1);
        host.close();
    }
}

// A crash-protecting plug-in that is not the project's bridge (the fixture
// that answers the probe) is never asked on the audio thread: its crash
// switches slots only on the watchdog's tick, and that switch, too, starts
// the other slot with the held note.
TEST (HandOver, OtherCrashProtectingPluginsSwitchOnlyOnTheWatchdogTick)
{
    InProcess container;
    auto& processor = *container.processor;
    ASSERT_TRUE (processor.loadPlugin (0, TAMBLIT_FIXTURE_BRIDGE, {}));
    ASSERT_TRUE (processor.loadPlugin (1, TAMBLIT_FIXTURE_SYNTH, {}));
    container.stopWatchdog();

    container.render (60);
    JUCE_BEGIN_IGNORE_WARNINGS_GCC_LIKE ("-Wdeprecated-declarations")
    processor.setParameter (fx::kParamCrash, 1.0f); // the fixture's own crash
    JUCE_END_IGNORE_WARNINGS_GCC_LIKE
    for (int block = 0; block < 20; ++block)
        EXPECT_TRUE (silent (container.render()));
    runLoopFor (200); // room for any follow-up on the message thread
    EXPECT_TRUE (silent (container.render()));
    EXPECT_EQ (processor.getActivePlugin(), 0);

    CrashWatchDog::watch (processor);
    EXPECT_EQ (processor.getActivePlugin(), 1);
    EXPECT_TRUE (processor.isPluginCrashed (0));
    EXPECT_LT (synthError (container.render(), { { 60, 0, 0 } }), 1e-5f);
}

// A worker that stops answering is declared hung by the bridge after half a
// second of silence; the audio thread hands over in that block, with the held
// notes, and no watchdog tick is needed for any of it.
TEST (HandOver, HungWorkerHandsOverWithoutTheWatchdog)
{
    FreshCache cache;
    ScopedEnvironment resources ("TAMBLIT_BRIDGE_RESOURCES",
                                 juce::File (TAMBLIT_PLUGIN_PATH).getSiblingFile ("Contents/Resources").getFullPathName().toStdString());
    InProcess container;
    auto& processor = *container.processor;
    processor.setSlotProtected (0, true);
    ASSERT_TRUE (processor.loadPlugin (0, TAMBLIT_FIXTURE_CRASHER, {}));
    ASSERT_EQ (workersRunning (TAMBLIT_FIXTURE_CRASHER).size(), 1u);
    ASSERT_TRUE (processor.loadPlugin (1, TAMBLIT_FIXTURE_SYNTH, {}));
    container.stopWatchdog();

    EXPECT_TRUE (isCrasher (container.render (60)));
    std::vector<std::vector<std::vector<float>>> after { container.render (fx::kCrasherNoteHang, 10) };
    const auto end = Clock::now() + std::chrono::seconds (5);
    while (! isSynth (after.back()) && Clock::now() < end)
    {
        std::this_thread::sleep_for (std::chrono::milliseconds (2)); // paced, as a host's blocks are
        after.push_back (container.render());
    }
    ASSERT_TRUE (isSynth (after.back()));
    for (size_t block = 0; block + 1 < after.size(); ++block)
        EXPECT_TRUE (silent (after[block])) << "block " << block << " after the hang";
    EXPECT_LT (synthError (after.back(), { { fx::kCrasherNoteHang, 0, 0 }, { 60, 0, 0 } }), 1e-5f);

    // The message thread follows: the slot is marked crashed and the panel knows.
    EXPECT_TRUE (runLoopUntil ([&] { return processor.isPluginCrashed (0); }, 1000));
    EXPECT_EQ (processor.getActivePlugin(), 1);
    // The bridge ended the hung worker; its reaper learns the signal as the worker goes.
    EXPECT_TRUE (runLoopUntil ([&] { return processor.getCrashSignal (0) == SIGKILL; }, 2000)) << processor.getCrashSignal (0);
}

// What the new slot is told: keys down, keys the pedal holds, the pedal, the
// bend, per channel; all-notes-off and controller resets clear what they
// clear.
TEST (HandOver, HeldNotesFollowTheHostsMidi)
{
    using juce::MidiMessage;
    struct Case
    {
        const char* what;
        std::vector<MidiMessage> sent;
        std::vector<std::pair<int, int>> down, sustained; // channel, key
        int sustainOn3 = 0, bendOn3 = 8192;
    };
    const Case cases[] = {
        { "note on, then off", { MidiMessage::noteOn (3, 60, (juce::uint8) 90), MidiMessage::noteOff (3, 60) }, {}, {} },
        { "velocity 0 ends a note",
          { MidiMessage::noteOn (3, 60, (juce::uint8) 90), MidiMessage::noteOn (3, 60, (juce::uint8) 0) },
          {},
          {} },
        { "chord on two channels",
          { MidiMessage::noteOn (3, 60, (juce::uint8) 90), MidiMessage::noteOn (4, 64, (juce::uint8) 90) },
          { { 3, 60 }, { 4, 64 } },
          {} },
        { "released under the pedal",
          { MidiMessage::controllerEvent (3, 64, 127), MidiMessage::noteOn (3, 60, (juce::uint8) 90), MidiMessage::noteOff (3, 60) },
          {},
          { { 3, 60 } },
          127 },
        { "pedal up ends sustained keys",
          { MidiMessage::controllerEvent (3, 64, 127), MidiMessage::noteOn (3, 60, (juce::uint8) 90), MidiMessage::noteOff (3, 60),
            MidiMessage::controllerEvent (3, 64, 0) },
          {},
          {} },
        { "bend", { MidiMessage::pitchWheel (3, 12000) }, {}, {}, 0, 12000 },
        { "all notes off",
          { MidiMessage::noteOn (3, 60, (juce::uint8) 90), MidiMessage::controllerEvent (3, 64, 127), MidiMessage::allNotesOff (3) },
          {},
          {} },
        { "reset all controllers keeps keys down",
          { MidiMessage::noteOn (3, 60, (juce::uint8) 90), MidiMessage::pitchWheel (3, 100), MidiMessage::controllerEvent (3, 121, 0) },
          { { 3, 60 } },
          {} },
    };

    for (const auto& row : cases)
    {
        SCOPED_TRACE (row.what);
        HeldNotes held;
        juce::MidiBuffer sent;
        for (const auto& message : row.sent)
            sent.addEvent (message, 0);
        held.track (sent);

        for (int channel = 1; channel <= 16; ++channel)
            for (int key = 0; key < 128; ++key)
            {
                const std::pair<int, int> at { channel, key };
                EXPECT_EQ (held.isKeyDown (channel, key), std::count (row.down.begin(), row.down.end(), at) == 1);
                EXPECT_EQ (held.isSustained (channel, key), std::count (row.sustained.begin(), row.sustained.end(), at) == 1);
            }
        EXPECT_EQ (held.sustainValue (3), row.sustainOn3);
        EXPECT_EQ (held.pitchBend (3), row.bendOn3);

        // What a plug-in taking over receives rebuilds the same state.
        juce::MidiBuffer told;
        told.ensureSize ((size_t) HeldNotes::maxEventBytes);
        held.writeTo (told, 0);
        HeldNotes rebuilt;
        rebuilt.track (told);
        for (int channel = 1; channel <= 16; ++channel)
        {
            for (int key = 0; key < 128; ++key)
                EXPECT_EQ (rebuilt.isKeyDown (channel, key) || rebuilt.isSustained (channel, key),
                           held.isKeyDown (channel, key) || held.isSustained (channel, key));
            EXPECT_EQ (rebuilt.sustainValue (channel), held.sustainValue (channel));
            EXPECT_EQ (rebuilt.pitchBend (channel), held.pitchBend (channel));
        }
    }

    // Every key of every channel held: the reserved size is enough.
    HeldNotes full;
    for (int channel = 1; channel <= 16; ++channel)
    {
        full.track (juce::MidiMessage::controllerEvent (channel, 64, 127).getRawData(), 3);
        full.track (juce::MidiMessage::pitchWheel (channel, 0).getRawData(), 3);
        for (int key = 0; key < 128; ++key)
        {
            full.track (juce::MidiMessage::noteOn (channel, key, (juce::uint8) 1).getRawData(), 3);
            if (key % 2 == 0)
                full.track (juce::MidiMessage::noteOff (channel, key).getRawData(), 3);
        }
    }
    juce::MidiBuffer told;
    full.writeTo (told, 0);
    EXPECT_LE (told.data.size(), HeldNotes::maxEventBytes);
    EXPECT_EQ (told.getNumEvents(), 16 * (2 + 64 + 2 * 64));
}
