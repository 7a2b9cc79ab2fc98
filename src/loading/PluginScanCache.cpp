#include "PluginScanCache.h"
#include "LoaderOutput.h"
#include "../console/LogLines.h"

// JUCE counts live descriptions in a counter created with the first one and
// checked when it is destroyed. Making one here, before the cache, creates that
// counter first, so it outlives the cache at exit and the cache's entries are
// gone by the time it checks.
static const juce::PluginDescription leakCounterBeforeTheCache;
juce::OwnedArray<juce::PluginDescription> global_plugin_descriptions;

bool fileWasScannedAlready (juce::String path)
{
    JUCE_ASSERT_MESSAGE_THREAD
    writeLoaderText (logLines::checkingScanCache (path));
    for (auto* entry : global_plugin_descriptions)
        if (entry->fileOrIdentifier == path)
            return true;
    return false;
}

void getPluginDescriptionsAlreadyFoundForThisPlugin (juce::OwnedArray<juce::PluginDescription>& out, juce::String path)
{
    JUCE_ASSERT_MESSAGE_THREAD
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
    JUCE_ASSERT_MESSAGE_THREAD
    for (auto* description : found)
        global_plugin_descriptions.add (new juce::PluginDescription (*description));
}
