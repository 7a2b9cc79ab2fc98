// The scan of installed plug-ins behind "Load new": every candidate is
// described by the scanner in a process of its own, so a bundle that crashes
// or hangs while being scanned, and one with broken metadata, are each listed
// as failed while the rest are found; the result is cached and only changed
// candidates are scanned again. The chooser lists and searches what was found.
#include "loading/PluginCatalogue.h"
#include "loading/PluginChooser.h"
#include "support/TestHelpers.h"
#include <gtest/gtest.h>
#include <thread>

namespace
{
    const juce::String jx10 = "http://drobilla.net/plugins/mda/JX10";

    struct Installed : ::testing::Test
    {
        void SetUp () override
        {
            root = juce::File::createTempFile ("installed");
            ASSERT_TRUE (root.getChildFile ("vst").createDirectory());
            ASSERT_TRUE (root.getChildFile ("vst3").createDirectory());
            ASSERT_TRUE (root.getChildFile ("lv2").createDirectory());

            link (TAMBLIT_FIXTURE_VST3_SYNTH, root.getChildFile ("vst3/fixture-vst3-synth.vst3"));
            link (TAMBLIT_FIXTURE_SCAN_CRASH, root.getChildFile ("vst3/fixture-scan-crash.vst3"));
            link (TAMBLIT_FIXTURE_SCAN_HANG, root.getChildFile ("vst3/fixture-scan-hang.vst3"));
            link ("/usr/lib/lv2/mda.lv2", root.getChildFile ("lv2/mda.lv2"));
            ASSERT_TRUE (juce::File (TAMBLIT_FIXTURE_SYNTH).copyFileTo (root.getChildFile ("vst/fixture-synth.so")));
            const auto broken = root.getChildFile ("lv2/broken.lv2");
            ASSERT_TRUE (broken.createDirectory());
            ASSERT_TRUE (broken.getChildFile ("manifest.ttl")
                             .replaceWithText ("@prefix lv2: <http://lv2plug.in/ns/lv2core#> .\n"
                                               "<urn:tamblit:broken> a lv2:Plugin ; lv2:binary <\n"));

            folders.vst2.add (root.getChildFile ("vst").getFullPathName());
            folders.vst3.add (root.getChildFile ("vst3").getFullPathName());
            folders.lv2.add (root.getChildFile ("lv2").getFullPathName());
            options.scanner = juce::File (TAMBLIT_BINARY_DIR "/plugin/Contents/Resources/Scanlet64");
            options.cacheFile = root.getChildFile ("cache/catalogue.xml");
            options.timeoutMs = 3000;
        }

        void TearDown () override { root.deleteRecursively(); }

        static void link (const juce::String& target, const juce::File& at)
        {
            ASSERT_TRUE (juce::File (target).createSymbolicLink (at, true)) << at.getFullPathName();
        }

        static const juce::PluginDescription* find (const pluginCatalogue::Catalogue& catalogue, const juce::String& name)
        {
            for (const auto& description : catalogue.plugins)
                if (description.name == name)
                    return &description;
            return nullptr;
        }

        static juce::String failure (const pluginCatalogue::Catalogue& catalogue, const juce::String& candidateName)
        {
            for (const auto& failed : catalogue.failed)
                if (failed.candidate.endsWith ("/" + candidateName))
                    return failed.reason;
            return {};
        }

        juce::File root;
        pluginCatalogue::Folders folders;
        pluginCatalogue::Options options;
    };
}

