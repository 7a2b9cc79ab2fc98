#include "VSTP2PluginLoader.h"
#include "ChoiceDialogs.h"
#include "PluginScanCache.h"

std::unique_ptr<juce::VSTPluginFormat> vstpluginaudioformat;
int vst2_plugin_counter = 0;

VSTP2PluginLoader::VSTP2PluginLoader()
{
    if (vstpluginaudioformat == nullptr)
    {
        writeLoaderText ("\nInitializing VSTPluginFormat");
        vstpluginaudioformat = std::make_unique<juce::VSTPluginFormat>();
    }
    ++vst2_plugin_counter;
}

VSTP2PluginLoader::~VSTP2PluginLoader()
{
    writeLoaderText ("\n~VSTP2PluginLoader()");
    if (plugin_instance != nullptr)
    {
        writeLoaderText ("\ndeallocating plugin_instance");
        plugin_instance.reset();
    }

    --vst2_plugin_counter;
    if (vst2_plugin_counter == 0 && vstpluginaudioformat != nullptr)
    {
        writeLoaderText ("\ndeallocating VSTPluginFormat");
        auto format = std::move (vstpluginaudioformat);
        format.reset();
    }
}

void VSTP2PluginLoader::createInstance (juce::PluginDescription* description)
{
    juce::String error;
    auto instance = vstpluginaudioformat->createInstanceFromDescription (*description, 48000.0, 256, error);
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
    findPluginDescriptions (*this, path);
    return &plugin_descriptions;
}

void VSTP2PluginLoader::unloadPlugin()
{
    plugin_descriptions.clear (true);
    plugin_descriptions.minimiseStorageOverheads();
    selected_description = nullptr;
    plugin_instance.reset();
}
