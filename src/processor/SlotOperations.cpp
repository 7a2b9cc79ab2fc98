// Loading, unloading and switching of slots. These run on the message thread;
// every change to the active slot happens while processing is suspended.
#include "PluginContainerAudioProcessor.h"
#include "ContainerProcess.h"
#include "../console/LogLines.h"
#include "HostedPlayConfig.h"
#include "ProjectBridge.h"
#include "ThreadRules.h"
#include <cmath>
#include "../crash/AudioProcessorState.h"
#include "../hosted_editor/MyHostAudioProcessorEditor.h"
#include "../loading/ChoiceDialogs.h"
#include "../loading/ProtectedLoad.h"
#include "../loading/FormatPluginLoader.h"
#include "../loading/PluginChooser.h"
#include "../loading/VSTP2PluginLoader.h"

bool PluginContainerAudioProcessor::isInstalledPlugin (const juce::String& identifier)
{
    TAMBLIT_ASSERT_MESSAGE_THREAD;
    const auto format = pluginFormats::formatOf (identifier);
    if (format == pluginFormats::vst2)
        return juce::File::isAbsolutePath (identifier) && juce::File (identifier).exists();
    return FormatPluginLoader (format).isInstalled (identifier);
}

bool PluginContainerAudioProcessor::keepsUnloadedPlugin (int index) const
{
    // The panel asks this while it paints: only the message thread changes
    // the slots, so it reads them without a lock and never waits for a save.
    TAMBLIT_ASSERT_MESSAGE_THREAD;
    if (! isValidSlot (index) || plugin_loaders[(size_t) index] != nullptr)
        return false;
    return slot_origins[(size_t) index].filePath.isNotEmpty();
}

