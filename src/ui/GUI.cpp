#include "GUI.h"
#include <cstring>
#include "../processor/PluginContainerAudioProcessor.h"

namespace
{
    const juce::Colour panelBackground { 0xff333333 };

    void styleGroup (juce::GroupComponent& group)
    {
        group.setColour (juce::GroupComponent::outlineColourId, juce::Colours::white);
        group.setColour (juce::GroupComponent::textColourId, juce::Colours::white);
    }

    void styleTextButton (juce::TextButton& button)
    {
        button.setTooltip (juce::String());
        button.setColour (juce::TextButton::buttonColourId, juce::Colours::white);
    }

    void styleToggle (juce::ToggleButton& toggle)
    {
        toggle.setColour (juce::ToggleButton::textColourId, juce::Colours::white);
    }

    // Status lines and captions: white, read-only.
    void styleCaption (juce::Label& label, juce::Justification justification)
    {
        label.setFont (juce::Font (15.0f, juce::Font::plain));
        label.setJustificationType (justification);
        label.setEditable (false, false, false);
        label.setColour (juce::Label::textColourId, juce::Colours::white);
        label.setColour (juce::TextEditor::textColourId, juce::Colours::black);
        label.setColour (juce::TextEditor::backgroundColourId, juce::Colour (0x00000000));
    }

    void styleProgramChooser (juce::ComboBox& box)
    {
        box.setEditableText (false);
        box.setJustificationType (juce::Justification::centredLeft);
        box.setTextWhenNothingSelected (juce::String());
        box.setTextWhenNoChoicesAvailable ("(no choices)");
    }
}