TEST_F (Installed, TroubleIsListedAsFailedAndTheRestIsFoundThenCached)
{
    const auto first = pluginCatalogue::scan (folders, options);
    EXPECT_EQ (first.described, 6);
    EXPECT_EQ (first.fromCache, 0);

    const struct
    {
        const char* name;
        const char* format;
        bool isInstrument;
    } expected[] = {
        { "Tamblit Fixture VST3 Synth", "VST3", true },
        { "MDA JX10", "LV2", true },
        { "MDA DX10", "LV2", true },
        { "MDA Detune", "LV2", false },
    };
    for (const auto& e : expected)
    {
        const auto* found = find (first, e.name);
        ASSERT_NE (found, nullptr) << e.name;
        EXPECT_EQ (found->pluginFormatName, e.format) << e.name;
        EXPECT_EQ (found->isInstrument, e.isInstrument) << e.name;
    }
    EXPECT_EQ (find (first, "MDA JX10")->fileOrIdentifier, jx10);
    EXPECT_EQ (find (first, "Tamblit Fixture VST3 Synth")->fileOrIdentifier,
               root.getChildFile ("vst3/fixture-vst3-synth.vst3").getFullPathName());
    int vst2 = 0;
    for (const auto& description : first.plugins)
        vst2 += description.pluginFormatName == "VST" && description.fileOrIdentifier.endsWith ("/fixture-synth.so") ? 1 : 0;
    EXPECT_EQ (vst2, 1);

    ASSERT_EQ (first.failed.size(), 3u);
    EXPECT_EQ (failure (first, "fixture-scan-crash.vst3"), "crashed while being scanned");
    EXPECT_TRUE (failure (first, "fixture-scan-hang.vst3").startsWith ("hung while being scanned"))
        << failure (first, "fixture-scan-hang.vst3");
    EXPECT_TRUE (failure (first, "broken.lv2").contains ("no LV2 plug-in described")) << failure (first, "broken.lv2");

    // Nothing changed: everything comes from the cache, failures included.
    const auto second = pluginCatalogue::scan (folders, options);
    EXPECT_EQ (second.described, 0);
    EXPECT_EQ (second.fromCache, 6);
    EXPECT_EQ (second.plugins.size(), first.plugins.size());
    EXPECT_EQ (second.failed.size(), first.failed.size());

    // A changed file is scanned again, a removed one leaves the list.
    const auto copy = root.getChildFile ("vst/fixture-synth.so");
    ASSERT_TRUE (copy.setLastModificationTime (juce::Time::getCurrentTime() + juce::RelativeTime::hours (1)));
    ASSERT_TRUE (root.getChildFile ("vst3/fixture-scan-crash.vst3").deleteFile());
    const auto third = pluginCatalogue::scan (folders, options);
    EXPECT_EQ (third.described, 1);
    EXPECT_EQ (third.fromCache, 4);
    EXPECT_EQ (third.failed.size(), 2u);
    EXPECT_EQ (failure (third, "fixture-scan-crash.vst3"), "");
}

// Without its scanner the scan lists nothing as found and caches nothing, so
// the next scan with the scanner in place is not misled.
TEST_F (Installed, AMissingScannerIsNotRemembered)
{
    auto without = options;
    without.scanner = root.getChildFile ("no-scanner");
    const auto blind = pluginCatalogue::scan (folders, without);
    EXPECT_TRUE (blind.plugins.empty());
    EXPECT_EQ (blind.failed.size(), 6u);
    const auto seeing = pluginCatalogue::scan (folders, options);
    EXPECT_EQ (seeing.described, 6);
    EXPECT_NE (find (seeing, "MDA JX10"), nullptr);
}

TEST_F (Installed, TheChooserSearchesNameMakerFormatAndKind)
{
    PluginChooserComponent chooser (pluginCatalogue::scan (folders, options));
    const int all = chooser.getNumShownPlugins();
    EXPECT_GE (all, 36); // mda's bundle alone holds 36
    EXPECT_EQ (chooser.getNumFailedShown(), 3);

    const struct
    {
        const char* search;
        int shown;
    } searches[] = { { "jx10", 1 }, { "JX10 lv2 instrument", 1 }, { "vst3 instrument", 1 }, { "Robillard", 36 }, { "vst3 effect", 0 } };
    for (const auto& s : searches)
    {
        chooser.setSearchText (s.search);
        EXPECT_EQ (chooser.getNumShownPlugins(), s.shown) << s.search;
    }

    chooser.setSearchText ("jx10");
    EXPECT_TRUE (chooser.describeRow (0).startsWith ("MDA JX10  -  David Robillard  -  LV2  -  Instrument")) << chooser.describeRow (0);
    EXPECT_TRUE (chooser.describeRow (1).startsWith ("failed: ")) << chooser.describeRow (1);
    chooser.selectRow (0);
    const auto choice = chooser.choice();
    EXPECT_EQ (choice.kind, PluginChoice::Kind::plugin);
    EXPECT_EQ (choice.identifier, jx10);
    EXPECT_EQ (choice.pluginName, "MDA JX10");
    EXPECT_TRUE (chooser.load.isEnabled());
    PluginChoice clicked;
    chooser.onDone = [&clicked] (PluginChoice c) { clicked = std::move (c); };
    chooser.load.triggerClick();
    testing_support::runLoopFor (100);
    EXPECT_EQ (clicked.identifier, jx10) << "Load did not answer";

    // A failed candidate is listed, never chosen.
    chooser.selectRow (1);
    EXPECT_EQ (chooser.choice().kind, PluginChoice::Kind::cancelled);
    EXPECT_FALSE (chooser.load.isEnabled());
}
