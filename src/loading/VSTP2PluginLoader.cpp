#include "VSTP2PluginLoader.h"
#include "ChoiceDialogs.h"
#include "ExternalScanner.h"
#include "PluginScanCache.h"

VSTP2PluginLoader::VSTP2PluginLoader() = default;

VSTP2PluginLoader::~VSTP2PluginLoader()
{
    writeLoaderText ("\n~VSTP2PluginLoader()");
    if (plugin_instance != nullptr)
    {
        writeLoaderText ("\ndeallocating plugin_instance");
        plugin_instance.reset();
    }
}

void VSTP2PluginLoader::createInstance (juce::PluginDescription* description)
{
    juce::String error;
    auto instance = vst_format->format.createInstanceFromDescription (*description, 48000.0, 256, error);
    plugin_instance = std::move (instance);
}

juce::AudioPluginInstance* VSTP2PluginLoader::loadPlugin (juce::String path, juce::String formatName, juce::String pluginName)
{
    plugin_file = juce::File (path);

    if (plugin_instance != nullptr)
    {
        writeLoaderText ("\nWarning! plugin_instance != NULL");
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
        writeLoaderText ("\nTrying to create instance...");
        createInstance (plugin_descriptions[0]);
        selected_description = plugin_descriptions[0];
        if (plugin_instance != nullptr)
            writeLoaderText ("OK");
    }

    return plugin_instance.get();
}

juce::OwnedArray<juce::PluginDescription>* VSTP2PluginLoader::getPluginDescription (juce::String path)
{
    auto& found = plugin_descriptions;

    if (fileWasScannedAlready (path))
    {
        getPluginDescriptionsAlreadyFoundForThisPlugin (found, path);
        writeLoaderText ("\nFile was already loaded before, PluginDescriptions previously stored: " + juce::String (found.size()));
        return &found;
    }

    writeLoaderText ("\nFile was not loaded before, finding VST plugins types for:" + path);

    if (scan_with_external_process)
        scanWithExternalProcess (juce::File (external_scanner_path), path, found);
    else
        vst_format->format.findAllTypesForFile (found, path);

    writeLoaderText ("\n->found PluginDescriptions for: " + juce::String (found.size()));

    rememberPluginDescriptions (found);
    return &found;
}

void VSTP2PluginLoader::unloadPlugin()
{
    plugin_descriptions.clear (true);
    plugin_descriptions.minimiseStorageOverheads();
    selected_description = nullptr;
    plugin_instance.reset();
}
