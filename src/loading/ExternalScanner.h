#pragma once

#include <juce_audio_processors/juce_audio_processors.h>

// The external scanner: where it is expected beside this binary, and one scan
// of one file through it.

// The binary (shared object or executable) whose code lies at `address`, as an
// absolute path with symbolic links resolved; an empty File when unknown.
juce::File binaryHoldingAddress (const void* address);

// Where the external scanner is expected: "Contents/Resources" beside the
// binary this code is linked into (the container's .so when run as a plug-in).
juce::File expectedScannerLocation (const juce::String& scannerName);

// The same for a given binary: "Contents/Resources" beside it, or the bundle's
// own "Contents/Resources" when the binary sits in a bundle's
// Contents/<architecture> folder (the VST3 layout).
juce::File scannerLocationFor (const juce::File& binary, const juce::String& scannerName);

// A regular file this process may execute. Anything else is never started.
bool isRunnableScanner (const juce::File& scanner);

// Runs the scanner on `path` (no shell between: the path is one argument,
// whatever it holds), waits up to 5 s for it, and adds at most one
// description to `out`. Its answer goes through a file made for it in the
// private cache folder (PrivateCacheFolder.h).
void scanWithExternalProcess (const juce::File& scanner, const juce::String& path, juce::OwnedArray<juce::PluginDescription>& out);
