// Audio keeps being rendered on its own thread, as a host's audio thread does,
// while the message thread loads, replaces, switches and unloads slots. Every
// block must be the active plug-in's signal, a mix of the two slots while a
// switch fades, or silence while processing is suspended or the active slot is
// empty.
#include "processor/PluginContainerAudioProcessor.h"
#include "support/TestHelpers.h"
#include "test_loading_support.h"
#include <gtest/gtest.h>
#include <atomic>
#include <cmath>
#include <iostream>
#include <thread>

using namespace loading_test;
using namespace tamblit::fixtures;

namespace
{
    struct RenderStats
    {
        std::atomic<int> blocks { 0 };
        std::atomic<int> played { 0 };
        std::atomic<int> silentSuspended { 0 };
        std::atomic<int> silentEmpty { 0 };
        std::atomic<int> mixed { 0 };
        std::atomic<int> wrong { 0 };
        juce::CriticalSection firstErrorLock;
        juce::String firstError;

        void fail (const juce::String& what)
        {
            ++wrong;
            const juce::ScopedLock sl (firstErrorLock);
            if (firstError.isEmpty())
                firstError = what;
        }
    };

    // One block as the wrapper renders it, classified against what the
    // container's state at that moment says the host must hear.
    void renderAndCheck (PluginContainerAudioProcessor& processor, juce::AudioBuffer<float>& buffer, RenderStats& stats)
    {
        juce::MidiBuffer midi;
        for (int c = 0; c < buffer.getNumChannels(); ++c)
            juce::FloatVectorOperations::fill (buffer.getWritePointer (c), 0.25f, buffer.getNumSamples());

        // The callback lock is re-entrant: holding it across the render keeps
        // the state read here and the state rendered the same.
        const juce::ScopedLock sl (processor.getCallbackLock());
        const bool suspended = processor.isSuspended();
        const bool switching = processor.isSwitching();
        float identity = -1.0f;
        if (! suspended)
        {
            if (auto* instance = processor.getAudioPluginInstance (processor.getActivePlugin()))
                identity = instance->getTotalNumOutputChannels() == 8 ? kIdentitySynth8 : kIdentitySynth;
        }

        testing_support::renderLikeWrapper (processor, buffer, midi);
        ++stats.blocks;

        const bool silence = buffer.getMagnitude (0, buffer.getNumSamples()) == 0.0f;
        if (switching && ! suspended)
        {
            // Two fixtures' constants faded into each other: never more than both at full level.
            const float most = initialDc (kIdentitySynth8, 1) + initialDc (kIdentitySynth8, 1);
            for (int c = 0; c < 2; ++c)
                for (int i = 0; i < buffer.getNumSamples(); ++i)
                    if (! (std::abs (buffer.getSample (c, i)) <= most))
                    {
                        stats.fail ("block " + juce::String (stats.blocks.load()) + " mixing two slots holds "
                                    + juce::String (buffer.getSample (c, i)));
                        return;
                    }
            ++stats.mixed;
        }
        else if (identity > 0.0f)
        {
            if (channelIsConstant (buffer, 0, initialDc (identity, 0)) && channelIsConstant (buffer, 1, initialDc (identity, 1)))
                ++stats.played;
            else
                stats.fail ("block " + juce::String (stats.blocks.load()) + " is not the active plug-in's signal: "
                            + juce::String (buffer.getSample (0, 0)) + " / " + juce::String (buffer.getSample (1, 0)));
        }
        else if (! silence)
        {
            stats.fail ("block " + juce::String (stats.blocks.load()) + " not silent without an active plug-in");
        }
        else if (suspended)
        {
            ++stats.silentSuspended;
        }
        else
        {
            ++stats.silentEmpty;
        }
    }
}

// Switches cut (each block is one plug-in's signal) or fade (a block may mix
// the two, and the plug-in leaving may be unloaded or replaced mid-fade).
class SlotConcurrencyFades : public ::testing::TestWithParam<int>
{
};

