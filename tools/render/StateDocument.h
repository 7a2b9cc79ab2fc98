// The container's state document: built for effSetChunk, read back from effGetChunk.
#pragma once

#include "Options.h"

#include <string>
#include <vector>

namespace render
{

    // The document the container reads: main_plugin and one plugin element per filled slot.
    std::string buildStateDocument (const Options& options);

    struct SlotSummary
    {
        int index = -1;
        std::string filePath;
        std::string name;
        std::string loadedPluginName;
        bool isProtected = false;
        bool notLoaded = false; // named, but the container holds no instance of it
    };

    struct StateSummary
    {
        int activePlugin = -1;
        bool options[4] = { false, false, false, false };
        std::string instanceName;
        std::vector<SlotSummary> slots; // the slots the container restores from the document
    };

    // Reads a state document as the container does; false with `error` set ("not an
    // XML document", "not a pluginData document", ...) when it restores nothing.
    bool summariseState (const std::string& text, StateSummary& summary, std::string& error);

} // namespace render
