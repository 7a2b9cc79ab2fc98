#pragma once

#include <juce_audio_processors/juce_audio_processors.h>
#include "ActivePluginGuard.h"
#include "MessageThreadSnapshot.h"
#include "ContainerOption.h"
#include "CrashHandOver.h"
#include "SwitchSettings.h"
#include "SwitchTransition.h"
#include "../crash/AudioProcessorState.h"
#include "../crash/WatchedContainer.h"
#include <array>
#include <atomic>
#include <memory>
#include <optional>

class GenericAudioPluginLoader;
class AudioProcessorState;
class MyHostAudioProcessorEditor;
class ContainerProcess;
struct SlotState;
struct StateDocumentPart;

// The processor the host talks to: two slots of hosted plug-ins (VST 2.x, VST3
// or LV2, each in the host's process or protected in a worker), one of them
// active, four options and an instance name. docs/threads.md says which thread
// may call what.
// Its editor listens for changes (ChangeBroadcaster) and asks what changed with
// takeEditorChanges(); the processor knows nothing of the editor's class.
class PluginContainerAudioProcessor : public juce::AudioProcessor, public juce::ChangeBroadcaster, public WatchedContainer
{
public:
    PluginContainerAudioProcessor();
    ~PluginContainerAudioProcessor() override;

    const juce::String getName () const override;
    void prepareToPlay (double sampleRate, int blockSize) override;
    void releaseResources () override;
    void processBlock (juce::AudioSampleBuffer& buffer, juce::MidiBuffer& midi) override;
    const juce::String getInputChannelName (int index) const override;
    const juce::String getOutputChannelName (int index) const override;
    bool isInputChannelStereoPair (int index) const override;
    bool isOutputChannelStereoPair (int index) const override;
    bool silenceInProducesSilenceOut () const override;
    double getTailLengthSeconds () const override;
    bool acceptsMidi () const override;
    bool producesMidi () const override;
    // Defined with the editor (ui/PluginContainerAudioProcessorEditor.cpp).
    juce::AudioProcessorEditor* createEditor () override;
    bool hasEditor () const override;

    JUCE_BEGIN_IGNORE_WARNINGS_GCC_LIKE ("-Wdeprecated-declarations")
    int getNumParameters () override;
    const juce::String getParameterName (int index) override;
    juce::String getParameterID (int index) override;
    float getParameter (int index) override;
    const juce::String getParameterText (int index) override;
    void setParameter (int index, float value) override;
    JUCE_END_IGNORE_WARNINGS_GCC_LIKE

    int getNumPrograms () override;
    int getCurrentProgram () override;
    void setCurrentProgram (int index) override;
    const juce::String getProgramName (int index) override;
    void changeProgramName (int index, const juce::String& newName) override;
    void getStateInformation (juce::MemoryBlock& destData) override;
    void setStateInformation (const void* data, int sizeInBytes) override;

    // Options, name and slot accessors used by the panel, the watchdog and the state document.
    // Reading an option changes nothing; option console answers the process-wide
    // flag, so it follows a change made through another instance.
    bool getOption (ContainerOption option) const;
    void setOption (ContainerOption option, bool value);
    // The same by option index (0 to 3).
    bool getOption (int index) const;
    void setOption (int index, bool value);
    juce::String getInstanceName () const;
    void setInstanceName (juce::String name);

    // How a manual switch between the slots sounds: the crossfade's length in
    // milliseconds (0 cuts at the block boundary), and whether the old slot
    // plays on the notes held at the switch until they are released. Saved
    // with the project. A crash hand-over never fades.
    int getSwitchFadeMs () const { return switch_fade_ms; }
    void setSwitchFadeMs (int milliseconds);
    bool getLetNotesRing () const { return let_notes_ring; }
    void setLetNotesRing (bool shouldRing) { let_notes_ring = shouldRing; }
    // The slot that still sounds after a manual switch (fading out, or ringing
    // on held notes), or -1.
    int getLeavingSlot () const { return switch_transition.leavingSlot(); }
    // Whether the audio thread still mixes or fades in after a manual switch.
    bool isSwitching () const { return switch_transition.isSwitching(); }
    juce::String getName (int index) const;
    int getActivePlugin () const override;
    juce::AudioPluginInstance* getAudioPluginInstance (int index) const;
    bool isPluginCrashed (int index) const override;
    juce::String getPluginFilePath (int index) const;