GUI::GUI()
{
    // The panel keeps the classic look: white buttons with dark captions,
    // light choosers, on its own dark background.
    setLookAndFeel (&classicLook);

    pluginGroup2 = std::make_unique<juce::GroupComponent> ("new group", "group");
    addAndMakeVisible (pluginGroup2.get());
    styleGroup (*pluginGroup2);

    pluginGroup1 = std::make_unique<juce::GroupComponent> ("new group", "group");
    addAndMakeVisible (pluginGroup1.get());
    styleGroup (*pluginGroup1);

    plugin1LoadUnload = std::make_unique<juce::TextButton> ("plugin1LoadUnload");
    addAndMakeVisible (plugin1LoadUnload.get());
    plugin1LoadUnload->setButtonText ("Load new");
    styleTextButton (*plugin1LoadUnload);
    plugin1LoadUnload->addListener (this);

    loadedPlugin1 = std::make_unique<juce::Label> ("loadedPlugin1", "Plugin1: <none>");
    addAndMakeVisible (loadedPlugin1.get());
    styleCaption (*loadedPlugin1, juce::Justification::centred);

    plugin1Edit = std::make_unique<juce::TextButton> ("plugin1Edit");
    addAndMakeVisible (plugin1Edit.get());
    plugin1Edit->setButtonText ("Edit");
    styleTextButton (*plugin1Edit);
    plugin1Edit->addListener (this);

    activatePlugin1 = std::make_unique<juce::ToggleButton> ("activatePlugin1");
    addAndMakeVisible (activatePlugin1.get());
    activatePlugin1->setButtonText ("Active");
    styleToggle (*activatePlugin1);
    activatePlugin1->addListener (this);

    plugin1LoadUnload2 = std::make_unique<juce::TextButton> ("plugin1LoadUnload2");
    addAndMakeVisible (plugin1LoadUnload2.get());
    plugin1LoadUnload2->setButtonText ("Load new");
    styleTextButton (*plugin1LoadUnload2);
    plugin1LoadUnload2->addListener (this);

    // Same component name as the slot-0 status line; nothing looks it up by name.
    loadedPlugin2 = std::make_unique<juce::Label> ("loadedPlugin1", "Plugin2: <none>");
    addAndMakeVisible (loadedPlugin2.get());
    styleCaption (*loadedPlugin2, juce::Justification::centred);

    plugin1Edit2 = std::make_unique<juce::TextButton> ("plugin1Edit2");
    addAndMakeVisible (plugin1Edit2.get());
    plugin1Edit2->setButtonText ("Edit");
    styleTextButton (*plugin1Edit2);
    plugin1Edit2->addListener (this);

    activatePlugin2 = std::make_unique<juce::ToggleButton> ("activatePlugin2");
    addAndMakeVisible (activatePlugin2.get());
    activatePlugin2->setButtonText ("Active");
    styleToggle (*activatePlugin2);
    activatePlugin2->addListener (this);

    optionsGroup = std::make_unique<juce::GroupComponent> ("new group", "options");
    addAndMakeVisible (optionsGroup.get());
    styleGroup (*optionsGroup);

    consoleB = std::make_unique<juce::ToggleButton> ("consoleB");
    addAndMakeVisible (consoleB.get());
    consoleB->setButtonText ("Console ( global )");
    styleToggle (*consoleB);
    consoleB->addListener (this);

    autoSwitchB = std::make_unique<juce::ToggleButton> ("autoSwitchB");
    addAndMakeVisible (autoSwitchB.get());
    autoSwitchB->setButtonText ("Auto-switch plugin");
    styleToggle (*autoSwitchB);
    autoSwitchB->addListener (this);

    autoCrashRecoveryB = std::make_unique<juce::ToggleButton> ("autoCrashRecoveryB");
    addAndMakeVisible (autoCrashRecoveryB.get());
    autoCrashRecoveryB->setButtonText ("Auto crash recovery");
    styleToggle (*autoCrashRecoveryB);
    autoCrashRecoveryB->addListener (this);

    reloadCrashedPluginDataB = std::make_unique<juce::ToggleButton> ("reloadCrashedPluginDataB");
    addAndMakeVisible (reloadCrashedPluginDataB.get());
    reloadCrashedPluginDataB->setButtonText ("Reload crashed plugin data");
    styleToggle (*reloadCrashedPluginDataB);
    reloadCrashedPluginDataB->addListener (this);

    instanceNameGroup = std::make_unique<juce::GroupComponent> ("new group", "Instance name");
    addAndMakeVisible (instanceNameGroup.get());
    styleGroup (*instanceNameGroup);

    programComboBox1 = std::make_unique<AudioPluginInstanceProgramComboBox> ("new combo box");
    addAndMakeVisible (programComboBox1.get());
    styleProgramChooser (*programComboBox1);
    programComboBox1->addListener (this);

    programComboBox2 = std::make_unique<AudioPluginInstanceProgramComboBox> ("new combo box");
    addAndMakeVisible (programComboBox2.get());
    styleProgramChooser (*programComboBox2);
    programComboBox2->addListener (this);

    versionLabel = std::make_unique<juce::Label> ("new label", "Plugin Tamblit v1.0");
    addAndMakeVisible (versionLabel.get());
    styleCaption (*versionLabel, juce::Justification::centredLeft);

    webLabel = std::make_unique<juce::Label> ("new label", "https://tamblit.example.org\n");
    addAndMakeVisible (webLabel.get());
    styleCaption (*webLabel, juce::Justification::centredLeft);
    // The caption runs past the editor's right edge; no left inset keeps the address in view.
    webLabel->setBorderSize (juce::BorderSize<int> (1, 0, 1, 5));

    instanceName = std::make_unique<juce::Label> ("instanceName", "Instance name");
    addAndMakeVisible (instanceName.get());
    instanceName->setFont (juce::Font (15.0f, juce::Font::plain));
    instanceName->setJustificationType (juce::Justification::centred);
    // Double click to edit; leaving the field keeps what was typed.
    instanceName->setEditable (false, true, false);
    instanceName->setColour (juce::Label::backgroundColourId, juce::Colours::white);
    instanceName->setColour (juce::TextEditor::textColourId, juce::Colours::black);
    instanceName->setColour (juce::TextEditor::backgroundColourId, juce::Colour (0x00000000));
    instanceName->addListener (this);

    pluginUnload0 = std::make_unique<juce::TextButton> ("pluginUnload0");
    addAndMakeVisible (pluginUnload0.get());
    pluginUnload0->setButtonText ("Unload");
    styleTextButton (*pluginUnload0);
    pluginUnload0->addListener (this);

    pluginUnload1 = std::make_unique<juce::TextButton> ("pluginUnload1");
    addAndMakeVisible (pluginUnload1.get());
    pluginUnload1->setButtonText ("Unload");
    styleTextButton (*pluginUnload1);
    pluginUnload1->addListener (this);

    // Protection toggles, in the gap between "Load new" and "Edit" of each frame.
    protectPlugin0 = std::make_unique<juce::ToggleButton> ("protectPlugin0");
    protectPlugin1 = std::make_unique<juce::ToggleButton> ("protectPlugin1");
    for (auto* toggle : { protectPlugin0.get(), protectPlugin1.get() })
    {
        addAndMakeVisible (toggle);
        toggle->setButtonText ("Protected");
        toggle->setTooltip ("Run this slot's plug-in in a process of its own: a crash cannot take the host down");
        styleToggle (*toggle);
        toggle->addListener (this);
    }

    // Switch settings, in the options frame's free right-hand rows.
    switchFade = std::make_unique<juce::ComboBox> ("switchFade");
    addAndMakeVisible (switchFade.get());
    styleProgramChooser (*switchFade);
    switchFade->setTooltip ("Crossfade length when you switch slots (a crash hand-over never fades)");
    switchFade->addListener (this);
    letNotesRing = std::make_unique<juce::ToggleButton> ("letNotesRing");
    addAndMakeVisible (letNotesRing.get());
    letNotesRing->setButtonText ("Let notes ring");
    letNotesRing->setTooltip ("After a switch the old slot plays on the notes held until they are released");
    styleToggle (*letNotesRing);
    letNotesRing->addListener (this);

    setSize (384, 600);

    optionButtons.add (consoleB.get());
    optionButtons.add (autoCrashRecoveryB.get());
    optionButtons.add (autoSwitchB.get());
    optionButtons.add (reloadCrashedPluginDataB.get());

    versionLabel->setText ("Plugin Tamblit v" TAMBLIT_PANEL_VERSION_STRING, juce::dontSendNotification);
}

