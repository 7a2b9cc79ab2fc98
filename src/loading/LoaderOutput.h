#pragma once

#include <juce_core/juce_core.h>

// Diagnostic texts of the loaders and the scan cache go to standard output,
// flushed at once.
void writeLoaderText (const juce::String& text);
