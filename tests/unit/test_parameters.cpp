// Host parameters and programs: 1024 parameters mapped index for index onto the
// active slot's plug-in, falling back to 0.0 and empty texts past its own count,
// and no programs of the container's own. Checked on the processor and through
// the built .so as a raw VST 2.x host sees it.
#include "processor/PluginContainerAudioProcessor.h"
#include "processor/StateCodec.h"
#include "FixtureSignal.h"
#include "RawVstHost.h"
#include <gtest/gtest.h>
#include <cstdio>
#include <functional>

using namespace tamblit::fixtures;

namespace
{
    constexpr const char* kNames[kNumParams] = { "Level", "Offset", "Tone", "Color", "Width", "Drive", "Speed", "Depth", "Mix", "Extra" };

    // What the fixture shows for parameter `index` holding `value`.
    juce::String fixtureText (int index, float value)
    {
        char text[32];
        std::snprintf (text, sizeof (text), "P%d=%.3f", index, (double) value);
        return text;
    }

    std::unique_ptr<PluginContainerAudioProcessor> makeProcessor ()
    {
        auto processor = std::make_unique<PluginContainerAudioProcessor>();
        processor->setRateAndBufferSizeDetails (48000.0, 256);
        processor->prepareToPlay (48000.0, 256);
        return processor;
    }

    float hostedValue (PluginContainerAudioProcessor& processor, int slot, int index)
    {
        return processor.getAudioPluginInstance (slot)->getParameters()[index]->getValue();
    }

    void setHostedValue (PluginContainerAudioProcessor& processor, int slot, int index, float value)
    {
        processor.getAudioPluginInstance (slot)->getParameters()[index]->setValue (value);
    }

    // Every container index from `first` up to 1023 (and the out-of-range
    // neighbours) reads 0.0 with empty texts, and writing it changes nothing.
    void expectFallbackFrom (PluginContainerAudioProcessor& processor, int first)
    {
        JUCE_BEGIN_IGNORE_WARNINGS_GCC_LIKE ("-Wdeprecated-declarations")
        juce::AudioProcessor& base = processor; // the length-limited forms are JUCE's own
        int wrong = 0;
        for (int index = first; index <= PluginContainerAudioProcessor::numContainerParameters; ++index)
        {
            const int i = index == PluginContainerAudioProcessor::numContainerParameters ? -1 : index;
            processor.setParameter (i, 0.77f);
            const bool ok = processor.getParameter (i) == 0.0f && processor.getParameterName (i).isEmpty()
                            && processor.getParameterText (i).isEmpty() && base.getParameterName (i, 8).isEmpty()
                            && base.getParameterText (i, 8).isEmpty();
            if (! ok && wrong++ < 5)
                ADD_FAILURE() << "index " << i << " does not fall back: " << processor.getParameter (i) << " \""
                              << processor.getParameterName (i) << "\" \"" << processor.getParameterText (i) << "\"";
        }
        EXPECT_EQ (wrong, 0);
        JUCE_END_IGNORE_WARNINGS_GCC_LIKE
    }
}

JUCE_BEGIN_IGNORE_WARNINGS_GCC_LIKE ("-Wdeprecated-declarations")

TEST (ParameterForwarding, EmptyContainerShows1024ParametersThatReadZero)
{
    auto processor = makeProcessor();
    EXPECT_EQ (processor->getNumParameters(), 1024);
    expectFallbackFrom (*processor, 0);
}

TEST (ParameterForwarding, FixtureParametersAreForwardedIndexForIndex)
{
    auto processor = makeProcessor();
    ASSERT_TRUE (processor->loadPlugin (0, TAMBLIT_FIXTURE_SYNTH, {}));
    EXPECT_EQ (processor->getNumParameters(), 1024);

    for (int i = 0; i < kNumParams; ++i)
    {
        SCOPED_TRACE (i);
        EXPECT_EQ (processor->getParameterName (i), kNames[i]);
        EXPECT_EQ (static_cast<juce::AudioProcessor&> (*processor).getParameterName (i, 3), juce::String (kNames[i]).substring (0, 3));
        EXPECT_EQ (processor->getParameter (i), presetValue (0, i));
        EXPECT_EQ (processor->getParameterText (i), fixtureText (i, presetValue (0, i)));

        // Odd values check that nothing is scaled or rounded on the way.
        const float value = 0.0123f + 0.0987f * (float) i;
        processor->setParameter (i, value);
        EXPECT_EQ (hostedValue (*processor, 0, i), value);
        EXPECT_EQ (processor->getParameter (i), value);
        EXPECT_EQ (processor->getParameterText (i), fixtureText (i, value));
    }

    float before[kNumParams];
    for (int i = 0; i < kNumParams; ++i)
        before[i] = hostedValue (*processor, 0, i);

    expectFallbackFrom (*processor, kNumParams);

    for (int i = 0; i < kNumParams; ++i)
        EXPECT_EQ (hostedValue (*processor, 0, i), before[i]) << "a write past the plug-in's count reached parameter " << i;
}

