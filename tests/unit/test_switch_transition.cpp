// Manual switches between the slots as the audio thread plays them: the
// crossfade, the latency alignment, letting held notes ring and switching
// back, with fixture synths whose output is known sample by sample.
#include "support/TestHelpers.h"
#include "FixtureSignal.h"
#include "processor/PluginContainerAudioProcessor.h"
#include <gtest/gtest.h>
#include <cmath>
#include <memory>
#include <vector>

using testing_support::renderLikeWrapper;
namespace fx = tamblit::fixtures;

namespace
{
    constexpr double rate = 48000.0;
    constexpr int blockSize = 64;
    constexpr double quarterTurn = 1.5707963267948966;

    // Program 0 of every synth fixture: level 0.5, offset 0, tone 0.5.
    float dc (float identity, int channel)
    {
        return fx::fixtureDc (identity, channel, 0.5f, 0.0f);
    }
    float tone (int note, long long age)
    {
        return age < 0 ? 0.0f : fx::fixtureTone (note, age, rate, 0.5f);
    }
    // The equal-power gains `position` samples into a fade of `length`.
    float fadeIn (long long position, long long length)
    {
        return position >= length ? 1.0f : (float) std::sin (quarterTurn * (double) position / (double) length);
    }
    float fadeOut (long long position, long long length)
    {
        return position >= length ? 0.0f : (float) std::cos (quarterTurn * (double) position / (double) length);
    }

    juce::MidiBuffer events (std::initializer_list<juce::MidiMessage> messages)
    {
        juce::MidiBuffer midi;
        for (const auto& message : messages)
            midi.addEvent (message, 0);
        return midi;
    }

    float largestStep (const std::vector<float>& samples, size_t from, size_t to)
    {
        float largest = 0.0f;
        for (size_t i = juce::jmax ((size_t) 1, from); i < juce::jmin (to, samples.size()); ++i)
            largest = juce::jmax (largest, std::abs (samples[i] - samples[i - 1]));
        return largest;
    }

    // The largest step of a held fixture note over a second.
    float toneStep (int note)
    {
        float largest = 0.0f;
        for (long long n = 1; n < (long long) rate; ++n)
            largest = juce::jmax (largest, std::abs (tone (note, n) - tone (note, n - 1)));
        return largest;
    }

    struct Switching : ::testing::Test
    {
        void SetUp () override
        {
            processor = std::make_unique<PluginContainerAudioProcessor>();
            processor->setRateAndBufferSizeDetails (rate, blockSize);
            processor->prepareToPlay (rate, blockSize);
        }

        void TearDown () override { processor.reset(); }

        void load (int slot, const char* path) { ASSERT_TRUE (processor->loadPlugin (slot, path, "")) << path; }

        // One host block; channel 0 and 1 of the output are kept.
        void render (juce::MidiBuffer midi = {})
        {
            juce::AudioBuffer<float> buffer (2, blockSize);
            buffer.clear();
            renderLikeWrapper (*processor, buffer, midi);
            for (int i = 0; i < blockSize; ++i)
            {
                left.push_back (buffer.getSample (0, i));
                right.push_back (buffer.getSample (1, i));
            }
        }
        void renderBlocks (int count)
        {
            for (int i = 0; i < count; ++i)
                render();
        }
        long long now () const { return (long long) left.size(); }

        // Starts a note in an inactive slot's plug-in itself, one block long,
        // as if it had been playing it: its age is one block when it is switched to.
        void startNoteInSlot (int slot, int note)
        {
            auto* instance = processor->getAudioPluginInstance (slot);
            ASSERT_NE (instance, nullptr);
            juce::AudioBuffer<float> buffer (2, blockSize);
            auto midi = events ({ juce::MidiMessage::noteOn (1, note, (juce::uint8) 100) });
            instance->processBlock (buffer, midi);
        }

        std::unique_ptr<PluginContainerAudioProcessor> processor;
        std::vector<float> left, right;
    };
}

