// The container's saved state: a pluginData XML document stored as UTF-8 text.
//
// Hosts save and restore from threads of their own, and some hosts drive the
// container's message loop from their main thread while another of their
// threads holds a lock that main thread waits for. So:
// - a save never waits for the message thread beyond a few milliseconds and
//   holds no lock meanwhile: VST 2.x plug-ins (the project's bridge among them)
//   are asked on the calling thread; a VST3 or LV2 plug-in, which answers on
//   the message thread only, is saved from the newest snapshot that thread
//   took, with its parameter values read live;
// - a restore (which loads plug-ins and may ask the user) runs on the message
//   thread. A host thread hands it over and waits only a bounded time; until it
//   has been applied, saves answer with the document handed over.
#include "PluginContainerAudioProcessor.h"
#include "ProjectBridge.h"
#include "../loading/PluginFormats.h"
#include "../console/LogLines.h"
#include "../console/KTDebugConsole.h"
#include "../console/KTDebugConsoleWindow.h"
#include "../crash/AudioProcessorState.h"
#include "../loading/GenericAudioPluginLoader.h"
#include "StateCodec.h"
#include "ThreadRules.h"
#include <cmath>

namespace
{
    // How long a host thread waits: for the message thread to take up a restore,
    // for it to finish one, and for the slots to be free for a save.
    constexpr int restoreStartTimeoutMs = 1000;
    constexpr int restoreFinishTimeoutMs = 30000;
    constexpr int saveLockTimeoutMs = 3000;

    // Takes `lock` within `timeoutMs`; false if it stayed held.
    bool enterWithin (juce::CriticalSection& lock, int timeoutMs)
    {
        const auto deadline = juce::Time::getMillisecondCounter() + (juce::uint32) timeoutMs;
        for (;;)
        {
            if (lock.tryEnter())
                return true;
            if (juce::Time::getMillisecondCounter() >= deadline)
                return false;
            juce::Thread::sleep (1);
        }
    }
}

void PluginContainerAudioProcessor::getStateInformation (juce::MemoryBlock& destData)
{
    {
        const juce::ScopedLock pl (pending_lock);
        if (restore_pending)
        {
            log (getInstanceName() + ":" + logLines::getStateInformation);
            log (getInstanceName() + ":a restore is under way, answering with its document");
            destData.insert (pending_document.getData(), pending_document.getSize(), 0);
            return;
        }
    }

    writeStateDocument (destData);
}

void PluginContainerAudioProcessor::setStateInformation (const void* data, int sizeInBytes)
{
    if (data == nullptr || sizeInBytes <= 0)
    {
        log (getInstanceName() + ":" + logLines::setStateInformation);
        log (getInstanceName() + ":" + logLines::nothingToRestore);
        return;
    }

    juce::uint64 generation = 0;
    {
        const juce::ScopedLock pl (pending_lock);
        pending_document = juce::MemoryBlock (data, (size_t) sizeInBytes);
        restore_pending = true;
        generation = ++pending_generation;
    }

    if (onMessageThread())
    {
        applyPendingRestore();
        return;
    }

    // Handed to the message thread. The host thread waits for it, but never
    // without bound: the thread that runs the container's messages may itself be
    // waiting for this host thread.
    pending_restore.triggerAsyncUpdate();
    const auto started = juce::Time::getMillisecondCounter();
    for (;;)
    {
        if (applied_generation.load() >= generation)
            return;
        const auto waited = juce::Time::getMillisecondCounter() - started;
        if ((waited > (juce::uint32) restoreStartTimeoutMs && started_generation.load() < generation)
            || waited > (juce::uint32) restoreFinishTimeoutMs)
            break;
        juce::Thread::sleep (1);
    }
    log (getInstanceName() + ":setStateInformation: the message thread has not taken the state yet; it is restored when it does");
}

void PluginContainerAudioProcessor::applyPendingRestore()
{
    TAMBLIT_ASSERT_MESSAGE_THREAD;
    // A restore may run dialogs whose nested loops come back here: the outer
    // call picks up whatever arrives meanwhile.
    if (applying_restore)
        return;
    const juce::ScopedValueSetter<bool> applying (applying_restore, true);

    for (;;)
    {
        juce::MemoryBlock document;
        juce::uint64 generation = 0;
        {
            const juce::ScopedLock pl (pending_lock);
            if (! restore_pending)
                return;
            document = pending_document;
            generation = pending_generation;
        }

        started_generation = generation;
        readStateDocument (document.getData(), (int) document.getSize());

        const juce::ScopedLock pl (pending_lock);
        applied_generation = generation;
        if (generation == pending_generation)
        {
            restore_pending = false;
            pending_document.reset();
            return;
        }
    }
}

