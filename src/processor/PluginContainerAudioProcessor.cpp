#include "PluginContainerAudioProcessor.h"
#include "ContainerProcess.h"
#include "../console/LogLines.h"
#include "HostedPlayConfig.h"
#include "ProjectBridge.h"
#include "ThreadRules.h"
#include "../crash/AudioProcessorState.h"
#include "../hosted_editor/MyHostAudioProcessorEditor.h"
#include "../loading/GenericAudioPluginLoader.h"
#include <cmath>
#include <sstream>
#include <utility>

namespace
{
    // Standard stream formatting (six significant digits): 44100 gives "44100".
    juce::String formatStreamDouble (double value)
    {
        std::ostringstream stream;
        stream << value;
        return stream.str();
    }
}
namespace
{
    thread_local PluginContainerAudioProcessor* lastConstructedOnThisThread = nullptr;

    // The first and last instance start and delete the watchdog's timer and the
    // console window. JUCE's VST 2.x wrapper creates and deletes processors
    // holding the message manager lock on Linux; its VST3 wrapper may not (the
    // edit controller can drop the last reference on a host thread), so the
    // lock is taken here when the calling thread lacks it.
    std::unique_ptr<juce::MessageManagerLock> lockMessageThreadUnlessHeld ()
    {
        auto* mm = juce::MessageManager::getInstanceWithoutCreating();
        if (mm == nullptr || mm->isThisTheMessageThread() || mm->currentThreadHasLockedMessageManager())
            return {};
        return std::make_unique<juce::MessageManagerLock>();
    }
}

PluginContainerAudioProcessor* PluginContainerAudioProcessor::takeLastConstructedOnThisThread()
{
    return std::exchange (lastConstructedOnThisThread, nullptr);
}

juce::AudioProcessor* JUCE_CALLTYPE createPluginFilter ()
{
    return new PluginContainerAudioProcessor();
}

PluginContainerAudioProcessor::PluginContainerAudioProcessor()
    : juce::AudioProcessor (BusesProperties().withOutput ("Output", juce::AudioChannelSet::stereo(), true))
{
    const auto messageLock = lockMessageThreadUnlessHeld();
    options[(size_t) ContainerOption::autoSwitchPlugin] = true;
    options[(size_t) ContainerOption::reloadCrashedPluginData] = true;
    lastConstructedOnThisThread = this;

    // The first instance creates the watchdog (its timer running) and the console.
    process.emplace();
    auto& shared = process->get();
    shared.watchdog.addPluginToWatch (this);

    shared.ktdebugconsole.setProductName ("PluginTamblit console");

    if (console)
        shared.ktdebugconsole.createWindow();

    log (logLines::pluginsBeingWatched (shared.watchdog.getNumberOfPluginsBeingWatched()));
    log (logLines::constructed);

    // A crash hand-over on the audio thread is followed here within a few
    // blocks, well before the watchdog's next tick.
    hand_over_follow_up.startTimer (20);
    // Keeps the snapshots host-thread saves use of VST3 and LV2 slots fresh.
    save_snapshot_timer.startTimer (250);
}

PluginContainerAudioProcessor::~PluginContainerAudioProcessor()
{
    const auto messageLock = lockMessageThreadUnlessHeld();
    pending_restore.cancelPendingUpdate();
    hand_over_follow_up.stopTimer();
    save_snapshot_timer.stopTimer();
    deferred_prepare.cancelPendingUpdate();
    if (lastConstructedOnThisThread == this)
        lastConstructedOnThisThread = nullptr;

    for (int index = 0; index < 2; ++index)
    {
        unloadPlugin (index, false, false);
        aux_buffers[(size_t) index].reset();
    }

    auto& shared = process->get();
    shared.watchdog.removePluginToWatch (this);
    log (logLines::pluginsBeingWatched (shared.watchdog.getNumberOfPluginsBeingWatched()));

    // The last instance takes the watchdog and then the console with it.
    process.reset();
}

void PluginContainerAudioProcessor::log (const juce::String& text)
{
    if (process.has_value())
        process->get().ktdebugconsole.addLine (text);
}

