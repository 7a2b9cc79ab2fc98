// Audio and MIDI through the active slot, rendered as the VST 2.x wrapper
// renders, with the fixture plug-ins whose output is known sample by sample.
#include "support/TestHelpers.h"
#include "FixtureSignal.h"
#include "console/KTDebugConsole.h"
#include "processor/ContainerProcess.h"
#include "processor/PluginContainerAudioProcessor.h"
#include <gtest/gtest.h>
#include <limits>
#include <memory>
#include <vector>

using testing_support::ConsoleLines;
using testing_support::filledBuffer;
using testing_support::renderLikeWrapper;
namespace fx = tamblit::fixtures;

namespace
{
    constexpr float tolerance = 1.0e-5f;
    constexpr int noNote = std::numeric_limits<int>::min();

    // Program 0 of every synth fixture: level 0.5, offset 0, tone 0.5.
    float expectedSample (float identity, int channel, int noteOnSample, int note, int i, double sampleRate)
    {
        float value = fx::fixtureDc (identity, channel, fx::presetValue (0, fx::kParamLevel), fx::presetValue (0, fx::kParamOffset));
        if (noteOnSample != noNote && i >= noteOnSample)
            value += fx::fixtureTone (note, i - noteOnSample, sampleRate, fx::presetValue (0, fx::kParamTone));
        return value;
    }

    juce::MidiBuffer noteOnAt (int note, int sample)
    {
        juce::MidiBuffer midi;
        midi.addEvent (juce::MidiMessage::noteOn (1, note, (juce::uint8) 100), sample);
        return midi;
    }

    // Checks channels 0 and 1 of a block against the fixture's formula; the note
    // started at `noteOnSample` relative to the block's first sample (negative:
    // in an earlier block; noNote: none held).
    void expectFixtureOutput (const juce::AudioBuffer<float>& buffer, float identity, int noteOnSample, int note, double sampleRate)
    {
        for (int channel = 0; channel < 2; ++channel)
            for (int i = 0; i < buffer.getNumSamples(); ++i)
                ASSERT_NEAR (buffer.getSample (channel, i), expectedSample (identity, channel, noteOnSample, note, i, sampleRate), tolerance)
                    << "channel " << channel << " sample " << i;
    }

    struct Routing : ::testing::Test
    {
        void SetUp () override
        {
            ASSERT_EQ (instances(), 0);
            console = false;
            processor = std::make_unique<PluginContainerAudioProcessor>();
        }

        void TearDown () override
        {
            processor.reset();
            console = false;
            EXPECT_EQ (instances(), 0);
        }

        // What the wrapper does before playback starts.
        void prepare (double sampleRate, int blockSize)
        {
            processor->setRateAndBufferSizeDetails (sampleRate, blockSize);
            processor->prepareToPlay (sampleRate, blockSize);
        }

        void load (int slot, const char* path)
        {
            ASSERT_TRUE (processor->loadPlugin (slot, path, "")) << path;
            ASSERT_NE (processor->getAudioPluginInstance (slot), nullptr);
        }

        std::unique_ptr<PluginContainerAudioProcessor> processor;
    };
}

TEST_F (Routing, FixedAnswersToTheHost)
{
    for (int index = 0; index < 8; ++index)
    {
        EXPECT_EQ (processor->getInputChannelName (index), juce::String (index + 1));
        EXPECT_EQ (processor->getOutputChannelName (index), juce::String (index + 1));
        EXPECT_TRUE (processor->isInputChannelStereoPair (index));
        EXPECT_TRUE (processor->isOutputChannelStereoPair (index));
    }
    EXPECT_EQ (processor->getOutputChannelName (0), "1");
    EXPECT_EQ (processor->getOutputChannelName (11), "12");
    EXPECT_TRUE (processor->acceptsMidi());
    EXPECT_FALSE (processor->producesMidi());
    EXPECT_FALSE (processor->silenceInProducesSilenceOut());
    EXPECT_EQ (processor->getTailLengthSeconds(), 0.0);
}

