#include "MidiInput.h"

#include <juce_audio_basics/juce_audio_basics.h>

#include <algorithm>

namespace render
{
    namespace
    {

        // juce::MidiFile pads a channel or meta event cut off by the end of its track
        // chunk instead of refusing it; such a file is refused here instead of played
        // with made-up data bytes.
        bool tracksComplete (const juce::MemoryBlock& file, std::string& error)
        {
            const auto* data = static_cast<const juce::uint8*> (file.getData());
            const size_t size = file.getSize();
            size_t pos = 8 + juce::ByteOrder::bigEndianInt (data + 4); // after the header chunk
            int track = 0;
            while (pos + 8 <= size)
            {
                const size_t end = std::min (size, pos + 8 + juce::ByteOrder::bigEndianInt (data + pos + 4));
                const bool isTrack = juce::ByteOrder::bigEndianInt (data + pos) == juce::ByteOrder::bigEndianInt ("MTrk");
                pos += 8;
                juce::uint8 running = 0;
                while (isTrack && pos < end)
                {
                    const auto delta = juce::MidiMessage::readVariableLengthValue (data + pos, static_cast<int> (end - pos));
                    if (! delta.isValid() || pos + static_cast<size_t> (delta.bytesUsed) >= end)
                        break; // JUCE stops there too: nothing is made up
                    pos += static_cast<size_t> (delta.bytesUsed);
                    const juce::uint8 status = data[pos] >= 0x80 ? data[pos++] : running;
                    size_t length = 0;
                    if (status == 0xFF || status == 0xF0 || status == 0xF7)
                    {
                        const size_t skip = status == 0xFF ? 1 : 0; // the meta event's type byte
                        const auto body = juce::MidiMessage::readVariableLengthValue (data + std::min (end, pos + skip),
                                                                                      static_cast<int> (end - std::min (end, pos + skip)));
                        length = body.isValid() ? skip + static_cast<size_t> (body.bytesUsed + body.value) : end - pos + 1;
                        running = 0;
                    }
                    else if (status >= 0x80)
                    {
                        length = static_cast<size_t> (juce::MidiMessage::getMessageLengthFromFirstByte (status) - 1);
                        running = status;
                    }
                    else
                    {
                        error = "track " + std::to_string (track) + ": running status without a status byte";
                        return false;
                    }
                    if (length > end - pos)
                    {
                        error = "track " + std::to_string (track) + ": an event runs past the end of its track";
                        return false;
                    }
                    pos += length;
                }
                pos = end;
                track += isTrack ? 1 : 0;
            }
            return true;
        }

        bool parseMidi (const juce::MemoryBlock& file, std::vector<TimedMidi>& events, std::string& error)
        {
            // JUCE also takes a RIFF-wrapped file; this renderer reads plain ones.
            if (file.getSize() < 14 || juce::ByteOrder::bigEndianInt (file.getData()) != juce::ByteOrder::bigEndianInt ("MThd"))
            {
                error = "not a standard MIDI file (no MThd header)";
                return false;
            }
            juce::MidiFile midi;
            juce::MemoryInputStream stream (file, false);
            int format = 0;
            if (! midi.readFrom (stream, false, &format))
            {
                error = "not a standard MIDI file (a bad header or a truncated chunk)";
                return false;
            }
            if (format > 1)
            {
                error = "MIDI file format " + std::to_string (format) + " is not supported (only 0 and 1)";
                return false;
            }
            const int division = midi.getTimeFormat();
            if (midi.getNumTracks() == 0 || division == 0)
            {
                error = "the MIDI header declares no tracks or no time division";
                return false;
            }
            if (division < 0 && ((-(division >> 8)) <= 0 || (division & 0xFF) == 0))
            {
                error = "a bad SMPTE time division";
                return false;
            }
            if (! tracksComplete (file, error))
                return false;

            midi.convertTimestampTicksToSeconds();
            for (int t = 0; t < midi.getNumTracks(); ++t)
                for (const auto* held : *midi.getTrack (t))
                {
                    const auto& message = held->message;
                    const auto* raw = message.getRawData();
                    if (message.getRawDataSize() > 3 || raw[0] < 0x80 || raw[0] > 0xEF)
                        continue; // meta and system exclusive events
                    TimedMidi m;
                    m.seconds = message.getTimeStamp();
                    std::copy (raw, raw + message.getRawDataSize(), m.bytes);
                    events.push_back (m);
                }
            // Tracks merged in time; equal times keep the file's order.
            std::stable_sort (events.begin(), events.end(), [] (const TimedMidi& a, const TimedMidi& b) { return a.seconds < b.seconds; });
            return true;
        }

    } // namespace

    bool readMidiFile (const std::string& path, std::vector<TimedMidi>& events, std::string& error)
    {
        events.clear();
        juce::MemoryBlock file;
        const juce::File source (juce::File::getCurrentWorkingDirectory().getChildFile (path));
        if (! source.existsAsFile() || ! source.loadFileAsData (file))
        {
            error = "cannot open MIDI file " + path;
            return false;
        }
        if (! parseMidi (file, events, error))
        {
            error = "MIDI file " + path + " does not parse: " + error;
            return false;
        }
        return true;
    }

    std::vector<TimedMidi> builtInPhrase (double seconds)
    {
        // C - F - Am - G, an arpeggio over a held bass note; one beat is 0.5 s.
        struct Bar
        {
            int bass;
            int melody[4];
        };
        static constexpr Bar bars[4] = {
            { 48, { 60, 64, 67, 72 } },
            { 41, { 65, 69, 72, 77 } },
            { 45, { 69, 72, 76, 72 } },
            { 43, { 67, 71, 74, 79 } },
        };
        constexpr double beat = 0.5;
        constexpr double phrase = 16 * beat;

        std::vector<TimedMidi> events;
        auto add = [&] (double at, std::uint8_t status, int note, int velocity)
        {
            if (at >= seconds)
                return;
            TimedMidi m;
            m.seconds = at;
            m.bytes[0] = status;
            m.bytes[1] = static_cast<std::uint8_t> (note);
            m.bytes[2] = static_cast<std::uint8_t> (velocity);
            events.push_back (m);
        };

        for (double start = 0.0; start < seconds; start += phrase)
        {
            for (int b = 0; b < 4; ++b)
            {
                const double barStart = start + b * 4 * beat;
                add (barStart, 0x90, bars[b].bass, 90);
                add (barStart + 4 * beat - 0.05, 0x80, bars[b].bass, 0);
                for (int n = 0; n < 4; ++n)
                {
                    add (barStart + n * beat, 0x90, bars[b].melody[n], 100);
                    add (barStart + (n + 0.8) * beat, 0x80, bars[b].melody[n], 0);
                }
            }
        }
        std::stable_sort (events.begin(), events.end(), [] (const TimedMidi& a, const TimedMidi& b) { return a.seconds < b.seconds; });
        return events;
    }

    double lastEventTime (const std::vector<TimedMidi>& events)
    {
        return events.empty() ? 0.0 : events.back().seconds;
    }

} // namespace render