TEST_P (SlotConcurrencyFades, RenderingNeverSeesAHalfChangedSlot)
{
    auto processor = std::make_unique<PluginContainerAudioProcessor>();
    processor->setSwitchFadeMs (GetParam());
    processor->setRateAndBufferSizeDetails (48000.0, 256);
    processor->prepareToPlay (48000.0, 256);

    RenderStats stats;
    std::atomic<bool> stop { false };
    std::thread audio (
        [&]
        {
            juce::AudioBuffer<float> buffer (2, 256);
            while (! stop.load())
                renderAndCheck (*processor, buffer, stats);
        });

    const juce::String plugins[] = { TAMBLIT_FIXTURE_SYNTH, TAMBLIT_FIXTURE_SYNTH8 };
    juce::Random random (20240611);
    int loads = 0, unloads = 0, switches = 0, rejected = 0;
    const int operations = 300;

    for (int op = 0; op < operations; ++op)
    {
        const int slot = random.nextInt (2);
        switch (random.nextInt (10))
        {
            case 0:
            case 1:
            case 2:
            case 3: loads += processor->loadPlugin (slot, plugins[random.nextInt (2)], {}) ? 1 : 0; break;
            case 4:
            case 5:
                processor->unloadPlugin (slot, false, true);
                ++unloads;
                break;
            case 6:
            case 7:
            case 8: switches += processor->changeActivePlugin (slot) ? 1 : 0; break;
            default:
                // A load the fit rule refuses must not disturb the audio either.
                rejected += processor->loadPlugin (slot, TAMBLIT_FIXTURE_EFFECT, {}) ? 0 : 1;
                break;
        }

        EXPECT_FALSE (processor->isSuspended()) << "operation " << op;

        // Let the audio thread render at least one block between operations.
        const int before = stats.blocks.load();
        for (int waited = 0; stats.blocks.load() <= before && waited < 2000; ++waited)
            std::this_thread::sleep_for (std::chrono::milliseconds (1));
        if (op % 25 == 0)
            testing_support::runLoopFor (1);
    }

    stop = true;
    audio.join();

    std::cerr << "blocks " << stats.blocks << ", played " << stats.played << ", silent while suspended " << stats.silentSuspended
              << ", silent with the active slot empty " << stats.silentEmpty << ", mixing two slots " << stats.mixed << "; loads " << loads
              << ", unloads " << unloads << ", switches " << switches << ", refused " << rejected << "\n";
    EXPECT_EQ (stats.wrong.load(), 0) << stats.firstError;
    EXPECT_GT (stats.played.load(), 0);
    EXPECT_GE (stats.blocks.load(), operations);
    EXPECT_GT (loads, 50);
    EXPECT_GT (unloads, 20);
    EXPECT_GT (switches, 20);
    EXPECT_GT (rejected, 5);
    if (GetParam() > 0)
    {
        EXPECT_GT (stats.mixed.load(), 0);
    }
    else
    {
        EXPECT_EQ (stats.mixed.load(), 0);
    }

    processor.reset();
}

INSTANTIATE_TEST_SUITE_P (CutAndFade, SlotConcurrencyFades, ::testing::Values (0, 20));

// Hosts save from threads of their own (autosave) while the user loads,
// unloads and recovers slots: a save reads the slots on the host's thread and
// must never see a plug-in that is being deleted, nor give a damaged document.
TEST (SlotConcurrency, SavesFromAHostThreadWhileSlotsChange)
{
    auto processor = std::make_unique<PluginContainerAudioProcessor>();
    processor->setRateAndBufferSizeDetails (48000.0, 256);
    processor->prepareToPlay (48000.0, 256);
    processor->setOption (3, true);

    std::atomic<bool> stop { false };
    std::atomic<int> saves { 0 }, damaged { 0 }, withSlots { 0 };
    std::thread host (
        [&]
        {
            while (! stop.load())
            {
                juce::MemoryBlock block;
                processor->getStateInformation (block);
                auto root = juce::XmlDocument::parse (
                    juce::String::fromUTF8 (static_cast<const char*> (block.getData()), (int) block.getSize()));
                ++saves;
                if (root == nullptr || ! root->hasTagName ("pluginData"))
                {
                    ++damaged;
                    continue;
                }
                for (auto* slot : root->getChildWithTagNameIterator ("plugin"))
                {
                    const auto path = slot->getStringAttribute ("filePath");
                    if (path != TAMBLIT_FIXTURE_SYNTH && path != TAMBLIT_FIXTURE_SYNTH8)
                        ++damaged;
                    ++withSlots;
                }
            }
        });

    const juce::String plugins[] = { TAMBLIT_FIXTURE_SYNTH, TAMBLIT_FIXTURE_SYNTH8 };
    juce::Random random (20261210);
    for (int op = 0; op < 200; ++op)
    {
        const int slot = random.nextInt (2);
        switch (random.nextInt (4))
        {
            case 0:
            case 1: processor->loadPlugin (slot, plugins[random.nextInt (2)], {}); break;
            case 2: processor->unloadPlugin (slot, false, true); break;
            default: processor->recoverPlugin (slot); break;
        }
        const int before = saves.load();
        for (int waited = 0; saves.load() <= before && waited < 2000; ++waited)
            std::this_thread::sleep_for (std::chrono::milliseconds (1));
    }

    stop = true;
    host.join();
    std::cerr << "saves " << saves << ", plugin elements " << withSlots << "\n";
    EXPECT_EQ (damaged.load(), 0);
    EXPECT_GE (saves.load(), 200);
    EXPECT_GT (withSlots.load(), 100);
    processor.reset();
}