// Two steady tones, switched at the block boundary where they differ most:
// without a fade the waveform steps there (the cut, exact to the sample); with
// a fade no step stands out from the tones' own.
TEST_F (Switching, AFadeLeavesNoStepLargerThanTheTonesOwn)
{
    constexpr int oldNote = 48, newNote = 72;
    const float ownStep = juce::jmax (toneStep (oldNote), toneStep (newNote));

    // The largest step allowed, against the tones' own: equal power keeps the
    // level, so where both tones' slopes peak together mid-fade the sum can
    // exceed either one's by a few percent (the root of their squares), and a
    // shorter fade adds its own slope. A click is many times the tones' own.
    struct Row
    {
        int fadeMs;
        bool clickExpected;
        float allowed;
    };
    for (const Row row : { Row { 0, true, 0.0f }, Row { 5, false, 1.10f }, Row { switchSettings::defaultFadeMs, false, 1.05f } })
    {
        SCOPED_TRACE (row.fadeMs);
        SetUp();
        left.clear();
        right.clear();
        load (0, TAMBLIT_FIXTURE_SYNTH);
        load (1, TAMBLIT_FIXTURE_SYNTH);
        processor->setSwitchFadeMs (row.fadeMs);
        startNoteInSlot (1, newNote);

        // The boundary where the old tone is furthest from where the new one starts.
        int switchBlock = 10;
        for (int b = 10; b < 200; ++b)
            if (std::abs (tone (oldNote, b * blockSize) - tone (newNote, blockSize))
                > std::abs (tone (oldNote, switchBlock * blockSize) - tone (newNote, blockSize)))
                switchBlock = b;

        render (events ({ juce::MidiMessage::noteOn (1, oldNote, (juce::uint8) 100) }));
        renderBlocks (switchBlock - 1);
        ASSERT_TRUE (processor->changeActivePlugin (1));
        const auto switchedAt = now();
        renderBlocks (40);

        const float step = juce::jmax (largestStep (left, 1, left.size()), largestStep (right, 1, right.size()));
        std::printf ("fade %d ms: largest step %.5f, the tones' own %.5f (ratio %.3f)\n", row.fadeMs, step, ownStep, step / ownStep);
        if (row.clickExpected)
        {
            EXPECT_GT (step, 3.0f * ownStep);
            // The cut: the old slot up to the boundary, the new one from it.
            for (long long n = 0; n < now(); ++n)
            {
                const float expected = n < switchedAt ? dc (fx::kIdentitySynth, 0) + tone (oldNote, n)
                                                      : dc (fx::kIdentitySynth, 0) + tone (newNote, blockSize + n - switchedAt);
                ASSERT_NEAR (left[(size_t) n], expected, 1.0e-5f) << n;
            }
            EXPECT_EQ (processor->getLeavingSlot(), -1);
        }
        else
        {
            EXPECT_LE (step, row.allowed * ownStep);
        }
        TearDown();
    }
}

// The old slot reports no latency and the new one 64 samples: during the
// fade the old slot is played 64 samples late, so the two line up.
TEST_F (Switching, TheEarlierSlotIsDelayedToLineUpDuringTheFade)
{
    constexpr int note = 69;
    load (0, TAMBLIT_FIXTURE_SYNTH);
    load (1, TAMBLIT_FIXTURE_SYNTH8);
    ASSERT_EQ (processor->getAudioPluginInstance (1)->getLatencySamples(), fx::kSynth8Latency);
    startNoteInSlot (1, note);

    render (events ({ juce::MidiMessage::noteOn (1, note, (juce::uint8) 100) }));
    renderBlocks (19);
    ASSERT_TRUE (processor->changeActivePlugin (1));
    EXPECT_EQ (processor->getLatencySamples(), fx::kSynth8Latency);
    const auto switchedAt = now();
    const long long fade = (long long) std::lround (rate * 0.020);
    renderBlocks ((int) (fade / blockSize) + 4);

    for (int channel = 0; channel < 2; ++channel)
    {
        const auto& out = channel == 0 ? left : right;
        for (long long j = 0; j < now() - switchedAt; ++j)
        {
            const float oldSlot = dc (fx::kIdentitySynth, channel) + tone (note, switchedAt + j - fx::kSynth8Latency);
            const float newSlot = dc (fx::kIdentitySynth8, channel) + tone (note, blockSize + j);
            const float expected = fadeIn (j, fade) * newSlot + fadeOut (j, fade) * oldSlot;
            ASSERT_NEAR (out[(size_t) (switchedAt + j)], expected, 1.0e-4f) << "channel " << channel << " sample " << j;
        }
    }
}

// With notes let ring, a chord held across the switch goes on in the old slot
// until its note-offs; a note played after the switch sounds in the new slot
// only; the old slot stops after the ring bound when it never falls silent.
TEST_F (Switching, HeldNotesRingInTheOldSlotUntilReleased)
{
    load (0, TAMBLIT_FIXTURE_SYNTH);
    load (1, TAMBLIT_FIXTURE_BRIDGE_B);
    processor->setLetNotesRing (true);
    const int chord[] = { 60, 64, 67 };
    render (
        events ({ juce::MidiMessage::noteOn (1, chord[0], (juce::uint8) 100), juce::MidiMessage::noteOn (1, chord[1], (juce::uint8) 100),
                  juce::MidiMessage::noteOn (1, chord[2], (juce::uint8) 100) }));
    renderBlocks (9);
    ASSERT_TRUE (processor->changeActivePlugin (1));
    EXPECT_EQ (processor->getLeavingSlot(), 0);
    const auto switchedAt = now();
    const long long fade = (long long) std::lround (rate * 0.020);
    renderBlocks (29);
    const auto newNoteAt = now();
    render (events ({ juce::MidiMessage::noteOn (1, 72, (juce::uint8) 100) }));
    renderBlocks (9);
    const auto releasedAt = now();
    render (events (
        { juce::MidiMessage::noteOff (1, chord[0]), juce::MidiMessage::noteOff (1, chord[1]), juce::MidiMessage::noteOff (1, chord[2]) }));
    renderBlocks (9);

    for (long long n = switchedAt; n < now(); ++n)
    {
        float oldSlot = dc (fx::kIdentitySynth, 0);
        if (n < releasedAt)
            for (const int note : chord)
                oldSlot += tone (note, n);
        const float newSlot = dc (fx::kIdentityBridgeB, 0) + tone (72, n - newNoteAt);
        ASSERT_NEAR (left[(size_t) n], fadeIn (n - switchedAt, fade) * newSlot + oldSlot, 1.0e-4f) << n - switchedAt;
    }
    EXPECT_EQ (processor->getLeavingSlot(), 0); // its constant never falls silent

    renderBlocks ((int) (switchSettings::ringBoundSeconds * rate) / blockSize);
    EXPECT_EQ (processor->getLeavingSlot(), -1);
    const auto afterBound = now();
    renderBlocks (2);
    for (long long n = afterBound; n < now(); ++n)
        ASSERT_NEAR (left[(size_t) n], dc (fx::kIdentityBridgeB, 0) + tone (72, n - newNoteAt), 1.0e-5f);
}