    // Slot operations (message thread; each checks it).
    bool loadPlugin (int index, juce::String path, juce::String pluginName);
    // Whether a slot identifier (VST 2.x file, VST3 bundle, LV2 URI) names a
    // plug-in installed here. Message thread only.
    static bool isInstalledPlugin (const juce::String& identifier);
    // True while a slot holds no plug-in but keeps a saved one that did not load.
    bool keepsUnloadedPlugin (int index) const;
    void unloadPlugin (int index, bool keepState, bool resumeProcessing);
    bool changeActivePlugin (int index);
    bool handOverTo (int index) override;
    void editPlugin (int index);

    // Protection (message thread): the slot's plug-in runs in a worker process
    // of its own, through the project's bridge. Loads, recovery and restores
    // follow the choice; changing it on a loaded slot reloads its plug-in the
    // other way with its current state. False if the plug-in could not be
    // brought back the new way (it then runs as before, or the slot keeps its
    // state for "Recover").
    bool isSlotProtected (int index) const;
    bool setSlotProtected (int index, bool shouldProtect);
    // The signal that ended a crashed protected slot's worker; 0 when unknown.
    int getCrashSignal (int index) const;

    // Crash protection (message thread).
    bool checkIfPluginCrashed (int index);
    void recoverPlugin (int index);
    // Recovery the watchdog starts: the same plug-in comes back or the slot stays
    // empty with its snapshot; nobody is asked anything.
    void recoverPluginUnattended (int index) override;

    // What the watchdog reads and does (WatchedContainer).
    bool holdsPlugin (int index) const override;
    WatchPolicy getWatchPolicy () const override;
    bool probePlugin (int index) override;
    void markPluginCrashed (int index) override;
    // Finishes on the message thread a switch the audio thread made when the
    // active slot's bridged plug-in died: the crash is marked and logged, host
    // parameters follow the new slot, latency is updated and recovery starts,
    // as after a watchdog tick.
    void completeHandOver () override;

    // What changed since the editor last asked: the whole view, and the slots
    // whose program lists must be rebuilt after a load.
    struct EditorChanges
    {
        bool view = false;
        std::array<bool, 2> programs {};
    };
    EditorChanges takeEditorChanges ();

    MyHostAudioProcessorEditor* getHostedEditor (int index) const;
    AudioProcessorState* getPluginState (int index) const;

    static constexpr int numContainerParameters = 1024;

    // Hosts send the sample rate and block size long before they prepare the
    // container; plug-ins loaded meanwhile are prepared with them.
    void noteHostRateAndBlockSize (double sampleRate, int blockSize);
    // The container most recently constructed on the calling thread, handed over
    // once (the VST 2.x entry pairs it with the effect the wrapper made for it).
    static PluginContainerAudioProcessor* takeLastConstructedOnThisThread ();

    // Used while no host has prepared the container yet.
    static constexpr double fallbackSampleRate = 44100.0;
    static constexpr int fallbackBlockSize = 1024;

private:
    void log (const juce::String& text);
    void refreshEditor ();
    void reloadEditorPrograms (int index);
    void notifyEditor ();
    bool isValidSlot (int index) const noexcept { return index == 0 || index == 1; }
    void setActivePluginIndex (int index);
    // How the slot's plug-in gives and takes its state block, decided when it
    // was loaded (a protected VST3 or LV2 plug-in travels as the bare chunk).
    StateForm slotStateForm (int index) const;
    // Whether the slot's plug-in may be asked for its state, prepared or
    // released only on the message thread (JUCE's VST3 and LV2 hosting).
    static bool needsMessageThread (juce::AudioPluginInstance* instance);
    // The message thread takes a fresh snapshot of a VST3 or LV2 slot for
    // saves on host threads: at load and restore, when the panel changed its
    // program, while its editor is open, and when a host thread asks.
    void refreshSaveSnapshot (int index);
    // The slot's state as a save writes it, or null when the slot holds no
    // healthy plug-in; with the slot generation it was read under.
    struct TakenState
    {
        std::unique_ptr<AudioProcessorState> state;
        juce::uint64 generation = 0;
    };
    TakenState takeSlotState (int index);
    void refreshChangedSaveSnapshots ();
    // Prepares, on the message thread, the VST3 and LV2 slots a host thread
    // prepared at a new rate or block size; they are silent until then.
    void prepareDeferredSlots ();
    void prepareSlot (int index, double sampleRate, int blockSize);
    bool switchActivePlugin (int index, bool carryHeldNotes);
    // With the callback lock held: starts fading from the active slot to
    // `index` when the switch may sound smooth; false when it must cut.
    bool startSwitchTransition (int index);
    void writeStateDocument (juce::MemoryBlock& destData);
    bool fillSlotState (int index, SlotState& slot);
    void fillSlotStateFromSnapshot (int index, SlotState& slot);
    void readStateDocument (const void* data, int sizeInBytes);
    void applyPendingRestore ();
    void applySettingsPart (const StateDocumentPart& part);
    void restoreSlotFromPart (const StateDocumentPart& part, bool (&claimed)[2]);
    void keepUnloadedSlot (int target, const SlotState& saved);
    bool putSnapshotBack (int index);
    void recoverSlot (int index, bool mayAskTheUser);
    bool isSlotHealthy (int index);
    bool probeBridge (int index);
    void renderSlot (int index, juce::AudioPluginInstance& instance, juce::AudioSampleBuffer& buffer, juce::MidiBuffer& midi);
    void playSwitchTransition (int active, juce::AudioSampleBuffer& buffer);
    // Resets the plug-ins of slots whose switch transition has ended (message thread).
    void finishSwitchTransitions ();
    // Lets the audio thread switch to the slot on its own (its plug-in is
    // loaded, prepared, healthy and not being recovered), or stops it; a
    // disarm returns once no block can still switch to the slot.
    void armHandOver (int index);
    void disarmHandOver (int index);
    double preparedSampleRate () const;
    int preparedBlockSize () const;

