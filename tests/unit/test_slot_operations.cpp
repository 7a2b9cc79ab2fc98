// Loading, unloading and switching the container's slots with real VST 2.x
// plug-ins (the fixtures and Debian's amsynth), audio rendered as the wrapper
// renders it, log lines read from the console window, dialogs answered from the
// message loop. Needs an X display (Xvfb).
#include "console/LogLines.h"
#include "processor/PluginContainerAudioProcessor.h"
#include "support/TestHelpers.h"
#include "test_loading_support.h"
#include <gtest/gtest.h>
#include <dlfcn.h>

using namespace loading_test;
using namespace tamblit::fixtures;
using testing_support::ConsoleLines;

namespace
{
    constexpr double kRate = 48000.0;
    constexpr int kBlock = 256;
    const juce::String kAmsynth = "/usr/lib/vst/amsynth_vst.so";
    const juce::String kPrefix = "default instance";

    struct Slots : ::testing::Test
    {
        void SetUp () override
        {
            processor = std::make_unique<PluginContainerAudioProcessor>();
            processor->setRateAndBufferSizeDetails (kRate, kBlock);
            processor->prepareToPlay (kRate, kBlock);
            console = std::make_unique<ConsoleLines> (*processor);
            console->clear();
        }

        void TearDown () override
        {
            console.reset();
            processor.reset();
        }

        // One host block; the host's buffer holds 0.25 on entry so that a plug-in
        // that ignores it is told apart from one that passes it through.
        juce::AudioBuffer<float> render (int samples = kBlock, juce::MidiBuffer midi = {})
        {
            auto buffer = testing_support::filledBuffer (2, samples, 0.25f);
            testing_support::renderLikeWrapper (*processor, buffer, midi);
            return buffer;
        }

        // True when the block is what the fixture with `identity` plays with no note held.
        static bool plays (const juce::AudioBuffer<float>& block, float identity)
        {
            return channelIsConstant (block, 0, initialDc (identity, 0)) && channelIsConstant (block, 1, initialDc (identity, 1));
        }

        static bool silent (const juce::AudioBuffer<float>& block) { return block.getMagnitude (0, block.getNumSamples()) == 0.0f; }

        bool load (int index, const juce::String& path, const juce::String& name = {}) { return processor->loadPlugin (index, path, name); }

        std::unique_ptr<PluginContainerAudioProcessor> processor;
        std::unique_ptr<ConsoleLines> console;
    };

    juce::MidiBuffer noteOn (int note, int sample)
    {
        juce::MidiBuffer midi;
        midi.addEvent (juce::MidiMessage::noteOn (1, note, (juce::uint8) 100), sample);
        return midi;
    }

    juce::StringArray linesOf (std::initializer_list<juce::String> lines)
    {
        juce::StringArray result;
        for (auto& line : lines)
            result.add (line);
        return result;
    }

    juce::StringArray failedLoadLines (int index, const juce::String& chosen, int active)
    {
        return { kPrefix + ":" + logLines::loadingPluginInIndex (index), logLines::pathInIndex (chosen, index),
                 kPrefix + ":" + logLines::failedToLoadPlugin, kPrefix + ":" + logLines::activePlugin (active) };
    }
}

TEST_F (Slots, DirectRoutingPlaysTheSynthOnTheHostBuffer)
{
    ASSERT_TRUE (load (0, TAMBLIT_FIXTURE_SYNTH));

    EXPECT_EQ (console->lines(),
               linesOf ({ kPrefix + ":" + logLines::loadingPluginInIndex (0), logLines::pathInIndex (TAMBLIT_FIXTURE_SYNTH, 0),
                          logLines::startPlaying, logLines::channelMode (0, 2, 0, 2), logLines::synthMode,
                          kPrefix + ":" + logLines::activePlugin (0) }));
    EXPECT_EQ (processor->getName (0), "fixture-synth");
    EXPECT_EQ (processor->getPluginFilePath (0), juce::String (TAMBLIT_FIXTURE_SYNTH));
    EXPECT_TRUE (plays (render(), kIdentitySynth));

    // MIDI reaches it: a note starting at sample 32 of the block.
    const int note = 69;
    const auto block = render (kBlock, noteOn (note, 32));
    for (int i = 0; i < kBlock; ++i)
    {
        const float tone = i < 32 ? 0.0f : fixtureTone (note, i - 32, kRate, presetValue (0, kParamTone));
        ASSERT_NEAR (block.getSample (0, i), initialDc (kIdentitySynth, 0) + tone, 1.0e-5f) << i;
        ASSERT_NEAR (block.getSample (1, i), initialDc (kIdentitySynth, 1) + tone, 1.0e-5f) << i;
    }
    EXPECT_EQ (processor->getLatencySamples(), 0);
}

