// The LV2 entry point of the container. JUCE's LV2 client does the hosting
// work; its descriptor function is renamed here so that this unit owns the
// exported name. JUCE's VST 2.x and VST3 wrappers create and delete their
// processor holding the message manager lock on Linux, and the container relies
// on that (the first and last instance open and close the shared console
// window); the LV2 client does not, so instantiate and cleanup take the lock.

#define lv2_descriptor juceWrapperLv2Descriptor
#include <juce_audio_plugin_client/juce_audio_plugin_client_LV2.cpp>
#undef lv2_descriptor

#include <map>
#include <memory>
#include <mutex>

namespace
{
    // The framework and its message thread, held around each instance: the lock
    // needs them before JUCE's instance exists, and must be released before the
    // last instance stops that thread (stopping it waits for the thread, which
    // waits for the lock).
    struct Framework
    {
        juce::ScopedJuceInitialiser_GUI initialiser;
        juce::SharedResourcePointer<juce::MessageThread> messageThread;
    };

    std::mutex frameworksLock;
    std::map<LV2_Handle, std::unique_ptr<Framework>> frameworks;
    const LV2_Descriptor* juceDescriptor = nullptr;

    LV2_Handle instantiate (const LV2_Descriptor* descriptor, double sampleRate, const char* bundlePath, const LV2_Feature* const* features)
    {
        auto framework = std::make_unique<Framework>();
        LV2_Handle handle = nullptr;
        {
            const juce::MessageManagerLock mmLock;
            handle = juceDescriptor->instantiate (descriptor, sampleRate, bundlePath, features);
        }
        if (handle != nullptr)
        {
            const std::lock_guard<std::mutex> guard (frameworksLock);
            frameworks[handle] = std::move (framework);
        }
        return handle;
    }

    void cleanup (LV2_Handle handle)
    {
        {
            const juce::MessageManagerLock mmLock;
            juceDescriptor->cleanup (handle);
        }
        std::unique_ptr<Framework> framework;
        {
            const std::lock_guard<std::mutex> guard (frameworksLock);
            const auto found = frameworks.find (handle);
            if (found != frameworks.end())
            {
                framework = std::move (found->second);
                frameworks.erase (found);
            }
        }
    }
}

extern "C" __attribute__ ((visibility ("default"))) const LV2_Descriptor* lv2_descriptor (uint32_t index);
extern "C" __attribute__ ((visibility ("default"))) const LV2_Descriptor* lv2_descriptor (uint32_t index)
{
    const auto* original = juceWrapperLv2Descriptor (index);
    if (original == nullptr)
        return nullptr;

    static const LV2_Descriptor wrapped = [original]
    {
        juceDescriptor = original;
        auto copy = *original;
        copy.instantiate = instantiate;
        copy.cleanup = cleanup;
        return copy;
    }();
    return &wrapped;
}
