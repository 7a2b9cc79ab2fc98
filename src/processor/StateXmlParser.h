#pragma once

#include <juce_core/juce_core.h>
#include <cstddef>
#include <memory>
#include <utility>
#include <vector>

// One element of a parsed state document. Attributes keep their document
// order and are read by position in constant time: a hosted plug-in's
// parameter list may hold tens of thousands of values.
struct StateXmlElement
{
    juce::String tag;
    std::vector<std::pair<juce::String, juce::String>> attributes;
    std::vector<std::unique_ptr<StateXmlElement>> children;

    int getNumAttributes () const noexcept { return (int) attributes.size(); }
    const juce::String& getAttributeName (int index) const { return attributes[(size_t) index].first; }
    const juce::String& getAttributeValue (int index) const { return attributes[(size_t) index].second; }
    int getNumChildElements () const noexcept { return (int) children.size(); }
    const StateXmlElement* getChildByName (const juce::String& name) const;
};

// Limits on a document's shape. A saved container holds six elements and, per
// hosted plug-in, one value per parameter; anything far beyond is damage or
// hostile, and is refused before it costs the message thread time.
namespace state_xml_limits
{
    constexpr int maximumDepth = 32;
    constexpr int maximumElements = 256;
    constexpr int maximumAttributesPerElement = 65536;
    constexpr int maximumAttributes = 2 * maximumAttributesPerElement + 1024;
}

enum class StateXmlResult
{
    parsed,
    notWellFormed, // not one well-formed XML document
    tooLarge // beyond the limits above
};

// Parses the saved-state text with expat. Saved state comes from hosts'
// project files and may be damaged, and JUCE's own parser can loop forever on
// some inputs (well-formed ones included), so it is not used here.
//
// Control characters other than tab and line breaks cannot stand in XML 1.0,
// yet JUCE's writer escapes them as character references ("&#1;") that a
// conforming reader refuses. Such references are taken back here, so a name
// or path holding them restores as it was saved.
std::unique_ptr<StateXmlElement> parseStateXml (const char* text, std::size_t size, StateXmlResult* result = nullptr);
