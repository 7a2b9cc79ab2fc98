#include "SwitchTransition.h"
#include <cmath>

namespace
{
    constexpr double quarterTurn = 1.5707963267948966;
    // What one event takes in a MidiBuffer besides its bytes: position and size.
    constexpr int eventHeaderBytes = (int) (sizeof (juce::int32) + sizeof (juce::uint16));
    constexpr int outgoingMidiBytes = 32768;
    // The old slot counts as died away below this peak (-80 dBFS), held for 50 ms.
    constexpr float quietPeak = 1.0e-4f;
    constexpr double quietSeconds = 0.05;
    constexpr double longestDelaySeconds = 0.5;

    // Events a slot that is leaving still needs to end its notes.
    bool endsNotes (const juce::uint8* data, int size) noexcept
    {
        if (size < 3)
            return false;
        const int kind = data[0] & 0xf0;
        if (kind == 0x80 || (kind == 0x90 && data[2] == 0))
            return true;
        return kind == 0xb0 && (data[1] == 64 || data[1] == 120 || data[1] == 123);
    }

    double rampAngle (juce::int64 position, int fadeSamples) noexcept
    {
        return fadeSamples > 0 ? quarterTurn * (double) juce::jmin (position, (juce::int64) fadeSamples) / (double) fadeSamples
                               : quarterTurn;
    }

    // Equal-power gain curve sampled along a ramp: sin of an angle that grows
    // by a fixed step each sample, computed by rotation (no trig per sample).
    struct Ramp
    {
        double cosine, sine, stepCos, stepSin;
        juce::int64 position, length;

        Ramp (juce::int64 start, juce::int64 fadeSamples) noexcept
            : position (start),
              length (fadeSamples)
        {
            const double angle = rampAngle (start, (int) fadeSamples);
            cosine = std::cos (angle);
            sine = std::sin (angle);
            const double step = fadeSamples > 0 ? quarterTurn / (double) fadeSamples : 0.0;
            stepCos = std::cos (step);
            stepSin = std::sin (step);
        }

        // sin(angle) now, then one sample on.
        float rising () noexcept { return (float) next().sine; }
        // cos(angle) now, then one sample on.
        float falling () noexcept { return (float) next().cosine; }

    private:
        struct Pair
        {
            double cosine, sine;
        };
        Pair next () noexcept
        {
            const Pair now { cosine, sine };
            if (position >= length)
                return { 0.0, 1.0 };
            ++position;
            if (position >= length)
            {
                cosine = 0.0;
                sine = 1.0;
                return now;
            }
            const double c = cosine * stepCos - sine * stepSin;
            sine = sine * stepCos + cosine * stepSin;
            cosine = c;
            return now;
        }
    };

    juce::int64 positionForGain (double gain, bool rising, int fadeSamples) noexcept
    {
        gain = juce::jlimit (0.0, 1.0, gain);
        const double angle = rising ? std::asin (gain) : std::acos (gain);
        return (juce::int64) std::lround (angle / quarterTurn * fadeSamples);
    }
}

void SwitchTransition::History::clear() noexcept
{
    samples.clear();
    write = 0;
    lastBlock = -2;
}

void SwitchTransition::History::push (const juce::AudioSampleBuffer& source, int numSamples) noexcept
{
    const int size = samples.getNumSamples();
    if (numSamples <= 0 || numSamples > size)
        return;
    const int shared = juce::jmin (samples.getNumChannels(), source.getNumChannels());
    const int first = juce::jmin (numSamples, size - write);
    for (int channel = 0; channel < samples.getNumChannels(); ++channel)
    {
        if (channel >= shared)
        {
            samples.clear (channel, write, first);
            if (numSamples > first)
                samples.clear (channel, 0, numSamples - first);
            continue;
        }
        samples.copyFrom (channel, write, source, channel, 0, first);
        if (numSamples > first)
            samples.copyFrom (channel, 0, source, channel, first, numSamples - first);
    }
    write = (write + numSamples) % size;
}

void SwitchTransition::History::readDelayed (juce::AudioSampleBuffer& dest, int numSamples, int delay) const noexcept
{
    const int size = samples.getNumSamples();
    const int start = ((write - numSamples - delay) % size + size) % size;
    const int first = juce::jmin (numSamples, size - start);
    const int shared = juce::jmin (samples.getNumChannels(), dest.getNumChannels());
    for (int channel = 0; channel < shared; ++channel)
    {
        dest.copyFrom (channel, 0, samples, channel, start, first);
        if (numSamples > first)
            dest.copyFrom (channel, first, samples, channel, 0, numSamples - first);
    }
}