TEST_F (Slots, AuxiliaryRoutingGivesTheHostOutputsOneAndTwo)
{
    ASSERT_TRUE (load (0, TAMBLIT_FIXTURE_SYNTH8));
    const auto lines = console->lines();
    EXPECT_TRUE (lines.contains (logLines::channelMode (0, 2, 0, 8)));
    EXPECT_EQ (lines.indexOf (logLines::allocatingAuxBuffer), lines.indexOf (logLines::synthMode) + 1);
    EXPECT_EQ (processor->getLatencySamples(), kSynth8Latency);

    EXPECT_TRUE (plays (render(), kIdentitySynth8));

    // A held note across blocks of different lengths, the middle one shorter
    // than the prepared block: every block carries exactly its own samples.
    const int note = 60;
    const float toneLevel = presetValue (0, kParamTone);
    long long n = 0;
    const int lengths[] = { kBlock, 100, 1, kBlock, 37 };
    bool first = true;
    for (int length : lengths)
    {
        SCOPED_TRACE (length);
        const auto block = render (length, first ? noteOn (note, 0) : juce::MidiBuffer());
        first = false;
        ASSERT_EQ (block.getNumSamples(), length);
        for (int i = 0; i < length; ++i, ++n)
        {
            const float tone = fixtureTone (note, n, kRate, toneLevel);
            ASSERT_NEAR (block.getSample (0, i), initialDc (kIdentitySynth8, 0) + tone, 1.0e-5f) << i;
            ASSERT_NEAR (block.getSample (1, i), initialDc (kIdentitySynth8, 1) + tone, 1.0e-5f) << i;
        }
    }

    // The host prepares again with a larger block: the auxiliary path follows.
    processor->setRateAndBufferSizeDetails (kRate, 512);
    processor->prepareToPlay (kRate, 512);
    juce::MidiBuffer off;
    off.addEvent (juce::MidiMessage::noteOff (1, note), 0);
    render (512, off);
    const auto big = render (512);
    ASSERT_EQ (big.getNumSamples(), 512);
    EXPECT_TRUE (plays (big, kIdentitySynth8));
}

TEST_F (Slots, EffectIsRejectedByTheFitRuleAndTheSlotIsKept)
{
    for (bool occupied : { false, true })
    {
        SCOPED_TRACE (occupied ? "slot held the synth" : "slot was empty");
        if (occupied)
        {
            ASSERT_TRUE (load (0, TAMBLIT_FIXTURE_SYNTH));
        }
        console->clear();

        EXPECT_FALSE (load (0, TAMBLIT_FIXTURE_EFFECT));

        EXPECT_EQ (console->lines(),
                   linesOf ({ kPrefix + ":" + logLines::loadingPluginInIndex (0), logLines::pathInIndex (TAMBLIT_FIXTURE_EFFECT, 0),
                              logLines::startPlaying, logLines::channelMode (0, 2, 2, 2), logLines::synthMode, logLines::effectInSynth,
                              kPrefix + ":" + logLines::failedToLoadPlugin, kPrefix + ":" + logLines::activePlugin (0) }));
        EXPECT_FALSE (processor->isSuspended());
        if (occupied)
        {
            EXPECT_EQ (processor->getName (0), "fixture-synth");
            EXPECT_TRUE (plays (render(), kIdentitySynth));
        }
        else
        {
            EXPECT_EQ (processor->getAudioPluginInstance (0), nullptr);
            EXPECT_TRUE (silent (render()));
        }
    }
}

