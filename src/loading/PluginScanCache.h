#pragma once

#include <juce_audio_processors/juce_audio_processors.h>

class GenericAudioPluginLoader;

// Descriptions of every file whose scan found something, for the life of the
// process. Keys are exact, case-sensitive file paths. Message thread only.
extern juce::OwnedArray<juce::PluginDescription> global_plugin_descriptions;

bool fileWasScannedAlready (juce::String path);
void getPluginDescriptionsAlreadyFoundForThisPlugin (juce::OwnedArray<juce::PluginDescription>& out, juce::String path);

// Fills the loader's description list from the cache, the external scanner or an
// in-process scan.
void findPluginDescriptions (GenericAudioPluginLoader& loader, const juce::String& path);

// Where the external scanner is expected: beside the container's own binary.
juce::File expectedScannerLocation (const juce::String& scannerName);

// Runs the scanner on `path` and adds at most one description to `out`.
void scanWithExternalProcess (const juce::File& scanner, const juce::String& path,
                              juce::OwnedArray<juce::PluginDescription>& out);
