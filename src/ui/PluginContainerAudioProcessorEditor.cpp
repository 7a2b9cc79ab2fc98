#include "PluginContainerAudioProcessorEditor.h"
#include "GUI.h"
#include "../processor/PluginContainerAudioProcessor.h"
#include "../console/KTDebugConsole.h"

juce::AudioProcessorEditor* PluginContainerAudioProcessor::createEditor()
{
    auto* editor = new PluginContainerAudioProcessorEditor (this);
    editor->setKTDebugConsole (ktdebugconsole());
    editor->updateGUI();
    return editor;
}

PluginContainerAudioProcessorEditor::PluginContainerAudioProcessorEditor (PluginContainerAudioProcessor* owner)
    : juce::AudioProcessorEditor (owner),
      container (*owner)
{
    setSize (368, 384);

    gui = std::make_unique<GUI>();
    // Bound before it can be seen or clicked: its handlers rely on the processor.
    gui->setPluginContainerAudioProcessor (owner);

    // Never moved or resized: the editor shows the panel's top-left 368 x 384.
    addAndMakeVisible (gui.get());

    // The panel has just read everything; earlier changes are already shown.
    container.takeEditorChanges();
    container.addChangeListener (this);
}

PluginContainerAudioProcessorEditor::~PluginContainerAudioProcessorEditor()
{
    container.removeChangeListener (this);
    gui.reset();
}

void PluginContainerAudioProcessorEditor::changeListenerCallback (juce::ChangeBroadcaster*)
{
    const auto changes = container.takeEditorChanges();
    for (int index = 0; index < 2; ++index)
        if (changes.programs[(size_t) index])
            reloadComboBoxPrograms (index);
    if (changes.view)
        updateGUI();
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
