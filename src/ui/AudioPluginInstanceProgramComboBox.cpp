#include "AudioPluginInstanceProgramComboBox.h"
#include "../processor/PluginContainerAudioProcessor.h"

AudioPluginInstanceProgramComboBox::AudioPluginInstanceProgramComboBox (const juce::String& componentName)
    : juce::ComboBox (componentName)
{
    addListener (this);
}

AudioPluginInstanceProgramComboBox::~AudioPluginInstanceProgramComboBox()
{
    removeListener (this);
}

juce::AudioPluginInstance* AudioPluginInstanceProgramComboBox::hostedPlugin() const
{
    // Fetched for every use: the slot's plug-in may be replaced between calls.
    return processor != nullptr ? processor->getAudioPluginInstance (pluginIndex) : nullptr;
}

juce::String AudioPluginInstanceProgramComboBox::entryText (int programIndex, const juce::String& programName)
{
    return juce::String (programIndex) + ":" + programName;
}

void AudioPluginInstanceProgramComboBox::valueChanged (juce::Value& value)
{
    juce::ComboBox::valueChanged (value);
    updatePlugin();
}

void AudioPluginInstanceProgramComboBox::comboBoxChanged (juce::ComboBox*)
{
    updatePlugin();
}

void AudioPluginInstanceProgramComboBox::reloadPrograms()
{
    auto* plugin = hostedPlugin();
    if (plugin == nullptr)
        return;

    clear (juce::dontSendNotification);

    const int numPrograms = plugin->getNumPrograms();
    for (int program = 0; program < numPrograms; ++program)
        addItem (entryText (program, plugin->getProgramName (program)), program + 1);
}

void AudioPluginInstanceProgramComboBox::updatePlugin()
{
    auto* plugin = hostedPlugin();
    if (plugin == nullptr || plugin->getNumPrograms() <= 0)
        return;

    // Nothing is selected between a rebuild of the list and the refresh that
    // follows it; that is no choice of the user's, so the plug-in keeps its program.
    const int selected = getSelectedItemIndex();
    if (selected < 0)
        return;

    if (selected != plugin->getCurrentProgram())
        plugin->setCurrentProgram (selected);
}

void AudioPluginInstanceProgramComboBox::updateGUI()
{
    auto* plugin = hostedPlugin();

    if (plugin != nullptr && plugin->getNumPrograms() > 0)
    {
        if (! isEnabled())
        {
            setEnabled (true);
            reloadPrograms();
        }

        const int current = plugin->getCurrentProgram();
        if (current == getSelectedItemIndex())
            return;

        setSelectedItemIndex (current, juce::dontSendNotification);

        if (current >= 0 && current < getNumItems())
        {
            changeItemText (current + 1, entryText (current, plugin->getProgramName (current)));
            // Selecting again puts the renamed text into the box's own label.
            setSelectedId (current + 1, juce::dontSendNotification);
        }
        return;
    }

    if (isEnabled())
    {
        setTextWhenNoChoicesAvailable ("(no programs)");
        clear (juce::dontSendNotification);
        setEnabled (false);
    }
}
