// Nothing lost around a crash. A bridged plug-in with a state chunk dies (or
// hangs, or cannot be reloaded, or dies taking its state); whatever the host
// does next, saving and reopening or pressing "Recover", the plug-in comes back
// with the chunk, program and parameter values of its last good state.
#include "FixtureCrasher.h"
#include "console/LogLines.h"
#include "processor/PluginContainerAudioProcessor.h"
#include "crash/AudioProcessorState.h"
#include "support/TestHelpers.h"
#include "test_bridge_support.h"
#include <cstdio>
#include <cstdlib>

using namespace testing_support;
using namespace bridge_test;
namespace fx = tamblit::fixtures;

namespace
{
    constexpr int crashFoundMs = 3000; // the hang bound (500 ms) and a loaded machine

    struct PluginState
    {
        juce::MemoryBlock chunk;
        int program = -1;
        juce::Array<float> parameters;
    };

    PluginState stateOf (juce::AudioPluginInstance& instance)
    {
        PluginState state;
        instance.getStateInformation (state.chunk);
        state.program = instance.getCurrentProgram();
        for (auto* parameter : instance.getParameters())
            state.parameters.add (parameter->getValue());
        return state;
    }

    void expectSameState (juce::AudioPluginInstance* instance, const PluginState& expected)
    {
        ASSERT_NE (instance, nullptr);
        const auto actual = stateOf (*instance);
        EXPECT_TRUE (actual.chunk == expected.chunk)
            << "chunk of " << actual.chunk.getSize() << " bytes, expected " << expected.chunk.getSize();
        EXPECT_EQ (actual.program, expected.program);
        ASSERT_EQ (actual.parameters.size(), expected.parameters.size());
        for (int i = 0; i < expected.parameters.size(); ++i)
            EXPECT_EQ (actual.parameters[i], expected.parameters[i]) << "parameter " << i;
    }

    std::unique_ptr<PluginContainerAudioProcessor> newContainer ()
    {
        auto processor = std::make_unique<PluginContainerAudioProcessor>();
        processor->setPlayConfigDetails (0, 2, 48000.0, 256);
        processor->prepareToPlay (48000.0, 256);
        return processor;
    }

    juce::MemoryBlock save (PluginContainerAudioProcessor& processor)
    {
        juce::MemoryBlock block;
        processor.getStateInformation (block);
        return block;
    }

    bool crashFound (PluginContainerAudioProcessor& processor)
    {
        return runLoopUntil ([&] { return processor.checkIfPluginCrashed (0); }, crashFoundMs);
    }

    // A bridged copy of the crasher in a folder of its own, so a row can take it away.
    std::string privateCopy (const std::string& name)
    {
        const std::string dir = folder() + "/" + name;
        juce::File (dir).createDirectory();
        std::string output;
        EXPECT_EQ (runWrap (TAMBLIT_FIXTURE_CRASHER, dir, &output), 0) << output;
        return dir + "/fixture-crasher.so";
    }

}

