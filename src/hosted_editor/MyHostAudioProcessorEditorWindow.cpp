#include "MyHostAudioProcessorEditorWindow.h"

MyHostAudioProcessorEditorWindow::MyHostAudioProcessorEditorWindow (const juce::String& title, juce::AudioProcessor* processorShown,
                                                                    MyHostAudioProcessorEditor* ownerHolder)
    : juce::DocumentWindow (title, juce::Colours::white, juce::DocumentWindow::allButtons, true),
      processor (processorShown),
      owner (ownerHolder)
{
}

MyHostAudioProcessorEditorWindow::~MyHostAudioProcessorEditorWindow()
{
    // The editor component belongs to its holder, not to this window.
    clearContentComponent();
    removeFromDesktop();
}

void MyHostAudioProcessorEditorWindow::closeButtonPressed()
{
    clearContentComponent();
    removeFromDesktop();
}