GUI::~GUI()
{
    pluginGroup2.reset();
    pluginGroup1.reset();
    plugin1LoadUnload.reset();
    loadedPlugin1.reset();
    plugin1Edit.reset();
    activatePlugin1.reset();
    plugin1LoadUnload2.reset();
    loadedPlugin2.reset();
    plugin1Edit2.reset();
    activatePlugin2.reset();
    optionsGroup.reset();
    consoleB.reset();
    autoSwitchB.reset();
    autoCrashRecoveryB.reset();
    reloadCrashedPluginDataB.reset();
    instanceNameGroup.reset();
    programComboBox1.reset();
    programComboBox2.reset();
    versionLabel.reset();
    webLabel.reset();
    instanceName.reset();
    pluginUnload0.reset();
    pluginUnload1.reset();
    protectPlugin0.reset();
    protectPlugin1.reset();
    switchFade.reset();
    letNotesRing.reset();
    optionButtons.clear();

    setLookAndFeel (nullptr);
}

void GUI::setPluginContainerAudioProcessor (PluginContainerAudioProcessor* processorToUse)
{
    processor = processorToUse;

    programComboBox1->processor = processorToUse;
    programComboBox1->pluginIndex = 0;
    programComboBox1->reloadPrograms();

    programComboBox2->processor = processorToUse;
    programComboBox2->pluginIndex = 1;
    programComboBox2->reloadPrograms();
}

