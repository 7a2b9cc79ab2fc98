#include "ContainerHost.h"

#include <cstring>
#include <dlfcn.h>

namespace render {
namespace {

using EntryPoint = AEffect* (*)(audioMasterCallback);

// The host being created: the plug-in calls back from inside its entry point,
// before the host can put itself into the effect.
thread_local ContainerHost* hostBeingLoaded = nullptr;

void copyString(void* ptr, const char* text, size_t max)
{
    if (ptr == nullptr)
        return;
    std::strncpy(static_cast<char*>(ptr), text, max - 1);
    static_cast<char*>(ptr)[max - 1] = '\0';
}

} // namespace

ContainerHost::ContainerHost(double sampleRate, int blockSize) : sampleRate_(sampleRate), blockSize_(blockSize) {}

ContainerHost::~ContainerHost()
{
    if (effect_ != nullptr) {
        stop();
        dispatch(effClose);
        effect_ = nullptr;
    }
    // The library stays mapped: a JUCE plug-in keeps its message thread and
    // process-wide objects until the process ends.
}

VstIntPtr VSTCALLBACK ContainerHost::callback(AEffect* effect, int opcode, int, VstIntPtr, void* ptr, float)
{
    ContainerHost* host = (effect != nullptr && effect->resvd1 != 0) ? reinterpret_cast<ContainerHost*>(effect->resvd1)
                                                                      : hostBeingLoaded;
    switch (opcode) {
    case audioMasterVersion: return 2400;
    case audioMasterCurrentId: return 0;
    case audioMasterIdle: return 0;
    case audioMasterGetSampleRate: return host != nullptr ? static_cast<VstIntPtr>(host->sampleRate_) : 0;
    case audioMasterGetBlockSize: return host != nullptr ? host->blockSize_ : 0;
    case audioMasterGetTime: {
        if (host == nullptr)
            return 0;
        // Read from the audio thread of the plug-in's own calls; filled per block.
        return reinterpret_cast<VstIntPtr>(&host->timeInfo_);
    }
    case audioMasterGetCurrentProcessLevel: return 0; // unknown: calls come from several threads
    case audioMasterGetAutomationState: return 1;     // off
    case audioMasterGetVendorString: copyString(ptr, "Tamblit", kVstMaxVendorStrLen); return 1;
    case audioMasterGetProductString: copyString(ptr, "tamblit-render", kVstMaxProductStrLen); return 1;
    case audioMasterGetVendorVersion: return 1000;
    case audioMasterIOChanged: return 1;
    default: return 0;
    }
}

VstIntPtr ContainerHost::dispatch(int opcode, int index, VstIntPtr value, void* ptr, float opt)
{
    return effect_->dispatcher(effect_, opcode, index, value, ptr, opt);
}

bool ContainerHost::load(const std::string& path, std::string& error)
{
    library_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library_ == nullptr) {
        const char* why = dlerror();
        error = "cannot load the container " + path + ": " + (why != nullptr ? why : "unknown error");
        return false;
    }
    auto entry = reinterpret_cast<EntryPoint>(dlsym(library_, "VSTPluginMain"));
    if (entry == nullptr)
        entry = reinterpret_cast<EntryPoint>(dlsym(library_, "main"));
    if (entry == nullptr) {
        error = "the container " + path + " has no VSTPluginMain or main entry point";
        return false;
    }

    hostBeingLoaded = this;
    effect_ = entry(&ContainerHost::callback);
    hostBeingLoaded = nullptr;

    if (effect_ == nullptr || effect_->magic != kEffectMagic) {
        effect_ = nullptr;
        error = "the container " + path + " did not create a VST 2.x effect";
        return false;
    }
    effect_->resvd1 = reinterpret_cast<VstIntPtr>(this);

    std::memset(&timeInfo_, 0, sizeof(timeInfo_));
    timeInfo_.sampleRate = sampleRate_;
    timeInfo_.tempo = 120.0;
    timeInfo_.timeSigNumerator = 4;
    timeInfo_.timeSigDenominator = 4;
    timeInfo_.flags = kVstTempoValid | kVstTimeSigValid | kVstPpqPosValid | kVstBarsValid;

