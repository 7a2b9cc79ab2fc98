#pragma once

// A minimal VST 2.x host written directly on the FST definitions, loading a
// plug-in's .so the way a DAW does: dlopen, VSTPluginMain, dispatcher calls.
#include <pluginterfaces/vst2.x/aeffectx.h>
#include <mutex>
#include <string>
#include <vector>

class RawVstHost
{
public:
    RawVstHost() = default;
    ~RawVstHost();

    // Loads the library and creates one effect; false with `error` set otherwise.
    bool load (const std::string& path, std::string& error);
    void close();

    AEffect* effect() const { return fx; }
    VstIntPtr dispatch (int opcode, int index = 0, VstIntPtr value = 0, void* ptr = nullptr, float opt = 0.0f);

    std::string getString (int opcode, int index = 0);
    int canDo (const char* what);

    // Standard start-up: sample rate, block size, resume.
    void start (float sampleRate, int blockSize);
    void stop();

    // Processes one block of `outputs` channels (and `inputs` input channels of silence).
    std::vector<std::vector<float>> process (int blockSize, const std::vector<VstMidiEvent>& events = {});

    std::vector<char> getChunk();
    void setChunk (const std::vector<char>& data);

    // Opcodes the plug-in sent to the host callback, in order.
    std::vector<int> receivedOpcodes() const;
    void clearReceived();

private:
    static VstIntPtr VSTCALLBACK hostCallback (AEffect* effect, int opcode, int index, VstIntPtr value, void* ptr, float opt);

    void* library = nullptr;
    AEffect* fx = nullptr;
    mutable std::mutex receivedLock;
    std::vector<int> received;
};

VstMidiEvent makeNoteOn (int note, int velocity, int deltaFrames);
VstMidiEvent makeNoteOff (int note, int deltaFrames);
