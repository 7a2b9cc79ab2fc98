// Loading, unloading and switching of slots. These run on the message thread;
// every change to the active slot happens while processing is suspended.
#include "PluginContainerAudioProcessor.h"
#include "ContainerProcess.h"
#include "HostedPlayConfig.h"
#include "../crash/AudioProcessorState.h"
#include "../hosted_editor/MyHostAudioProcessorEditor.h"
#include "../loading/ChoiceDialogs.h"
#include "../loading/VSTP2PluginLoader.h"

bool PluginContainerAudioProcessor::loadPlugin (int index, juce::String path, juce::String pluginName)
{
    log (instance_name + ":loading plugin in index " + juce::String (index) + ".");

    if (! isValidSlot (index))
    {
        log (instance_name + ":failed to load plugin...");
        return false;
    }

    auto loader = std::make_unique<VSTP2PluginLoader>();
    loader->setScanWithExternalProcess (false, "Scanlet64");

    juce::String chosenPath;
    if (path.isNotEmpty())
    {
        // Saved documents name plug-ins by absolute path; anything else names no file.
        if (juce::File::isAbsolutePath (path) && juce::File (path).exists())
        {
            chosenPath = path;
        }
        else if (! canAskTheUser() || ! dialogs_allowed)
        {
            // Without a screen nobody can answer: a headless host must not hang in a modal loop.
            log (path + " does not exist and there is no display to ask where it went");
        }
        else
        {
            const int answer = juce::NativeMessageBox::showYesNoCancelBox (juce::MessageBoxIconType::WarningIcon, "Error",
                                                                           path + " does not exist. Locate manually?");
            if (answer == 1)
                chosenPath = getFile ("", "*.so;*.SO", "so files", "Choose a VST 2.x plugin").getFullPathName();
        }
    }
    else
    {
        const auto file = canAskTheUser() && dialogs_allowed ? getVST2File() : juce::File();
        if (file.exists())
            chosenPath = file.getFullPathName();
    }

    log (chosenPath + ", in index " + juce::String (index));

    bool result = false;
    juce::AudioPluginInstance* instance = nullptr;

    if (chosenPath.isNotEmpty())
        instance = loader->loadPlugin (chosenPath, "VST", pluginName);

    if (instance == nullptr && pluginName.isNotEmpty() && chosenPath.isNotEmpty())
    {
        bool listed = false;
        for (auto* description : loader->plugin_descriptions)
            listed = listed || description->name == pluginName;
        if (! listed)
            log (instance_name + ":" + chosenPath + " no longer holds the plugin " + pluginName);
    }

    // Before the host prepares the container, what it has told so far (or a
    // sound default) stands in: no plug-in is ever prepared at rate 0.
    const double sampleRate = preparedSampleRate();
    const int blockSize = preparedBlockSize();

    if (instance != nullptr)
    {
        log ("temp->startPlaying( getSampleRate(), getBlockSize() );");

        const int containerInputs = getTotalNumInputChannels();
        const int containerOutputs = getTotalNumOutputChannels();
        offerPlayConfig (*instance, containerInputs, containerOutputs, sampleRate, blockSize);
        instance->prepareToPlay (sampleRate, blockSize);

        const int pluginInputs = instance->getTotalNumInputChannels();
        const int pluginOutputs = instance->getTotalNumOutputChannels();

        log ("mode: " + juce::String (containerInputs) + "/" + juce::String (containerOutputs) + "; "
             + "Plugin: " + juce::String (pluginInputs) + "/" + juce::String (pluginOutputs));
        log ("(Synth mode)");

        if (pluginInputs > containerInputs)
        {
            log ("plugin can't be loaded ( this is a synth, plugin appears to be an fx... )");
        }
        else
        {
            process->get().watchdog.stopTimer();

            if (index == active_plugin)
                suspendProcessing (true);

            if (plugin_loaders[(size_t) index] != nullptr)
                unloadPlugin (index, false, false);

            {
                const juce::ScopedLock sl (slot_lock);
                plugin_loaders[(size_t) index] = std::move (loader);
                plugin_crashed[(size_t) index] = false;
                // A new plug-in starts without a snapshot; only recovery keeps the old one.
                if (! slot_recovering[(size_t) index])
                    plugin_states[(size_t) index].reset();
                slot_origins[(size_t) index] = { plugin_loaders[(size_t) index]->plugin_file.getFullPathName(), plugin_loaders[(size_t) index]->getCurrentlyLoadedPluginName(),
                                                 instance->getName(), pluginInputs, pluginOutputs };

                if (pluginOutputs > containerOutputs)
                {
                    log ("allocating aux buffer ( plugin has more outputs )");
                    aux_buffers[(size_t) index] = std::make_unique<juce::AudioSampleBuffer> (juce::jmax (pluginInputs, pluginOutputs),
                                                                                             blockSize);
                }
            }

            if (index == active_plugin)
            {
                parameter_target.publish (instance);
                setLatencySamples (instance->getLatencySamples());
            }

            reloadEditorPrograms (index);

            process->get().watchdog.startTimer (1000);

            result = true;
        }
    }

    if (! result)
    {
        log (instance_name + ":failed to load plugin...");
        loader.reset();
    }

    log (instance_name + ":active_plugin: " + juce::String (active_plugin));

    if (index == active_plugin && isSuspended())
        suspendProcessing (false);

    if (index != active_plugin)
    {
        JUCE_BEGIN_IGNORE_WARNINGS_GCC_LIKE ("-Wdeprecated-declarations")
        auto* mine = getAudioPluginInstance (index);
        auto* other = getAudioPluginInstance (1 - index);
        if (mine != nullptr && other != nullptr && mine->getPlatformSpecificData() == other->getPlatformSpecificData())
            juce::NativeMessageBox::showMessageBoxAsync (juce::MessageBoxIconType::WarningIcon, "Info", "effect == effect??" "?!! WTF");
        JUCE_END_IGNORE_WARNINGS_GCC_LIKE
    }

    return result;
}

