#pragma once

#include "GenericAudioPluginLoader.h"

// Loader for VST 2.x files: single plug-ins, and shells narrowed down to one
// sub-plug-in by name or by asking the user.
class VSTP2PluginLoader : public GenericAudioPluginLoader
{
public:
    VSTP2PluginLoader();
    ~VSTP2PluginLoader() override;

    juce::AudioPluginInstance* loadPlugin (juce::String path, juce::String formatName, juce::String pluginName) override;
    juce::OwnedArray<juce::PluginDescription>* getPluginDescription (juce::String path) override;
    void unloadPlugin();

private:
    void createInstance (juce::PluginDescription* description);
};

// The one VST 2.x format object, alive while any VSTP2PluginLoader exists.
extern std::unique_ptr<juce::VSTPluginFormat> vstpluginaudioformat;
extern int vst2_plugin_counter;
