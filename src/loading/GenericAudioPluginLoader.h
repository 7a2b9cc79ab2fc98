#pragma once

#include <juce_audio_processors/juce_audio_processors.h>
#include "LoaderOutput.h"
#include <memory>

// Turns one plug-in file into one running hosted instance and keeps it alive.
// Loaders live on the message thread only.
class GenericAudioPluginLoader
{
public:
    GenericAudioPluginLoader();
    virtual ~GenericAudioPluginLoader();

    virtual juce::AudioPluginInstance* loadPlugin (juce::String path, juce::String formatName, juce::String pluginName) = 0;
    virtual juce::OwnedArray<juce::PluginDescription>* getPluginDescription (juce::String path);

    juce::String getCurrentlyLoadedPluginName () const;
    void setScanWithExternalProcess (bool enable, juce::String scannerName);

    juce::File plugin_file;
    std::unique_ptr<juce::AudioPluginInstance> plugin_instance;
    juce::OwnedArray<juce::PluginDescription> plugin_descriptions;
    juce::PluginDescription* selected_description = nullptr;
    bool scan_with_external_process = false;
    juce::String external_scanner_path;
};

extern int num_plugins_loaded_;
