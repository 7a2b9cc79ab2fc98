#include "GenericAudioPluginLoader.h"
#include "ChoiceDialogs.h"
#include "ExternalScanner.h"

int num_plugins_loaded_ = 0;

GenericAudioPluginLoader::GenericAudioPluginLoader()
{
    ++num_plugins_loaded_;
}

GenericAudioPluginLoader::~GenericAudioPluginLoader()
{
    --num_plugins_loaded_;
    if (num_plugins_loaded_ < 1)
        num_plugins_loaded_ = 0;
}

juce::OwnedArray<juce::PluginDescription>* GenericAudioPluginLoader::getPluginDescription (juce::String)
{
    return &plugin_descriptions;
}

juce::String GenericAudioPluginLoader::getCurrentlyLoadedPluginName() const
{
    return selected_description != nullptr ? selected_description->name : juce::String();
}

void GenericAudioPluginLoader::setScanWithExternalProcess (bool enable, juce::String scannerName)
{
    scan_with_external_process = enable;
    external_scanner_path = scannerName;

    const auto expected = expectedScannerLocation (scannerName);

    if (! enable)
        return;

    if (isRunnableScanner (expected))
    {
        external_scanner_path = expected.getFullPathName();
        return;
    }

    if (canAskTheUser())
        juce::NativeMessageBox::showMessageBox (juce::MessageBoxIconType::WarningIcon, "Info",
                                                "Unable to find " + expected.getFullPathName());
    else
        writeLoaderText ("\nUnable to find " + expected.getFullPathName());
    scan_with_external_process = false;
}