void PluginContainerAudioProcessor::refreshEditor()
{
    editor_view_changed = true;
    notifyEditor();
}

void PluginContainerAudioProcessor::reloadEditorPrograms (int index)
{
    if (! isValidSlot (index))
        return;
    editor_programs_changed[(size_t) index] = true;
    notifyEditor();
}

void PluginContainerAudioProcessor::notifyEditor()
{
    // On the message thread the editor follows before the caller goes on, as
    // callers and the panel's users expect; elsewhere it follows asynchronously.
    if (juce::MessageManager::existsAndIsLockedByCurrentThread())
        sendSynchronousChangeMessage();
    else
        sendChangeMessage();
}

PluginContainerAudioProcessor::EditorChanges PluginContainerAudioProcessor::takeEditorChanges()
{
    EditorChanges changes;
    changes.view = editor_view_changed.exchange (false);
    for (size_t index = 0; index < 2; ++index)
        changes.programs[index] = editor_programs_changed[index].exchange (false);
    return changes;
}

//==============================================================================
const juce::String PluginContainerAudioProcessor::getName() const
{
    return "PluginTamblit(Synth)";
}

juce::String PluginContainerAudioProcessor::getName (int index) const
{
    if (! isValidSlot (index) || plugin_loaders[(size_t) index] == nullptr)
        return "<none>";
    return plugin_loaders[(size_t) index]->getCurrentlyLoadedPluginName();
}

bool PluginContainerAudioProcessor::getOption (ContainerOption option) const
{
    if (option == ContainerOption::console)
        return console.load();
    return options[(size_t) option];
}

bool PluginContainerAudioProcessor::getOption (int index) const
{
    return getOption ((ContainerOption) index);
}

void PluginContainerAudioProcessor::setOption (int index, bool value)
{
    setOption ((ContainerOption) index, value);
}

void PluginContainerAudioProcessor::setOption (ContainerOption option, bool value)
{
    options[(size_t) option] = value;
    if (option != ContainerOption::console)
        return;

    console = value;
    if (! process.has_value())
        return;

    auto& shared = process->get().ktdebugconsole;
    if (value)
        shared.createWindow();
    else
        shared.deleteWindow();
}

juce::String PluginContainerAudioProcessor::getInstanceName() const
{
    const juce::ScopedLock sl (name_lock);
    return instance_name;
}

void PluginContainerAudioProcessor::setInstanceName (juce::String name)
{
    const juce::ScopedLock sl (name_lock);
    instance_name = name;
}

void PluginContainerAudioProcessor::noteHostRateAndBlockSize (double sampleRate, int blockSize)
{
    if (sampleRate > 0.0 && std::isfinite (sampleRate))
        host_sample_rate = sampleRate;
    if (blockSize > 0)
        host_block_size = blockSize;
}

double PluginContainerAudioProcessor::preparedSampleRate() const
{
    // What the host announced last wins: it may announce a new rate while suspended.
    if (host_sample_rate > 0.0)
        return host_sample_rate;
    return getSampleRate() > 0.0 ? getSampleRate() : fallbackSampleRate;
}

int PluginContainerAudioProcessor::preparedBlockSize() const
{
    if (host_block_size > 0)
        return host_block_size;
    return getBlockSize() > 0 ? getBlockSize() : fallbackBlockSize;
}
int PluginContainerAudioProcessor::getActivePlugin() const
{
    return active_plugin;
}

juce::AudioPluginInstance* PluginContainerAudioProcessor::getAudioPluginInstance (int index) const
{
    if (! isValidSlot (index) || plugin_loaders[(size_t) index] == nullptr)
        return nullptr;
    return plugin_loaders[(size_t) index]->plugin_instance.get();
}

bool PluginContainerAudioProcessor::isPluginCrashed (int index) const
{
    return isValidSlot (index) && plugin_crashed[(size_t) index];
}

juce::String PluginContainerAudioProcessor::getPluginFilePath (int index) const
{
    if (! isValidSlot (index) || plugin_loaders[(size_t) index] == nullptr)
        return {};
    return slot_origins[(size_t) index].filePath;
}

MyHostAudioProcessorEditor* PluginContainerAudioProcessor::getHostedEditor (int index) const
{
    return isValidSlot (index) ? plugin_editors[(size_t) index].get() : nullptr;
}