TEST (ParameterForwarding, TheSameIndexFollowsTheActiveSlot)
{
    auto processor = makeProcessor();
    ASSERT_TRUE (processor->loadPlugin (0, TAMBLIT_FIXTURE_SYNTH, {}));
    processor->setParameter (3, 0.2f);

    // Loading the inactive slot leaves the host on slot 0.
    ASSERT_TRUE (processor->loadPlugin (1, TAMBLIT_FIXTURE_SYNTH8, {}));
    EXPECT_EQ (processor->getParameter (3), 0.2f);
    setHostedValue (*processor, 1, 3, 0.7f);
    EXPECT_EQ (processor->getParameter (3), 0.2f);

    ASSERT_TRUE (processor->changeActivePlugin (1));
    EXPECT_EQ (processor->getParameter (3), 0.7f);
    EXPECT_EQ (processor->getParameterText (3), "P3=0.700");
    EXPECT_EQ (processor->getParameterName (3), "Color");

    processor->setParameter (3, 0.4f);
    EXPECT_EQ (hostedValue (*processor, 1, 3), 0.4f);
    EXPECT_EQ (hostedValue (*processor, 0, 3), 0.2f) << "a write after the switch reached the inactive slot";

    ASSERT_TRUE (processor->changeActivePlugin (0));
    EXPECT_EQ (processor->getParameter (3), 0.2f);

    // Unloading the active slot leaves the host on an empty slot: everything falls back.
    processor->unloadPlugin (0, false, true);
    expectFallbackFrom (*processor, 0);

    ASSERT_TRUE (processor->changeActivePlugin (1));
    EXPECT_EQ (processor->getParameter (3), 0.4f);

    // A crashed slot reloaded from its file is reached again, as a fresh instance.
    processor->recoverPlugin (1);
    ASSERT_NE (processor->getAudioPluginInstance (1), nullptr);
    setHostedValue (*processor, 1, 3, 0.9f);
    EXPECT_EQ (processor->getParameter (3), 0.9f);
}

TEST (ParameterForwarding, ARestoredStateRedirectsToItsActiveSlot)
{
    auto processor = makeProcessor();
    ContainerState state;
    state.settings.activeSlot = 1;
    state.settings.options = { { false, false, false, true } };
    state.settings.instanceName = "params";
    state.slots[0].emplace().filePath = TAMBLIT_FIXTURE_SYNTH;
    state.slots[1].emplace().filePath = TAMBLIT_FIXTURE_SYNTH;
    const auto document = writeContainerState (state);

    // Slot 0 active before the restore; the document makes slot 1 active.
    ASSERT_TRUE (processor->loadPlugin (0, TAMBLIT_FIXTURE_SYNTH, {}));
    processor->setStateInformation (document.toRawUTF8(), (int) document.getNumBytesAsUTF8());
    ASSERT_EQ (processor->getActivePlugin(), 1);
    ASSERT_NE (processor->getAudioPluginInstance (0), nullptr);
    ASSERT_NE (processor->getAudioPluginInstance (1), nullptr);

    setHostedValue (*processor, 0, 3, 0.11f);
    setHostedValue (*processor, 1, 3, 0.66f);
    EXPECT_EQ (processor->getParameter (3), 0.66f);
}

TEST (ParameterForwarding, ContainerShowsNoProgramsWhateverTheSlotsHold)
{
    auto processor = makeProcessor();
    EXPECT_EQ (processor->getNumPrograms(), 0);
    EXPECT_EQ (processor->getCurrentProgram(), 0);

    ASSERT_TRUE (processor->loadPlugin (0, TAMBLIT_FIXTURE_SYNTH, {}));
    ASSERT_TRUE (processor->loadPlugin (1, TAMBLIT_FIXTURE_SYNTH, {}));
    auto* first = processor->getAudioPluginInstance (0);
    auto* second = processor->getAudioPluginInstance (1);
    ASSERT_EQ (first->getNumPrograms(), kNumPrograms);
    first->setCurrentProgram (2);
    second->setCurrentProgram (3);

    for (int active : { 0, 1 })
    {
        SCOPED_TRACE (active);
        ASSERT_TRUE (processor->changeActivePlugin (active));
        EXPECT_EQ (processor->getNumPrograms(), 0);
        EXPECT_EQ (processor->getCurrentProgram(), 0);
        for (int program = 0; program < kNumPrograms; ++program)
            EXPECT_TRUE (processor->getProgramName (program).isEmpty()) << program;

        // The host's program calls do not reach the hosted plug-ins.
        processor->setCurrentProgram (1);
        processor->changeProgramName (2, "Renamed");
        EXPECT_EQ (first->getCurrentProgram(), 2);
        EXPECT_EQ (second->getCurrentProgram(), 3);
        EXPECT_EQ (first->getProgramName (2), kProgramNames[2]);
        EXPECT_EQ (processor->getCurrentProgram(), 0);
    }
}

