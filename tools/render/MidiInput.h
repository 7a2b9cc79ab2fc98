// MIDI input of tamblit-render: a standard MIDI file or the built-in phrase,
// flattened to channel messages at sample positions.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace render
{

    struct TimedMidi
    {
        double seconds = 0.0;
        std::uint8_t bytes[3] = { 0, 0, 0 };
    };

    // Reads a type 0 or 1 standard MIDI file (juce::MidiFile does the parsing);
    // false with `error` set when it does not parse.
    bool readMidiFile (const std::string& path, std::vector<TimedMidi>& events, std::string& error);

    // A four-bar phrase at 120 bpm (8 s), repeated to fill `seconds`.
    std::vector<TimedMidi> builtInPhrase (double seconds);

    // Time of the last event (0 for none).
    double lastEventTime (const std::vector<TimedMidi>& events);

} // namespace render