    dispatch(effOpen);
    dispatch(effSetSampleRate, 0, 0, nullptr, static_cast<float>(sampleRate_));
    dispatch(effSetBlockSize, 0, blockSize_);

    inputs_.assign(static_cast<size_t>(effect_->numInputs), std::vector<float>(static_cast<size_t>(blockSize_), 0.0f));
    inputPointers_.clear();
    for (auto& channel : inputs_)
        inputPointers_.push_back(channel.data());
    outputPointers_.assign(static_cast<size_t>(effect_->numOutputs), nullptr);
    return true;
}

std::string ContainerHost::effectName()
{
    char name[256] = {}; // larger than any effect name
    dispatch(effGetEffectName, 0, 0, name);
    return name;
}

bool ContainerHost::setChunk(const std::string& bytes)
{
    if ((effect_->flags & effFlagsProgramChunks) == 0)
        return false;
    std::vector<char> copy(bytes.begin(), bytes.end());
    dispatch(effSetChunk, 0, static_cast<VstIntPtr>(copy.size()), copy.data());
    return true;
}

std::string ContainerHost::getChunk()
{
    void* data = nullptr;
    const VstIntPtr size = dispatch(effGetChunk, 0, 0, &data);
    if (size <= 0 || data == nullptr)
        return {};
    return std::string(static_cast<const char*>(data), static_cast<size_t>(size));
}

void ContainerHost::start()
{
    if (running_)
        return;
    dispatch(effMainsChanged, 0, 1);
    dispatch(effStartProcess);
    timeInfo_.flags |= kVstTransportPlaying;
    running_ = true;
}

void ContainerHost::stop()
{
    if (!running_)
        return;
    timeInfo_.flags &= ~kVstTransportPlaying;
    dispatch(effStopProcess);
    dispatch(effMainsChanged, 0, 0);
    running_ = false;
}

void ContainerHost::process(std::int64_t samplePosition, const std::vector<BlockEvent>& events,
                            std::vector<std::vector<float>>& outputs)
{
    timeInfo_.samplePos = static_cast<double>(samplePosition);
    timeInfo_.ppqPos = static_cast<double>(samplePosition) / sampleRate_ * (timeInfo_.tempo / 60.0);
    timeInfo_.barStartPos = static_cast<double>(static_cast<long long>(timeInfo_.ppqPos / 4.0)) * 4.0;

    if (!events.empty()) {
        midiEvents_.assign(events.size(), VstMidiEvent{});
        for (size_t i = 0; i < events.size(); ++i) {
            auto& m = midiEvents_[i];
            std::memset(&m, 0, sizeof(m));
            m.type = kVstMidiType;
            m.byteSize = sizeof(VstMidiEvent);
            m.deltaFrames = events[i].offset;
            std::memcpy(m.midiData, events[i].bytes, 3);
        }
        eventListStorage_.assign(sizeof(VstEvents) + events.size() * sizeof(VstEvent*), 0);
        auto* list = reinterpret_cast<VstEvents*>(eventListStorage_.data());
        list->numEvents = static_cast<int>(events.size());
        for (size_t i = 0; i < events.size(); ++i)
            list->events[i] = reinterpret_cast<VstEvent*>(&midiEvents_[i]);
        dispatch(effProcessEvents, 0, 0, list);
    }

    outputs.resize(static_cast<size_t>(effect_->numOutputs));
    for (size_t c = 0; c < outputs.size(); ++c) {
        outputs[c].assign(static_cast<size_t>(blockSize_), 0.0f);
        outputPointers_[c] = outputs[c].data();
    }
    for (auto& channel : inputs_)
        std::fill(channel.begin(), channel.end(), 0.0f);

    float** in = inputPointers_.empty() ? nullptr : inputPointers_.data();
    if ((effect_->flags & effFlagsCanReplacing) != 0 && effect_->processReplacing != nullptr)
        effect_->processReplacing(effect_, in, outputPointers_.data(), blockSize_);
    else if (effect_->process != nullptr)
        effect_->process(effect_, in, outputPointers_.data(), blockSize_); // accumulates into the cleared outputs
}

} // namespace render
