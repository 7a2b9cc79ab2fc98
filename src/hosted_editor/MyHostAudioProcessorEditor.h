#pragma once

#include <juce_audio_processors/juce_audio_processors.h>

// Holder of one slot's hosted-editor window.
class MyHostAudioProcessorEditor
{
public:
    MyHostAudioProcessorEditor();
    virtual ~MyHostAudioProcessorEditor();

    void openTheEditor (juce::AudioPluginInstance* pluginToShow);
    void closeTheEditor();

    juce::AudioPluginInstance* plugin = nullptr;
};