void SwitchTransition::prepare (int numChannels, int maxBlockSize, double sampleRate)
{
    channels = juce::jmax (1, numChannels);
    max_block = juce::jmax (1, maxBlockSize);
    quiet_needed = juce::jmax (1, (int) (sampleRate * quietSeconds));
    const int capacity = juce::nextPowerOfTwo (max_block + (int) (sampleRate * longestDelaySeconds));
    for (auto& slotHistory : history)
    {
        slotHistory.samples.setSize (channels, capacity, false, true, false);
        slotHistory.clear();
    }
    outgoing_block.setSize (channels, max_block, false, true, false);
    delayed_block.setSize (channels, max_block, false, true, false);
    outgoing_midi.ensureSize ((size_t) outgoingMidiBytes);
    // A prepare sets every plug-in up anew: nothing is leaving any more.
    if (isRunning())
        finished_slot = outgoing_slot;
    phase = Phase::idle;
    outgoing_slot = -1;
    outgoing_instance = nullptr;
    leaving_slot = -1;
    switching = false;
    block_counter = 0;
}

void SwitchTransition::start (int fromSlot, juce::AudioPluginInstance* outgoing, int outgoingLatency, int incomingLatency,
                              const HeldNotes& held, const Settings& newSettings) noexcept
{
    const int toSlot = 1 - fromSlot;
    const int fade = juce::jmax (0, newSettings.fadeSamples);
    if (isRunning() && outgoing_slot == toSlot)
    {
        // Back to the slot that was leaving: each slot goes on from the level it has.
        const double leavingLevel = phase == Phase::ringing ? 1.0 : std::cos (rampAngle (fade_out_position, settings.fadeSamples));
        const double arrivingLevel = std::sin (rampAngle (fade_in_position, settings.fadeSamples));
        fade_in_position = positionForGain (leavingLevel, true, fade);
        fade_out_position = positionForGain (arrivingLevel, false, fade);
    }
    else
    {
        fade_in_position = 0;
        fade_out_position = 0;
    }

    settings = newSettings;
    settings.fadeSamples = fade;
    outgoing_gone = false;
    outgoing_slot = fromSlot;
    outgoing_instance = outgoing;
    ringing_notes = held;
    ring_elapsed = 0;
    quiet_samples = 0;
    phase = settings.letRing ? Phase::ringing : Phase::fadingOut;
    leaving_slot = fromSlot;
    switching = true;

    // The slot with the smaller latency sounds earlier: it is played late by
    // the difference, out of its recent output.
    const int limit = history[0].samples.getNumSamples() - max_block;
    const int difference = incomingLatency - outgoingLatency;
    outgoing_delay = difference > 0 && difference <= limit ? difference : 0;
    incoming_delay = difference < 0 && -difference <= limit ? -difference : 0;
    for (auto& slotHistory : history)
        if (slotHistory.lastBlock != block_counter - 1)
            slotHistory.clear();
}

void SwitchTransition::cancelSlot (int slot) noexcept
{
    if (slot != 0 && slot != 1)
        return;
    history[(size_t) slot].lastBlock = -2;
    if (! isRunning())
        return;
    if (outgoing_slot != slot)
    {
        // The new slot changes: the old one is cut, and reset later.
        finish();
        return;
    }
    outgoing_instance = nullptr;
    outgoing_gone = true;
    outgoing_delay = 0;
    phase = Phase::fadingOut;
    fade_out_position = settings.fadeSamples;
    leaving_slot = -1;
}

void SwitchTransition::stop() noexcept
{
    phase = Phase::idle;
    outgoing_instance = nullptr;
    leaving_slot = -1;
    switching = false;
}

juce::AudioSampleBuffer* SwitchTransition::outgoingBuffer (int numSamples) noexcept
{
    if (numSamples > max_block)
    {
        // The host broke its own block size: dropping the old slot costs less
        // than growing buffers here.
        finish();
        return nullptr;
    }
    outgoing_block.clear (0, numSamples);
    outgoing_view.setDataToReferTo (outgoing_block.getArrayOfWritePointers(), channels, numSamples);
    return &outgoing_view;
}

