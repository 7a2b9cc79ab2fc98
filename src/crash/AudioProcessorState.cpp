#include "AudioProcessorState.h"
#include "../loading/FxbImageCheck.h"
#include <cstring>

bool setHostedState (juce::AudioProcessor& processor, const juce::MemoryBlock& state)
{
    if (auto* hosted = dynamic_cast<juce::AudioPluginInstance*> (&processor))
        if (hosted->getPluginDescription().pluginFormatName == "VST"
            && ! isSafeFxbImage (state.getData(), state.getSize(), hosted->getCurrentProgram()))
            return false;

    // Some plug-ins read their chunk as a zero-terminated text although they are
    // given its size: hand over a copy with a zero byte behind its end, so such a
    // reader stops there instead of running through the heap.
    const auto size = state.getSize();
    juce::HeapBlock<char> copy (size + 1, true);
    if (size > 0)
        std::memcpy (copy.get(), state.getData(), size);
    processor.setStateInformation (copy.get(), (int) size);
    return true;
}

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

    setHostedState (*processor, state_data);

    const auto& targets = processor->getParameters();
    for (int i = 0; i < parameters.size() && i < targets.size(); ++i)
        targets.getUnchecked (i)->setValue (parameters.getUnchecked (i));
}
