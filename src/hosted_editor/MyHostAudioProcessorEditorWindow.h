#pragma once

#include <juce_audio_processors/juce_audio_processors.h>

class MyHostAudioProcessorEditor;

// Window of the component path: shows a hosted plug-in's JUCE editor component.
class MyHostAudioProcessorEditorWindow : public juce::DocumentWindow
{
public:
    MyHostAudioProcessorEditorWindow (const juce::String& title, juce::AudioProcessor* processorShown,
                                      MyHostAudioProcessorEditor* ownerHolder);
    ~MyHostAudioProcessorEditorWindow() override;

    void paint (juce::Graphics&) override { }
    void closeButtonPressed () override;

    juce::AudioProcessor* processor = nullptr;
    MyHostAudioProcessorEditor* owner = nullptr;

private:
    JUCE_DECLARE_NON_COPYABLE (MyHostAudioProcessorEditorWindow)
};
