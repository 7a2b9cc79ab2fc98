#include "MidiInput.h"

#include <algorithm>
#include <fstream>
#include <iterator>

namespace render {
namespace {

struct Reader {
    const std::vector<std::uint8_t>& data;
    size_t pos;
    size_t end;

    bool byte(std::uint8_t& out)
    {
        if (pos >= end)
            return false;
        out = data[pos++];
        return true;
    }

    bool fixed(int count, std::uint32_t& out)
    {
        out = 0;
        for (int i = 0; i < count; ++i) {
            std::uint8_t b = 0;
            if (!byte(b))
                return false;
            out = (out << 8) | b;
        }
        return true;
    }

    bool variable(std::uint32_t& out)
    {
        out = 0;
        for (int i = 0; i < 4; ++i) {
            std::uint8_t b = 0;
            if (!byte(b))
                return false;
            out = (out << 7) | (b & 0x7Fu);
            if ((b & 0x80u) == 0)
                return true;
        }
        return false; // longer than the four bytes a quantity may take
    }
};

struct TickEvent {
    std::uint64_t tick;
    int order; // keeps the file's order for equal ticks
    bool tempo;
    std::uint32_t microsPerQuarter;
    std::uint8_t bytes[3];
};

int dataBytesOf(std::uint8_t status)
{
    switch (status & 0xF0) {
    case 0xC0:
    case 0xD0: return 1;
    default: return 2;
    }
}

bool parseTrack(Reader& reader, std::vector<TickEvent>& out, int& order, std::string& error)
{
    std::uint64_t tick = 0;
    std::uint8_t running = 0;

    while (reader.pos < reader.end) {
        std::uint32_t delta = 0;
        if (!reader.variable(delta)) {
            error = "a bad delta time";
            return false;
        }
        tick += delta;

        std::uint8_t status = 0;
        if (!reader.byte(status)) {
            error = "a track ends after a delta time";
            return false;
        }

        if (status == 0xFF) {
            std::uint8_t type = 0;
            std::uint32_t length = 0;
            if (!reader.byte(type) || !reader.variable(length) || length > reader.end - reader.pos) {
                error = "a truncated meta event";
                return false;
            }
            if (type == 0x51 && length == 3) {
                const std::uint32_t micros = (std::uint32_t(reader.data[reader.pos]) << 16)
                                             | (std::uint32_t(reader.data[reader.pos + 1]) << 8)
                                             | reader.data[reader.pos + 2];
                if (micros == 0) {
                    error = "a tempo of zero";
                    return false;
                }
                out.push_back({tick, order++, true, micros, {0, 0, 0}});
            }
            reader.pos += length;
            if (type == 0x2F)
                return true; // end of track
            continue;
        }

        if (status == 0xF0 || status == 0xF7) {
            std::uint32_t length = 0;
            if (!reader.variable(length) || length > reader.end - reader.pos) {
                error = "a truncated system exclusive event";
                return false;
            }
            reader.pos += length;
            running = 0;
            continue;
        }

        std::uint8_t first = 0;
        if (status & 0x80) {
            if (status > 0xEF) {
                error = "an unexpected status byte";
                return false;
            }
            running = status;
            if (!reader.byte(first)) {
                error = "a truncated channel message";
                return false;
            }
        } else {
            if (running == 0) {
                error = "running status without a status byte";
                return false;
            }
            first = status;
            status = running;
        }

        std::uint8_t second = 0;
        if (dataBytesOf(status) == 2 && !reader.byte(second)) {
            error = "a truncated channel message";
            return false;
        }
        if ((first | second) & 0x80) {
            error = "a data byte above 127";
            return false;
        }
        out.push_back({tick, order++, false, 0, {status, first, second}});
    }
    return true; // tolerate a missing end-of-track event
}

} // namespace

bool parseMidi(const std::vector<std::uint8_t>& data, std::vector<TimedMidi>& events, std::string& error)
{
    events.clear();
    Reader reader{data, 0, data.size()};
    std::uint32_t chunk = 0;
    std::uint32_t length = 0;
    if (!reader.fixed(4, chunk) || chunk != 0x4D546864u /* MThd */ || !reader.fixed(4, length) || length < 6
        || length > reader.end - reader.pos) {
        error = "not a standard MIDI file (no MThd header)";
        return false;
    }
    std::uint32_t format = 0, tracks = 0, division = 0;
    reader.fixed(2, format);
    reader.fixed(2, tracks);
    reader.fixed(2, division);
    reader.pos += length - 6;
    if (format > 1) {
        error = "MIDI file format " + std::to_string(format) + " is not supported (only 0 and 1)";
        return false;
    }
    if (tracks == 0 || division == 0) {
        error = "the MIDI header declares no tracks or no time division";
        return false;
    }

    std::vector<TickEvent> all;
    int order = 0;
    std::uint32_t found = 0;
    while (found < tracks && reader.pos < reader.end) {
        if (!reader.fixed(4, chunk) || !reader.fixed(4, length) || length > reader.end - reader.pos) {
            error = "a truncated track chunk";
            return false;
        }
        if (chunk != 0x4D54726Bu /* MTrk */) {
            reader.pos += length; // unknown chunks are skipped
            continue;
        }
        Reader track{data, reader.pos, reader.pos + length};
        if (!parseTrack(track, all, order, error)) {
            error = "track " + std::to_string(found) + ": " + error;
            return false;
        }
        reader.pos += length;
        ++found;
    }
    if (found != tracks) {
        error = "the MIDI header declares " + std::to_string(tracks) + " tracks, the file holds " + std::to_string(found);
        return false;
    }

    std::stable_sort(all.begin(), all.end(), [](const TickEvent& a, const TickEvent& b) {
        return a.tick != b.tick ? a.tick < b.tick : a.order < b.order;
    });

    const bool smpte = (division & 0x8000u) != 0;
    double secondsPerTick = 0.0;
    if (smpte) {
        const int fps = -static_cast<int>(static_cast<std::int8_t>(division >> 8));
        const int perFrame = static_cast<int>(division & 0xFF);
        if (fps <= 0 || perFrame == 0) {
            error = "a bad SMPTE time division";
            return false;
        }
        secondsPerTick = 1.0 / (fps == 29 ? 29.97 : fps) / perFrame;
    } else {
        secondsPerTick = 0.5 / division; // 120 bpm until a tempo event says otherwise
    }

    std::uint64_t lastTick = 0;
    double seconds = 0.0;
    for (const auto& e : all) {
        seconds += static_cast<double>(e.tick - lastTick) * secondsPerTick;
        lastTick = e.tick;
        if (e.tempo) {
            if (!smpte)
                secondsPerTick = e.microsPerQuarter / 1e6 / division;
            continue;
        }
        TimedMidi m;
        m.seconds = seconds;
        std::copy(e.bytes, e.bytes + 3, m.bytes);
        events.push_back(m);
    }
    return true;
}

bool readMidiFile(const std::string& path, std::vector<TimedMidi>& events, std::string& error)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot open MIDI file " + path;
        return false;
    }
    std::vector<std::uint8_t> data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!parseMidi(data, events, error)) {
        error = "MIDI file " + path + " does not parse: " + error;
        return false;
    }
    return true;
}

