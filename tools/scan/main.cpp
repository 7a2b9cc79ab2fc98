// tamblit-scan [--fresh] [--cache=FILE] [--quiet]
//
// Scans the installed plug-ins as "Load new" does (~/.vst, /usr/lib/vst,
// ~/.vst3, /usr/lib/vst3, ~/.lv2, /usr/lib/lv2, ... and VST_PATH, VST3_PATH,
// LV2_PATH), prints what was found and what failed, and the time taken.
// --fresh starts without the cache; the cache is the container's own unless
// --cache=FILE names another file.
#include "loading/PluginCatalogue.h"
#include <juce_events/juce_events.h>
#include <cstdio>

int main (int argc, char** argv)
{
    juce::ScopedJuceInitialiser_GUI juce;
    const juce::ArgumentList arguments (argc, argv);

    pluginCatalogue::Options options;
    options.scanner = juce::File (TAMBLIT_SCANNER_PATH);
    options.cacheFile = arguments.containsOption ("--cache")
                            ? juce::File::getCurrentWorkingDirectory().getChildFile (arguments.getValueForOption ("--cache"))
                            : pluginCatalogue::defaultCacheFile();
    if (arguments.containsOption ("--fresh"))
        options.cacheFile.deleteFile();
    const bool quiet = arguments.containsOption ("--quiet");

    const auto started = juce::Time::getMillisecondCounterHiRes();
    const auto catalogue = pluginCatalogue::scan (pluginCatalogue::Folders::standard(), options);
    const auto seconds = (juce::Time::getMillisecondCounterHiRes() - started) / 1000.0;

    if (! quiet)
    {
        for (const auto& d : catalogue.plugins)
            std::printf ("%-4s  %-10s  %-36s  %-28s  %s\n", d.pluginFormatName.toRawUTF8(), d.isInstrument ? "instrument" : "effect",
                         d.name.toRawUTF8(), d.manufacturerName.toRawUTF8(), d.fileOrIdentifier.toRawUTF8());
        for (const auto& f : catalogue.failed)
            std::printf ("failed  %-4s  %s: %s\n", f.format.toRawUTF8(), f.candidate.toRawUTF8(), f.reason.toRawUTF8());
    }
    std::printf ("%d plug-ins, %d failed candidates; %d candidates scanned, %d from the cache, in %.2f s\n", (int) catalogue.plugins.size(),
                 (int) catalogue.failed.size(), catalogue.described, catalogue.fromCache, seconds);
    return 0;
}
