#include "NewComponent.h"

NewComponent::NewComponent()
{
    setLookAndFeel (&classicLook);
    textEditor = std::make_unique<juce::TextEditor> ("new text editor", 0);
    addAndMakeVisible (textEditor.get());
    textEditor->setMultiLine (true, true);
    textEditor->setReturnKeyStartsNewLine (false);
    textEditor->setReadOnly (true);
    textEditor->setScrollbarsShown (true);
    textEditor->setCaretVisible (false);
    textEditor->setPopupMenuEnabled (true);
    textEditor->setText ("", true);
    setSize (600, 400);
}

NewComponent::~NewComponent()
{
    setLookAndFeel (nullptr);
}

void NewComponent::paint (juce::Graphics& g)
{
    g.fillAll (juce::Colours::white);
}

void NewComponent::resized()
{
    // The window sizes this component to its content area and then sizes itself
    // to fit it again; resizing ourselves from the parent here would shrink both
    // by the margin on every pass. The margin lives inside the component instead.
    textEditor->setBounds (16, 16, getWidth() - 32, getHeight() - 32);
}

void NewComponent::addLineToTextEditor (const juce::String& line)
{
    textEditor->insertTextAtCaret (line + "\n");
}