    // What a slot's plug-in was loaded from. It outlives the plug-in while
    // recovery keeps the slot's snapshot, so a save after a failed reload still
    // names the plug-in.
    struct SlotOrigin
    {
        juce::String filePath, pluginName, displayName;
        int numInputs = 0, numOutputs = 0;
        juce::String format; // as SlotState::format: empty for VST 2.x
        StateForm stateForm = StateForm::plugin;
    };

    // Restores the host hands over off the message thread wait here until the
    // message thread applies them; the host is answered at once.
    class PendingRestore : public juce::AsyncUpdater
    {
    public:
        explicit PendingRestore (PluginContainerAudioProcessor& p)
            : owner (p)
        {
        }
        ~PendingRestore() override { cancelPendingUpdate(); }
        void handleAsyncUpdate () override { owner.applyPendingRestore(); }

    private:
        PluginContainerAudioProcessor& owner;
    };

    std::atomic<int> active_plugin { 0 };
    std::array<std::unique_ptr<GenericAudioPluginLoader>, 2> plugin_loaders;
    std::array<std::unique_ptr<AudioProcessorState>, 2> plugin_states;
    std::array<std::unique_ptr<MyHostAudioProcessorEditor>, 2> plugin_editors;
    std::array<std::unique_ptr<juce::AudioSampleBuffer>, 2> aux_buffers;
    std::array<SlotOrigin, 2> slot_origins;
    // Read by state saves on host threads, written on the message thread.
    std::array<std::atomic<bool>, 2> plugin_crashed {};
    std::array<std::atomic<bool>, 2> slot_recovering {};
    std::array<std::atomic<bool>, 2> slot_protected {};
    std::array<std::atomic<bool>, numContainerOptions> options {};
    juce::String instance_name { "default instance" };
    // Guards instance_name against saves on host threads (the message thread writes it).
    mutable juce::CriticalSection name_lock;

    // A state document handed over by the host and not yet fully applied: saves
    // answer with it, so the host reads back what it wrote.
    juce::CriticalSection pending_lock;
    juce::MemoryBlock pending_document;
    bool restore_pending = false;
    juce::uint64 pending_generation = 0;
    std::atomic<juce::uint64> started_generation { 0 }, applied_generation { 0 };
    bool applying_restore = false;
    PendingRestore pending_restore { *this };
    // The last document written: the answer when the slots cannot be read in time.
    juce::MemoryBlock last_document;
    std::atomic<bool> dialogs_allowed { true };
    std::atomic<double> host_sample_rate { 0.0 };
    std::atomic<int> host_block_size { 0 };

    std::atomic<bool> editor_view_changed { false };
    std::array<std::atomic<bool>, 2> editor_programs_changed {};