TEST_F (Routing, EmptyActiveSlotGivesSilenceAndLeavesMidiAlone)
{
    struct Case
    {
        const char* what;
        bool loadOtherSlot;
        bool unloadActive;
    };
    const Case cases[] = { { "never loaded", false, false },
                           { "only the inactive slot loaded", true, false },
                           { "unloaded while active", false, true } };
    const float inputs[] = { 0.5f, -1.0f, 3.0e6f };
    const int sizes[] = { 1, 64, 512 };

    for (auto& c : cases)
    {
        SCOPED_TRACE (c.what);
        processor = std::make_unique<PluginContainerAudioProcessor>();
        prepare (44100.0, 512);
        if (c.loadOtherSlot)
            load (1, TAMBLIT_FIXTURE_SYNTH);
        if (c.unloadActive)
        {
            load (0, TAMBLIT_FIXTURE_SYNTH);
            processor->unloadPlugin (0, false, true);
        }
        ASSERT_EQ (processor->getAudioPluginInstance (0), nullptr);

        for (float input : inputs)
            for (int size : sizes)
            {
                auto buffer = filledBuffer (2, size, input);
                auto midi = noteOnAt (60, 0);
                midi.addEvent (juce::MidiMessage::controllerEvent (2, 7, 99), size - 1);
                const auto before = midi;

                renderLikeWrapper (*processor, buffer, midi);
                EXPECT_EQ (buffer.getMagnitude (0, size), 0.0f) << input << " / " << size;
                ASSERT_EQ (midi.getNumEvents(), before.getNumEvents());
                auto expected = before.begin();
                for (const auto event : midi)
                {
                    const auto want = *expected++;
                    EXPECT_EQ (event.samplePosition, want.samplePosition);
                    EXPECT_EQ (event.getMessage().getDescription(), want.getMessage().getDescription());
                }
            }
    }
}

TEST_F (Routing, PrepareAndReleaseWriteOneLinePerLoadedSlot)
{
    ConsoleLines lines (*processor);
    load (0, TAMBLIT_FIXTURE_SYNTH);
    load (1, TAMBLIT_FIXTURE_SYNTH8);
    processor->setInstanceName ("Keys");

    struct Case
    {
        double rate;
        int block;
        const char* rateText;
    };
    const Case cases[] = {
        { 44100.0, 512, "44100" }, { 48000.0, 256, "48000" }, { 22050.5, 64, "22050.5" }, { 1234567.0, 32, "1.23457e+06" }
    };
    for (auto& c : cases)
    {
        SCOPED_TRACE (c.rateText);
        lines.clear();
        prepare (c.rate, c.block);
        const juce::String tail = juce::String (", ") + c.rateText + ", " + juce::String (c.block);
        juce::StringArray expected;
        expected.add ("Keys:prepareToPlay (0)" + tail);
        expected.add ("Keys:prepareToPlay (1)" + tail);
        EXPECT_EQ (lines.lines(), expected);
    }

    lines.clear();
    processor->releaseResources();
    juce::StringArray released;
    released.add ("Keys:releaseResources (0), ");
    released.add ("Keys:releaseResources (1), ");
    EXPECT_EQ (lines.lines(), released);
}

TEST_F (Routing, PrepareLogsOnlyOccupiedSlots)
{
    ConsoleLines lines (*processor);
    prepare (44100.0, 512);
    processor->releaseResources();
    EXPECT_TRUE (lines.lines().isEmpty()) << lines.lines().joinIntoString ("|");

    load (1, TAMBLIT_FIXTURE_SYNTH);
    lines.clear();
    prepare (44100.0, 512);
    processor->releaseResources();
    juce::StringArray expected;
    expected.add ("default instance:prepareToPlay (1), 44100, 512");
    expected.add ("default instance:releaseResources (1), ");
    EXPECT_EQ (lines.lines(), expected);
}

