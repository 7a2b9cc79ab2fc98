#pragma once

#include <juce_audio_processors/juce_audio_processors.h>

// How a hosted plug-in's state block is taken and given. A VST3 or LV2 plug-in
// run protected sits behind the bridge's VST 2.x face; its block is the bare
// chunk the bridge carries, which is what the plug-in itself gives when the
// host's process hosts it, so a project holds the same state either way.
enum class StateForm
{
    plugin,
    bridgedChunk
};

// Snapshot of one hosted plug-in: parameter values, state block and program,
// put back after a crash recovery.
class AudioProcessorState
{
public:
    virtual ~AudioProcessorState() = default;

    void storeAudioProcessorState (juce::AudioProcessor* processor, StateForm form = StateForm::plugin);
    // False when the state block was refused (the program and parameter values
    // are put back all the same).
    bool copyStateToAudioProcessor (juce::AudioProcessor* processor, StateForm form = StateForm::plugin);

    juce::Array<float> parameters;
    juce::MemoryBlock state_data;
    int current_program = -1;
    // The program's name: LV2 hosting lists presets in no fixed order, so a
    // saved index alone may name another preset in a new instance.
    juce::String current_program_name;
};

// The program to set in `processor` for a saved index and name: the index
// where the processor names it so, else the program of that name, else the index.
int programIndexFor (juce::AudioProcessor& processor, int index, const juce::String& name);

// Gives a hosted plug-in a saved state block (see the definition for the padding).
// False when a VST 2.x state image is damaged (nothing applied) or the plug-in
// did not take it.
bool setHostedState (juce::AudioProcessor& processor, const juce::MemoryBlock& state, StateForm form = StateForm::plugin);