bool PluginContainerAudioProcessor::isSlotHealthy (int index)
{
    if (plugin_crashed[(size_t) index] || slot_recovering[(size_t) index])
        return false;

    // A bridged plug-in may have died since the watchdog last asked.
    if (probeBridge (index))
    {
        plugin_crashed[(size_t) index] = true;
        return false;
    }
    return true;
}

void PluginContainerAudioProcessor::writeStateDocument (juce::MemoryBlock& destData)
{
    const auto name = getInstanceName();
    log (name + ":" + logLines::getStateInformation);

    if (! enterWithin (slot_lock, saveLockTimeoutMs))
    {
        // Never an empty answer while slots are loaded: the host would store it
        // and a later restore would empty both slots.
        const juce::ScopedLock pl (pending_lock);
        if (last_document.getSize() > 0)
        {
            log (name + ":the slots are busy, answering with the state saved last");
            destData.insert (last_document.getData(), last_document.getSize(), 0);
        }
        else
        {
            log (name + ":the slots are busy and nothing was saved before, no state given");
        }
        return;
    }
    // Only a check that the slots are free at all: each slot is read on its own below.
    slot_lock.exit();

    ContainerState state;
    auto& settings = state.settings;
    settings.activeSlot = active_plugin;

    for (int option = 0; option < 4; ++option)
        settings.options[(size_t) option] = getOption (option);

    settings.instanceName = name;
    settings.switchFadeMs = getSwitchFadeMs();
    settings.letNotesRing = getLetNotesRing();

    ktdebugconsolesizeset = false;

    if (auto* theConsole = ktdebugconsole())
    {
        // Only the message thread may ask the window; elsewhere the bounds the
        // window last reported stand.
        if (onMessageThread())
            if (auto* window = theConsole->getWindow())
                theConsole->rememberBounds (window->getBounds());

        const auto bounds = theConsole->getRememberedBounds();
        settings.console = ConsoleState { theConsole->getProductName(), bounds.getX(), bounds.getY(), bounds.getWidth(),
                                          bounds.getHeight() };
    }

    int childElements = 1;
    for (int index = 0; index < 2; ++index)
    {
        SlotState slot;
        if (fillSlotState (index, slot))
        {
            state.slots[(size_t) index] = std::move (slot);
            ++childElements;
        }
    }

    const auto text = writeContainerState (state);

    const auto bytes = text.getNumBytesAsUTF8();
    log (name + ":bytes: " + juce::String ((int) bytes));
    log (name + ":" + logLines::childElements (childElements));

    destData.insert (text.toRawUTF8(), bytes, 0);
    {
        const juce::ScopedLock pl (pending_lock);
        last_document = juce::MemoryBlock (text.toRawUTF8(), bytes);
    }
    log (name + ":destData bytes: " + juce::String ((int) destData.getSize()));
}

// The slot's saved state; false for a slot with nothing to save. A healthy plug-in is asked for its state, which becomes the slot's
// snapshot; an unhealthy one (crashed, being reloaded, or gone after a failed
// reload) is written from its last good snapshot, which stays as it is.
bool PluginContainerAudioProcessor::fillSlotState (int index, SlotState& slot)
{
    {
        const juce::ScopedLock sl (slot_lock);
        if (plugin_loaders[(size_t) index] == nullptr)
        {
            // A slot that names a plug-in keeps its element, with or without a
            // snapshot (one that crashed before any save and did not reload).
            if (slot_origins[(size_t) index].filePath.isEmpty())
                return false;
            log (getInstanceName() + ":index " + juce::String (index) + " is empty after a failed load, saving its last good state");
            fillSlotStateFromSnapshot (index, slot);
            // Only a slot that is not being reloaded right now is marked.
            slot.notLoaded = ! slot_recovering[(size_t) index];
            return true;
        }

        if (plugin_crashed[(size_t) index] || slot_recovering[(size_t) index])
        {
            log (getInstanceName() + ":index " + juce::String (index) + " has crashed or is being reloaded, saving its last good state");
            fillSlotStateFromSnapshot (index, slot);
            return true;
        }
    }

    auto snapshot = takeSlotState (index);
    const juce::ScopedLock sl (slot_lock);
    // Emptied by the user meanwhile: nothing left to save.
    if (slot_origins[(size_t) index].filePath.isEmpty())
        return false;
    // Crashed or died while it was asked: what it answered is not its state.
    // A slot whose plug-in was replaced meanwhile is written as it is now.
    if (snapshot.state == nullptr)
        log (getInstanceName() + ":index " + juce::String (index) + " crashed while saving, saving its last good state");
    else if (snapshot.generation == slot_generations[(size_t) index])
        plugin_states[(size_t) index] = std::move (snapshot.state);

    fillSlotStateFromSnapshot (index, slot);
    return true;
}