TEST (ParameterForwarding, CountsStayFixedThroughSlotChanges)
{
    auto processor = makeProcessor();
    auto& p = *processor;
    const std::pair<const char*, std::function<void()>> steps[] = {
        { "load slot 0", [&p] { EXPECT_TRUE (p.loadPlugin (0, TAMBLIT_FIXTURE_SYNTH, {})); } },
        { "load slot 1", [&p] { EXPECT_TRUE (p.loadPlugin (1, TAMBLIT_FIXTURE_SYNTH8, {})); } },
        { "switch to 1", [&p] { EXPECT_TRUE (p.changeActivePlugin (1)); } },
        { "replace slot 1", [&p] { EXPECT_TRUE (p.loadPlugin (1, TAMBLIT_FIXTURE_SYNTH, {})); } },
        { "unload slot 1", [&p] { p.unloadPlugin (1, false, true); } },
        { "switch to 0", [&p] { EXPECT_TRUE (p.changeActivePlugin (0)); } },
        { "unload slot 0", [&p] { p.unloadPlugin (0, false, true); } },
    };

    for (auto& step : steps)
    {
        SCOPED_TRACE (step.first);
        step.second();
        EXPECT_EQ (p.getNumParameters(), 1024);
        EXPECT_EQ (p.getNumPrograms(), 0);
        EXPECT_EQ (p.getCurrentProgram(), 0);
    }
}

JUCE_END_IGNORE_WARNINGS_GCC_LIKE

namespace
{
    // A state document naming both slots with the fixture synth, each with its
    // own value for parameter 3 (saved parameters are given by position).
    std::vector<char> chunkFor (int active, float slot0Param3, float slot1Param3)
    {
        ContainerState state;
        state.settings.activeSlot = active;
        state.settings.options = { { false, false, false, true } };
        state.settings.instanceName = "raw params";
        const float values[2] = { slot0Param3, slot1Param3 };
        for (size_t slot = 0; slot < 2; ++slot)
        {
            auto& saved = state.slots[slot].emplace();
            saved.filePath = TAMBLIT_FIXTURE_SYNTH;
            saved.parameters.addArray ({ 0.5f, 0.0f, 0.5f, values[slot] });
        }
        const auto text = writeContainerState (state);
        return std::vector<char> (text.toRawUTF8(), text.toRawUTF8() + text.getNumBytesAsUTF8());
    }
}

TEST (ParameterForwardingThroughVst, RawHostReachesTheActiveSlotsParameters)
{
    RawVstHost host;
    std::string error;
    ASSERT_TRUE (host.load (TAMBLIT_PLUGIN_PATH, error)) << error;
    host.start (48000.0f, 256);
    AEffect* fx = host.effect();

    EXPECT_EQ (fx->numParams, 1024);
    EXPECT_EQ (host.dispatch (effGetProgram), 0);

    struct Probe
    {
        int index;
        float value;
        std::string name, display;
    };
    auto expectParameters = [&] (const std::vector<Probe>& probes)
    {
        for (auto& probe : probes)
        {
            SCOPED_TRACE (probe.index);
            EXPECT_EQ (fx->getParameter (fx, probe.index), probe.value);
            EXPECT_EQ (host.getString (effGetParamName, probe.index), probe.name);
            EXPECT_EQ (host.getString (effGetParamDisplay, probe.index), probe.display);
        }
    };

    // Empty container: everything falls back, writes are ignored.
    fx->setParameter (fx, 3, 0.5f);
    expectParameters ({ { 0, 0.0f, "", "" }, { 3, 0.0f, "", "" }, { 1023, 0.0f, "", "" } });

    host.setChunk (chunkFor (0, 0.125f, 0.5f));
    expectParameters ({ { 0, 0.5f, "Level", "P0=0.500" },
                        { 3, 0.125f, "Color", "P3=0.125" },
                        { 4, presetValue (0, 4), "Width", "P4=0.040" },
                        { 9, presetValue (0, 9), "Extra", fixtureText (9, presetValue (0, 9)).toStdString() },
                        { 10, 0.0f, "", "" },
                        { 1023, 0.0f, "", "" } });

    fx->setParameter (fx, 3, 0.25f);
    fx->setParameter (fx, 10, 0.75f);
    expectParameters ({ { 3, 0.25f, "Color", "P3=0.250" }, { 10, 0.0f, "", "" } });

    // The restored document makes slot 1 active: index 3 is now its parameter 3.
    host.setChunk (chunkFor (1, 0.125f, 0.5f));
    expectParameters ({ { 3, 0.5f, "Color", "P3=0.500" }, { 10, 0.0f, "", "" } });
    EXPECT_EQ (fx->numParams, 1024);
    EXPECT_EQ (host.dispatch (effGetProgram), 0);
    EXPECT_EQ (host.getString (effGetProgramName), "");

    host.stop();
}
