#pragma once

#include <juce_core/juce_core.h>
#include <cstddef>
#include <memory>

// Parses the saved-state text into JUCE's element tree with expat. Saved state
// comes from hosts' project files and may be damaged, and JUCE's own parser can
// loop forever on some inputs (well-formed ones included), so it is not used
// here. Returns null for text that is not one well-formed document, or that
// nests deeper than any state document does.
std::unique_ptr<juce::XmlElement> parseStateXml (const char* text, std::size_t size);
