#pragma once

#include <juce_audio_basics/juce_audio_basics.h>
#include <array>
#include <cstdint>

// What the host's MIDI holds down at a block boundary: keys, the sustain pedal
// and the pitch bend of each channel. A plug-in that takes over from a crashed
// one is told all of it first, so a held chord goes on sounding.
// Audio thread only; nothing here allocates.
class HeldNotes
{
public:
    void track (const juce::MidiBuffer& midi) noexcept;
    void track (const juce::uint8* bytes, int size) noexcept;

    // Adds the state as events at `samplePosition`: pedal and bend first, then
    // a note-on for every key held, then a note-on and note-off for every key
    // released while the pedal holds it. The buffer must have room (see
    // `maxEventBytes`).
    void writeTo (juce::MidiBuffer& midi, int samplePosition) const noexcept;

    bool isKeyDown (int channel, int note) const noexcept; // channel 1..16
    bool isSustained (int channel, int note) const noexcept;
    int sustainValue (int channel) const noexcept;
    int pitchBend (int channel) const noexcept; // 0..16383, 8192 at rest
    // Whether any key is down or held by the pedal on any channel.
    bool holdsAnyNote () const noexcept;

    // The most a MidiBuffer takes for writeTo: two events per key plus two per
    // channel, each a 3-byte message with its position and size.
    static constexpr int maxEventBytes = (16 * 128 * 2 + 16 * 2) * (int) (sizeof (std::int32_t) + sizeof (std::uint16_t) + 3);

private:
    struct Channel
    {
        std::array<std::uint8_t, 128> velocity {}; // of the key's last note-on
        std::array<bool, 128> down {};
        std::array<bool, 128> sustained {}; // released while the pedal was down
        std::uint8_t sustain = 0; // controller 64
        int bend = 8192;
        int active = 0; // keys down or sustained, to skip quiet channels quickly
    };

    void release (Channel& channel, int note) noexcept;
    void pedalUp (Channel& channel) noexcept;
    void reset (Channel& channel, bool controllersOnly) noexcept;

    std::array<Channel, 16> channels;
};
