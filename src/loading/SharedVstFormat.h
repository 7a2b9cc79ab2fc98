#pragma once

#include <juce_audio_processors/juce_audio_processors.h>

// The one VST 2.x format object through which every scan and every instance
// creation goes. Every VSTP2PluginLoader holds it through
// juce::SharedResourcePointer: the first loader creates it, the last one
// deletes it. Message thread only.
class SharedVstFormat
{
public:
    SharedVstFormat();
    ~SharedVstFormat();

    juce::VSTPluginFormat format;

    JUCE_DECLARE_NON_COPYABLE (SharedVstFormat)
};

// The format object that exists now, or null while no VSTP2PluginLoader exists.
juce::VSTPluginFormat* vstpluginaudioformat () noexcept;

// The number of live VSTP2PluginLoader objects (the format's holders).
int vst2_plugin_counter ();

// Whether `instance` is one of JUCE's VST 2.x instances, whose platform data is
// an effect record. Other formats hand out other things there. Allocates
// nothing and takes no lock: the audio thread may ask.
bool isVst2Instance (const juce::AudioPluginInstance* instance) noexcept;

// Called with each VST 2.x instance a loader makes; the first one teaches
// isVst2Instance the class.
void rememberVst2InstanceClass (const juce::AudioPluginInstance& instance);
