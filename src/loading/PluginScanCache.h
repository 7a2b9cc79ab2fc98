#pragma once

#include <juce_audio_processors/juce_audio_processors.h>

// Descriptions of every file whose scan found something, for the life of the
// process. Keys are exact, case-sensitive file paths. Message thread only.
extern juce::OwnedArray<juce::PluginDescription> global_plugin_descriptions;

bool fileWasScannedAlready (juce::String path);
void getPluginDescriptionsAlreadyFoundForThisPlugin (juce::OwnedArray<juce::PluginDescription>& out, juce::String path);

// Keeps copies of what a scan of one file found. A scan that found nothing
// leaves no trace, so the next load scans again.
void rememberPluginDescriptions (const juce::OwnedArray<juce::PluginDescription>& found);
