// A VST 2.x host for one plug-in .so, written on the FST definitions: dlopen,
// VSTPluginMain (or main), then dispatcher and processReplacing calls.
#pragma once

#include <pluginterfaces/vst2.x/aeffectx.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

namespace render {

class ContainerHost {
public:
    ContainerHost(double sampleRate, int blockSize);
    ~ContainerHost();
    ContainerHost(const ContainerHost&) = delete;
    ContainerHost& operator=(const ContainerHost&) = delete;

    // Loads the library and opens one effect; false with `error` set otherwise.
    bool load(const std::string& path, std::string& error);

    int numInputs() const { return effect_->numInputs; }
    int numOutputs() const { return effect_->numOutputs; }
    std::string effectName();

    bool setChunk(const std::string& bytes);
    std::string getChunk();

    void start();
    void stop();

    // One block: the MIDI messages (with offsets inside the block) are sent
    // first, then the block is processed into `outputs` (numOutputs channels).
    struct BlockEvent {
        int offset;
        std::uint8_t bytes[3];
    };
    void process(std::int64_t samplePosition, const std::vector<BlockEvent>& events,
                 std::vector<std::vector<float>>& outputs);

private:
    static VstIntPtr VSTCALLBACK callback(AEffect* effect, int opcode, int index, VstIntPtr value, void* ptr, float opt);
    VstIntPtr dispatch(int opcode, int index = 0, VstIntPtr value = 0, void* ptr = nullptr, float opt = 0.0f);

    double sampleRate_;
    int blockSize_;
    void* library_ = nullptr;
    AEffect* effect_ = nullptr;
    bool running_ = false;

    VstTimeInfo timeInfo_{};
    std::atomic<std::int64_t> samplePosition_{0};

    std::vector<std::vector<float>> inputs_;
    std::vector<float*> inputPointers_;
    std::vector<float*> outputPointers_;
    std::vector<VstMidiEvent> midiEvents_;
    std::vector<char> eventListStorage_;
};

} // namespace render