void GUI::updateGUI()
{
    if (processor == nullptr)
        return;

    const int active = processor->getActivePlugin();

    instanceName->setText (processor->getInstanceName(), juce::dontSendNotification);

    pluginGroup1->setText (processor->getName (0));
    pluginGroup2->setText (processor->getName (1));

    // Not a radio group: this alone keeps exactly the active slot's tick on.
    activatePlugin1->setToggleState (false, juce::dontSendNotification);
    activatePlugin2->setToggleState (false, juce::dontSendNotification);
    if (active == 0)
        activatePlugin1->setToggleState (true, juce::dontSendNotification);
    else if (active == 1)
        activatePlugin2->setToggleState (true, juce::dontSendNotification);

    const bool loaded0 = processor->getAudioPluginInstance (0) != nullptr;
    pluginUnload0->setEnabled (loaded0);
    activatePlugin1->setEnabled (loaded0);
    plugin1Edit->setEnabled (loaded0);

    const bool loaded1 = processor->getAudioPluginInstance (1) != nullptr;
    pluginUnload1->setEnabled (loaded1);
    activatePlugin2->setEnabled (loaded1);
    plugin1Edit2->setEnabled (loaded1);

    for (int option = 0; option < optionButtons.size(); ++option)
        optionButtons[option]->setToggleState (processor->getOption (option), juce::dontSendNotification);

    protectPlugin0->setToggleState (processor->isSlotProtected (0), juce::dontSendNotification);
    protectPlugin1->setToggleState (processor->isSlotProtected (1), juce::dontSendNotification);

    showSwitchFade (processor->getSwitchFadeMs());
    letNotesRing->setToggleState (processor->getLetNotesRing(), juce::dontSendNotification);

    programComboBox1->updateGUI();
    programComboBox2->updateGUI();
}

void GUI::reloadComboBoxPrograms (int index)
{
    if (index == 0)
        programComboBox1->reloadPrograms();
    else if (index == 1)
        programComboBox2->reloadPrograms();
}

void GUI::resized()
{
    pluginGroup2->setBounds (184, 64, 184, 200);
    pluginGroup1->setBounds (0, 64, 184, 200);
    plugin1LoadUnload->setBounds (16, 112, 150, 24);
    loadedPlugin1->setBounds (16, 80, 150, 24);
    plugin1Edit->setBounds (16, 160, 150, 24);
    activatePlugin1->setBounds (16, 232, 64, 24);
    plugin1LoadUnload2->setBounds (200, 112, 150, 24);
    loadedPlugin2->setBounds (210, 80, 150, 24);
    plugin1Edit2->setBounds (200, 160, 150, 24);
    activatePlugin2->setBounds (200, 232, 64, 24);
    optionsGroup->setBounds (0, 264, 368, 120);
    consoleB->setBounds (16, 280, 136, 24);
    autoSwitchB->setBounds (16, 328, 160, 24);
    autoCrashRecoveryB->setBounds (16, 304, 160, 24);
    reloadCrashedPluginDataB->setBounds (16, 352, 192, 24);
    instanceNameGroup->setBounds (0, 0, 368, 61);
    programComboBox1->setBounds (16, 200, 150, 24);
    programComboBox2->setBounds (200, 200, 150, 24);
    versionLabel->setBounds (208, 280, 136, 24);
    webLabel->setBounds (184, 304, 190, 24);
    instanceName->setBounds (16, 24, 336, 24);
    pluginUnload0->setBounds (96, 232, 72, 24);
    pluginUnload1->setBounds (280, 232, 72, 24);
    protectPlugin0->setBounds (16, 136, 150, 24);
    protectPlugin1->setBounds (200, 136, 150, 24);
    switchFade->setBounds (200, 328, 152, 24);
    letNotesRing->setBounds (208, 352, 144, 24);
}

namespace
{
    // The fade lengths the chooser offers; a document may hold any other.
    constexpr int offeredFadesMs[] = { 0, 5, 10, 20, 50, 100, 200, 500, 1000 };

    juce::String fadeCaption (int milliseconds)
    {
        return milliseconds == 0 ? juce::String ("Switch: cut") : "Switch fade: " + juce::String (milliseconds) + " ms";
    }
}

// Item ids are the fade in milliseconds plus one (a ComboBox id cannot be 0).
void GUI::showSwitchFade (int milliseconds)
{
    if (switchFade->getNumItems() == 0)
        for (const int offered : offeredFadesMs)
            switchFade->addItem (fadeCaption (offered), offered + 1);
    if (switchFade->indexOfItemId (milliseconds + 1) < 0)
        switchFade->addItem (fadeCaption (milliseconds), milliseconds + 1);
    switchFade->setSelectedId (milliseconds + 1, juce::dontSendNotification);
}

