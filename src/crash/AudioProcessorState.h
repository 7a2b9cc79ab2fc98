#pragma once

#include <juce_audio_processors/juce_audio_processors.h>

// Snapshot of one hosted plug-in: parameter values, state block and program,
// put back after a crash recovery.
class AudioProcessorState
{
public:
    virtual ~AudioProcessorState() = default;

    void storeAudioProcessorState (juce::AudioProcessor* processor);
    void copyStateToAudioProcessor (juce::AudioProcessor* processor);

    juce::Array<float> parameters;
    juce::MemoryBlock state_data;
    int current_program = -1;
};

// Gives a hosted plug-in a saved state block (see the definition for the padding).
// False, and nothing applied, when a VST 2.x state image is damaged.
bool setHostedState (juce::AudioProcessor& processor, const juce::MemoryBlock& state);
