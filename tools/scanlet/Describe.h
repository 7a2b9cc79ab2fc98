#pragma once

#include <juce_core/juce_core.h>

// Scanlet64 --describe <VST|VST3|LV2> <candidate> <result path>
//
// Describes every plug-in one candidate holds: a VST 2.x file (shell files
// list their sub-plug-ins), a VST3 bundle, or an LV2 bundle folder. Writes a
// PLUGINS element of JUCE PLUGIN descriptions to the result path, complete or
// not at all. Exit code 0 when at least one plug-in was described.
int describeCandidate (const juce::String& format, const juce::String& candidate, const juce::File& result);
