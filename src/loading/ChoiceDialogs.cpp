#include "ChoiceDialogs.h"

bool canAskTheUser ()
{
    return juce::Desktop::getInstance().getDisplays().getPrimaryDisplay() != nullptr;
}

juce::File getVST2File ()
{
    if (! canAskTheUser())
        return {};

    juce::FileChooser chooser ("Please select a VST2.x plugin...", juce::File ("~/.vst"), "*.so", true);
    if (chooser.browseForFileToOpen())
        return chooser.getResult();
    return {};
}

juce::File getFile (juce::String initialPath, juce::String patterns, juce::String description, juce::String instructions)
{
    if (! canAskTheUser())
        return {};

    juce::WildcardFileFilter filter (patterns, juce::String(), description);
    juce::FileBrowserComponent browser (juce::FileBrowserComponent::openMode | juce::FileBrowserComponent::canSelectFiles,
                                        juce::File (initialPath), &filter, nullptr);
    juce::FileChooserDialogBox dialog ("Open file", instructions, browser, false, juce::Colours::lightgrey);

    // The file the dialog confirmed: the name in the file name box, which is the
    // highlighted file unless the user typed another name over it.
    if (dialog.show())
        return browser.getSelectedFile (0);
    return {};
}

comboBoxChooseComponent::comboBoxChooseComponent()
{
    groupComponent = std::make_unique<juce::GroupComponent> ("new group", "group");
    addAndMakeVisible (groupComponent.get());

    comboBox = std::make_unique<juce::ComboBox> ("new combo box");
    addAndMakeVisible (comboBox.get());
    comboBox->setEditableText (false);
    comboBox->setJustificationType (juce::Justification::centredLeft);
    comboBox->setTextWhenNothingSelected (juce::String());
    comboBox->setTextWhenNoChoicesAvailable ("(no choices)");
    comboBox->addListener (this);

    textButton = std::make_unique<juce::TextButton> ("new button");
    addAndMakeVisible (textButton.get());
    textButton->setButtonText ("OK");
    textButton->addListener (this);

    setSize (500, 200);
}

comboBoxChooseComponent::~comboBoxChooseComponent() = default;

void comboBoxChooseComponent::paint (juce::Graphics& g)
{
    g.fillAll (juce::Colours::white);
}

void comboBoxChooseComponent::resized()
{
    groupComponent->setBounds (0, 0, 500, 200);
    comboBox->setBounds (16, 48, 464, 24);
    textButton->setBounds (168, 112, 150, 24);
}

void comboBoxChooseComponent::comboBoxChanged (juce::ComboBox*)
{
}

void comboBoxChooseComponent::buttonClicked (juce::Button* button)
{
    if (button != textButton.get())
        return;

    if (auto* dialog = findParentComponentOfClass<juce::DialogWindow>())
        dialog->exitModalState (comboBox->getSelectedId());
}

void comboBoxChooseComponent::addList (juce::StringArray& options)
{
    for (int i = 0; i < options.size(); ++i)
        comboBox->addItem (options[i], i + 1);

    if (options.size() > 0)
        comboBox->setSelectedId (1, juce::dontSendNotification);
}

ModalWindowWithComboBoxOptionChooser::ModalWindowWithComboBoxOptionChooser (const juce::String& title, juce::StringArray&)
    : juce::DialogWindow (title, juce::Colours::lightgrey, true, true)
{
    setUsingNativeTitleBar (true);
}

ModalWindowWithComboBoxOptionChooser::~ModalWindowWithComboBoxOptionChooser() = default;

void ModalWindowWithComboBoxOptionChooser::closeButtonPressed()
{
    removeFromDesktop();
}

juce::String getOptionFromComboBox (juce::String title, juce::StringArray& options)
{
    // Nobody can choose without a screen: answer as a closed chooser does.
    if (! canAskTheUser())
        return options.isEmpty() ? juce::String() : options[0];

    auto* component = new comboBoxChooseComponent();
    component->addList (options);

    auto window = std::make_unique<ModalWindowWithComboBoxOptionChooser> (title, options);
    window->setUsingNativeTitleBar (true);
    window->setContentOwned (component, true);
    window->centreWithSize (component->getWidth(), component->getHeight());

    const int result = juce::DialogWindow::showModalDialog (title, component, nullptr, juce::Colours::lightgrey, false, false, false);
    window.reset();

    if (options.isEmpty())
        return {};
    return result != 0 ? options[result - 1] : options[0];
}
