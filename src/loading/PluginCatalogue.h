#pragma once

#include <juce_audio_processors/juce_audio_processors.h>
#include <functional>
#include <vector>

// Every plug-in installed where Linux hosts look, of the three formats a slot
// can hold. Each candidate (a VST 2.x file, a VST3 bundle, an LV2 bundle) is
// described by the scanner in a process of its own, so one that crashes or
// hangs while being described is listed as failed and takes nothing down.
// What was found is kept in a cache file and only candidates whose files
// changed are described again. Message thread or a worker thread; never the
// audio thread.
namespace pluginCatalogue
{
    struct Folders
    {
        juce::StringArray vst2, vst3, lv2;

        // ~/.vst, /usr/lib/vst, /usr/local/lib/vst (and the same for vst3 and
        // lv2), then VST_PATH, VST3_PATH and LV2_PATH.
        static Folders standard ();
    };

    struct Failed
    {
        juce::String format, candidate, reason;
    };

    struct Catalogue
    {
        std::vector<juce::PluginDescription> plugins;
        std::vector<Failed> failed;
        int described = 0; // candidates the scanner was run on this time
        int fromCache = 0; // candidates taken from the cache unchanged
        bool stopped = false; // shouldStop ended the scan; candidates not yet described are left out
    };

    struct Options
    {
        juce::File scanner; // Scanlet64
        juce::File cacheFile; // kept across runs of the host
        int timeoutMs = 20000; // per candidate; a scan that takes longer has hung, and its scanner's group is killed
        // Called before each candidate is described, with how far the scan is (0..1).
        std::function<void (double, const juce::String&)> progress;
        // Asked while a candidate is described; true ends its scanner (and
        // whatever it started) and describes nothing more (the progress
        // window's cancel button).
        std::function<bool()> shouldStop;
    };

    // $XDG_CACHE_HOME/tamblit/plugin-catalogue.xml, else ~/.cache/....
    juce::File defaultCacheFile ();

    Catalogue scan (const Folders& folders, const Options& options);
}
