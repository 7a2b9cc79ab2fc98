#pragma once

#include <juce_audio_processors/juce_audio_processors.h>
#include "../console/KTDebugConsoleWriter.h"
#include <memory>

class PluginContainerAudioProcessor;
class GUI;

// The container's editor: a fixed 368 x 384 window onto the main panel. It
// follows the processor's change messages, the only way the processor refreshes
// the user interface.
class PluginContainerAudioProcessorEditor : public juce::AudioProcessorEditor, public KTDebugConsoleWriter, private juce::ChangeListener
{
public:
    explicit PluginContainerAudioProcessorEditor (PluginContainerAudioProcessor* owner);
    ~PluginContainerAudioProcessorEditor() override;

    void paint (juce::Graphics& g) override;

    void updateGUI ();
    void reloadComboBoxPrograms (int index);

    GUI* getPanel () const noexcept { return gui.get(); }

private:
    void changeListenerCallback (juce::ChangeBroadcaster* source) override;

    PluginContainerAudioProcessor& container;
    std::unique_ptr<GUI> gui;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (PluginContainerAudioProcessorEditor)
};