void GUI::paintSlotStatus (int index, juce::Label& status, juce::TextButton& editButton)
{
    if (processor != nullptr && processor->keepsUnloadedPlugin (index))
    {
        // A saved plug-in that is not installed here: kept for the next save.
        status.setColour (juce::Label::textColourId, juce::Colours::orange);
        status.setText ("Status: NOT INSTALLED (kept)", juce::dontSendNotification);
        editButton.setButtonText ("Recover");
    }
    else if (processor == nullptr || processor->getAudioPluginInstance (index) == nullptr)
    {
        status.setColour (juce::Label::textColourId, juce::Colours::white);
        status.setText ("Status: empty", juce::dontSendNotification);
        editButton.setButtonText ("Edit");
    }
    else if (processor->isPluginCrashed (index))
    {
        // A protected slot's worker tells how it ended.
        const int signal = processor->getCrashSignal (index);
        const char* abbreviation = signal > 0 ? sigabbrev_np (signal) : nullptr;
        status.setColour (juce::Label::textColourId, juce::Colours::red);
        status.setText (abbreviation != nullptr ? "Status: CRASHED (SIG" + juce::String (abbreviation) + ")"
                                                : juce::String ("Status: CRASHED"),
                        juce::dontSendNotification);
        editButton.setButtonText ("Recover");
    }
    else
    {
        status.setColour (juce::Label::textColourId, juce::Colours::green);
        status.setText (processor->isSlotProtected (index) ? "Status: OK, protected" : "Status: OK", juce::dontSendNotification);
        editButton.setButtonText ("Edit");
    }
}

void GUI::paint (juce::Graphics& g)
{
    g.fillAll (panelBackground);

    // Status lines and Edit/Recover captions follow the processor at every paint.
    paintSlotStatus (0, *loadedPlugin1, *plugin1Edit);
    paintSlotStatus (1, *loadedPlugin2, *plugin1Edit2);
}

void GUI::buttonClicked (juce::Button* b)
{
    if (processor != nullptr)
    {
        if (b == plugin1LoadUnload.get())
        {
            processor->loadPlugin (0, juce::String(), juce::String());
        }
        else if (b == plugin1Edit.get())
        {
            // Decided at the click, whatever the caption shows.
            if (processor->isPluginCrashed (0) || processor->keepsUnloadedPlugin (0))
                processor->recoverPlugin (0);
            else
                processor->editPlugin (0);
        }
        else if (b == activatePlugin1.get())
        {
            processor->changeActivePlugin (0);
        }
        else if (b == plugin1LoadUnload2.get())
        {
            processor->loadPlugin (1, juce::String(), juce::String());
        }
        else if (b == plugin1Edit2.get())
        {
            if (processor->isPluginCrashed (1) || processor->keepsUnloadedPlugin (1))
                processor->recoverPlugin (1);
            else
                processor->editPlugin (1);
        }
        else if (b == activatePlugin2.get())
        {
            processor->changeActivePlugin (1);
        }
        else if (b == pluginUnload0.get())
        {
            processor->unloadPlugin (0, false, true);
        }
        else if (b == pluginUnload1.get())
        {
            processor->unloadPlugin (1, false, true);
        }
        else if (b == protectPlugin0.get() || b == protectPlugin1.get())
        {
            processor->setSlotProtected (b == protectPlugin0.get() ? 0 : 1, b->getToggleState());
        }
        else if (b == letNotesRing.get())
        {
            processor->setLetNotesRing (b->getToggleState());
        }

        // The toggle has already flipped, so the processor gets the new state.
        for (int option = 0; option < optionButtons.size(); ++option)
            if (b == optionButtons[option])
                processor->setOption (option, b->getToggleState());
    }

    updateGUI();
}

void GUI::comboBoxChanged (juce::ComboBox* box)
{
    // The program choosers act on their own selection.
    if (box == switchFade.get() && processor != nullptr && box->getSelectedId() > 0)
        processor->setSwitchFadeMs (box->getSelectedId() - 1);
}

void GUI::labelTextChanged (juce::Label* label)
{
    if (label == instanceName.get() && processor != nullptr)
        processor->setInstanceName (label->getText());
}

void GUI::mouseEnter (const juce::MouseEvent&)
{
    updateGUI();
}