// Every slot is written from what it was loaded from and its snapshot, so a
// healthy plug-in and one that no longer answers are saved alike.
// With slot_lock held.
void PluginContainerAudioProcessor::fillSlotStateFromSnapshot (int index, SlotState& slot)
{
    const auto& origin = slot_origins[(size_t) index];
    slot.filePath = origin.filePath;
    slot.pluginName = origin.pluginName;
    slot.displayName = origin.displayName;
    slot.format = origin.format;
    slot.isProtected = slot_protected[(size_t) index];
    slot.numInputs = origin.numInputs;
    slot.numOutputs = origin.numOutputs;

    auto* snapshot = plugin_states[(size_t) index].get();
    if (snapshot == nullptr)
    {
        // Crashed before any save or restore: only the plug-in itself is known.
        log (getInstanceName() + ":index " + juce::String (index) + " has no good state to save, saving the plugin only");
        log (logLines::binaryDataSize (0));
        return;
    }

    slot.program = snapshot->current_program;
    slot.programName = snapshot->current_program_name;
    if (snapshot->state_data.getSize() > 0) // JUCE copies even an empty block's null data
        slot.stateBlock = snapshot->state_data;
    slot.parameters = snapshot->parameters;
    log (logLines::binaryDataSize ((int) slot.stateBlock.getSize()));
}

void PluginContainerAudioProcessor::readStateDocument (const void* data, int sizeInBytes)
{
    TAMBLIT_ASSERT_MESSAGE_THREAD;
    log (instance_name + ":" + logLines::setStateInformation);
    // A hand-over not followed yet is finished first: the document then says
    // which slot is active.
    completeHandOver();

    const auto reading = readContainerState (data, (size_t) juce::jmax (0, sizeInBytes));
    auto logReaderLines = [this] (const std::vector<StateLine>& lines)
    {
        for (const auto& line : lines)
            log (line.named ? instance_name + line.text : line.text);
    };

    // A blob that does not read as a pluginData document restores nothing: the
    // slots keep what they hold.
    logReaderLines (reading.lines);
    if (! reading.ok())
        return;

    bool claimed[2] = { false, false };

    for (const auto& part : reading.parts)
    {
        logReaderLines (part.lines);

        if (part.kind == StateDocumentPart::Kind::settings)
            applySettingsPart (part);
        else if (part.kind == StateDocumentPart::Kind::slot)
        {
            // The audio thread may switch to the slot once its state is in.
            const bool known = isValidSlot (part.slot);
            if (known)
                standby_held_back[(size_t) part.slot] = true;
            restoreSlotFromPart (part, claimed);
            if (known)
            {
                standby_held_back[(size_t) part.slot] = false;
                armHandOver (part.slot);
            }
        }
    }

    log (instance_name + ":" + logLines::activePluginIndex (active_plugin));

    // A slot the document does not name is emptied, and so is what it kept of
    // a plug-in that did not load.
    for (int index = 0; index < 2; ++index)
        if (! claimed[index])
            unloadPlugin (index, false, false);

    refreshEditor();
}

void PluginContainerAudioProcessor::applySettingsPart (const StateDocumentPart& part)
{
    const auto& settings = part.settings;

    setSwitchFadeMs (settings.switchFadeMs);
    setLetNotesRing (settings.letNotesRing);

    if (part.activeSlotGiven)
    {
        // Changed under the callback lock: a block already running finishes on
        // the old slot before any later unload of that slot can delete it. A
        // change of slot while both play fades as a switch on the panel does.
        {
            const juce::ScopedLock sl (getCallbackLock());
            if (settings.activeSlot == active_plugin || ! startSwitchTransition (settings.activeSlot))
                active_plugin = settings.activeSlot;
        }
        parameter_target.publish (getAudioPluginInstance (settings.activeSlot));
    }

    for (int option = 0; option < 4; ++option)
        setOption (option, settings.options[(size_t) option]);

    if (part.instanceNameGiven)
        setInstanceName (settings.instanceName);

    if (ktdebugconsole() != nullptr && settings.console && ! ktdebugconsolesizeset)
    {
        const auto& console = *settings.console;
        ktdebugconsole()->setProductName (console.title);

        if (console.hasBounds())
        {
            if (part.consoleClampedLine)
                log (instance_name + part.consoleClampedLine->text);

            const juce::Rectangle<int> bounds (console.x, console.y, console.w, console.h);
            ktdebugconsole()->rememberBounds (bounds);
            if (auto* window = ktdebugconsole()->getWindow())
                window->setBounds (bounds);
            ktdebugconsolesizeset = true;
        }
    }
}

