#pragma once

#include <juce_gui_basics/juce_gui_basics.h>
#include "AudioPluginInstanceProgramComboBox.h"
#include <memory>

class PluginContainerAudioProcessor;

// The main panel: per slot a frame, status line, Load new / Edit (Recover) /
// Unload buttons, an Active toggle and a program chooser; below them the four
// option toggles; above them the instance name. Shows what the processor holds
// and turns every user action into a processor call.
class GUI : public juce::Component, public juce::Button::Listener, public juce::ComboBox::Listener, public juce::Label::Listener
{
public:
    GUI();
    ~GUI() override;

    void mouseEnter (const juce::MouseEvent& event) override;
    void paint (juce::Graphics& g) override;
    void resized () override;
    void buttonClicked (juce::Button* button) override;
    void comboBoxChanged (juce::ComboBox* box) override;
    void labelTextChanged (juce::Label* label) override;

    void updateGUI ();
    void reloadComboBoxPrograms (int index);
    void setPluginContainerAudioProcessor (PluginContainerAudioProcessor* processorToUse);

    PluginContainerAudioProcessor* processor = nullptr;

    // The option toggles in option-index order (not creation order); not owning.
    juce::Array<juce::ToggleButton*> optionButtons;

    std::unique_ptr<juce::GroupComponent> pluginGroup2;
    std::unique_ptr<juce::GroupComponent> pluginGroup1;
    std::unique_ptr<juce::TextButton> plugin1LoadUnload;
    std::unique_ptr<juce::Label> loadedPlugin1;
    std::unique_ptr<juce::TextButton> plugin1Edit;
    std::unique_ptr<juce::ToggleButton> activatePlugin1;
    std::unique_ptr<juce::TextButton> plugin1LoadUnload2;
    std::unique_ptr<juce::Label> loadedPlugin2;
    std::unique_ptr<juce::TextButton> plugin1Edit2;
    std::unique_ptr<juce::ToggleButton> activatePlugin2;
    std::unique_ptr<juce::GroupComponent> optionsGroup;
    std::unique_ptr<juce::ToggleButton> consoleB;
    std::unique_ptr<juce::ToggleButton> autoSwitchB;
    std::unique_ptr<juce::ToggleButton> autoCrashRecoveryB;
    std::unique_ptr<juce::ToggleButton> reloadCrashedPluginDataB;
    std::unique_ptr<juce::GroupComponent> instanceNameGroup;
    std::unique_ptr<AudioPluginInstanceProgramComboBox> programComboBox1;
    std::unique_ptr<AudioPluginInstanceProgramComboBox> programComboBox2;
    std::unique_ptr<juce::Label> versionLabel;
    std::unique_ptr<juce::Label> webLabel;
    std::unique_ptr<juce::Label> instanceName;
    std::unique_ptr<juce::TextButton> pluginUnload0;
    std::unique_ptr<juce::TextButton> pluginUnload1;
    // Per slot: run the plug-in in a worker process of its own.
    std::unique_ptr<juce::ToggleButton> protectPlugin0;
    std::unique_ptr<juce::ToggleButton> protectPlugin1;
    // How a manual switch sounds: the crossfade's length, and whether the old
    // slot lets its held notes ring.
    std::unique_ptr<juce::ComboBox> switchFade;
    std::unique_ptr<juce::ToggleButton> letNotesRing;

private:
    void showSwitchFade (int milliseconds);
    void paintSlotStatus (int index, juce::Label& status, juce::TextButton& editButton);

    // Dark captions on white buttons, light choosers: the panel's colours are chosen for this look.
    juce::LookAndFeel_V2 classicLook;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (GUI)
};
