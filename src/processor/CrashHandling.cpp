// Crash probe and recovery of hosted plug-ins (message thread).
#include "PluginContainerAudioProcessor.h"
#include "../crash/AudioProcessorState.h"
#include "../loading/GenericAudioPluginLoader.h"
#include <pluginterfaces/vst2.x/aeffectx.h>

namespace
{
    // The vendor-specific query a crash-protecting bridge answers with 1 once the
    // plug-in behind it has crashed.
    constexpr int probeOpcode = 50; // effVendorSpecific
    constexpr int probeIndex = 654987;
    constexpr juce::pointer_sized_int probeValue = 998723;
    constexpr float probeOption = 0.5f;
}

bool PluginContainerAudioProcessor::checkIfPluginCrashed (int index)
{
    auto* instance = getAudioPluginInstance (index);
    if (instance == nullptr)
        return false;

    JUCE_BEGIN_IGNORE_WARNINGS_GCC_LIKE ("-Wdeprecated-declarations")
    auto* effect = static_cast<AEffect*> (instance->getPlatformSpecificData());
    JUCE_END_IGNORE_WARNINGS_GCC_LIKE

    if (effect != nullptr)
    {
        if (effect->dispatcher != nullptr
            && effect->dispatcher (effect, probeOpcode, probeIndex, probeValue, nullptr, probeOption) == 1)
        {
            plugin_crashed[(size_t) index] = true;
            log ("Warning: plugin at index " + juce::String (index) + " in instance with name " + instance_name + " seems to have crashed");
            refreshEditor();
        }
    }

    return plugin_crashed[(size_t) index];
}

void PluginContainerAudioProcessor::recoverPlugin (int index)
{
    log ("Recovering plugin at index " + juce::String (index) + " in instance with name " + instance_name + ".");

    if (getAudioPluginInstance (index) != nullptr)
    {
        const auto path = getPluginFilePath (index);
        unloadPlugin (index, true, false);

        if (loadPlugin (index, path, ""))
        {
            auto* snapshot = plugin_states[(size_t) index].get();
            if (snapshot != nullptr && options[3])
            {
                log ("Recovering plugin state...");
                snapshot->copyStateToAudioProcessor (getAudioPluginInstance (index));
            }
        }
    }

    refreshEditor();
}
