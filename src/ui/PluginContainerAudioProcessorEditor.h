#pragma once

#include <juce_audio_processors/juce_audio_processors.h>
#include "../console/KTDebugConsoleWriter.h"

class PluginContainerAudioProcessor;

// The container's editor: the only way the processor refreshes the user interface.
class PluginContainerAudioProcessorEditor : public juce::AudioProcessorEditor,
                                            public KTDebugConsoleWriter
{
public:
    explicit PluginContainerAudioProcessorEditor (PluginContainerAudioProcessor* owner);
    ~PluginContainerAudioProcessorEditor() override;

    void paint (juce::Graphics& g) override;

    void updateGUI();
    void reloadComboBoxPrograms (int index);

    int refreshCount = 0;
    int reloadCount[2] = { 0, 0 };
};
