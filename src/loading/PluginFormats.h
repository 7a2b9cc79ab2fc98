#pragma once

#include "PluginFormatNames.h"
#include <juce_audio_processors/juce_audio_processors.h>

// JUCE's VST3 and LV2 hosting, shared by every loader of those formats. The LV2
// format reads the installed bundles once, when the first loader needs it.
// Message thread only.
class SharedJuceFormats
{
public:
    SharedJuceFormats();

    // The format object for "VST3" or "LV2", else null.
    juce::AudioPluginFormat* find (const juce::String& format);

private:
    juce::VST3PluginFormat vst3;
    std::unique_ptr<juce::LV2PluginFormat> lv2;

    JUCE_DECLARE_NON_COPYABLE (SharedJuceFormats)
};
