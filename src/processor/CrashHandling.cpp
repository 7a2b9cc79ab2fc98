// Crash probe and recovery of hosted plug-ins (message thread).
#include "PluginContainerAudioProcessor.h"
#include "../console/LogLines.h"
#include "../crash/AudioProcessorState.h"
#include "ProjectBridge.h"
#include "ThreadRules.h"
#include "../loading/GenericAudioPluginLoader.h"
#include <pluginterfaces/vst2.x/aeffectx.h>

bool PluginContainerAudioProcessor::probeBridge (int index)
{
    // Only VST 2.x plug-ins are asked: the probe is one of their vendor opcodes.
    return crashProbeSaysCrashed (vst2EffectOf (getAudioPluginInstance (index)));
}

bool PluginContainerAudioProcessor::checkIfPluginCrashed (int index)
{
    TAMBLIT_ASSERT_MESSAGE_THREAD;
    if (! holdsPlugin (index))
        return false;

    if (probePlugin (index))
        markPluginCrashed (index);

    return plugin_crashed[(size_t) index];
}

bool PluginContainerAudioProcessor::holdsPlugin (int index) const
{
    return getAudioPluginInstance (index) != nullptr;
}

bool PluginContainerAudioProcessor::probePlugin (int index)
{
    return probeBridge (index);
}

void PluginContainerAudioProcessor::markPluginCrashed (int index)
{
    TAMBLIT_ASSERT_MESSAGE_THREAD;
    if (! isValidSlot (index))
        return;

    plugin_crashed[(size_t) index] = true;
    standby_instances[(size_t) index] = nullptr; // nothing switches to a crashed slot
    log (logLines::seemsToHaveCrashed (index, instance_name));
    refreshEditor();
}

WatchPolicy PluginContainerAudioProcessor::getWatchPolicy() const
{
    return { getOption (ContainerOption::autoSwitchPlugin), getOption (ContainerOption::autoCrashRecovery) };
}

void PluginContainerAudioProcessor::recoverPlugin (int index)
{
    recoverSlot (index, true);
}

void PluginContainerAudioProcessor::recoverPluginUnattended (int index)
{
    recoverSlot (index, false);
}

void PluginContainerAudioProcessor::recoverSlot (int index, bool mayAskTheUser)
{
    TAMBLIT_ASSERT_MESSAGE_THREAD;
    log (logLines::recoveringPlugin (index, instance_name));

    if (! isValidSlot (index))
        return;

    const auto slot = (size_t) index;
    const bool loaded = getAudioPluginInstance (index) != nullptr;
    bool leftByFailedReload = false;
    {
        // Until the snapshot is back in, saves on host threads write the
        // snapshot, not the fresh plug-in, and leave the snapshot alone.
        const juce::ScopedLock sl (slot_lock);
        // A slot a failed reload (or a restore) left empty keeps its file, and
        // its snapshot if it had one: it can be tried again.
        leftByFailedReload = ! loaded && slot_origins[slot].filePath.isNotEmpty();
        slot_recovering[slot] = loaded || leftByFailedReload;
    }

    if (loaded || leftByFailedReload)
    {
        const auto origin = slot_origins[slot];
        const auto path = loaded ? getPluginFilePath (index) : origin.filePath;

        unloadPlugin (index, true, false);

        const bool previous = dialogs_allowed;
        dialogs_allowed = previous && mayAskTheUser;
        // The same sub-plug-in of a shell file, by its name; never a new choice.
        const bool reloaded = loadPlugin (index, path, origin.pluginName);
        dialogs_allowed = previous;

        if (reloaded)
        {
            if (plugin_states[slot] != nullptr && getOption (ContainerOption::reloadCrashedPluginData))
            {
                log (logLines::recoveringPluginState);
                putSnapshotBack (index);
            }
        }
        else
        {
            log (instance_name + ":" + logLines::couldNotBeReloaded (index));
        }

        slot_recovering[slot] = false;
        refreshSaveSnapshot (index);
        armHandOver (index);
    }

    refreshEditor();
}

bool PluginContainerAudioProcessor::putSnapshotBack (int index)
{
    auto* instance = getAudioPluginInstance (index);
    auto* snapshot = getPluginState (index);
    if (instance == nullptr || snapshot == nullptr)
        return false;

    bool applied = false;
    {
        const juce::ScopedLock cl (slot_call_locks[(size_t) index]);
        applied = snapshot->copyStateToAudioProcessor (instance, slotStateForm (index));
    }
    if (! applied)
    {
        log (instance_name + ":" + logLines::stateBlockRefused (index));
        return false;
    }
    if (probeBridge (index))
    {
        log (instance_name + ":" + logLines::crashedWhileTakingStateBack (index));
        return false;
    }
    return true;
}

void PluginContainerAudioProcessor::armHandOver (int index)
{
    if (! isValidSlot (index))
        return;
    const auto slot = (size_t) index;
    auto* instance = getAudioPluginInstance (index);
    const bool ready = instance != nullptr && ! plugin_crashed[slot] && ! slot_recovering[slot] && ! standby_held_back[slot]
                       && slot_in_step[slot];
    standby_instances[slot] = ready ? instance : nullptr;
}

void PluginContainerAudioProcessor::disarmHandOver (int index)
{
    if (! isValidSlot (index))
        return;
    standby_instances[(size_t) index] = nullptr;
    // A block that read the slot before the store may still switch to it:
    // the host runs blocks under the callback lock, so taking it once waits
    // that block out. Later blocks see no plug-in to switch to, and none
    // plays it on as the slot a switch left.
    const juce::ScopedLock sl (getCallbackLock());
    switch_transition.cancelSlot (index);
}

void PluginContainerAudioProcessor::completeHandOver()
{
    TAMBLIT_ASSERT_MESSAGE_THREAD;
    const int from = handed_over_from.exchange (-1);
    if (! isValidSlot (from))
        return;

    // The audio thread already plays the other slot; everyone else learns of
    // the crash now, in the order a watchdog tick tells it.
    const int to = 1 - from;
    if (holdsPlugin (from) && ! plugin_crashed[(size_t) from])
        markPluginCrashed (from);
    changeActivePlugin (to);
    if (holdsPlugin (from) && plugin_crashed[(size_t) from] && getOption (ContainerOption::autoCrashRecovery))
        recoverPluginUnattended (from);
}