TEST_F (Slots, FilesThatAreNoUsablePluginFailAndKeepTheSlot)
{
    auto text = juce::File::getSpecialLocation (juce::File::tempDirectory).getChildFile ("tamblit-slot-not-a-plugin.so");
    text.replaceWithText ("plain text\n");

    ASSERT_TRUE (load (0, TAMBLIT_FIXTURE_SYNTH));
    auto* before = processor->getAudioPluginInstance (0);

    const juce::String paths[] = { text.getFullPathName(), TAMBLIT_FIXTURE_NOENTRY, TAMBLIT_FIXTURE_NULLENTRY };
    for (auto& path : paths)
    {
        SCOPED_TRACE (path);
        console->clear();
        EXPECT_FALSE (load (0, path));
        EXPECT_EQ (console->lines(), failedLoadLines (0, path, 0));
        EXPECT_EQ (processor->getAudioPluginInstance (0), before);
        EXPECT_TRUE (plays (render(), kIdentitySynth));
    }

    // The inactive slot stays empty after the same failures.
    for (auto& path : paths)
    {
        EXPECT_FALSE (load (1, path));
        EXPECT_EQ (processor->getAudioPluginInstance (1), nullptr);
    }
    text.deleteFile();
}

TEST_F (Slots, CancelledFileChooserFailsAndKeepsTheSlot)
{
    // With zenity or kdialog installed JUCE hands the question to another process.
    if (juce::FileChooser::isPlatformDialogAvailable())
        GTEST_SKIP() << "a desktop file dialog program is installed";
    ASSERT_TRUE (load (0, TAMBLIT_FIXTURE_SYNTH));
    auto* before = processor->getAudioPluginInstance (0);
    console->clear();

    DialogScript script;
    // "Load new" lists the installed plug-ins first; a file is picked from there.
    script.then (windowNamed ("Load a plugin"), press ("Browse for a VST 2.x file..."))
        .then (windowNamed ("Please select a VST2.x plugin..."), press ("Cancel"));
    script.start();

    EXPECT_FALSE (load (0, ""));

    EXPECT_TRUE (script.allStepsDone());
    EXPECT_EQ (console->lines(), failedLoadLines (0, "", 0));
    EXPECT_EQ (processor->getAudioPluginInstance (0), before);
    EXPECT_FALSE (processor->isSuspended());
    EXPECT_TRUE (plays (render(), kIdentitySynth));
}

TEST_F (Slots, MissingFileAsksWhereItIs)
{
    const juce::String missing = "/nonexistent/tamblit/gone.so";

    auto chooseSynth = [] (juce::Component& dialog)
    {
        // The user first walks to the fixtures' folder, then picks the synth.
        if (auto* browser = findComponent<juce::FileBrowserComponent> (dialog))
            browser->setRoot (juce::File (TAMBLIT_FIXTURE_SYNTH).getParentDirectory());
        if (auto* list = findComponent<juce::FileListComponent> (dialog))
        {
            testing_support::runLoopUntil ([list] { return ! list->directoryContentsList.isStillLoading(); }, 5000);
            list->setSelectedFile (juce::File (TAMBLIT_FIXTURE_SYNTH));
        }
        press ("Open") (dialog);
    };

    struct Case
    {
        const char* what;
        const char* answer;
        bool browse;
        bool choose;
    };
    const Case cases[] = {
        { "No", "No", false, false },
        { "Cancel", "Cancel", false, false },
        { "Yes, then the browser cancelled", "Yes", true, false },
        { "Yes, then a plug-in chosen", "Yes", true, true },
    };

    for (auto& row : cases)
    {
        SCOPED_TRACE (row.what);
        processor->unloadPlugin (0, false, true);
        console->clear();

        bool alertSeen = false, browserSeen = false;
        juce::File browserRoot;
        DialogScript script;
        script.then ([&] (juce::Component& c) { return dynamic_cast<juce::AlertWindow*> (&c) != nullptr && c.getName() == "Error"; },
                     [&] (juce::Component& c)
                     {
                         alertSeen = findButton (c, "Yes") && findButton (c, "No") && findButton (c, "Cancel");
                         press (row.answer) (c);
                     });
        if (row.browse)
            script.then (windowNamed ("Open file"),
                         [&] (juce::Component& c)
                         {
                             browserSeen = true;
                             if (row.choose)
                                 chooseSynth (c);
                             else
                                 press ("Cancel") (c);
                         });
        script.start();

        const bool loaded = load (0, missing);

        EXPECT_TRUE (script.allStepsDone());
        EXPECT_FALSE (script.timedOut());
        EXPECT_TRUE (alertSeen);
        EXPECT_EQ (browserSeen, row.browse);
        EXPECT_EQ (loaded, row.choose);
        if (row.choose)
        {
            EXPECT_EQ (processor->getPluginFilePath (0), juce::String (TAMBLIT_FIXTURE_SYNTH));
            EXPECT_TRUE (plays (render(), kIdentitySynth));
        }
        else
        {
            EXPECT_EQ (console->lines(), failedLoadLines (0, "", 0));
            EXPECT_EQ (processor->getAudioPluginInstance (0), nullptr);
            EXPECT_TRUE (silent (render()));
        }
    }
}