AudioProcessorState* PluginContainerAudioProcessor::getPluginState (int index) const
{
    return isValidSlot (index) ? plugin_states[(size_t) index].get() : nullptr;
}

bool PluginContainerAudioProcessor::hasEditor() const
{
    return true;
}

//==============================================================================
// Audio and MIDI routing

void PluginContainerAudioProcessor::processBlock (juce::AudioSampleBuffer& buffer, juce::MidiBuffer& midi)
{
    // The wrapper holds the callback lock here and skips this call while slot
    // changes suspend processing: only this thread itself changes the active
    // slot meanwhile, in a crash hand-over. A manual switch changes it under
    // the callback lock, between blocks.
    int active = active_plugin;
    auto* loader = isValidSlot (active) ? plugin_loaders[(size_t) active].get() : nullptr;
    // A slot still waiting for the message thread to prepare it at the host's
    // new rate or block size stays silent until then.
    auto* instance = loader != nullptr && slot_in_step[(size_t) active].load() ? loader->plugin_instance.get() : nullptr;

    hand_over.beforeBlock (midi);

    if (instance == nullptr)
    {
        const int channels = juce::jmin (getTotalNumOutputChannels(), buffer.getNumChannels());
        for (int channel = 0; channel < channels; ++channel)
            buffer.clear (channel, 0, buffer.getNumSamples());
    }
    else
    {
        // Only the project's bridge is asked on this thread whether its plug-in died:
        // its answer is a read of its own flags, and it knows at once.
        auto* bridge = projectBridgeEffect (instance);
        auto* standby = bridge != nullptr && handed_over_from.load() < 0 && options[(size_t) ContainerOption::autoSwitchPlugin].load()
                                && slot_in_step[(size_t) (1 - active)].load()
                            ? standby_instances[(size_t) (1 - active)].load()
                            : nullptr;

        renderSlot (active, *instance, buffer, carry_held_notes.exchange (false) ? hand_over.midiForNewSlot() : midi);

        if (standby != nullptr && crashProbeSaysCrashed (bridge))
        {
            // The healthy slot plays this very block, starting with what the
            // host holds; if it was fading out after a switch, it plays in full.
            const int next = 1 - active;
            switch_transition.stop();
            active_plugin = next;
            handed_over_from = active;
            active = next;
            for (int channel = 0; channel < buffer.getNumChannels(); ++channel)
                buffer.clear (channel, 0, buffer.getNumSamples());
            renderSlot (next, *standby, buffer, hand_over.midiForNewSlot());
        }
    }

    playSwitchTransition (active, buffer);
    hand_over.afterBlock();
}

// After a manual switch the slot that was active goes on sounding for a
// while in the same block, mixed with the new one.
void PluginContainerAudioProcessor::playSwitchTransition (int active, juce::AudioSampleBuffer& buffer)
{
    const int leaving = switch_transition.outgoingSlot();
    if (leaving != 1 - active)
    {
        switch_transition.stop();
        switch_transition.keepHistory (buffer, active);
        return;
    }
    auto* instance = switch_transition.outgoingInstance();
    if (instance != nullptr && ! slot_in_step[(size_t) leaving].load())
    {
        switch_transition.cancelSlot (leaving);
        instance = nullptr;
    }
    auto* block = switch_transition.outgoingBuffer (buffer.getNumSamples());
    if (block == nullptr)
    {
        switch_transition.keepHistory (buffer, active);
        return;
    }
    if (instance != nullptr)
        renderSlot (leaving, *instance, *block, switch_transition.outgoingMidi (hand_over.blockMidi()));
    switch_transition.mix (buffer, active);
}

