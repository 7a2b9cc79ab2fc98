// Protected slots: the plug-in runs in a worker process of its own, through the
// project's bridge (message thread).
#include "PluginContainerAudioProcessor.h"
#include "ProjectBridge.h"
#include "ThreadRules.h"
#include "../console/LogLines.h"
#include "../crash/AudioProcessorState.h"
#include "../crash/CrashProbe.h"

namespace
{
    // The signal that ended the worker behind `instance`, asked only of the
    // project's own bridge (other plug-ins may answer a vendor query anyhow).
    int workerEndSignal (juce::AudioPluginInstance* instance)
    {
        auto* effect = projectBridgeEffect (instance);
        if (effect == nullptr || effect->dispatcher == nullptr)
            return 0;
        const auto signal = effect->dispatcher (effect, crashProbe::opcode, crashProbe::workerEndSignalIndex, 0, nullptr, 0.0f);
        return signal > 0 && signal < 65 ? (int) signal : 0;
    }
}

bool PluginContainerAudioProcessor::isSlotProtected (int index) const
{
    return isValidSlot (index) && slot_protected[(size_t) index];
}

int PluginContainerAudioProcessor::getCrashSignal (int index) const
{
    if (! isValidSlot (index) || ! plugin_crashed[(size_t) index])
        return 0;
    return workerEndSignal (getAudioPluginInstance (index));
}

bool PluginContainerAudioProcessor::setSlotProtected (int index, bool shouldProtect)
{
    TAMBLIT_ASSERT_MESSAGE_THREAD;
    if (! isValidSlot (index))
        return false;

    const auto slot = (size_t) index;
    if (slot_protected[slot] == shouldProtect)
        return true;

    slot_protected[slot] = shouldProtect;
    log (instance_name + ":" + logLines::slotProtected (index, shouldProtect));

    // An empty or crashed slot takes the choice with its next load or "Recover".
    auto* instance = getAudioPluginInstance (index);
    if (instance == nullptr || ! isSlotHealthy (index))
    {
        refreshEditor();
        return true;
    }

    // Its current state goes with it: program, state block and parameters.
    auto snapshot = std::make_unique<AudioProcessorState>();
    {
        const juce::ScopedLock cl (slot_call_locks[slot]);
        snapshot->storeAudioProcessorState (instance, slotStateForm (index));
    }
    if (! isSlotHealthy (index))
    {
        // Died while it was asked: the last good snapshot stays for "Recover".
        refreshEditor();
        return true;
    }
    {
        // Until the state is back in, saves write this snapshot.
        const juce::ScopedLock sl (slot_lock);
        plugin_states[slot] = std::move (snapshot);
        slot_recovering[slot] = true;
    }

    const auto origin = slot_origins[slot];
    unloadPlugin (index, true, false);

    const bool previous = dialogs_allowed;
    dialogs_allowed = false;
    bool reloaded = loadPlugin (index, origin.filePath, origin.pluginName);
    if (! reloaded)
    {
        // The plug-in goes back as it ran before rather than leave the slot empty.
        log (instance_name + ":" + logLines::runsAsBefore (index, shouldProtect));
        slot_protected[slot] = ! shouldProtect;
        reloaded = loadPlugin (index, origin.filePath, origin.pluginName);
    }
    dialogs_allowed = previous;

    if (reloaded)
        putSnapshotBack (index);
    else
        log (instance_name + ":" + logLines::couldNotBeReloaded (index));

    slot_recovering[slot] = false;
    refreshSaveSnapshot (index);
    armHandOver (index);
    refreshEditor();
    return reloaded && slot_protected[slot] == shouldProtect;
}