TEST_F (Slots, SwitchingMovesAudioAndLatency)
{
    processor->setSwitchFadeMs (0); // the cut: the next block is the new slot alone
    ASSERT_TRUE (load (0, TAMBLIT_FIXTURE_SYNTH));
    ASSERT_TRUE (load (1, TAMBLIT_FIXTURE_SYNTH8));
    // Loading the inactive slot changes neither what plays nor the latency.
    EXPECT_EQ (processor->getActivePlugin(), 0);
    EXPECT_EQ (processor->getLatencySamples(), 0);
    EXPECT_TRUE (plays (render(), kIdentitySynth));

    console->clear();
    EXPECT_TRUE (processor->changeActivePlugin (1));
    EXPECT_EQ (console->lines(), linesOf ({ kPrefix + ":" + logLines::changingActivePluginToIndex (1),
                                            kPrefix + ":" + logLines::successfullyChangedActivePluginToIndex (1) }));
    EXPECT_EQ (processor->getActivePlugin(), 1);
    EXPECT_EQ (processor->getLatencySamples(), kSynth8Latency);
    EXPECT_FALSE (processor->isSuspended());
    EXPECT_TRUE (plays (render(), kIdentitySynth8));

    // Already active: one line, true, nothing else.
    console->clear();
    EXPECT_TRUE (processor->changeActivePlugin (1));
    EXPECT_EQ (console->lines(), linesOf ({ kPrefix + ":" + logLines::changingActivePluginToIndex (1) }));

    EXPECT_TRUE (processor->changeActivePlugin (0));
    EXPECT_EQ (processor->getLatencySamples(), 0);
    EXPECT_TRUE (plays (render(), kIdentitySynth));

    // To an empty slot: refused, the active slot plays on.
    processor->unloadPlugin (1, false, true);
    console->clear();
    EXPECT_FALSE (processor->changeActivePlugin (1));
    EXPECT_EQ (console->lines(), linesOf ({ kPrefix + ":" + logLines::changingActivePluginToIndex (1),
                                            kPrefix + ":" + logLines::noPluginAvailableAtIndex (1) }));
    EXPECT_EQ (processor->getActivePlugin(), 0);
    EXPECT_TRUE (plays (render(), kIdentitySynth));
}