void PluginContainerAudioProcessor::renderSlot (int index, juce::AudioPluginInstance& instance, juce::AudioSampleBuffer& buffer,
                                                juce::MidiBuffer& midi)
{
    if (auto* playHead = getPlayHead())
        instance.setPlayHead (playHead);

    auto* aux = aux_buffers[(size_t) index].get();
    if (aux == nullptr)
    {
        instance.processBlock (buffer, midi);
        return;
    }

    // The block runs in a view of the storage prepared for the largest block:
    // resizing the buffer itself can reallocate on the audio thread.
    const int samples = buffer.getNumSamples();
    if (samples > aux->getNumSamples())
        aux->setSize (aux->getNumChannels(), samples, false, false, true); // host exceeded the prepared size
    juce::AudioSampleBuffer block (aux->getArrayOfWritePointers(), aux->getNumChannels(), samples);

    const int shared = juce::jmin (2, buffer.getNumChannels(), block.getNumChannels());
    for (int channel = 0; channel < shared; ++channel)
        block.copyFrom (channel, 0, buffer, channel, 0, samples);

    instance.processBlock (block, midi);

    for (int channel = 0; channel < shared; ++channel)
        buffer.copyFrom (channel, 0, block, channel, 0, samples);
}

// Hosts resume and suspend the container on threads of their own, and may do
// so while the message thread loads, recovers or restores a slot. VST 2.x
// plug-ins (the project's bridge among them) are prepared right here. JUCE's
// VST3 hosting locks the message manager to prepare, and its LV2 hosting
// rebuilds the instance and its editor: off the message thread such a slot
// keeps running as it was prepared when nothing changed, and otherwise is left
// to the message thread, silent until it is prepared. No lock is held while
// a plug-in is called, but the slot's call lock, which keeps it alive.
void PluginContainerAudioProcessor::prepareToPlay (double sampleRate, int blockSize)
{
    // Loads on the message thread read these rather than the base class's
    // rate and block size, which the host's thread writes without a lock.
    noteHostRateAndBlockSize (sampleRate, blockSize);
    {
        // The host sends no blocks now; the lock only orders this with a
        // switch the message thread makes at the same time.
        const juce::ScopedLock sl (getCallbackLock());
        switch_transition.prepare (getTotalNumOutputChannels(), blockSize, sampleRate);
    }
    const bool messageThread = onMessageThread();
    bool deferred = false;
    for (int index = 0; index < 2; ++index)
    {
        const auto slot = (size_t) index;
        const juce::ScopedLock cl (slot_call_locks[slot]);
        {
            const juce::ScopedLock sl (slot_lock);
            auto* instance = getAudioPluginInstance (index);
            if (instance == nullptr)
                continue;
            if (! messageThread && needsMessageThread (instance))
            {
                if (slot_in_step[slot] && slot_prepared_rate[slot].load() == sampleRate && slot_prepared_block[slot].load() == blockSize)
                    continue;
                // The count first: the message thread then never marks the slot
                // in step for an older request after this one marked it out.
                deferred_rate = sampleRate;
                deferred_block = blockSize;
                ++deferred_prepares;
                slot_in_step[slot] = false;
                deferred = true;
                continue;
            }
        }
        prepareSlot (index, sampleRate, blockSize);
    }
    if (deferred)
    {
        log (getInstanceName() + ":prepareToPlay: the message thread prepares the VST3 and LV2 plugins at "
             + formatStreamDouble (sampleRate) + ", " + juce::String (blockSize));
        deferred_prepare.triggerAsyncUpdate();
    }
}

// With the slot's call lock held.
void PluginContainerAudioProcessor::prepareSlot (int index, double sampleRate, int blockSize)
{
    const auto slot = (size_t) index;
    juce::AudioPluginInstance* instance = nullptr;
    juce::uint64 generation = 0;
    {
        const juce::ScopedLock sl (slot_lock);
        instance = getAudioPluginInstance (index);
        generation = slot_generations[slot];
    }
    if (instance == nullptr)
        return;

    log (getInstanceName() + ":prepareToPlay (" + juce::String (index) + "), " + formatStreamDouble (sampleRate) + ", "
         + juce::String (blockSize));

    if (auto* playHead = getPlayHead())
        instance->setPlayHead (playHead);

    // JUCE's VST3 hosting skips a prepare at the rate and block size the
    // plug-in already has, and offerPlayConfig sets those first: a plug-in
    // prepared at other settings is released, so it really is set up anew
    // (else it would process blocks larger than it was set up for).
    const double preparedRate = slot_prepared_rate[slot].load();
    if (preparedRate > 0.0 && (preparedRate != sampleRate || slot_prepared_block[slot].load() != blockSize))
        instance->releaseResources();

    offerPlayConfig (*instance, getTotalNumInputChannels(), getTotalNumOutputChannels(), sampleRate, blockSize);
    instance->prepareToPlay (sampleRate, blockSize);
    slot_prepared_rate[slot] = sampleRate;
    slot_prepared_block[slot] = blockSize;

    const juce::ScopedLock sl (slot_lock);
    if (slot_generations[slot] != generation)
        return;
    if (auto* aux = aux_buffers[slot].get())
        aux->setSize (juce::jmax (instance->getTotalNumInputChannels(), instance->getTotalNumOutputChannels()), blockSize, false, true,
                      false);
    slot_in_step[slot] = true;
}