TEST (NoLossAroundACrash, SaveAndRecoverBringBackTheLastGoodState)
{
    enum class Moment
    {
        segfault,
        hang,
        reloadFails,
        diesTakingState
    };
    struct Row
    {
        const char* what;
        Moment moment;
    };
    const Row rows[] = {
        { "bridged plug-in segfaults", Moment::segfault },
        { "bridged plug-in hangs", Moment::hang },
        { "recovery fails because the file is gone", Moment::reloadFails },
        { "plug-in crashes inside setStateInformation", Moment::diesTakingState },
    };

    for (auto& row : rows)
    {
        SCOPED_TRACE (row.what);
        const std::string copy = privateCopy (std::string ("row") + juce::String ((int) row.moment).toStdString());

        // The sound the musician built, saved by the host: the last good state.
        juce::MemoryBlock goodDocument;
        PluginState good;
        {
            auto builder = newContainer();
            ASSERT_TRUE (builder->loadPlugin (0, copy.c_str(), ""));
            auto* instance = builder->getAudioPluginInstance (0);
            instance->setCurrentProgram (2);
            instance->changeProgramName (2, "Kept sound");
            instance->getParameters()[4]->setValue (0.8125f);
            instance->getParameters()[7]->setValue (0.25f);
            goodDocument = save (*builder);
            good = stateOf (*instance);
            ASSERT_GT (good.chunk.getSize(), 0u);
        }

        std::unique_ptr<PluginContainerAudioProcessor> processor;
        if (row.moment == Moment::diesTakingState)
        {
            // The project is reopened and the plug-in dies while it takes its chunk.
            ScopedEnvironment dies (fx::kCrasherSetChunkVariable, "1");
            processor = newContainer();
            processor->setStateInformation (goodDocument.getData(), (int) goodDocument.getSize());
        }
        else
        {
            processor = newContainer();
            processor->setStateInformation (goodDocument.getData(), (int) goodDocument.getSize());
            ASSERT_NE (processor->getAudioPluginInstance (0), nullptr);
            renderWithNote (*processor, -1);
            renderWithNote (*processor, row.moment == Moment::hang ? fx::kCrasherNoteHang : fx::kCrasherNoteSegfault);
        }
        ASSERT_TRUE (crashFound (*processor));

        if (row.moment == Moment::reloadFails)
        {
            ASSERT_EQ (std::rename (copy.c_str(), (copy + ".away").c_str()), 0);
            processor->recoverPluginUnattended (0);
            EXPECT_EQ (processor->getAudioPluginInstance (0), nullptr) << "the reload failed";
            ASSERT_EQ (std::rename ((copy + ".away").c_str(), copy.c_str()), 0);
        }

        // The host saves now (an autosave after the crash) and the project is reopened.
        const auto afterCrash = save (*processor);
        const auto text = juce::String::fromUTF8 (static_cast<const char*> (afterCrash.getData()), (int) afterCrash.getSize());
        EXPECT_TRUE (text.contains (juce::String (copy))) << text;
        {
            auto reopened = newContainer();
            reopened->setStateInformation (afterCrash.getData(), (int) afterCrash.getSize());
            SCOPED_TRACE ("saved after the crash, then reopened");
            expectSameState (reopened->getAudioPluginInstance (0), good);
        }

        // The user presses "Recover" with "Reload crashed plugin data" on.
        processor->setOption (3, true);
        processor->recoverPlugin (0);
        {
            SCOPED_TRACE ("recovered");
            expectSameState (processor->getAudioPluginInstance (0), good);
            EXPECT_FALSE (processor->isPluginCrashed (0));
        }
    }
}

TEST (NoLossAroundACrash, WatchdogRecoversTheSameShellSubPluginWithoutADialog)
{
    const std::string copy = bridged (TAMBLIT_FIXTURE_SHELL);
    auto processor = newContainer();
    ConsoleLines lines (*processor);
    ASSERT_TRUE (processor->loadPlugin (0, copy.c_str(), fx::kShellSubNames[4])); // Delta, not the file's first
    processor->setOption (1, true);

    const auto worker = workerOf (processor->getAudioPluginInstance (0));
    ASSERT_TRUE (processAlive (worker));
    ASSERT_EQ (kill (worker, SIGSEGV), 0);

    bool dialogSeen = false;
    ASSERT_TRUE (runLoopUntil (
        [&]
        {
            dialogSeen = dialogSeen || juce::ModalComponentManager::getInstance()->getNumModalComponents() > 0;
            return lines.contains (logLines::recoveringPlugin (0, "default instance")) && processor->getAudioPluginInstance (0) != nullptr
                   && ! processor->isPluginCrashed (0);
        },
        4000));
    EXPECT_FALSE (dialogSeen);
    EXPECT_EQ (processor->getName (0), juce::String (fx::kShellSubNames[4]));

    juce::AudioBuffer<float> buffer (2, 256);
    juce::MidiBuffer midi;
    buffer.clear();
    renderLikeWrapper (*processor, buffer, midi);
    EXPECT_EQ (buffer.getSample (1, 10), fx::fixtureDc (fx::kIdentityShellSub[4], 1, fx::presetValue (0, fx::kParamLevel), 0.0f));
}

TEST (NoLossAroundACrash, AMissingSubPluginLeavesTheSlotEmptyAndSaysSo)
{
    auto processor = newContainer();
    ConsoleLines lines (*processor);
    EXPECT_FALSE (processor->loadPlugin (0, TAMBLIT_FIXTURE_SHELL, "Omega"));
    EXPECT_EQ (processor->getAudioPluginInstance (0), nullptr);
    EXPECT_TRUE (lines.contains ("default instance:" + logLines::noLongerHoldsPlugin (TAMBLIT_FIXTURE_SHELL, "Omega")));
}
