#include "FormatPluginLoader.h"
#include "ChoiceDialogs.h"
#include "HostProcessState.h"
#include "LoaderOutput.h"
#include "../console/LogLines.h"

FormatPluginLoader::FormatPluginLoader (juce::String formatName)
    : format_name (std::move (formatName))
{
}

FormatPluginLoader::~FormatPluginLoader()
{
    if (plugin_instance != nullptr)
    {
        writeLoaderText (logLines::deallocatingInstance);
        const HostProcessStateGuard hostState; // the plug-in's module may be unloaded
        plugin_instance.reset();
    }
}

bool FormatPluginLoader::isInstalled (const juce::String& identifier)
{
    auto* format = formats->find (format_name);
    if (format == nullptr || identifier.isEmpty())
        return false;
    if (format_name == pluginFormats::vst3)
        return juce::File::isAbsolutePath (identifier) && juce::File (identifier).isDirectory();
    juce::PluginDescription description;
    description.fileOrIdentifier = identifier;
    return format->doesPluginStillExist (description);
}

void FormatPluginLoader::createInstance (juce::PluginDescription* description)
{
    auto* format = formats->find (format_name);
    if (format == nullptr)
        return;
    // The rate and size are placeholders: the slot prepares the instance with
    // the host's own before it plays.
    plugin_instance = format->createInstanceFromDescription (*description, 48000.0, 256, lastError);
}

juce::AudioPluginInstance* FormatPluginLoader::loadPlugin (juce::String identifier, juce::String, juce::String pluginName)
{
    JUCE_ASSERT_MESSAGE_THREAD
    // Scanning and creating run the plug-in's code (its static initialisers
    // first) in the host's process.
    const HostProcessStateGuard hostState;
    plugin_file = juce::File::isAbsolutePath (identifier) ? juce::File (identifier) : juce::File();
    plugin_instance.reset();
    selected_description = nullptr;
    lastError.clear();

    getPluginDescription (identifier);

    juce::PluginDescription* chosen = nullptr;
    if (pluginName.isNotEmpty())
    {
        for (auto* description : plugin_descriptions)
            if (description->name == pluginName)
                chosen = description;
        // A bundle or URI naming one plug-in names it whatever it was called
        // when saved (a protected slot saves its stand-in's name).
        if (chosen == nullptr && plugin_descriptions.size() == 1)
            chosen = plugin_descriptions.getFirst();
    }
    else if (plugin_descriptions.size() >= 2 && canAskTheUser())
    {
        juce::StringArray names;
        for (auto* description : plugin_descriptions)
            names.add (description->name);
        const auto answer = getOptionFromComboBox ("Please choose a plugin", names);
        for (auto* description : plugin_descriptions)
            if (description->name == answer)
                chosen = description;
    }
    else if (! plugin_descriptions.isEmpty())
    {
        chosen = plugin_descriptions.getFirst();
    }

    if (chosen == nullptr)
        return nullptr;

    writeLoaderText (logLines::tryingToCreateInstance);
    createInstance (chosen);
    if (plugin_instance == nullptr)
        return nullptr;

    selected_description = chosen;
    writeLoaderText (logLines::createdInstance);
    return plugin_instance.get();
}

juce::OwnedArray<juce::PluginDescription>* FormatPluginLoader::getPluginDescription (juce::String identifier)
{
    plugin_descriptions.clear();
    if (auto* format = formats->find (format_name))
    {
        writeLoaderText (logLines::scanning (identifier));
        if (format->fileMightContainThisPluginType (identifier))
            format->findAllTypesForFile (plugin_descriptions, identifier);
        writeLoaderText (logLines::foundDescriptions (plugin_descriptions.size()));
    }
    return &plugin_descriptions;
}