juce::MidiBuffer& SwitchTransition::outgoingMidi (const juce::MidiBuffer& blockMidi) noexcept
{
    outgoing_midi.clear();
    for (const auto metadata : blockMidi)
    {
        if (! endsNotes (metadata.data, metadata.numBytes))
            continue;
        ringing_notes.track (metadata.data, metadata.numBytes);
        if (outgoing_midi.data.size() + eventHeaderBytes + metadata.numBytes > outgoingMidiBytes)
            continue;
        outgoing_midi.addEvent (metadata.data, metadata.numBytes, metadata.samplePosition);
    }
    return outgoing_midi;
}

bool SwitchTransition::oldSlotIsQuiet (const juce::AudioSampleBuffer& block, int numSamples) noexcept
{
    float peak = 0.0f;
    for (int channel = 0; channel < block.getNumChannels(); ++channel)
        peak = juce::jmax (peak, block.getMagnitude (channel, 0, numSamples));
    quiet_samples = peak < quietPeak ? quiet_samples + numSamples : 0;
    return quiet_samples >= quiet_needed;
}

void SwitchTransition::mix (juce::AudioSampleBuffer& buffer, int activeSlot) noexcept
{
    if (! isRunning() || activeSlot != 1 - outgoing_slot)
        return;
    const int samples = outgoing_view.getNumSamples();
    const int shared = juce::jmin (channels, buffer.getNumChannels());
    auto& incomingHistory = history[(size_t) activeSlot];
    auto& outgoingHistory = history[(size_t) outgoing_slot];
    incomingHistory.push (buffer, samples);
    incomingHistory.lastBlock = block_counter;
    outgoingHistory.push (outgoing_view, samples);
    outgoingHistory.lastBlock = block_counter;

    juce::AudioSampleBuffer delayed (delayed_block.getArrayOfWritePointers(), channels, samples);
    if (incoming_delay > 0)
    {
        incomingHistory.readDelayed (delayed, samples, incoming_delay);
        for (int channel = 0; channel < shared; ++channel)
            buffer.copyFrom (channel, 0, delayed, channel, 0, samples);
    }
    if (outgoing_delay > 0)
    {
        outgoingHistory.readDelayed (delayed, samples, outgoing_delay);
        for (int channel = 0; channel < channels; ++channel)
            outgoing_view.copyFrom (channel, 0, delayed, channel, 0, samples);
    }

    const bool ringing = phase == Phase::ringing;
    for (int channel = 0; channel < shared; ++channel)
    {
        Ramp in (fade_in_position, settings.fadeSamples);
        Ramp out (ringing ? 0 : fade_out_position, ringing ? 0 : settings.fadeSamples);
        auto* mixed = buffer.getWritePointer (channel);
        const auto* leaving = outgoing_view.getReadPointer (channel);
        for (int i = 0; i < samples; ++i)
            mixed[i] = in.rising() * mixed[i] + (ringing ? leaving[i] : out.falling() * leaving[i]);
    }

    fade_in_position = juce::jmin (fade_in_position + samples, (juce::int64) settings.fadeSamples);
    if (ringing)
    {
        ring_elapsed += samples;
        const bool released = ! ringing_notes.holdsAnyNote() && oldSlotIsQuiet (outgoing_view, samples);
        if (released || ring_elapsed >= settings.ringBoundSamples)
            phase = Phase::fadingOut;
    }
    else
    {
        fade_out_position = juce::jmin (fade_out_position + samples, (juce::int64) settings.fadeSamples);
    }

    ++block_counter;
    if (phase == Phase::fadingOut && fade_out_position >= settings.fadeSamples && fade_in_position >= settings.fadeSamples)
        finish();
}

void SwitchTransition::keepHistory (const juce::AudioSampleBuffer& buffer, int activeSlot) noexcept
{
    if (activeSlot == 0 || activeSlot == 1)
    {
        auto& slotHistory = history[(size_t) activeSlot];
        slotHistory.push (buffer, buffer.getNumSamples());
        slotHistory.lastBlock = block_counter;
    }
    ++block_counter;
}

void SwitchTransition::finish() noexcept
{
    if (! isRunning())
        return;
    phase = Phase::idle;
    if (! outgoing_gone)
        finished_slot = outgoing_slot;
    outgoing_instance = nullptr;
    leaving_slot = -1;
    switching = false;
}
