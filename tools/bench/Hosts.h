// The two ways the benchmark hosts a synth, behind one render call, and the MIDI
// both of them play.
#pragma once

#include <juce_audio_processors/juce_audio_processors.h>
#include "RawVstHost.h"
#include <array>
#include <cstdio>
#include <memory>
#include <string>

namespace bench
{
    constexpr double sampleRate = 48000.0;
    // Where measurements are printed.
    extern FILE* results;

    // A three-note chord every 100 ms, released after 50 ms, the chord moving up a
    // semitone each time: events at absolute sample times, the same for both hosts.
    struct MidiEvent
    {
        int offset;
        juce::uint8 bytes[3];
    };
    constexpr int maxEventsPerBlock = 64;
    int eventsInBlock (long long start, int length, std::array<MidiEvent, maxEventsPerBlock>& out);

    class Host
    {
    public:
        virtual ~Host() = default;
        // One block of `length` samples starting at `position`, MIDI included.
        virtual void render (long long position, int length) = 0;
        virtual float firstSample () const = 0;
    };

    // (a) The synth hosted directly by JUCE's VST 2.x hosting in this process,
    // with a play head as a host gives one.
    std::unique_ptr<Host> makeDirectHost (const std::string& synthPath, int blockSize, std::string& error);

    // (b) The built container loaded through its VST 2.x entry point, the synth in
    // slot 0 through a state document, driven as a plain VST 2.x host drives it.
    class ContainerHost : public Host
    {
    public:
        ContainerHost (int blockSize);
        ~ContainerHost() override;
        bool load (const std::string& containerPath, std::string& error);
        void setState (const std::string& document);
        void render (long long position, int length) override;
        float firstSample () const override { return outputs[0][0]; }
        AEffect* effect () const { return host.effect(); }
        bool sendMidi = true;

    private:
        RawVstHost host { "tamblit-bench" };
        int blockSize;
        std::array<std::vector<float>, 2> outputs;
        std::array<float*, 2> outputPointers {};
        std::array<VstMidiEvent, maxEventsPerBlock> midiEvents {};
        std::array<MidiEvent, maxEventsPerBlock> scheduled {};
    };

    // The container's state document with `slots` paths (empty: slot left out).
    std::string stateDocument (int active, const std::string& slot0, const std::string& slot1, std::array<bool, 2> isProtected = {});
}