TEST_F (Routing, TwoOutputPluginRunsDirectlyOnTheHostBuffer)
{
    prepare (44100.0, 512);
    load (0, TAMBLIT_FIXTURE_SYNTH);

    // Whatever the host buffer holds is what the plug-in sees; a synth overwrites it.
    auto first = filledBuffer (2, 512, 0.75f);
    auto midi = noteOnAt (69, 100);
    renderLikeWrapper (*processor, first, midi);
    expectFixtureOutput (first, fx::kIdentitySynth, 100, 69, 44100.0);

    auto second = filledBuffer (2, 512, -0.25f);
    juce::MidiBuffer none;
    renderLikeWrapper (*processor, second, none);
    expectFixtureOutput (second, fx::kIdentitySynth, 100 - 512, 69, 44100.0);
}

TEST_F (Routing, EightOutputPluginIsHeardOnItsFirstTwoOutputsOnly)
{
    prepare (44100.0, 512);
    load (0, TAMBLIT_FIXTURE_SYNTH8);
    ASSERT_EQ (processor->getAudioPluginInstance (0)->getTotalNumOutputChannels(), 8);

    auto buffer = filledBuffer (2, 512, 0.3f);
    auto midi = noteOnAt (57, 0);
    renderLikeWrapper (*processor, buffer, midi);
    expectFixtureOutput (buffer, fx::kIdentitySynth8, 0, 57, 44100.0);
}

TEST_F (Routing, ShorterBlockThanPreparedCopiesExactlyTheBlock)
{
    prepare (44100.0, 512);
    load (0, TAMBLIT_FIXTURE_SYNTH8);

    auto full = filledBuffer (2, 512, 0.0f);
    auto midi = noteOnAt (64, 0);
    renderLikeWrapper (*processor, full, midi);

    // The host's channels are longer than the block it hands over: the samples
    // past the block must stay as they were.
    constexpr int block = 100;
    constexpr float guard = 7.0f;
    std::vector<float> left (block + 64, guard), right (block + 64, guard);
    float* channels[] = { left.data(), right.data() };
    juce::AudioBuffer<float> shortBlock (channels, 2, block);
    juce::MidiBuffer none;
    renderLikeWrapper (*processor, shortBlock, none);

    expectFixtureOutput (shortBlock, fx::kIdentitySynth8, -512, 64, 44100.0);
    for (int i = block; i < block + 64; ++i)
    {
        ASSERT_EQ (left[(size_t) i], guard) << i;
        ASSERT_EQ (right[(size_t) i], guard) << i;
    }

    // And a full block after the short one carries on where it left off.
    auto after = filledBuffer (2, 512, 0.0f);
    renderLikeWrapper (*processor, after, none);
    expectFixtureOutput (after, fx::kIdentitySynth8, -512 - block, 64, 44100.0);
}

TEST_F (Routing, InactiveSlotGetsNothingButIsPreparedAlike)
{
    processor->setRateAndBufferSizeDetails (44100.0, 512);
    load (0, TAMBLIT_FIXTURE_SYNTH);
    load (1, TAMBLIT_FIXTURE_SYNTH8);
    prepare (48000.0, 256);

    for (int slot = 0; slot < 2; ++slot)
    {
        auto* instance = processor->getAudioPluginInstance (slot);
        EXPECT_EQ (instance->getSampleRate(), 48000.0) << slot;
        EXPECT_EQ (instance->getBlockSize(), 256) << slot;
    }

    auto buffer = filledBuffer (2, 256, 0.0f);
    auto midi = noteOnAt (72, 0);
    renderLikeWrapper (*processor, buffer, midi);
    expectFixtureOutput (buffer, fx::kIdentitySynth, 0, 72, 48000.0);

    // Had slot 1 heard the note-on, it would still be holding the note now
    // (cut over, so the block is slot 1's alone).
    processor->setSwitchFadeMs (0);
    ASSERT_TRUE (processor->changeActivePlugin (1));
    auto later = filledBuffer (2, 256, 0.0f);
    juce::MidiBuffer none;
    renderLikeWrapper (*processor, later, none);
    expectFixtureOutput (later, fx::kIdentitySynth8, noNote, 0, 48000.0);
}
