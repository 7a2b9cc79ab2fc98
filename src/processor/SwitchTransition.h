#pragma once

#include "HeldNotes.h"
#include <juce_audio_basics/juce_audio_basics.h>
#include <array>
#include <atomic>
#include <vector>

namespace juce
{
    class AudioPluginInstance;
}

// A manual switch between the slots as the audio thread plays it. The new
// slot fades in and the old one fades out with equal power over the fade
// length; with notes let ring, the old slot first plays on the notes the host
// held at the switch (and those the pedal holds) until they are released and
// their sound has died away, or the ring bound has passed, and only then fades
// out. During the switch the slot whose output comes earlier (the smaller
// latency) is delayed by the difference, so the two line up.
//
// Threads: the message thread calls start(), cancelSlot() and takeFinished()
// holding the processor's callback lock; the audio thread calls the rest inside
// processBlock, where the host's wrapper holds that lock. prepare() runs while
// the host sends no blocks. The audio-thread calls never allocate or wait.
class SwitchTransition
{
public:
    struct Settings
    {
        int fadeSamples = 0;
        bool letRing = false;
        int ringBoundSamples = 0;
    };

    // Storage for blocks of up to maxBlockSize samples and latency differences
    // of up to about half a second.
    void prepare (int numChannels, int maxBlockSize, double sampleRate);

    // The old slot `fromSlot` (its plug-in, latency and the notes the host holds
    // now) starts leaving; the other slot is the new active one. A switch back
    // to a slot still leaving picks up from the gains it has reached.
    void start (int fromSlot, juce::AudioPluginInstance* outgoing, int outgoingLatency, int incomingLatency, const HeldNotes& held,
                const Settings& settings) noexcept;
    // The slot's plug-in is about to change or go: it is not played any more.
    // When it is the slot leaving, the new slot still fades in over silence.
    void cancelSlot (int slot) noexcept;
    // Ends the transition at once, resetting nothing: the slot that was
    // leaving plays in full again (a crash hand-over to it).
    void stop () noexcept;
    // The slot whose transition ended since the last call (its plug-in is
    // reset then), or -1. Any thread.
    int takeFinished () noexcept { return finished_slot.exchange (-1); }

    // The slot still sounding after a switch, or -1; any thread may ask.
    int leavingSlot () const noexcept { return leaving_slot.load(); }
    // Whether blocks are still mixed or faded in after a switch; any thread.
    bool isSwitching () const noexcept { return switching.load(); }

    bool isRunning () const noexcept { return phase != Phase::idle; }
    int outgoingSlot () const noexcept { return isRunning() ? outgoing_slot : -1; }
    juce::AudioPluginInstance* outgoingInstance () const noexcept { return outgoing_instance; }

    // Audio thread. The buffer the old slot renders this block into (cleared),
    // or null when the host sent a block larger than it prepared (the old slot
    // is then dropped at once).
    juce::AudioSampleBuffer* outgoingBuffer (int numSamples) noexcept;
    // The part of the host's block MIDI the old slot still gets: note-offs, the
    // sustain pedal and all-notes-off; new notes go to the new slot only.
    juce::MidiBuffer& outgoingMidi (const juce::MidiBuffer& blockMidi) noexcept;
    // Mixes the old slot's block (in outgoingBuffer) into the new slot's in
    // `buffer`, and moves the transition on by the block.
    void mix (juce::AudioSampleBuffer& buffer, int activeSlot) noexcept;
    // With no transition running: keeps the active slot's recent output, so a
    // switch can delay it to line up with a slot of larger latency.
    void keepHistory (const juce::AudioSampleBuffer& buffer, int activeSlot) noexcept;

private:
    enum class Phase
    {
        idle,
        ringing, // old slot at full level while notes it holds sound
        fadingOut // old slot fading out
    };

    // One slot's recent output, for reading it a fixed number of samples late.
    struct History
    {
        juce::AudioSampleBuffer samples;
        int write = 0;
        juce::int64 lastBlock = -2; // the block counter when it was last fed
        void clear () noexcept;
        void push (const juce::AudioSampleBuffer& source, int numSamples) noexcept;
        // After push: the last block's samples as they were `delay` samples earlier.
        void readDelayed (juce::AudioSampleBuffer& dest, int numSamples, int delay) const noexcept;
    };

    void feed (int slot, const juce::AudioSampleBuffer& source, int numSamples) noexcept;
    void finish () noexcept;
    bool oldSlotIsQuiet (const juce::AudioSampleBuffer& block, int numSamples) noexcept;

    Phase phase = Phase::idle;
    int outgoing_slot = -1;
    juce::AudioPluginInstance* outgoing_instance = nullptr;
    Settings settings;
    // Progress of each ramp in samples (0 to fadeSamples).
    juce::int64 fade_in_position = 0, fade_out_position = 0;
    juce::int64 ring_elapsed = 0;
    int quiet_samples = 0;
    // How late each stream is played while the transition runs.
    int outgoing_delay = 0, incoming_delay = 0;
    // The leaving slot's plug-in went away mid-transition: nothing to reset.
    bool outgoing_gone = false;
    HeldNotes ringing_notes;

    int channels = 0, max_block = 0, quiet_needed = 0;
    juce::int64 block_counter = 0;
    juce::AudioSampleBuffer outgoing_block, delayed_block, outgoing_view;
    juce::MidiBuffer outgoing_midi;
    std::array<History, 2> history;
    std::atomic<int> finished_slot { -1 };
    std::atomic<int> leaving_slot { -1 };
    std::atomic<bool> switching { false };
};
