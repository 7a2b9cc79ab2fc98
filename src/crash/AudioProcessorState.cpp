#include "AudioProcessorState.h"

void AudioProcessorState::storeAudioProcessorState (juce::AudioProcessor* processor)
{
    parameters.clear();
    parameters.minimiseStorageOverheads();

    for (auto* parameter : processor->getParameters())
        parameters.add (parameter->getValue());

    current_program = processor->getNumPrograms() == 0 ? -1 : processor->getCurrentProgram();

    juce::MemoryBlock block;
    processor->getStateInformation (block);
    state_data = std::move (block);
}

void AudioProcessorState::copyStateToAudioProcessor (juce::AudioProcessor* processor)
{
    if (current_program != -1)
        processor->setCurrentProgram (current_program);

    processor->setStateInformation (state_data.getData(), (int) state_data.getSize());

    const auto& targets = processor->getParameters();
    for (int i = 0; i < parameters.size() && i < targets.size(); ++i)
        targets.getUnchecked (i)->setValue (parameters.getUnchecked (i));
}