void PluginContainerAudioProcessor::unloadPlugin (int index, bool keepState, bool resumeProcessing)
{
    if (! isValidSlot (index))
        return;

    const auto slot = (size_t) index;

    if (plugin_loaders[slot] != nullptr)
    {
        if (index == active_plugin && ! isSuspended())
            suspendProcessing (true);

        log (instance_name + ":unloading plugin in index " + juce::String (index) + ".");

        // The editor window closes before the plug-in behind it goes.
        plugin_editors[slot].reset();

        // No host parameter call may still be inside the instance when it is deleted.
        if (parameter_target.current() == plugin_loaders[slot]->plugin_instance.get())
            parameter_target.publish (nullptr);

        std::unique_ptr<GenericAudioPluginLoader> doomed;
        {
            const juce::ScopedLock sl (slot_lock);
            doomed = std::move (plugin_loaders[slot]);
            aux_buffers[slot].reset();
        }
        doomed.reset();
    }

    if (! keepState)
    {
        const juce::ScopedLock sl (slot_lock);
        plugin_states[slot].reset();
        slot_origins[slot] = {};
    }

    if (resumeProcessing && isSuspended())
        suspendProcessing (false);
}

void PluginContainerAudioProcessor::setActivePluginIndex (int index)
{
    active_plugin = index;
    parameter_target.publish (getAudioPluginInstance (index));
}

bool PluginContainerAudioProcessor::changeActivePlugin (int index)
{
    log (instance_name + ":changing active plugin to index " + juce::String (index));

    if (! isValidSlot (index))
        return false;

    if (index == active_plugin && getAudioPluginInstance (index) != nullptr)
        return true;

    if (getAudioPluginInstance (index) == nullptr)
    {
        log (instance_name + ":no plugin available at index " + juce::String (index));
        return false;
    }

    suspendProcessing (true);

    if (auto* previous = getAudioPluginInstance (active_plugin))
        previous->reset();

    setActivePluginIndex (index);
    setLatencySamples (getAudioPluginInstance (index)->getLatencySamples());

    log (instance_name + ":successfully changed active plugin to index " + juce::String (index));

    suspendProcessing (false);
    refreshEditor();
    return true;
}

void PluginContainerAudioProcessor::editPlugin (int index)
{
    log (instance_name + ":openEditor: " + juce::String (index));

    auto* instance = getAudioPluginInstance (index);
    if (instance == nullptr)
        return;

    auto& holder = plugin_editors[(size_t) index];
    if (holder == nullptr)
        holder = std::make_unique<MyHostAudioProcessorEditor>();

    holder->openTheEditor (instance);
}