// A plug-in the document names that does not load here (not installed, broken,
// or of a format this build does not know) keeps what the document says of it:
// the next save writes it back, and "Recover" tries it again.
void PluginContainerAudioProcessor::keepUnloadedSlot (int target, const SlotState& saved)
{
    if (saved.filePath.isEmpty())
        return;

    auto snapshot = std::make_unique<AudioProcessorState>();
    snapshot->current_program = saved.program;
    snapshot->current_program_name = saved.programName;
    if (saved.stateBlock.getSize() > 0) // JUCE copies even an empty block's null data
        snapshot->state_data = saved.stateBlock;
    snapshot->parameters = saved.parameters;

    log (instance_name + ":" + logLines::keptUnloaded (target, saved.filePath));
    const juce::ScopedLock sl (slot_lock);
    slot_origins[(size_t) target] = { saved.filePath, saved.pluginName, saved.displayName, saved.numInputs, saved.numOutputs, saved.format };
    plugin_states[(size_t) target] = std::move (snapshot);
}

void PluginContainerAudioProcessor::restoreSlotFromPart (const StateDocumentPart& part, bool (&claimed)[2])
{
    const int target = part.slot;
    if (target == -1)
        return;

    const auto& saved = part.slotState;
    const auto& blob = saved.stateBlock;
    int program = saved.program;

    claimed[target] = true;
    unloadPlugin (target, false, false);
    log ("loading in index: " + juce::String (target) + " " + saved.filePath + " " + saved.pluginName);
    // The project says how the slot runs: protected only where it was saved so.
    slot_protected[(size_t) target] = saved.isProtected;

    if (saved.format.isNotEmpty() && ! pluginFormats::isKnown (saved.format))
    {
        log (instance_name + ":" + logLines::unknownFormat (target, saved.format, saved.filePath));
        keepUnloadedSlot (target, saved);
        return;
    }

    if (! loadPlugin (target, saved.filePath, saved.pluginName))
    {
        keepUnloadedSlot (target, saved);
        return;
    }

    auto* instance = getAudioPluginInstance (target);

    // The slot's snapshot is what the document says, whatever the plug-in makes
    // of it: one that crashes or drops its state while taking it must not turn
    // the saved state into an empty snapshot.
    auto snapshot = std::make_unique<AudioProcessorState>();
    if (program != -1)
        program = programIndexFor (*instance, program, saved.programName);
    snapshot->current_program = instance->getNumPrograms() == 0 ? -1 : program;
    snapshot->current_program_name = snapshot->current_program != -1 ? instance->getProgramName (program) : juce::String();
    if (blob.getSize() > 0) // JUCE copies even an empty block's null data
        snapshot->state_data = blob;

    if (program != -1)
    {
        instance->setCurrentProgram (program);
        log (logLines::settingCurrentProgram (program));
    }

    if (blob.getSize() > 0)
    {
        bool applied = false;
        {
            const juce::ScopedLock cl (slot_call_locks[(size_t) target]);
            applied = setHostedState (*instance, blob, slotStateForm (target));
        }
        if (! applied)
            log (instance_name + ":" + logLines::savedStateBlockDamaged (target));
        else if (probeBridge (target))
            log (instance_name + ":index " + juce::String (target) + " crashed while taking its saved state block");
    }

    if (part.hasParameterList)
    {
        log (instance_name + ": " + logLines::settingParameters (saved.parameters.size()));
        const auto& parameters = instance->getParameters();
        for (int i = 0; i < saved.parameters.size(); ++i)
        {
            const auto value = saved.parameters.getUnchecked (i);
            // Indices beyond the plug-in's own count are ignored, and so are
            // values that are not numbers a parameter can take.
            if (i >= parameters.size())
                break;
            if (! std::isfinite (value))
            {
                log (instance_name + ":parameter " + juce::String (i) + " of index " + juce::String (target) + " is not a number, ignored");
                snapshot->parameters.add (parameters.getUnchecked (i)->getValue());
                continue;
            }
            parameters.getUnchecked (i)->setValue (value);
            snapshot->parameters.add (value);
        }
    }
    else
    {
        log (logLines::noParameterElement);
    }

    {
        const juce::ScopedLock sl (slot_lock);
        plugin_states[(size_t) target] = std::move (snapshot);
    }
    refreshSaveSnapshot (target);
}
