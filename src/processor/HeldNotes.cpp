#include "HeldNotes.h"

void HeldNotes::track (const juce::MidiBuffer& midi) noexcept
{
    for (const auto metadata : midi)
        track (metadata.data, metadata.numBytes);
}

void HeldNotes::track (const juce::uint8* bytes, int size) noexcept
{
    if (bytes == nullptr || size < 2)
        return;
    const int status = bytes[0] & 0xf0;
    auto& channel = channels[(size_t) (bytes[0] & 0x0f)];
    const int data1 = bytes[1] & 0x7f;
    const int data2 = size >= 3 ? bytes[2] & 0x7f : 0;

    if (status == 0x90 && size >= 3 && data2 > 0)
    {
        if (! channel.down[(size_t) data1] && ! channel.sustained[(size_t) data1])
            ++channel.active;
        channel.down[(size_t) data1] = true;
        channel.velocity[(size_t) data1] = (std::uint8_t) data2;
        channel.sustained[(size_t) data1] = false;
    }
    else if (status == 0x80 || (status == 0x90 && size >= 3))
    {
        release (channel, data1);
    }
    else if (status == 0xb0 && size >= 3)
    {
        if (data1 == 64)
        {
            channel.sustain = (std::uint8_t) data2;
            if (data2 < 64)
                pedalUp (channel);
        }
        else if (data1 == 120 || data1 == 123)
        {
            reset (channel, false); // all sound off, all notes off
        }
        else if (data1 == 121)
        {
            reset (channel, true); // reset all controllers
        }
    }
    else if (status == 0xe0 && size >= 3)
    {
        channel.bend = data1 | (data2 << 7);
    }
}

void HeldNotes::release (Channel& channel, int note) noexcept
{
    const auto key = (size_t) note;
    if (! channel.down[key])
        return;
    channel.down[key] = false;
    if (channel.sustain >= 64)
        channel.sustained[key] = true;
    else
        --channel.active;
}

void HeldNotes::pedalUp (Channel& channel) noexcept
{
    for (size_t key = 0; key < 128 && channel.active > 0; ++key)
        if (channel.sustained[key])
        {
            channel.sustained[key] = false;
            --channel.active;
        }
}

void HeldNotes::reset (Channel& channel, bool controllersOnly) noexcept
{
    channel.sustain = 0;
    channel.bend = 8192;
    if (controllersOnly)
    {
        pedalUp (channel);
        return;
    }
    channel.down.fill (false);
    channel.sustained.fill (false);
    channel.active = 0;
}

void HeldNotes::writeTo (juce::MidiBuffer& midi, int samplePosition) const noexcept
{
    for (int index = 0; index < 16; ++index)
    {
        const auto& channel = channels[(size_t) index];
        const auto status = [index] (int kind) { return (juce::uint8) (kind | index); };

        if (channel.sustain != 0)
        {
            const juce::uint8 pedal[] = { status (0xb0), 64, channel.sustain };
            midi.addEvent (pedal, 3, samplePosition);
        }
        if (channel.bend != 8192)
        {
            const juce::uint8 bend[] = { status (0xe0), (juce::uint8) (channel.bend & 0x7f), (juce::uint8) (channel.bend >> 7) };
            midi.addEvent (bend, 3, samplePosition);
        }
        for (size_t key = 0; key < 128 && channel.active > 0; ++key)
        {
            if (channel.down[key])
            {
                const juce::uint8 on[] = { status (0x90), (juce::uint8) key, channel.velocity[key] };
                midi.addEvent (on, 3, samplePosition);
            }
            else if (channel.sustained[key])
            {
                // Sounding only through the pedal: struck and let go, so the
                // pedal's release ends it as it would have ended before.
                const juce::uint8 on[] = { status (0x90), (juce::uint8) key, channel.velocity[key] };
                const juce::uint8 off[] = { status (0x80), (juce::uint8) key, 0 };
                midi.addEvent (on, 3, samplePosition);
                midi.addEvent (off, 3, samplePosition);
            }
        }
    }
}

bool HeldNotes::isKeyDown (int channel, int note) const noexcept
{
    return channel >= 1 && channel <= 16 && note >= 0 && note < 128 && channels[(size_t) channel - 1].down[(size_t) note];
}

bool HeldNotes::isSustained (int channel, int note) const noexcept
{
    return channel >= 1 && channel <= 16 && note >= 0 && note < 128 && channels[(size_t) channel - 1].sustained[(size_t) note];
}

int HeldNotes::sustainValue (int channel) const noexcept
{
    return channel >= 1 && channel <= 16 ? channels[(size_t) channel - 1].sustain : 0;
}

int HeldNotes::pitchBend (int channel) const noexcept
{
    return channel >= 1 && channel <= 16 ? channels[(size_t) channel - 1].bend : 8192;
}

bool HeldNotes::holdsAnyNote() const noexcept
{
    for (const auto& channel : channels)
        if (channel.active > 0)
            return true;
    return false;
}
