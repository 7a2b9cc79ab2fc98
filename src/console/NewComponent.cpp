#include "NewComponent.h"

NewComponent::NewComponent()
{
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

NewComponent::~NewComponent() = default;

void NewComponent::paint (juce::Graphics& g)
{
    g.fillAll (juce::Colours::white);
}

void NewComponent::resized()
{
    if (auto* parent = getParentComponent())
        setBounds (0, 0, parent->getWidth() - 32, parent->getHeight() - 32);

    textEditor->setBounds (16, 16, getWidth() - 32, getHeight() - 32);
}

void NewComponent::addLineToTextEditor (const juce::String& line)
{
    textEditor->insertTextAtCaret (line + "\n");
}
