#pragma once

#include <juce_audio_processors/juce_audio_processors.h>

// Snapshot of one hosted plug-in: parameter values, state block and program,
// put back after a crash recovery.
class AudioProcessorState
{
public:
    virtual ~AudioProcessorState() = default;

    void storeAudioProcessorState (juce::AudioProcessor* processor);
    // False when the state block was refused (the program and parameter values
    // are put back all the same).
    bool copyStateToAudioProcessor (juce::AudioProcessor* processor);

    juce::Array<float> parameters;
    juce::MemoryBlock state_data;
    int current_program = -1;
};

// Gives a hosted plug-in a saved state block (see the definition for the padding).
// False when a VST 2.x state image is damaged (nothing applied) or the plug-in
// did not take it.
bool setHostedState (juce::AudioProcessor& processor, const juce::MemoryBlock& state);
