#include "RawVstHost.h"

#include <algorithm>
#include <cstring>
#include <dlfcn.h>

namespace
{
    using EntryPoint = AEffect* (*) (audioMasterCallback);

    // The host being created: the plug-in calls back from inside its entry
    // point (possibly from a thread of its own), before the host can put
    // itself into the effect.
    std::atomic<RawVstHost*> hostBeingLoaded { nullptr };

    void copyString (void* ptr, const std::string& text, size_t max)
    {
        if (ptr == nullptr)
            return;
        std::strncpy (static_cast<char*> (ptr), text.c_str(), max - 1);
        static_cast<char*> (ptr)[max - 1] = '\0';
    }
}

RawVstHost::RawVstHost (std::string hostName)
    : name (std::move (hostName))
{
    eventCopies.reserve ((size_t) eventCapacity);
    eventListStorage.assign (sizeof (VstEvents) + (size_t) eventCapacity * sizeof (VstEvent*), 0);

    timeInfo.tempo = 120.0;
    timeInfo.timeSigNumerator = 4;
    timeInfo.timeSigDenominator = 4;
    timeInfo.flags = kVstTempoValid | kVstTimeSigValid | kVstPpqPosValid | kVstBarsValid;
}

RawVstHost::~RawVstHost()
{
    close();
}

VstIntPtr VSTCALLBACK RawVstHost::hostCallback (AEffect* effect, int opcode, int index, VstIntPtr, void* ptr, float opt)
{
    auto* host = effect != nullptr && effect->resvd1 != 0 ? reinterpret_cast<RawVstHost*> (effect->resvd1) : hostBeingLoaded.load();
    if (host == nullptr)
        return opcode == audioMasterVersion ? 2400 : 0;
    if (host->recording.load())
    {
        std::lock_guard<std::mutex> lock (host->receivedLock);
        host->received.push_back ({ opcode, index, opt });
    }
    return host->answer (opcode, ptr);
}

VstIntPtr RawVstHost::answer (int opcode, void* ptr)
{
    if (opcode == audioMasterVersion)
        return 2400;
    if (name.empty())
        return 0;

    switch (opcode)
    {
        case audioMasterGetSampleRate: return (VstIntPtr) rate;
        case audioMasterGetBlockSize: return blockSize;
        // Filled per block by setPosition, read by the plug-in during its calls.
        case audioMasterGetTime: return reinterpret_cast<VstIntPtr> (&timeInfo);
        case audioMasterGetCurrentProcessLevel: return 0; // unknown: calls come from several threads
        case audioMasterGetAutomationState: return 1; // off
        case audioMasterGetVendorString: copyString (ptr, "Tamblit", kVstMaxVendorStrLen); return 1;
        case audioMasterGetProductString: copyString (ptr, name, kVstMaxProductStrLen); return 1;
        case audioMasterGetVendorVersion: return 1000;
        case audioMasterIOChanged: return 1;
        default: return 0;
    }
}

