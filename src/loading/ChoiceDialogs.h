#pragma once

#include <juce_gui_basics/juce_gui_basics.h>
#include <memory>

// The modal questions asked while loading: which file, where a missing file is,
// and which sub-plug-in of a shell. All run nested modal loops on the message thread.
// False when no screen is available (a headless host): modal questions could never be answered.
bool canAskTheUser ();

juce::File getVST2File ();
juce::File getFile (juce::String initialPath, juce::String patterns, juce::String description, juce::String instructions);
juce::String getOptionFromComboBox (juce::String title, juce::StringArray& options);

class comboBoxChooseComponent : public juce::Component, public juce::ComboBox::Listener, public juce::Button::Listener
{
public:
    comboBoxChooseComponent();
    ~comboBoxChooseComponent() override;

    void paint (juce::Graphics& g) override;
    void resized () override;
    void comboBoxChanged (juce::ComboBox* box) override;
    void buttonClicked (juce::Button* button) override;

    void addList (juce::StringArray& options);

    std::unique_ptr<juce::GroupComponent> groupComponent;
    std::unique_ptr<juce::ComboBox> comboBox;
    std::unique_ptr<juce::TextButton> textButton;
};

class ModalWindowWithComboBoxOptionChooser : public juce::DialogWindow
{
public:
    ModalWindowWithComboBoxOptionChooser (const juce::String& title, juce::StringArray& options);
    ~ModalWindowWithComboBoxOptionChooser() override;

    void closeButtonPressed () override;
};
