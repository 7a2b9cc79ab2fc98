#pragma once

#include "HeldNotes.h"
#include <juce_audio_basics/juce_audio_basics.h>

// The audio thread's side of a crash hand-over: the block's MIDI kept before
// the active plug-in sees it (JUCE's hosting hands back the plug-in's own
// output in the same buffer), and what the host holds down, so that the plug-in
// taking over starts with the held notes and then plays the block itself.
// Storage is reserved up front; the audio-thread calls never allocate.
class CrashHandOver
{
public:
    CrashHandOver();

    // Before the active slot renders the block.
    void beforeBlock (const juce::MidiBuffer& midi) noexcept;
    // What the new slot plays this block: the state held when the block began,
    // at its first sample, then the block's own events.
    juce::MidiBuffer& midiForNewSlot () noexcept;
    // After the block: its events count as held from now on.
    void afterBlock () noexcept;

    // What the host holds down between blocks, and this block's MIDI as the
    // host sent it (the active plug-in may have replaced the buffer's events).
    const HeldNotes& heldNotes () const noexcept { return held_notes; }
    const juce::MidiBuffer& blockMidi () const noexcept { return block_midi; }

private:
    // A block's MIDI beyond this is not kept (thousands of events in one block).
    static constexpr int blockMidiBytes = 32768;

    HeldNotes held_notes;
    juce::MidiBuffer block_midi, new_slot_midi;
};