void PluginContainerAudioProcessor::prepareDeferredSlots()
{
    TAMBLIT_ASSERT_MESSAGE_THREAD;
    for (int index = 0; index < 2; ++index)
    {
        const auto slot = (size_t) index;
        if (slot_in_step[slot])
            continue;
        if (getAudioPluginInstance (index) == nullptr)
        {
            slot_in_step[slot] = true;
            continue;
        }
        const auto request = deferred_prepares.load();
        // Nothing plays the slot while it is prepared: not the hand-over, and
        // not the host's blocks when it is the active slot.
        disarmHandOver (index);
        const bool active = index == active_plugin;
        const bool wasSuspended = isSuspended();
        if (active && ! wasSuspended)
            suspendProcessing (true);
        {
            const juce::ScopedLock cl (slot_call_locks[slot]);
            prepareSlot (index, deferred_rate.load(), deferred_block.load());
        }
        // A host thread asked again meanwhile: prepare once more.
        if (deferred_prepares.load() != request)
        {
            slot_in_step[slot] = false;
            deferred_prepare.triggerAsyncUpdate();
        }
        if (active && ! wasSuspended)
            suspendProcessing (false);
        armHandOver (index);
    }
}

void PluginContainerAudioProcessor::releaseResources()
{
    const bool messageThread = onMessageThread();
    for (int index = 0; index < 2; ++index)
    {
        const auto slot = (size_t) index;
        const juce::ScopedLock cl (slot_call_locks[slot]);
        juce::AudioPluginInstance* instance = nullptr;
        {
            const juce::ScopedLock sl (slot_lock);
            instance = getAudioPluginInstance (index);
        }
        // A VST3 or LV2 plug-in stays prepared when a host thread suspends the
        // container: releasing it needs the message thread, and it does no
        // harm while the host sends no blocks.
        if (instance == nullptr || (! messageThread && needsMessageThread (instance)))
            continue;
        log (getInstanceName() + ":releaseResources (" + juce::String (index) + "), ");
        instance->releaseResources();
        slot_prepared_rate[slot] = 0.0;
        slot_prepared_block[slot] = 0;
    }
}

bool PluginContainerAudioProcessor::needsMessageThread (juce::AudioPluginInstance* instance)
{
    return instance != nullptr && vst2EffectOf (instance) == nullptr;
}

StateForm PluginContainerAudioProcessor::slotStateForm (int index) const
{
    return isValidSlot (index) ? slot_origins[(size_t) index].stateForm : StateForm::plugin;
}

const juce::String PluginContainerAudioProcessor::getInputChannelName (int index) const
{
    return juce::String (index + 1);
}
const juce::String PluginContainerAudioProcessor::getOutputChannelName (int index) const
{
    return juce::String (index + 1);
}
bool PluginContainerAudioProcessor::isInputChannelStereoPair (int) const
{
    return true;
}
bool PluginContainerAudioProcessor::isOutputChannelStereoPair (int) const
{
    return true;
}
bool PluginContainerAudioProcessor::silenceInProducesSilenceOut() const
{
    return false;
}
double PluginContainerAudioProcessor::getTailLengthSeconds() const
{
    return 0.0;
}
bool PluginContainerAudioProcessor::acceptsMidi() const
{
    return true;
}
bool PluginContainerAudioProcessor::producesMidi() const
{
    return false;
}
