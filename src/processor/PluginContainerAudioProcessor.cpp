#include "PluginContainerAudioProcessor.h"
#include "ContainerProcess.h"
#include "../console/LogLines.h"
#include "HostedPlayConfig.h"
#include "ProjectBridge.h"
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
}

PluginContainerAudioProcessor::~PluginContainerAudioProcessor()
{
    const auto messageLock = lockMessageThreadUnlessHeld();
    pending_restore.cancelPendingUpdate();
    hand_over_follow_up.stopTimer();
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
    // slot meanwhile, in a crash hand-over.
    const int active = active_plugin;
    auto* loader = isValidSlot (active) ? plugin_loaders[(size_t) active].get() : nullptr;
    auto* instance = loader != nullptr ? loader->plugin_instance.get() : nullptr;

    hand_over.beforeBlock (midi);

    if (instance == nullptr)
    {
        const int channels = juce::jmin (getTotalNumOutputChannels(), buffer.getNumChannels());
        for (int channel = 0; channel < channels; ++channel)
            buffer.clear (channel, 0, buffer.getNumSamples());
        hand_over.afterBlock();
        return;
    }

    // Only the project's bridge is asked on this thread whether its plug-in died:
    // its answer is a read of its own flags, and it knows at once.
    auto* bridge = projectBridgeEffect (instance);
    auto* standby = bridge != nullptr && handed_over_from.load() < 0 && options[(size_t) ContainerOption::autoSwitchPlugin].load()
                        ? standby_instances[(size_t) (1 - active)].load()
                        : nullptr;

    renderSlot (active, *instance, buffer, carry_held_notes.exchange (false) ? hand_over.midiForNewSlot() : midi);

    if (standby != nullptr && crashProbeSaysCrashed (bridge))
    {
        // The healthy slot plays this very block, starting with what the host holds.
        const int next = 1 - active;
        active_plugin = next;
        handed_over_from = active;
        for (int channel = 0; channel < buffer.getNumChannels(); ++channel)
            buffer.clear (channel, 0, buffer.getNumSamples());
        renderSlot (next, *standby, buffer, hand_over.midiForNewSlot());
    }

    hand_over.afterBlock();
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

void PluginContainerAudioProcessor::prepareToPlay (double sampleRate, int blockSize)
{
    const juce::ScopedLock sl (slot_lock);

    for (int index = 0; index < 2; ++index)
    {
        auto* instance = getAudioPluginInstance (index);
        if (instance == nullptr)
            continue;

        log (instance_name + ":prepareToPlay (" + juce::String (index) + "), " + formatStreamDouble (sampleRate) + ", "
             + juce::String (blockSize));

        if (auto* playHead = getPlayHead())
            instance->setPlayHead (playHead);

        offerPlayConfig (*instance, getTotalNumInputChannels(), getTotalNumOutputChannels(), sampleRate, blockSize);
        instance->prepareToPlay (sampleRate, blockSize);

        if (auto* aux = aux_buffers[(size_t) index].get())
            aux->setSize (juce::jmax (instance->getTotalNumInputChannels(), instance->getTotalNumOutputChannels()), blockSize, false, true,
                          false);
    }
}

void PluginContainerAudioProcessor::releaseResources()
{
    const juce::ScopedLock sl (slot_lock);

    for (int index = 0; index < 2; ++index)
    {
        auto* instance = getAudioPluginInstance (index);
        if (instance == nullptr)
            continue;

        log (instance_name + ":releaseResources (" + juce::String (index) + "), ");
        instance->releaseResources();
    }
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
