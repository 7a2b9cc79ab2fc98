#pragma once

#include <juce_audio_processors/juce_audio_processors.h>

class PluginContainerAudioProcessor;

// Lists the programs of the plug-in hosted in one slot and switches that
// plug-in's program when the user picks an entry. Item ids are program index + 1.
class AudioPluginInstanceProgramComboBox : public juce::ComboBox, public juce::ComboBox::Listener
{
public:
    explicit AudioPluginInstanceProgramComboBox (const juce::String& componentName);
    ~AudioPluginInstanceProgramComboBox() override;

    // Reports of the box's own selected-id Value, which JUCE delivers asynchronously.
    void valueChanged (juce::Value& value) override;
    void comboBoxChanged (juce::ComboBox* box) override;

    void reloadPrograms ();
    void updatePlugin ();
    void updateGUI ();

    PluginContainerAudioProcessor* processor = nullptr;
    int pluginIndex = 0;

private:
    juce::AudioPluginInstance* hostedPlugin () const;
    static juce::String entryText (int programIndex, const juce::String& programName);

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (AudioPluginInstanceProgramComboBox)
};