TEST_F (Slots, ReplacingAndUnloading)
{
    ASSERT_TRUE (load (0, TAMBLIT_FIXTURE_SYNTH));
    console->clear();

    // Replace with the 8-output synth: the old one goes first, then the aux buffer comes.
    ASSERT_TRUE (load (0, TAMBLIT_FIXTURE_SYNTH8));
    const auto lines = console->lines();
    const int unloading = lines.indexOf (kPrefix + ":" + logLines::unloadingPluginInIndex (0));
    ASSERT_GE (unloading, 0);
    EXPECT_EQ (unloading, lines.indexOf (logLines::synthMode) + 1);
    EXPECT_EQ (lines.indexOf (logLines::allocatingAuxBuffer), unloading + 1);
    EXPECT_EQ (lines[lines.size() - 1], kPrefix + ":" + logLines::activePlugin (0));
    EXPECT_EQ (processor->getLatencySamples(), kSynth8Latency);
    EXPECT_TRUE (plays (render(), kIdentitySynth8));

    // And back to the two-output synth, which runs directly again.
    ASSERT_TRUE (load (0, TAMBLIT_FIXTURE_SYNTH));
    EXPECT_EQ (processor->getLatencySamples(), 0);
    EXPECT_TRUE (plays (render(), kIdentitySynth));

    // Unloading the active slot: processing resumes and the host hears silence.
    console->clear();
    processor->unloadPlugin (0, false, true);
    EXPECT_EQ (console->lines(), linesOf ({ kPrefix + ":" + logLines::unloadingPluginInIndex (0) }));
    EXPECT_FALSE (processor->isSuspended());
    EXPECT_EQ (processor->getActivePlugin(), 0);
    EXPECT_EQ (processor->getName (0), "<none>");
    EXPECT_TRUE (silent (render()));
    EXPECT_TRUE (silent (render (17)));

    // Unloading an empty slot logs nothing.
    console->clear();
    processor->unloadPlugin (0, false, true);
    EXPECT_TRUE (console->lines().isEmpty());
}

TEST_F (Slots, AFreshLoadClearsTheCrashedMark)
{
    processor->setOption (1, false); // no automatic recovery while the test looks
    ASSERT_TRUE (load (0, TAMBLIT_FIXTURE_BRIDGE));

    auto* library = dlopen (TAMBLIT_FIXTURE_BRIDGE, RTLD_NOW | RTLD_NOLOAD);
    ASSERT_NE (library, nullptr);
    auto crashAll = reinterpret_cast<void (*)()> (dlsym (library, "tamblit_fixture_crash_all"));
    ASSERT_NE (crashAll, nullptr);
    crashAll();
    dlclose (library);

    ASSERT_TRUE (processor->checkIfPluginCrashed (0));
    ASSERT_TRUE (processor->isPluginCrashed (0));

    // A failed load keeps the crashed plug-in and its mark.
    EXPECT_FALSE (load (0, TAMBLIT_FIXTURE_EFFECT));
    EXPECT_TRUE (processor->isPluginCrashed (0));

    ASSERT_TRUE (load (0, TAMBLIT_FIXTURE_SYNTH));
    EXPECT_FALSE (processor->isPluginCrashed (0));
    EXPECT_TRUE (plays (render(), kIdentitySynth));
}

TEST_F (Slots, DebianSynthPlaysANoteInEitherSlot)
{
    if (! juce::File (kAmsynth).existsAsFile())
        GTEST_SKIP() << "amsynth is not installed";

    auto playsNote = [this]
    {
        float peak = 0.0f;
        for (int block = 0; block < 40; ++block)
        {
            const auto out = render (kBlock, block == 0 ? noteOn (60, 0) : juce::MidiBuffer());
            peak = juce::jmax (peak, out.getMagnitude (0, 0, kBlock), out.getMagnitude (1, 0, kBlock));
        }
        return peak;
    };

    ASSERT_TRUE (load (0, kAmsynth));
    EXPECT_TRUE (console->contains (logLines::channelMode (0, 2, 0, 2)));
    // Before any note it is silent, after a note-on it is not.
    EXPECT_LT (render().getMagnitude (0, kBlock), 1.0e-6f);
    EXPECT_GT (playsNote(), 1.0e-3f);

    // Into slot 1, made active after a synth with latency in slot 0.
    processor->unloadPlugin (0, false, true);
    ASSERT_TRUE (load (0, TAMBLIT_FIXTURE_SYNTH8));
    ASSERT_TRUE (load (1, kAmsynth));
    EXPECT_EQ (processor->getLatencySamples(), kSynth8Latency);
    ASSERT_TRUE (processor->changeActivePlugin (1));
    EXPECT_EQ (processor->getLatencySamples(), processor->getAudioPluginInstance (1)->getLatencySamples());
    EXPECT_NE (processor->getLatencySamples(), kSynth8Latency);
    EXPECT_GT (playsNote(), 1.0e-3f);
}