    // Hosted instance of the active slot as seen by host parameter calls.
    ActivePluginGuard parameter_target;
    // Guards what host threads read of the slots (loaders, origins, snapshots,
    // auxiliary buffers, generations) against changes on the message thread.
    // Held only briefly: never while calling into a plug-in, the host or
    // another thread, and never while taking a slot's call lock.
    juce::CriticalSection slot_lock;
    // Held across every call into a slot's plug-in for its state, prepare and
    // release. It keeps the instance alive: the message thread removes a
    // plug-in from its slot under slot_lock, then takes this lock before it
    // deletes the plug-in, so whatever a holder read from the slot after
    // taking it stays alive until it lets go. Taken before slot_lock. Saves and snapshot
    // refreshes of one plug-in never overlap (a VST 2.x chunk pointer is valid
    // only until the next call).
    std::array<juce::CriticalSection, 2> slot_call_locks;
    // Changes whenever a slot's plug-in is installed or removed: a host thread
    // that let go of slot_lock checks it before writing back what it read.
    std::array<juce::uint64, 2> slot_generations {};
    // The newest state the message thread took of a VST3 or LV2 slot, for
    // saves on host threads (with the parameters read live). Under slot_lock.
    std::array<std::unique_ptr<AudioProcessorState>, 2> save_snapshots;
    // Host threads ask the message thread for a fresh one and wait a little.
    MessageThreadSnapshot message_thread_snapshot { [this] (int index) { refreshSaveSnapshot (index); } };
    struct SaveSnapshotTimer : juce::Timer
    {
        explicit SaveSnapshotTimer (PluginContainerAudioProcessor& p)
            : owner (p)
        {
        }
        void timerCallback () override { owner.refreshChangedSaveSnapshots(); }
        PluginContainerAudioProcessor& owner;
    };
    SaveSnapshotTimer save_snapshot_timer { *this };
    std::array<juce::uint32, 2> save_snapshot_taken_ms {};

    // Rate and block size each slot's plug-in was prepared with (0 when
    // released), and whether it is prepared as the host last asked: the audio
    // thread plays a slot only then.
    std::array<std::atomic<double>, 2> slot_prepared_rate {};
    std::array<std::atomic<int>, 2> slot_prepared_block {};
    std::array<std::atomic<bool>, 2> slot_in_step { { true, true } };
    // Host-thread prepares left to the message thread: the rate and block size
    // asked for, and a count the message thread compares before it says a
    // slot is in step again.
    std::atomic<double> deferred_rate { 0.0 };
    std::atomic<int> deferred_block { 0 };
    std::atomic<juce::uint32> deferred_prepares { 0 };
    struct DeferredPrepare : juce::AsyncUpdater
    {
        explicit DeferredPrepare (PluginContainerAudioProcessor& p)
            : owner (p)
        {
        }
        ~DeferredPrepare() override { cancelPendingUpdate(); }
        void handleAsyncUpdate () override { owner.prepareDeferredSlots(); }
        PluginContainerAudioProcessor& owner;
    };
    DeferredPrepare deferred_prepare { *this };

    // Crash hand-over on the audio thread: the slot's plug-in the audio thread
    // may switch to when the active slot's bridge reports its worker dead, and
    // the slot it left, until the message thread has followed.
    std::array<std::atomic<juce::AudioPluginInstance*>, 2> standby_instances {};
    std::atomic<int> handed_over_from { -1 };
    // The next block starts the active slot with the notes the host holds.
    std::atomic<bool> carry_held_notes { false };
    // Slots whose plug-in is loaded but whose state is still being put in.
    std::array<bool, 2> standby_held_back {};
    CrashHandOver hand_over;
    struct HandOverFollowUp : juce::Timer
    {
        explicit HandOverFollowUp (PluginContainerAudioProcessor& p)
            : owner (p)
        {
        }
        void timerCallback () override
        {
            owner.completeHandOver();
            owner.finishSwitchTransitions();
        }
        PluginContainerAudioProcessor& owner;
    };
    HandOverFollowUp hand_over_follow_up { *this };

    // A manual switch as the audio thread plays it (see SwitchTransition for
    // which thread calls what), and how it should sound.
    SwitchTransition switch_transition;
    std::atomic<int> switch_fade_ms { switchSettings::defaultFadeMs };
    std::atomic<bool> let_notes_ring { false };

    // This instance's hold on the shared watchdog and console; taken and
    // dropped inside the constructor and destructor, under the message lock.
    std::optional<juce::SharedResourcePointer<ContainerProcess>> process;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (PluginContainerAudioProcessor)
};

juce::AudioProcessor* JUCE_CALLTYPE createPluginFilter ();
