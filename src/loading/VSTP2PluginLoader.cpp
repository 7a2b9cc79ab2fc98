#include "VSTP2PluginLoader.h"
#include "ChoiceDialogs.h"
#include "HostProcessState.h"
#include "ExternalScanner.h"
#include "PluginScanCache.h"
#include "../console/LogLines.h"

VSTP2PluginLoader::VSTP2PluginLoader() = default;

VSTP2PluginLoader::~VSTP2PluginLoader()
{
    writeLoaderText (logLines::loaderDestroyed);
    if (plugin_instance != nullptr)
    {
        writeLoaderText (logLines::deallocatingInstance);
        const HostProcessStateGuard hostState; // the plug-in's module may be unloaded
        plugin_instance.reset();
    }
}

void VSTP2PluginLoader::createInstance (juce::PluginDescription* description)
{
    juce::String error;
    auto instance = vst_format->format.createInstanceFromDescription (*description, 48000.0, 256, error);
    if (instance != nullptr)
        rememberVst2InstanceClass (*instance);
    plugin_instance = std::move (instance);
}

juce::AudioPluginInstance* VSTP2PluginLoader::loadPlugin (juce::String path, juce::String formatName, juce::String pluginName)
{
    JUCE_ASSERT_MESSAGE_THREAD
    // Scanning and creating run the plug-in's code (its static initialisers
    // first) in the host's process.
    const HostProcessStateGuard hostState;
    plugin_file = juce::File (path);

    if (plugin_instance != nullptr)
    {
        writeLoaderText (logLines::instanceStillHeld);
        unloadPlugin();
    }

    selected_description = nullptr;
    getPluginDescription (path);

    if (pluginName.isNotEmpty())
    {
        // Every match is instantiated; with duplicates the last one is kept.
        for (auto* description : plugin_descriptions)
        {
            if (description->pluginFormatName == formatName && description->name == pluginName)
            {
                plugin_instance.reset();
                createInstance (description);
                selected_description = description;
            }
        }
    }
    else if (plugin_descriptions.size() >= 2)
    {
        juce::StringArray names;
        for (auto* description : plugin_descriptions)
            if (description->pluginFormatName == formatName)
                names.add (description->name);

        const auto chosen = getOptionFromComboBox ("Please choose a plugin", names);

        for (auto* description : plugin_descriptions)
        {
            if (description->name == chosen)
            {
                plugin_instance.reset();
                createInstance (description);
                selected_description = description;
            }
        }
    }
    else if (plugin_descriptions.size() == 1)
    {
        writeLoaderText (logLines::tryingToCreateInstance);
        createInstance (plugin_descriptions[0]);
        selected_description = plugin_descriptions[0];
        if (plugin_instance != nullptr)
            writeLoaderText (logLines::createdInstance);
    }

    return plugin_instance.get();
}

juce::OwnedArray<juce::PluginDescription>* VSTP2PluginLoader::getPluginDescription (juce::String path)
{
    auto& found = plugin_descriptions;

    if (fileWasScannedAlready (path))
    {
        getPluginDescriptionsAlreadyFoundForThisPlugin (found, path);
        writeLoaderText (logLines::scanCacheHit (found.size()));
        return &found;
    }

    writeLoaderText (logLines::scanning (path));

    if (scan_with_external_process)
        scanWithExternalProcess (juce::File (external_scanner_path), path, found);
    else
        vst_format->format.findAllTypesForFile (found, path);

    writeLoaderText (logLines::foundDescriptions (found.size()));

    rememberPluginDescriptions (found);
    return &found;
}

void VSTP2PluginLoader::unloadPlugin()
{
    const HostProcessStateGuard hostState;
    plugin_descriptions.clear (true);
    plugin_descriptions.minimiseStorageOverheads();
    selected_description = nullptr;
    plugin_instance.reset();
}