std::vector<TimedMidi> builtInPhrase(double seconds)
{
    // C - F - Am - G, an arpeggio over a held bass note; one beat is 0.5 s.
    struct Bar {
        int bass;
        int melody[4];
    };
    static constexpr Bar bars[4] = {
        {48, {60, 64, 67, 72}},
        {41, {65, 69, 72, 77}},
        {45, {69, 72, 76, 72}},
        {43, {67, 71, 74, 79}},
    };
    constexpr double beat = 0.5;
    constexpr double phrase = 16 * beat;

    std::vector<TimedMidi> events;
    auto add = [&](double at, std::uint8_t status, int note, int velocity) {
        if (at >= seconds)
            return;
        TimedMidi m;
        m.seconds = at;
        m.bytes[0] = status;
        m.bytes[1] = static_cast<std::uint8_t>(note);
        m.bytes[2] = static_cast<std::uint8_t>(velocity);
        events.push_back(m);
    };

    for (double start = 0.0; start < seconds; start += phrase) {
        for (int b = 0; b < 4; ++b) {
            const double barStart = start + b * 4 * beat;
            add(barStart, 0x90, bars[b].bass, 90);
            add(barStart + 4 * beat - 0.05, 0x80, bars[b].bass, 0);
            for (int n = 0; n < 4; ++n) {
                add(barStart + n * beat, 0x90, bars[b].melody[n], 100);
                add(barStart + (n + 0.8) * beat, 0x80, bars[b].melody[n], 0);
            }
        }
    }
    std::stable_sort(events.begin(), events.end(),
                     [](const TimedMidi& a, const TimedMidi& b) { return a.seconds < b.seconds; });
    return events;
}

double lastEventTime(const std::vector<TimedMidi>& events)
{
    return events.empty() ? 0.0 : events.back().seconds;
}

} // namespace render
