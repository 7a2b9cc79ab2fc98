#include "MyHostAudioProcessorEditor.h"
#include "../loading/GenericAudioPluginLoader.h"

MyHostAudioProcessorEditor::MyHostAudioProcessorEditor() = default;

MyHostAudioProcessorEditor::~MyHostAudioProcessorEditor()
{
    closeTheEditor();
}

void MyHostAudioProcessorEditor::openTheEditor (juce::AudioPluginInstance* pluginToShow)
{
    plugin = pluginToShow;
    writeLoaderText ("\nopenTheEditor: " + (plugin != nullptr ? plugin->getName() : juce::String ("<none>")));
}

void MyHostAudioProcessorEditor::closeTheEditor()
{
    plugin = nullptr;
}
