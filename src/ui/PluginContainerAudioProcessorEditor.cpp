#include "PluginContainerAudioProcessorEditor.h"
#include "GUI.h"
#include "../processor/PluginContainerAudioProcessor.h"

PluginContainerAudioProcessorEditor::PluginContainerAudioProcessorEditor (PluginContainerAudioProcessor* owner)
    : juce::AudioProcessorEditor (owner)
{
    setSize (368, 384);

    gui = std::make_unique<GUI>();
    // Bound before it can be seen or clicked: its handlers rely on the processor.
    gui->setPluginContainerAudioProcessor (owner);

    // Never moved or resized: the editor shows the panel's top-left 368 x 384.
    addAndMakeVisible (gui.get());
}

PluginContainerAudioProcessorEditor::~PluginContainerAudioProcessorEditor()
{
    gui.reset();
}

void PluginContainerAudioProcessorEditor::paint (juce::Graphics&)
{
    // The panel covers the whole visible area.
}

void PluginContainerAudioProcessorEditor::updateGUI()
{
    gui->updateGUI();
}

void PluginContainerAudioProcessorEditor::reloadComboBoxPrograms (int index)
{
    gui->reloadComboBoxPrograms (index);
}
