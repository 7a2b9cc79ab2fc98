#include "RawVstHost.h"
#include <cstring>
#include <dlfcn.h>

namespace
{
    RawVstHost* hostBeingLoaded = nullptr;
    using EntryPoint = AEffect* (*) (audioMasterCallback);
}

RawVstHost::~RawVstHost() { close(); }

VstIntPtr VSTCALLBACK RawVstHost::hostCallback (AEffect* effect, int opcode, int, VstIntPtr, void*, float)
{
    auto* host = effect != nullptr && effect->resvd1 != 0 ? reinterpret_cast<RawVstHost*> (effect->resvd1) : hostBeingLoaded;
    if (host != nullptr)
    {
        std::lock_guard<std::mutex> lock (host->receivedLock);
        host->received.push_back (opcode);
    }

    switch (opcode)
    {
        case audioMasterVersion: return 2400;
        case audioMasterCurrentId: return 0;
        default: return 0;
    }
}

bool RawVstHost::load (const std::string& path, std::string& error)
{
    library = dlopen (path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr)
    {
        error = dlerror();
        return false;
    }

    auto entry = reinterpret_cast<EntryPoint> (dlsym (library, "VSTPluginMain"));
    if (entry == nullptr)
        entry = reinterpret_cast<EntryPoint> (dlsym (library, "main"));
    if (entry == nullptr)
    {
        error = "no VST entry point";
        return false;
    }

    hostBeingLoaded = this;
    fx = entry (hostCallback);
    hostBeingLoaded = nullptr;

    if (fx == nullptr)
    {
        error = "entry point returned null";
        return false;
    }

    fx->resvd1 = reinterpret_cast<VstIntPtr> (this);
    dispatch (effOpen);
    return true;
}

void RawVstHost::close()
{
    if (fx != nullptr)
    {
        dispatch (effClose);
        fx = nullptr;
    }
    // The library stays mapped: JUCE-based plug-ins keep threads and
    // process-wide state that outlive one effect.
    library = nullptr;
}

VstIntPtr RawVstHost::dispatch (int opcode, int index, VstIntPtr value, void* ptr, float opt)
{
    return fx->dispatcher (fx, opcode, index, value, ptr, opt);
}

std::string RawVstHost::getString (int opcode, int index)
{
    char buffer[256] = {};
    dispatch (opcode, index, 0, buffer, 0.0f);
    return buffer;
}

int RawVstHost::canDo (const char* what)
{
    return (int) dispatch (effCanDo, 0, 0, const_cast<char*> (what), 0.0f);
}

void RawVstHost::start (float sampleRate, int blockSize)
{
    dispatch (effSetSampleRate, 0, 0, nullptr, sampleRate);
    dispatch (effSetBlockSize, 0, blockSize, nullptr, 0.0f);
    dispatch (effMainsChanged, 0, 1, nullptr, 0.0f);
    dispatch (effStartProcess);
}

void RawVstHost::stop()
{
    dispatch (effStopProcess);
    dispatch (effMainsChanged, 0, 0, nullptr, 0.0f);
}

std::vector<std::vector<float>> RawVstHost::process (int blockSize, const std::vector<VstMidiEvent>& events)
{
    if (! events.empty())
    {
        std::vector<char> storage (sizeof (VstEvents) + events.size() * sizeof (VstEvent*));
        auto* list = reinterpret_cast<VstEvents*> (storage.data());
        list->numEvents = (int) events.size();
        std::vector<VstMidiEvent> copies (events);
        for (size_t i = 0; i < copies.size(); ++i)
            list->events[i] = reinterpret_cast<VstEvent*> (&copies[i]);
        dispatch (effProcessEvents, 0, 0, list, 0.0f);
    }

    std::vector<std::vector<float>> inputs ((size_t) fx->numInputs, std::vector<float> ((size_t) blockSize, 0.0f));
    std::vector<std::vector<float>> outputs ((size_t) fx->numOutputs, std::vector<float> ((size_t) blockSize, 0.0f));
    std::vector<float*> in, out;
    for (auto& c : inputs) in.push_back (c.data());
    for (auto& c : outputs) out.push_back (c.data());

    fx->processReplacing (fx, in.empty() ? nullptr : in.data(), out.data(), blockSize);
    return outputs;
}

std::vector<char> RawVstHost::getChunk()
{
    void* data = nullptr;
    const auto size = dispatch (effGetChunk, 0, 0, &data, 0.0f);
    if (size <= 0 || data == nullptr)
        return {};
    const auto* bytes = static_cast<const char*> (data);
    return std::vector<char> (bytes, bytes + size);
}

void RawVstHost::setChunk (const std::vector<char>& data)
{
    dispatch (effSetChunk, 0, (VstIntPtr) data.size(), const_cast<char*> (data.data()), 0.0f);
}

std::vector<int> RawVstHost::receivedOpcodes() const
{
    std::lock_guard<std::mutex> lock (receivedLock);
    return received;
}

void RawVstHost::clearReceived()
{
    std::lock_guard<std::mutex> lock (receivedLock);
    received.clear();
}

VstMidiEvent makeNoteOn (int note, int velocity, int deltaFrames)
{
    VstMidiEvent event;
    std::memset (&event, 0, sizeof (event));
    event.type = kVstMidiType;
    event.byteSize = sizeof (VstMidiEvent);
    event.deltaFrames = deltaFrames;
    event.midiData[0] = (unsigned char) 0x90;
    event.midiData[1] = (unsigned char) note;
    event.midiData[2] = (unsigned char) velocity;
    return event;
}

VstMidiEvent makeNoteOff (int note, int deltaFrames)
{
    auto event = makeNoteOn (note, 0, deltaFrames);
    event.midiData[0] = (unsigned char) 0x80;
    return event;
}