bool PluginContainerAudioProcessor::loadPlugin (int index, juce::String path, juce::String pluginName)
{
    TAMBLIT_ASSERT_MESSAGE_THREAD;
    log (instance_name + ":" + logLines::loadingPluginInIndex (index));

    if (! isValidSlot (index))
    {
        log (instance_name + ":" + logLines::failedToLoadPlugin);
        return false;
    }

    juce::String chosenPath;
    if (path.isNotEmpty())
    {
        // Saved documents name VST 2.x and VST3 plug-ins by absolute path and LV2
        // plug-ins by URI; anything else names nothing installed.
        if (isInstalledPlugin (path))
        {
            chosenPath = path;
        }
        else if (pluginFormats::formatOf (path) != pluginFormats::vst2)
        {
            // No file to locate by hand: a URI or a bundle names one plug-in only.
            log (instance_name + ":" + logLines::notInstalled (index, pluginFormats::displayName (pluginFormats::formatOf (path)), path));
        }
        else if (! canAskTheUser() || ! dialogs_allowed)
        {
            // Without a screen nobody can answer: a headless host must not hang in a modal loop.
            log (logLines::missingWithoutDisplay (path));
        }
        else
        {
            const int answer = juce::NativeMessageBox::showYesNoCancelBox (juce::MessageBoxIconType::WarningIcon, "Error",
                                                                           path + " does not exist. Locate manually?");
            if (answer == 1)
                chosenPath = getFile ("", "*.so;*.SO", "so files", "Choose a VST 2.x plugin").getFullPathName();
        }
    }
    else if (canAskTheUser() && dialogs_allowed)
    {
        // The installed plug-ins of every format, or a VST 2.x file by path.
        const auto choice = choosePluginToLoad();
        if (choice.kind == PluginChoice::Kind::plugin)
        {
            chosenPath = choice.identifier;
            pluginName = choice.pluginName;
        }
        else if (choice.kind == PluginChoice::Kind::browse)
        {
            const auto file = getVST2File();
            if (file.exists())
                chosenPath = file.getFullPathName();
        }
    }

    log (logLines::pathInIndex (chosenPath, index));

    const auto format = pluginFormats::formatOf (chosenPath);
    bool result = false;
    juce::AudioPluginInstance* instance = nullptr;

    // A protected slot loads the plug-in's bridged stand-in, a VST 2.x plug-in
    // whatever the format behind it; the slot still names the plug-in itself.
    juce::String loadPath = chosenPath;
    if (chosenPath.isNotEmpty() && slot_protected[(size_t) index])
    {
        juce::String error;
        loadPath = protectedLoad::standInFor (chosenPath, error).getFullPathName();
        if (loadPath.isEmpty())
            log (instance_name + ":" + logLines::cannotProtect (chosenPath, error));
        else
            log (instance_name + ":" + logLines::runsProtected (index, chosenPath, loadPath));
    }

    const auto loadFormat = pluginFormats::formatOf (loadPath);
    std::unique_ptr<GenericAudioPluginLoader> loader;
    if (loadFormat == pluginFormats::vst2)
    {
        auto vst2 = std::make_unique<VSTP2PluginLoader>();
        vst2->setScanWithExternalProcess (false, "Scanlet64");
        loader = std::move (vst2);
    }
    else
    {
        loader = std::make_unique<FormatPluginLoader> (loadFormat);
    }

    if (loadPath.isNotEmpty())
    {
        // A VST3 or LV2 plug-in's stand-in holds that one plug-in, under a name
        // of its own: it is not asked for by the plug-in's name.
        const bool standInOfJuceFormat = format != pluginFormats::vst2 && loadFormat == pluginFormats::vst2;
        instance = loader->loadPlugin (loadPath, loadFormat, standInOfJuceFormat ? juce::String() : pluginName);
    }

    if (instance == nullptr && loadFormat != pluginFormats::vst2 && loadPath.isNotEmpty())
        if (auto* other = dynamic_cast<FormatPluginLoader*> (loader.get()); other != nullptr && other->lastError.isNotEmpty())
            log (instance_name + ":" + other->lastError);

    if (instance == nullptr && pluginName.isNotEmpty() && chosenPath.isNotEmpty())
    {
        bool listed = false;
        for (auto* description : loader->plugin_descriptions)
            listed = listed || description->name == pluginName;
        if (! listed)
            log (instance_name + ":" + logLines::noLongerHoldsPlugin (chosenPath, pluginName));
    }

    // Before the host prepares the container, what it has told so far (or a
    // sound default) stands in: no plug-in is ever prepared at rate 0.
    const double sampleRate = preparedSampleRate();
    const int blockSize = preparedBlockSize();

    if (instance != nullptr)
    {
        log (logLines::startPlaying);

        const int containerInputs = getTotalNumInputChannels();
        const int containerOutputs = getTotalNumOutputChannels();
        offerPlayConfig (*instance, containerInputs, containerOutputs, sampleRate, blockSize);
        instance->prepareToPlay (sampleRate, blockSize);

        // JUCE's VST 2.x hosting lets the project's bridge drop its inputs when
        // offered none; the plug-in behind it still declares them, and an
        // effect stays an effect for the fit rule.
        const auto* bridge = projectBridgeEffect (instance);
        const int pluginInputs = juce::jmax (instance->getTotalNumInputChannels(), bridge != nullptr ? bridge->numInputs : 0);
        const int pluginOutputs = instance->getTotalNumOutputChannels();

        log (logLines::channelMode (containerInputs, containerOutputs, pluginInputs, pluginOutputs));
        log (logLines::synthMode);

        if (pluginInputs > containerInputs)
        {
            log (logLines::effectInSynth);
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
                ++slot_generations[(size_t) index];
                slot_prepared_rate[(size_t) index] = sampleRate;
                slot_prepared_block[(size_t) index] = blockSize;
                slot_in_step[(size_t) index] = true;
                plugin_crashed[(size_t) index] = false;
                // A new plug-in starts without a snapshot; only recovery keeps the old one.
                if (! slot_recovering[(size_t) index])
                    plugin_states[(size_t) index].reset();
                // A VST3 or LV2 slot keeps the plug-in's own name whichever way it runs.
                const auto loadedName = plugin_loaders[(size_t) index]->getCurrentlyLoadedPluginName();
                slot_origins[(size_t) index] = {
                    chosenPath, format != pluginFormats::vst2 && pluginName.isNotEmpty() ? pluginName : loadedName, instance->getName(),
                    pluginInputs, pluginOutputs, format == pluginFormats::vst2 ? juce::String() : format,
                    // Decided here, once: a protected VST3 or LV2 plug-in's state
                    // travels as the bare chunk, whatever the cache holds later.
                    format != pluginFormats::vst2 && loadFormat == pluginFormats::vst2 ? StateForm::bridgedChunk : StateForm::plugin
                };

                if (pluginOutputs > containerOutputs)
                {
                    log (logLines::allocatingAuxBuffer);
                    aux_buffers[(size_t) index] = std::make_unique<juce::AudioSampleBuffer> (juce::jmax (pluginInputs, pluginOutputs),
                                                                                             blockSize);
                }
            }

            // A host thread may have prepared the container at another rate or
            // block size while this plug-in loaded.
            if (preparedSampleRate() != sampleRate || preparedBlockSize() != blockSize)
            {
                const juce::ScopedLock cl (slot_call_locks[(size_t) index]);
                prepareSlot (index, preparedSampleRate(), preparedBlockSize());
            }

            if (index == active_plugin)
            {
                parameter_target.publish (instance);
                setLatencySamples (instance->getLatencySamples());
            }

            refreshSaveSnapshot (index);
            reloadEditorPrograms (index);
            armHandOver (index);

            process->get().watchdog.startTimer (1000);

            result = true;
        }
    }

    if (! result)
    {
        log (instance_name + ":" + logLines::failedToLoadPlugin);
        loader.reset();
    }

    log (instance_name + ":" + logLines::activePlugin (active_plugin));

    if (index == active_plugin && isSuspended())
        suspendProcessing (false);

    if (index != active_plugin)
    {
        JUCE_BEGIN_IGNORE_WARNINGS_GCC_LIKE ("-Wdeprecated-declarations")
        auto* mine = getAudioPluginInstance (index);
        auto* other = getAudioPluginInstance (1 - index);
        if (mine != nullptr && other != nullptr && mine->getPlatformSpecificData() == other->getPlatformSpecificData())
            juce::NativeMessageBox::showMessageBoxAsync (juce::MessageBoxIconType::WarningIcon, "Info",
                                                         "effect == effect??"
                                                         "?!! WTF");
        JUCE_END_IGNORE_WARNINGS_GCC_LIKE
    }

    return result;
}

