#pragma once

#include "GenericAudioPluginLoader.h"
#include "SharedVstFormat.h"

// Loader for VST 2.x files: single plug-ins, and shells narrowed down to one
// sub-plug-in by name or by asking the user.
class VSTP2PluginLoader : public GenericAudioPluginLoader
{
public:
    VSTP2PluginLoader();
    ~VSTP2PluginLoader() override;

    juce::AudioPluginInstance* loadPlugin (juce::String path, juce::String formatName, juce::String pluginName) override;
    juce::OwnedArray<juce::PluginDescription>* getPluginDescription (juce::String path) override;
    void unloadPlugin ();

private:
    void createInstance (juce::PluginDescription* description);

    // Goes after the hosted instance, which the destructor deletes.
    juce::SharedResourcePointer<SharedVstFormat> vst_format;
};
