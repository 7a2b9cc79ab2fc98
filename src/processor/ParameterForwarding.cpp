// Host parameters, forwarded index for index to the active slot's plug-in.
// Hosts call these from their own threads; ActivePluginGuard keeps each call out
// of any instance that the message thread is about to delete.
#include "PluginContainerAudioProcessor.h"
#include "ProjectBridge.h"

namespace
{
    juce::AudioProcessorParameter* hostedParameter (juce::AudioPluginInstance* instance, int index)
    {
        if (instance == nullptr || index < 0)
            return nullptr;
        const auto& parameters = instance->getParameters();
        return index < parameters.size() ? parameters.getUnchecked (index) : nullptr;
    }

    // The effect of a bridged plug-in whose parameters are called directly.
    // JUCE's VST parameter takes the hosted instance's lock, which the message
    // thread holds across every dispatcher call, and a bridged dispatcher call
    // may wait seconds for a wedged worker: host automation on the audio
    // thread must not queue behind it.
    AEffect* lockFreeParameters (juce::AudioPluginInstance* instance, int index)
    {
        auto* effect = index >= 0 ? projectBridgeEffect (instance) : nullptr;
        if (effect == nullptr)
            return nullptr;
        return index < effect->numParams ? effect : nullptr;
    }
}

int PluginContainerAudioProcessor::getNumParameters()
{
    return numContainerParameters;
}

float PluginContainerAudioProcessor::getParameter (int index)
{
    ActivePluginGuard::Reader reader (parameter_target);
    if (auto* effect = lockFreeParameters (reader.get(), index))
        return effect->getParameter (effect, index);
    if (auto* parameter = hostedParameter (reader.get(), index))
        return parameter->getValue();
    return 0.0f;
}

void PluginContainerAudioProcessor::setParameter (int index, float value)
{
    ActivePluginGuard::Reader reader (parameter_target);
    if (auto* effect = lockFreeParameters (reader.get(), index))
        return effect->setParameter (effect, index, value);
    if (auto* parameter = hostedParameter (reader.get(), index))
        parameter->setValue (value);
}

const juce::String PluginContainerAudioProcessor::getParameterName (int index)
{
    ActivePluginGuard::Reader reader (parameter_target);
    if (auto* parameter = hostedParameter (reader.get(), index))
        return parameter->getName (1024);
    return {};
}

// LV2 names every parameter after its ID in the bundle's Turtle, where a name
// cannot start with a digit (JUCE's default ID is the bare index); VST3 hashes
// it into the parameter's id. Never change it: hosts store automation by it.
juce::String PluginContainerAudioProcessor::getParameterID (int index)
{
    return "param" + juce::String (index);
}

const juce::String PluginContainerAudioProcessor::getParameterText (int index)
{
    ActivePluginGuard::Reader reader (parameter_target);
    if (auto* parameter = hostedParameter (reader.get(), index))
        return parameter->getCurrentValueAsText();
    return {};
}

int PluginContainerAudioProcessor::getNumPrograms()
{
    return 0;
}
int PluginContainerAudioProcessor::getCurrentProgram()
{
    return 0;
}
void PluginContainerAudioProcessor::setCurrentProgram (int)
{
}
const juce::String PluginContainerAudioProcessor::getProgramName (int)
{
    return {};
}
void PluginContainerAudioProcessor::changeProgramName (int, const juce::String&)
{
}
