#pragma once

#include <juce_core/juce_core.h>

// A protected slot runs its plug-in in a worker process of its own, through the
// project's bridge. The bridge needs, per plug-in, a copy of itself with a side
// file naming the plug-in and the worker. Those live in the container's own
// cache folder, made on demand: never where hosts look for plug-ins, and
// nothing for the user to make.
namespace protectedLoad
{
    // The bridge plug-in (kept without ".so" so no host scans it) and its worker,
    // beside this build's scanner; TAMBLIT_BRIDGE_RESOURCES names another folder.
    struct BridgeFiles
    {
        juce::File plugin, worker;
    };
    BridgeFiles findBridgeFiles ();

    // $XDG_CACHE_HOME/tamblit/protected, else ~/.cache/tamblit/protected; a
    // private folder (PrivateCacheFolder.h) with one private folder per plug-in,
    // named by the SHA-256 of the plug-in's real path.
    juce::File cacheFolder ();

    // The file to load in place of `plugin`: its bridged stand-in, made or
    // brought up to date (a rebuilt bridge, a moved worker). Safe when other
    // instances or other hosts make the same stand-in at the same time. An
    // empty File, with `error` set, when it cannot be made.
    juce::File standInFor (const juce::File& plugin, juce::String& error);

    // The same for any slot identifier: a VST 2.x file as above, a VST3 bundle
    // or an LV2 URI, which the worker hosts through JUCE.
    juce::File standInFor (const juce::String& identifier, juce::String& error);

    // The plug-in a stand-in in the cache folder runs, or `file` itself.
    juce::File pluginBehind (const juce::File& file);

    // The identifier a stand-in in the cache folder runs (a file path, or an
    // LV2 URI), or `file`'s own path.
    juce::String targetBehind (const juce::File& file);
}
