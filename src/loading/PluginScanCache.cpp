#include "PluginScanCache.h"
#include "LoaderOutput.h"
#include "../console/LogLines.h"

juce::OwnedArray<juce::PluginDescription> global_plugin_descriptions;

bool fileWasScannedAlready (juce::String path)
{
    writeLoaderText (logLines::checkingScanCache (path));
    for (auto* entry : global_plugin_descriptions)
        if (entry->fileOrIdentifier == path)
            return true;
    return false;
}

void getPluginDescriptionsAlreadyFoundForThisPlugin (juce::OwnedArray<juce::PluginDescription>& out, juce::String path)
{
    for (auto* entry : global_plugin_descriptions)
    {
        if (entry->fileOrIdentifier == path)
        {
            writeLoaderText (logLines::addingFromScanCache (path));
            out.add (new juce::PluginDescription (*entry));
        }
    }
}

void rememberPluginDescriptions (const juce::OwnedArray<juce::PluginDescription>& found)
{
    for (auto* description : found)
        global_plugin_descriptions.add (new juce::PluginDescription (*description));
}
