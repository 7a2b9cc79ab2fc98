// A plain VST 2.x host for one plug-in .so, written on the FST definitions and
// free of JUCE: dlopen, VSTPluginMain (or main), then dispatcher and process
// calls, the way a DAW drives a plug-in. tamblit-render, tamblit-bench and the
// tests host the container (and fixtures) through it.
#pragma once

#include <pluginterfaces/vst2.x/aeffectx.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

class RawVstHost
{
public:
    // Without a name the host answers only audioMasterVersion, as a bare host
    // does; with one it also reports the sample rate, block size, transport
    // (audioMasterGetTime) and its vendor and product strings.
    explicit RawVstHost (std::string hostName = {});
    ~RawVstHost();
    RawVstHost (const RawVstHost&) = delete;
    RawVstHost& operator= (const RawVstHost&) = delete;

    // Loads the library and creates and opens one effect; false with `error`
    // set otherwise. The effect's magic is the caller's to check.
    bool load (const std::string& path, std::string& error);
    // effClose. The library stays mapped: JUCE-based plug-ins keep threads and
    // process-wide state that outlive one effect.
    void close ();

    AEffect* effect () const { return fx; }
    VstIntPtr dispatch (int opcode, int index = 0, VstIntPtr value = 0, void* ptr = nullptr, float opt = 0.0f);

    std::string getString (int opcode, int index = 0);
    int canDo (const char* what);

    // Sample rate and block size, then resume: the usual start-up.
    void prepare (float sampleRate, int blockSize);
    void resume ();
    void start (float sampleRate, int blockSize)
    {
        prepare (sampleRate, blockSize);
        resume();
    }
    void stop ();

    // Transport at `samplePosition` (120 bpm, 4/4) for the next block.
    void setPosition (std::int64_t samplePosition);

    // Sends MIDI for the next block. Up to `eventCapacity` events need no allocation.
    static constexpr int eventCapacity = 64;
    void sendEvents (const VstMidiEvent* events, int count);
    // One block: processReplacing, or the accumulating process of an old
    // plug-in (into outputs the caller cleared).
    void processBlock (float** inputs, float** outputs, int frames);
    // Convenience for tests and offline use (allocates): sends `events`, then
    // processes one block of silent inputs into fresh zeroed outputs.
    std::vector<std::vector<float>> process (int blockSize, const std::vector<VstMidiEvent>& events = {});

    std::vector<char> getChunk ();
    void setChunk (const std::vector<char>& data);

    // Opcodes the plug-in sent to the host callback, in order (when recording).
    void recordOpcodes (bool on) { recording = on; }
    std::vector<int> receivedOpcodes () const;
    struct Call
    {
        int opcode, index;
        float option;
    };
    // The same calls with their index and option.
    std::vector<Call> receivedCalls () const;
    void clearReceived ();

private:
    static VstIntPtr VSTCALLBACK hostCallback (AEffect* effect, int opcode, int index, VstIntPtr value, void* ptr, float opt);
    VstIntPtr answer (int opcode, void* ptr);

    const std::string name;
    void* library = nullptr;
    AEffect* fx = nullptr;
    float rate = 0.0f;
    int blockSize = 0;
    VstTimeInfo timeInfo {};

    std::vector<VstMidiEvent> eventCopies;
    std::vector<char> eventListStorage;

    std::atomic<bool> recording { true };
    mutable std::mutex receivedLock;
    std::vector<Call> received;
};

VstMidiEvent makeMidiEvent (const std::uint8_t (&bytes)[3], int deltaFrames);
VstMidiEvent makeNoteOn (int note, int velocity, int deltaFrames);
VstMidiEvent makeNoteOff (int note, int deltaFrames);
