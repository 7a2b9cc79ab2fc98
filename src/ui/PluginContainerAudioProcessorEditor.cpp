#include "PluginContainerAudioProcessorEditor.h"
#include "../processor/PluginContainerAudioProcessor.h"

PluginContainerAudioProcessorEditor::PluginContainerAudioProcessorEditor (PluginContainerAudioProcessor* owner)
    : juce::AudioProcessorEditor (owner)
{
    setSize (368, 384);
}

PluginContainerAudioProcessorEditor::~PluginContainerAudioProcessorEditor() = default;

void PluginContainerAudioProcessorEditor::paint (juce::Graphics&) {}

void PluginContainerAudioProcessorEditor::updateGUI()
{
    ++refreshCount;
}

void PluginContainerAudioProcessorEditor::reloadComboBoxPrograms (int index)
{
    if (index == 0 || index == 1)
        ++reloadCount[index];
}
