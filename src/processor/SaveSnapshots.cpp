// What a save reads of a loaded slot. VST 2.x plug-ins (the project's bridge
// among them) are asked on whatever thread saves. JUCE hosts VST3 and LV2
// plug-ins so that they give their state on the message thread only: that
// thread keeps a snapshot of each such slot (taken at load, restore, recovery
// and protection changes, when the panel changed its program, every second
// while its editor is open, and whenever a host thread asks), and a save on a
// host thread writes it with the parameter values read live (JUCE keeps those
// in atomics for both formats), so automation is never lost even while the
// message thread is busy.
#include "PluginContainerAudioProcessor.h"
#include "ProjectBridge.h"
#include "ThreadRules.h"
#include "../console/LogLines.h"
#include "../crash/AudioProcessorState.h"
#include "../hosted_editor/MyHostAudioProcessorEditor.h"
#include "../hosted_editor/MyHostAudioProcessorEditorWindow.h"

namespace
{
    // How long a save on a host thread gives the message thread to refresh a
    // VST3 or LV2 slot's snapshot before it writes the one taken last.
    constexpr int saveRefreshWaitMs = 20;
    // How often the snapshot of a slot whose editor is open is taken again.
    constexpr juce::uint32 openEditorRefreshMs = 1000;
}

PluginContainerAudioProcessor::TakenState PluginContainerAudioProcessor::takeSlotState (int index)
{
    const auto slot = (size_t) index;
    const bool messageThread = onMessageThread();

    // Asked before any lock is taken: the message thread may need slot_lock
    // and the call lock to answer.
    bool refreshed = false;
    if (! messageThread)
    {
        bool asksTheMessageThread = false;
        {
            const juce::ScopedLock sl (slot_lock);
            asksTheMessageThread = needsMessageThread (getAudioPluginInstance (index));
        }
        if (asksTheMessageThread)
            refreshed = message_thread_snapshot.refreshWithin (index, saveRefreshWaitMs);
    }

    TakenState taken;
    const juce::ScopedLock cl (slot_call_locks[slot]);
    juce::AudioPluginInstance* instance = nullptr;
    StateForm form = StateForm::plugin;
    bool fromSnapshot = false;
    {
        const juce::ScopedLock sl (slot_lock);
        instance = getAudioPluginInstance (index);
        taken.generation = slot_generations[slot];
        form = slot_origins[slot].stateForm;
        fromSnapshot = ! messageThread && needsMessageThread (instance);
        if (fromSnapshot && save_snapshots[slot] != nullptr)
            taken.state = std::make_unique<AudioProcessorState> (*save_snapshots[slot]);
    }
    if (instance == nullptr || plugin_crashed[slot] || slot_recovering[slot])
        return {};

    // A bridged plug-in may have died since the watchdog last asked.
    auto diedMeanwhile = [&]
    {
        if (! crashProbeSaysCrashed (vst2EffectOf (instance)))
            return false;
        plugin_crashed[slot] = true;
        return true;
    };
    if (diedMeanwhile())
        return {};

    if (! fromSnapshot)
    {
        taken.state = std::make_unique<AudioProcessorState>();
        taken.state->storeAudioProcessorState (instance, form);
        // Died while it was asked: what it answered is not its state.
        if (diedMeanwhile())
            return {};
        return taken;
    }

    if (taken.state == nullptr)
        return {};
    taken.state->parameters.clearQuick();
    for (auto* parameter : instance->getParameters())
        taken.state->parameters.add (parameter->getValue());
    if (! refreshed)
        log (getInstanceName() + ":index " + juce::String (index)
             + " could not be asked for its state (the message thread is busy), saving its newest snapshot with its current parameter "
               "values");
    return taken;
}

void PluginContainerAudioProcessor::refreshSaveSnapshot (int index)
{
    TAMBLIT_ASSERT_MESSAGE_THREAD;
    if (! isValidSlot (index))
        return;
    const auto slot = (size_t) index;
    auto* instance = getAudioPluginInstance (index);
    if (! needsMessageThread (instance) || plugin_crashed[slot] || slot_recovering[slot])
        return;

    auto snapshot = std::make_unique<AudioProcessorState>();
    {
        const juce::ScopedLock cl (slot_call_locks[slot]);
        snapshot->storeAudioProcessorState (instance, slotStateForm (index));
    }
    const juce::ScopedLock sl (slot_lock);
    save_snapshots[slot] = std::move (snapshot);
    save_snapshot_taken_ms[slot] = juce::Time::getMillisecondCounter();
}

void PluginContainerAudioProcessor::refreshChangedSaveSnapshots()
{
    TAMBLIT_ASSERT_MESSAGE_THREAD;
    const auto now = juce::Time::getMillisecondCounter();
    for (int index = 0; index < 2; ++index)
    {
        const auto slot = (size_t) index;
        auto* instance = getAudioPluginInstance (index);
        if (! needsMessageThread (instance))
            continue;

        // Only this thread writes the snapshots: it reads them without the lock.
        const auto* snapshot = save_snapshots[slot].get();
        const int program = instance->getNumPrograms() == 0 ? -1 : instance->getCurrentProgram();
        const bool programChanged = snapshot == nullptr || snapshot->current_program != program;
        const auto* editor = plugin_editors[slot].get();
        const bool editorOpen = editor != nullptr && editor->editorWindow != nullptr;
        if (programChanged || (editorOpen && now - save_snapshot_taken_ms[slot] >= openEditorRefreshMs))
            refreshSaveSnapshot (index);
    }
}
