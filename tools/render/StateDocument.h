// The container's state document: built for effSetChunk, read back from effGetChunk.
#pragma once

#include "Options.h"

#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace render {

// Just enough XML for the container's documents: elements, attributes in
// document order, nesting. Text content and comments are skipped.
struct XmlNode {
    std::string tag;
    std::vector<std::pair<std::string, std::string>> attributes;
    std::vector<std::unique_ptr<XmlNode>> children;

    const std::string* attribute(const std::string& name) const;
};

// Null with `error` set when the text is not one well-formed element tree.
std::unique_ptr<XmlNode> parseXml(const std::string& text, std::string& error);

// The document the container reads: main_plugin (attributes by position) and
// one plugin element per filled slot.
std::string buildStateDocument(const Options& options);

struct SlotSummary {
    int index = -1;
    std::string filePath;
    std::string name;
    std::string loadedPluginName;
};

struct StateSummary {
    int activePlugin = -1;
    bool options[4] = {false, false, false, false};
    std::string instanceName;
    std::vector<SlotSummary> slots;
};

// Reads what the container wrote; false with `error` set when it is not a pluginData document.
bool summariseState(const std::string& text, StateSummary& summary, std::string& error);

} // namespace render
