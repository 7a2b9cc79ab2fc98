#include "AudioProcessorState.h"
#include "../loading/FxbImageCheck.h"
#include <climits>
#include <cstring>

bool setHostedState (juce::AudioProcessor& processor, const juce::MemoryBlock& state, StateForm form)
{
    auto* hosted = dynamic_cast<juce::AudioPluginInstance*> (&processor);
    const bool isVst = hosted != nullptr && hosted->getPluginDescription().pluginFormatName == "VST";
    if (isVst && form == StateForm::bridgedChunk)
        return state.getSize() == 0
               || juce::VSTPluginFormat::setChunkData (hosted, state.getData(), (int) juce::jmin (state.getSize(), (size_t) INT_MAX),
                                                       false);
    if (isVst && ! isSafeFxbImage (state.getData(), state.getSize(), hosted->getCurrentProgram()))
        return false;

    // Some plug-ins read their chunk as a zero-terminated text although they are
    // given its size: hand over a copy with a zero byte behind its end, so such a
    // reader stops there instead of running through the heap.
    const auto size = state.getSize();
    juce::HeapBlock<char> copy (size + 1, true);
    if (size > 0)
        std::memcpy (copy.get(), state.getData(), size);

    // JUCE's VST host says whether the image went in; setStateInformation does not.
    if (isVst && size > 0)
        return juce::VSTPluginFormat::loadFromFXBFile (hosted, copy.get(), size);

    processor.setStateInformation (copy.get(), (int) size);
    return true;
}

void AudioProcessorState::storeAudioProcessorState (juce::AudioProcessor* processor, StateForm form)
{
    parameters.clear();
    parameters.minimiseStorageOverheads();

    for (auto* parameter : processor->getParameters())
        parameters.add (parameter->getValue());

    current_program = processor->getNumPrograms() == 0 ? -1 : processor->getCurrentProgram();
    current_program_name = current_program != -1 ? processor->getProgramName (current_program) : juce::String();

    juce::MemoryBlock block;
    auto* hosted = dynamic_cast<juce::AudioPluginInstance*> (processor);
    if (form == StateForm::bridgedChunk && hosted != nullptr)
        juce::VSTPluginFormat::getChunkData (hosted, block, false);
    else
        processor->getStateInformation (block);
    state_data = std::move (block);
}

bool AudioProcessorState::copyStateToAudioProcessor (juce::AudioProcessor* processor, StateForm form)
{
    if (current_program != -1)
        processor->setCurrentProgram (programIndexFor (*processor, current_program, current_program_name));

    const bool applied = setHostedState (*processor, state_data, form);

    const auto& targets = processor->getParameters();
    for (int i = 0; i < parameters.size() && i < targets.size(); ++i)
        targets.getUnchecked (i)->setValue (parameters.getUnchecked (i));
    return applied;
}

int programIndexFor (juce::AudioProcessor& processor, int index, const juce::String& name)
{
    if (name.isEmpty() || index < 0 || (index < processor.getNumPrograms() && processor.getProgramName (index) == name))
        return index;
    for (int i = 0; i < processor.getNumPrograms(); ++i)
        if (processor.getProgramName (i) == name)
            return i;
    return index;
}