// Notes released while the pedal is down keep the old slot sounding until the
// pedal is lifted; then it goes as soon as it is silent.
TEST_F (Switching, ThePedalHoldsTheOldSlotUntilLifted)
{
    load (0, TAMBLIT_FIXTURE_SYNTH);
    load (1, TAMBLIT_FIXTURE_BRIDGE_B);
    // Without its constant the old slot is silent once its notes end.
    processor->getAudioPluginInstance (0)->getParameters()[fx::kParamLevel]->setValue (0.0f);
    processor->setLetNotesRing (true);

    render (events ({ juce::MidiMessage::controllerEvent (1, 64, 127), juce::MidiMessage::noteOn (1, 60, (juce::uint8) 100) }));
    render (events ({ juce::MidiMessage::noteOff (1, 60) }));
    ASSERT_TRUE (processor->changeActivePlugin (1));
    renderBlocks ((int) rate / blockSize); // a second: the fixture itself is silent, the pedal still holds
    EXPECT_EQ (processor->getLeavingSlot(), 0);

    render (events ({ juce::MidiMessage::controllerEvent (1, 64, 0) }));
    renderBlocks ((int) (0.1 * rate) / blockSize);
    EXPECT_EQ (processor->getLeavingSlot(), -1);
}

// Switching back while the old slot still rings: the chord it holds goes on
// without a break in the slot that is active again, nothing sounds twice, and
// its note-offs end it there.
TEST_F (Switching, SwitchingBackWhileRingingHandsTheNotesBack)
{
    load (0, TAMBLIT_FIXTURE_SYNTH);
    load (1, TAMBLIT_FIXTURE_BRIDGE_B);
    processor->setLetNotesRing (true);
    render (events ({ juce::MidiMessage::noteOn (1, 60, (juce::uint8) 100), juce::MidiMessage::noteOn (1, 67, (juce::uint8) 100) }));
    renderBlocks (9);
    ASSERT_TRUE (processor->changeActivePlugin (1));
    renderBlocks (20);
    ASSERT_TRUE (processor->changeActivePlugin (0));
    EXPECT_EQ (processor->getLeavingSlot(), 1);
    const auto backAt = now();
    renderBlocks (20);
    const auto releasedAt = now();
    render (events ({ juce::MidiMessage::noteOff (1, 60), juce::MidiMessage::noteOff (1, 67) }));
    renderBlocks (4);

    for (long long n = backAt; n < now(); ++n)
    {
        // Slot 0 plays on at full level; slot 1, left now, rings at full level
        // for as long as the host holds what it held at the switch.
        float slot0 = dc (fx::kIdentitySynth, 0);
        if (n < releasedAt)
            slot0 += tone (60, n) + tone (67, n);
        ASSERT_NEAR (left[(size_t) n], slot0 + dc (fx::kIdentityBridgeB, 0), 1.0e-4f) << n - backAt;
    }
    EXPECT_EQ (processor->getLeavingSlot(), 1); // it rings on for the notes the host held when it was left
}

// The slot a switch left is unloaded while it still fades out: it stops at
// once, and the audio thread never touches the plug-in that went.
TEST_F (Switching, UnloadingTheLeavingSlotStopsItAtOnce)
{
    load (0, TAMBLIT_FIXTURE_SYNTH);
    load (1, TAMBLIT_FIXTURE_BRIDGE_B);
    processor->setSwitchFadeMs (200);
    renderBlocks (4);
    ASSERT_TRUE (processor->changeActivePlugin (1));
    const auto switchedAt = now();
    renderBlocks (4);
    ASSERT_EQ (processor->getLeavingSlot(), 0);
    processor->unloadPlugin (0, false, true);
    EXPECT_EQ (processor->getLeavingSlot(), -1);
    const auto unloadedAt = now();
    renderBlocks (4);
    // The new slot goes on fading in; nothing of the old one is left.
    const auto fade = (long long) std::lround (rate * 0.2);
    for (long long n = unloadedAt; n < now(); ++n)
        ASSERT_NEAR (left[(size_t) n], fadeIn (n - switchedAt, fade) * dc (fx::kIdentityBridgeB, 0), 1.0e-5f) << n;
}
