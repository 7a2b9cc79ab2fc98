#include "CrashHandOver.h"

namespace
{
    // What one event takes in a MidiBuffer besides its bytes: position and size.
    constexpr int eventHeaderBytes = (int) (sizeof (juce::int32) + sizeof (juce::uint16));
}

CrashHandOver::CrashHandOver()
{
    block_midi.ensureSize ((size_t) blockMidiBytes);
    new_slot_midi.ensureSize ((size_t) (HeldNotes::maxEventBytes + blockMidiBytes));
}

void CrashHandOver::beforeBlock (const juce::MidiBuffer& midi) noexcept
{
    block_midi.clear();
    for (const auto metadata : midi)
    {
        if (block_midi.data.size() + eventHeaderBytes + metadata.numBytes > blockMidiBytes)
            break;
        block_midi.addEvent (metadata.data, metadata.numBytes, metadata.samplePosition);
    }
}

juce::MidiBuffer& CrashHandOver::midiForNewSlot() noexcept
{
    new_slot_midi.clear();
    held_notes.writeTo (new_slot_midi, 0);
    for (const auto metadata : block_midi)
        new_slot_midi.addEvent (metadata.data, metadata.numBytes, metadata.samplePosition);
    return new_slot_midi;
}

void CrashHandOver::afterBlock() noexcept
{
    held_notes.track (block_midi);
}
