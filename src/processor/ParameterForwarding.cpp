// Host parameters, forwarded index for index to the active slot's plug-in.
// Hosts call these from their own threads; ActivePluginGuard keeps each call out
// of any instance that the message thread is about to delete. None of them may
// wait for the message thread: the switch of the active slot waits on that
// thread for the calls inside the old instance to leave.
#include "PluginContainerAudioProcessor.h"
#include "ProjectBridge.h"
#include "ThreadRules.h"

namespace
{
    juce::AudioProcessorParameter* hostedParameter (juce::AudioPluginInstance* instance, int index)
    {
        if (instance == nullptr || index < 0)
            return nullptr;
        const auto& parameters = instance->getParameters();
        return index < parameters.size() ? parameters.getUnchecked (index) : nullptr;
    }

    // The effect of a VST 2.x plug-in, whose parameters are called directly:
    // VST 2.x lets any thread set and get them. JUCE's VST parameter takes the
    // hosted instance's lock, which every JUCE dispatcher call holds (a save's
    // chunk on a host thread, parameter texts, program names), and a bridged
    // dispatcher call may wait seconds for a wedged worker: host automation on
    // the audio thread must not queue behind any of them.
    AEffect* lockFreeParameters (juce::AudioPluginInstance* instance, int index)
    {
        auto* effect = index >= 0 ? vst2EffectOf (instance) : nullptr;
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
    auto* parameter = hostedParameter (reader.get(), index);
    if (parameter == nullptr)
        return {};
    // JUCE's VST3 hosting locks the message manager for a parameter's text.
    // Elsewhere that would wait for the message thread while this reader holds
    // the instance, and a slot switch there waits for the reader: the value
    // itself stands in for the text.
    if (! onMessageThreadOrItsLock() && reader.get()->getPluginDescription().pluginFormatName == "VST3")
        return juce::String (parameter->getValue(), 3);
    return parameter->getCurrentValueAsText();
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