bool RawVstHost::load (const std::string& path, std::string& error)
{
    library = dlopen (path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr)
    {
        const char* why = dlerror();
        error = why != nullptr ? why : "unknown error";
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
    library = nullptr;
}

VstIntPtr RawVstHost::dispatch (int opcode, int index, VstIntPtr value, void* ptr, float opt)
{
    return fx->dispatcher (fx, opcode, index, value, ptr, opt);
}

std::string RawVstHost::getString (int opcode, int index)
{
    char buffer[256] = {}; // larger than any string a plug-in returns here
    dispatch (opcode, index, 0, buffer, 0.0f);
    return buffer;
}

int RawVstHost::canDo (const char* what)
{
    return (int) dispatch (effCanDo, 0, 0, const_cast<char*> (what), 0.0f);
}

void RawVstHost::prepare (float sampleRate, int size)
{
    rate = sampleRate;
    blockSize = size;
    timeInfo.sampleRate = sampleRate;
    dispatch (effSetSampleRate, 0, 0, nullptr, sampleRate);
    dispatch (effSetBlockSize, 0, size, nullptr, 0.0f);
}

void RawVstHost::resume()
{
    dispatch (effMainsChanged, 0, 1, nullptr, 0.0f);
    dispatch (effStartProcess);
    timeInfo.flags |= kVstTransportPlaying;
}

void RawVstHost::stop()
{
    timeInfo.flags &= ~kVstTransportPlaying;
    dispatch (effStopProcess);
    dispatch (effMainsChanged, 0, 0, nullptr, 0.0f);
}

void RawVstHost::setPosition (std::int64_t samplePosition)
{
    timeInfo.samplePos = (double) samplePosition;
    timeInfo.ppqPos = rate > 0.0f ? (double) samplePosition / rate * (timeInfo.tempo / 60.0) : 0.0;
    timeInfo.barStartPos = (double) (long long) (timeInfo.ppqPos / 4.0) * 4.0;
}

void RawVstHost::sendEvents (const VstMidiEvent* events, int count)
{
    if (count <= 0)
        return;
    eventCopies.assign (events, events + count);
    const size_t listBytes = sizeof (VstEvents) + (size_t) count * sizeof (VstEvent*);
    if (eventListStorage.size() < listBytes)
        eventListStorage.resize (listBytes);
    auto* list = reinterpret_cast<VstEvents*> (eventListStorage.data());
    list->numEvents = count;
    for (size_t i = 0; i < eventCopies.size(); ++i)
        list->events[i] = reinterpret_cast<VstEvent*> (&eventCopies[i]);
    dispatch (effProcessEvents, 0, 0, list, 0.0f);
}

void RawVstHost::processBlock (float** inputs, float** outputs, int frames)
{
    if (fx->processReplacing != nullptr)
        fx->processReplacing (fx, inputs, outputs, frames);
    else if (fx->process != nullptr)
        fx->process (fx, inputs, outputs, frames);
}

std::vector<std::vector<float>> RawVstHost::process (int frames, const std::vector<VstMidiEvent>& events)
{
    sendEvents (events.data(), (int) events.size());

    std::vector<std::vector<float>> inputs ((size_t) fx->numInputs, std::vector<float> ((size_t) frames, 0.0f));
    std::vector<std::vector<float>> outputs ((size_t) fx->numOutputs, std::vector<float> ((size_t) frames, 0.0f));
    std::vector<float*> in, out;
    for (auto& c : inputs)
        in.push_back (c.data());
    for (auto& c : outputs)
        out.push_back (c.data());

    processBlock (in.empty() ? nullptr : in.data(), out.data(), frames);
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
    std::vector<int> opcodes;
    for (const auto& call : received)
        opcodes.push_back (call.opcode);
    return opcodes;
}

std::vector<RawVstHost::Call> RawVstHost::receivedCalls() const
{
    std::lock_guard<std::mutex> lock (receivedLock);
    return received;
}

void RawVstHost::clearReceived()
{
    std::lock_guard<std::mutex> lock (receivedLock);
    received.clear();
}

VstMidiEvent makeMidiEvent (const std::uint8_t (&bytes)[3], int deltaFrames)
{
    VstMidiEvent event;
    std::memset (&event, 0, sizeof (event));
    event.type = kVstMidiType;
    event.byteSize = sizeof (VstMidiEvent);
    event.deltaFrames = deltaFrames;
    std::memcpy (event.midiData, bytes, 3);
    return event;
}

VstMidiEvent makeNoteOn (int note, int velocity, int deltaFrames)
{
    return makeMidiEvent ({ 0x90, (std::uint8_t) note, (std::uint8_t) velocity }, deltaFrames);
}

VstMidiEvent makeNoteOff (int note, int deltaFrames)
{
    return makeMidiEvent ({ 0x80, (std::uint8_t) note, 0 }, deltaFrames);
}