void PluginContainerAudioProcessor::unloadPlugin (int index, bool keepState, bool resumeProcessing)
{
    TAMBLIT_ASSERT_MESSAGE_THREAD;
    if (! isValidSlot (index))
        return;

    const auto slot = (size_t) index;
    // From here on the audio thread cannot make this slot active by itself.
    disarmHandOver (index);

    if (plugin_loaders[slot] != nullptr)
    {
        if (index == active_plugin && ! isSuspended())
            suspendProcessing (true);

        log (instance_name + ":" + logLines::unloadingPluginInIndex (index));

        // The editor window closes before the plug-in behind it goes.
        plugin_editors[slot].reset();

        // No host parameter call may still be inside the instance when it is deleted.
        if (parameter_target.current() == plugin_loaders[slot]->plugin_instance.get())
            parameter_target.publish (nullptr);

        std::unique_ptr<GenericAudioPluginLoader> doomed;
        std::unique_ptr<juce::AudioSampleBuffer> doomedAux;
        {
            const juce::ScopedLock sl (slot_lock);
            doomed = std::move (plugin_loaders[slot]);
            doomedAux = std::move (aux_buffers[slot]);
            save_snapshots[slot].reset();
            ++slot_generations[slot];
            slot_prepared_rate[slot] = 0.0;
            slot_prepared_block[slot] = 0;
            slot_in_step[slot] = true;
        }
        // A host thread still inside the plug-in (a save, a prepare) holds
        // the slot's call lock: the plug-in goes once it has left.
        {
            const juce::ScopedLock cl (slot_call_locks[slot]);
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
    return switchActivePlugin (index, false);
}

bool PluginContainerAudioProcessor::handOverTo (int index)
{
    return switchActivePlugin (index, true);
}

bool PluginContainerAudioProcessor::switchActivePlugin (int index, bool carryHeldNotes)
{
    TAMBLIT_ASSERT_MESSAGE_THREAD;
    completeHandOver();
    finishSwitchTransitions();

    log (instance_name + ":" + logLines::changingActivePluginToIndex (index));

    if (! isValidSlot (index))
        return false;

    // After a hand-over the audio thread already plays the slot; host
    // parameters and latency still follow the one it left.
    auto* next = getAudioPluginInstance (index);
    if (index == active_plugin && next != nullptr && parameter_target.current() == next)
        return true;

    if (next == nullptr)
    {
        log (instance_name + ":" + logLines::noPluginAvailableAtIndex (index));
        return false;
    }

    // A manual switch fades (and may let the old slot's notes ring); a crash
    // hand-over cuts. Between two blocks: the old slot leaves and the new one
    // starts in the same block.
    bool smooth = false;
    if (! carryHeldNotes)
    {
        const juce::ScopedLock sl (getCallbackLock());
        smooth = startSwitchTransition (index);
    }
    if (! smooth)
    {
        suspendProcessing (true);
        {
            const juce::ScopedLock sl (getCallbackLock());
            switch_transition.cancelSlot (1 - index);
        }
        if (auto* other = getAudioPluginInstance (1 - index))
            other->reset();
        active_plugin = index;
        carry_held_notes = carryHeldNotes;
    }

    setActivePluginIndex (index);
    setLatencySamples (next->getLatencySamples());

    log (instance_name + ":" + logLines::successfullyChangedActivePluginToIndex (index));

    if (! smooth)
        suspendProcessing (false);
    refreshEditor();
    return true;
}

bool PluginContainerAudioProcessor::startSwitchTransition (int index)
{
    // Only a healthy slot that is playing has sound to fade out.
    const int from = active_plugin;
    auto* previous = from != index ? getAudioPluginInstance (from) : nullptr;
    auto* next = getAudioPluginInstance (index);
    const int fadeMs = switch_fade_ms;
    const bool ring = let_notes_ring;
    if (previous == nullptr || next == nullptr || plugin_crashed[(size_t) from] || ! slot_in_step[(size_t) from].load() || isSuspended()
        || (fadeMs <= 0 && ! ring))
        return false;

    const double rate = preparedSampleRate();
    SwitchTransition::Settings settings;
    settings.fadeSamples = (int) std::lround (rate * fadeMs / 1000.0);
    settings.letRing = ring;
    settings.ringBoundSamples = (int) (rate * switchSettings::ringBoundSeconds);
    switch_transition.start (from, previous, previous->getLatencySamples(), next->getLatencySamples(), hand_over.heldNotes(), settings);
    active_plugin = index;
    carry_held_notes = false;
    return true;
}

void PluginContainerAudioProcessor::finishSwitchTransitions()
{
    TAMBLIT_ASSERT_MESSAGE_THREAD;
    const int index = switch_transition.takeFinished();
    if (! isValidSlot (index) || index == active_plugin)
        return;
    {
        const juce::ScopedLock sl (getCallbackLock());
        if (switch_transition.outgoingSlot() == index)
            return; // a newer switch plays it again
    }
    auto* instance = getAudioPluginInstance (index);
    if (instance == nullptr)
        return;
    // The slot sounds no more: it starts clean next time, as after a cut.
    disarmHandOver (index);
    {
        const juce::ScopedLock cl (slot_call_locks[(size_t) index]);
        instance->reset();
    }
    armHandOver (index);
}

void PluginContainerAudioProcessor::setSwitchFadeMs (int milliseconds)
{
    switch_fade_ms = juce::jlimit (0, switchSettings::maximumFadeMs, milliseconds);
}

void PluginContainerAudioProcessor::editPlugin (int index)
{
    TAMBLIT_ASSERT_MESSAGE_THREAD;
    log (instance_name + ":" + logLines::openEditor (index));

    auto* instance = getAudioPluginInstance (index);
    if (instance == nullptr)
        return;

    auto& holder = plugin_editors[(size_t) index];
    if (holder == nullptr)
        holder = std::make_unique<MyHostAudioProcessorEditor>();

    holder->openTheEditor (instance);
}
