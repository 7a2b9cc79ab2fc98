#include "PluginScanCache.h"
#include "GenericAudioPluginLoader.h"
#include "VSTP2PluginLoader.h"

juce::OwnedArray<juce::PluginDescription> global_plugin_descriptions;

bool fileWasScannedAlready (juce::String path)
{
    writeLoaderText ("\nChecking is file/id was scanned already: " + path);
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
            writeLoaderText ("\nAdding " + path);
            out.add (new juce::PluginDescription (*entry));
        }
    }
}

void findPluginDescriptions (GenericAudioPluginLoader& loader, const juce::String& path)
{
    auto& found = loader.plugin_descriptions;

    if (fileWasScannedAlready (path))
    {
        getPluginDescriptionsAlreadyFoundForThisPlugin (found, path);
        writeLoaderText ("\nFile was already loaded before, PluginDescriptions previously stored: " + juce::String (found.size()));
        return;
    }

    writeLoaderText ("\nFile was not loaded before, finding VST plugins types for:" + path);

    if (loader.scan_with_external_process)
        scanWithExternalProcess (juce::File (loader.external_scanner_path), path, found);
    else if (vstpluginaudioformat != nullptr)
        vstpluginaudioformat->findAllTypesForFile (found, path);

    writeLoaderText ("\n->found PluginDescriptions for: " + juce::String (found.size()));

    // A scan that found nothing leaves no trace, so the next load scans again.
    for (auto* description : found)
        global_plugin_descriptions.add (new juce::PluginDescription (*description));
}

juce::File expectedScannerLocation (const juce::String& scannerName)
{
    const auto ownBinary = juce::File::getSpecialLocation (juce::File::currentApplicationFile);
    const auto base = ownBinary.getParentDirectory().getFullPathName();
    return juce::File (base + "/Contents/Resources/" + juce::File (scannerName).getFileName());
}

void scanWithExternalProcess (const juce::File& scanner, const juce::String& path,
                              juce::OwnedArray<juce::PluginDescription>& out)
{
    const auto resultPath = juce::File::getSpecialLocation (juce::File::tempDirectory).getFullPathName()
                            + "/" + juce::File (path).getFileNameWithoutExtension()
                            + juce::Uuid().toString() + ".txt";
    const juce::File result (resultPath);
    const auto arguments = path.quoted ('"') + " " + resultPath.quoted ('"');

    result.deleteFile();
    scanner.startAsProcess (arguments);

    for (int waited = 0; ! result.existsAsFile() && waited < 5000; waited += 50)
        juce::Thread::sleep (50);

    if (! result.existsAsFile())
        return;

    if (auto document = juce::XmlDocument::parse (result))
    {
        auto description = std::make_unique<juce::PluginDescription>();
        if (description->loadFromXml (*document))
            out.add (description.release());
    }
    result.deleteFile();
}
