#pragma once

#include "GenericAudioPluginLoader.h"
#include "PluginFormats.h"

// Loader for VST3 bundles and LV2 plug-ins, through JUCE's hosting of those
// formats. A VST3 bundle may hold several plug-ins: a saved name picks one,
// else the user is asked, else the first is taken.
class FormatPluginLoader : public GenericAudioPluginLoader
{
public:
    explicit FormatPluginLoader (juce::String formatName);
    ~FormatPluginLoader() override;

    juce::AudioPluginInstance* loadPlugin (juce::String identifier, juce::String formatName, juce::String pluginName) override;
    juce::OwnedArray<juce::PluginDescription>* getPluginDescription (juce::String identifier) override;

    // Whether `identifier` names a plug-in of this loader's format that is
    // installed: a VST3 bundle that exists, an LV2 URI the installed bundles
    // describe.
    bool isInstalled (const juce::String& identifier);

    // Why the last load made no instance, in JUCE's words; empty if unknown.
    juce::String lastError;

private:
    void createInstance (juce::PluginDescription* description);

    juce::String format_name;
    // Goes after the hosted instance, which the destructor deletes.
    juce::SharedResourcePointer<SharedJuceFormats> formats;
};
