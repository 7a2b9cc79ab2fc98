// Crash detection, the watchdog's automatic switch and recovery, and snapshots,
// driven by the real 1000 ms watchdog timer on the real message loop.
#include "FixtureSignal.h"
#include "console/LogLines.h"
#include "crash/AudioProcessorState.h"
#include "crash/CrashWatchDog.h"
#include "processor/ContainerProcess.h"
#include "processor/PluginContainerAudioProcessor.h"
#include "support/TestHelpers.h"
#include <gtest/gtest.h>
#include <atomic>
#include <dlfcn.h>
#include <thread>
#include <type_traits>

using namespace testing_support;
namespace fx = tamblit::fixtures;

namespace
{
    const juce::String warning0 = logLines::seemsToHaveCrashed (0, "default instance");
    const juce::String warning1 = logLines::seemsToHaveCrashed (1, "default instance");

    // Calls a control function of a fixture the container has loaded. The
    // reference taken here is dropped again, so the library still goes away
    // with the last hosted instance.
    template <typename Signature, typename... Args>
    auto callFixture (const char* path, const char* name, Args... args)
    {
        using Result = decltype (std::declval<Signature*>() (args...));
        void* handle = dlopen (path, RTLD_NOW | RTLD_NOLOAD);
        auto* function = handle != nullptr ? reinterpret_cast<Signature*> (dlsym (handle, name)) : nullptr;
        EXPECT_NE (function, nullptr) << path << " " << name;
        if constexpr (std::is_void_v<Result>)
        {
            if (function != nullptr)
                function (args...);
            if (handle != nullptr)
                dlclose (handle);
        }
        else
        {
            Result result = function != nullptr ? function (args...) : Result {};
            if (handle != nullptr)
                dlclose (handle);
            return result;
        }
    }

    void crashAll (const char* path)
    {
        callFixture<void()> (path, "tamblit_fixture_crash_all");
    }
    int liveInstances (const char* path)
    {
        return callFixture<int()> (path, "tamblit_fixture_live_instances");
    }

    // One tick is 1000 ms; allow for timer jitter on a loaded machine.
    constexpr int oneTickMs = 1600;

    struct Crash : ::testing::Test
    {
        void SetUp () override
        {
            processor = std::make_unique<PluginContainerAudioProcessor>();
            processor->setPlayConfigDetails (0, 2, 48000.0, 256);
            processor->prepareToPlay (48000.0, 256);
            lines = std::make_unique<ConsoleLines> (*processor);
        }

        void TearDown () override
        {
            lines.reset();
            processor.reset();
        }

        void load (int slot, const char* path) { ASSERT_TRUE (processor->loadPlugin (slot, path, "")) << path; }

        std::unique_ptr<PluginContainerAudioProcessor> processor;
        std::unique_ptr<ConsoleLines> lines;
    };
}

TEST_F (Crash, HealthyPluginsAreNeverMarkedAndNothingIsLogged)
{
    load (0, TAMBLIT_FIXTURE_BRIDGE);
    load (1, TAMBLIT_FIXTURE_BRIDGE_B);
    processor->setOption (1, true);
    lines->clear();

    runLoopFor (2300);

    EXPECT_FALSE (processor->isPluginCrashed (0));
    EXPECT_FALSE (processor->isPluginCrashed (1));
    EXPECT_EQ (lines->lines().size(), 0) << lines->lines().joinIntoString ("\n");
}

TEST_F (Crash, OnlyAnAnswerOfExactlyOneMeansCrashed)
{
    load (0, TAMBLIT_FIXTURE_ODDPROBE);
    auto setAnswer = [] (long answer) { callFixture<void (long)> (TAMBLIT_FIXTURE_ODDPROBE, "tamblit_fixture_set_probe_answer", answer); };

    for (long answer : { 0L, 2L, -1L })
    {
        setAnswer (answer);
        EXPECT_FALSE (processor->checkIfPluginCrashed (0)) << answer;
    }
    EXPECT_FALSE (lines->contains (warning0));

    setAnswer (1);
    EXPECT_TRUE (processor->checkIfPluginCrashed (0));
    EXPECT_TRUE (lines->contains (warning0));

    // The flag stays until a load, whatever later probes answer.
    setAnswer (0);
    EXPECT_TRUE (processor->checkIfPluginCrashed (0));
    setAnswer (2);
}

TEST_F (Crash, MarkedSlotWithBothOptionsOffIsLoggedEveryTickAndLeftAlone)
{
    load (0, TAMBLIT_FIXTURE_BRIDGE);
    load (1, TAMBLIT_FIXTURE_BRIDGE_B);
    processor->setOption (1, false);
    processor->setOption (2, false);
    auto* before = processor->getAudioPluginInstance (0);

    crashAll (TAMBLIT_FIXTURE_BRIDGE);
    ASSERT_TRUE (runLoopUntil ([&] { return lines->count (warning0) >= 2; }, 2 * oneTickMs + 500));

    EXPECT_TRUE (processor->isPluginCrashed (0));
    EXPECT_FALSE (processor->isPluginCrashed (1));
    EXPECT_EQ (processor->getActivePlugin(), 0);
    EXPECT_EQ (processor->getAudioPluginInstance (0), before);
    EXPECT_FALSE (lines->contains (logLines::recoveringPlugin (0, "default instance")));
}

TEST_F (Crash, CrashedActiveSlotGivesWayToTheHealthyOtherSlotWithinOneTick)
{
    load (0, TAMBLIT_FIXTURE_BRIDGE);
    load (1, TAMBLIT_FIXTURE_BRIDGE_B);
    ASSERT_EQ (processor->getActivePlugin(), 0);

    crashAll (TAMBLIT_FIXTURE_BRIDGE);
    ASSERT_TRUE (runLoopUntil ([&] { return processor->getActivePlugin() == 1; }, oneTickMs));

    EXPECT_TRUE (lines->contains ("default instance:" + logLines::successfullyChangedActivePluginToIndex (1)));
    EXPECT_TRUE (processor->isPluginCrashed (0));
    // Never switches back by itself, and without option 1 nothing is reloaded.
    runLoopFor (1200);
    EXPECT_EQ (processor->getActivePlugin(), 1);
    EXPECT_TRUE (processor->isPluginCrashed (0));
}

TEST_F (Crash, NoSwitchWhenTheOtherSlotIsEmptyOrCrashed)
{
    load (0, TAMBLIT_FIXTURE_BRIDGE);
    crashAll (TAMBLIT_FIXTURE_BRIDGE);
    ASSERT_TRUE (runLoopUntil ([&] { return processor->isPluginCrashed (0); }, oneTickMs));
    runLoopFor (300);
    EXPECT_EQ (processor->getActivePlugin(), 0);

    load (1, TAMBLIT_FIXTURE_BRIDGE_B);
    crashAll (TAMBLIT_FIXTURE_BRIDGE_B);
    ASSERT_TRUE (runLoopUntil ([&] { return processor->isPluginCrashed (1); }, oneTickMs));
    runLoopFor (300);
    EXPECT_EQ (processor->getActivePlugin(), 0);
    EXPECT_FALSE (lines->contains ("default instance:" + logLines::changingActivePluginToIndex (1)));
}

TEST_F (Crash, CrashedInactiveSlotIsRecoveredAndStaysInactive)
{
    load (0, TAMBLIT_FIXTURE_BRIDGE);
    load (1, TAMBLIT_FIXTURE_BRIDGE_B);
    processor->setOption (1, true);

    crashAll (TAMBLIT_FIXTURE_BRIDGE_B);
    ASSERT_TRUE (runLoopUntil ([&] { return lines->contains (logLines::recoveringPlugin (1, "default instance")); }, oneTickMs));

    EXPECT_EQ (processor->getActivePlugin(), 0);
    EXPECT_FALSE (processor->isPluginCrashed (1));
    ASSERT_NE (processor->getAudioPluginInstance (1), nullptr);
    EXPECT_EQ (liveInstances (TAMBLIT_FIXTURE_BRIDGE_B), 1);
    EXPECT_EQ (processor->checkIfPluginCrashed (1), false) << "the reloaded instance starts healthy";
}

TEST_F (Crash, BothOptionsOnSwitchFirstThenReloadTheCrashedSlot)
{
    load (0, TAMBLIT_FIXTURE_BRIDGE);
    load (1, TAMBLIT_FIXTURE_BRIDGE_B);
    processor->setOption (1, true);

    crashAll (TAMBLIT_FIXTURE_BRIDGE);
    ASSERT_TRUE (runLoopUntil ([&] { return lines->contains (logLines::recoveringPlugin (0, "default instance")); }, oneTickMs));

    const auto all = lines->lines();
    const int switched = all.indexOf ("default instance:" + logLines::successfullyChangedActivePluginToIndex (1));
    const int recovered = all.indexOf (logLines::recoveringPlugin (0, "default instance"));
    ASSERT_GE (switched, 0);
    EXPECT_LT (switched, recovered);
    EXPECT_EQ (processor->getActivePlugin(), 1);
    EXPECT_FALSE (processor->isPluginCrashed (0));
    EXPECT_NE (processor->getAudioPluginInstance (0), nullptr);
}

namespace
{
    struct HostedValues
    {
        int program;
        std::vector<float> parameters;
        juce::MemoryBlock state;
    };

    HostedValues readHosted (juce::AudioPluginInstance& instance)
    {
        HostedValues values { instance.getCurrentProgram(), {}, {} };
        for (auto* p : instance.getParameters())
            values.parameters.push_back (p->getValue());
        instance.getStateInformation (values.state);
        return values;
    }

    void changeHosted (juce::AudioPluginInstance& instance)
    {
        instance.setCurrentProgram (2);
        auto& parameters = instance.getParameters();
        parameters[fx::kParamLevel]->setValue (0.125f);
        parameters[4]->setValue (0.8125f);
        instance.changeProgramName (2, "Saved lead");
    }
}

TEST_F (Crash, RecoveryPutsBackTheLastSavedSnapshotWhenOptionThreeIsOn)
{
    struct Case
    {
        bool option3;
        bool save;
        bool expectRestored;
    };
    for (auto c : { Case { true, true, true }, Case { false, true, false }, Case { true, false, false } })
    {
        SCOPED_TRACE (testing::Message() << "option3=" << c.option3 << " save=" << c.save);
        processor->unloadPlugin (0, false, true);
        load (0, TAMBLIT_FIXTURE_BRIDGE);
        processor->setOption (3, c.option3);
        auto* original = processor->getAudioPluginInstance (0);
        changeHosted (*original);
        const auto changed = readHosted (*original);

        if (c.save)
        {
            juce::MemoryBlock saved;
            processor->getStateInformation (saved);
            ASSERT_NE (processor->getPluginState (0), nullptr);
        }
        else
        {
            ASSERT_EQ (processor->getPluginState (0), nullptr);
        }

        crashAll (TAMBLIT_FIXTURE_BRIDGE);
        ASSERT_TRUE (processor->checkIfPluginCrashed (0));
        lines->clear();
        processor->recoverPlugin (0);

        auto* reloaded = processor->getAudioPluginInstance (0);
        ASSERT_NE (reloaded, nullptr);
        EXPECT_FALSE (processor->checkIfPluginCrashed (0)) << "a fresh instance answers the probe with 0";
        EXPECT_FALSE (processor->isPluginCrashed (0));
        EXPECT_EQ (lines->contains (logLines::recoveringPluginState), c.expectRestored);

        const auto now = readHosted (*reloaded);
        if (c.expectRestored)
        {
            EXPECT_EQ (now.program, changed.program);
            EXPECT_EQ (now.parameters, changed.parameters);
            EXPECT_EQ (reloaded->getProgramName (2), "Saved lead");
        }
        else
        {
            EXPECT_EQ (now.program, 0);
            EXPECT_FLOAT_EQ (now.parameters[fx::kParamLevel], fx::presetValue (0, fx::kParamLevel));
            EXPECT_EQ (reloaded->getProgramName (2), "Lead");
        }
    }
}

TEST_F (Crash, SnapshotOrderIsProgramThenStateThenParameters)
{
    load (0, TAMBLIT_FIXTURE_SYNTH);
    auto* instance = processor->getAudioPluginInstance (0);
    changeHosted (*instance);

    AudioProcessorState snapshot;
    snapshot.storeAudioProcessorState (instance);
    EXPECT_EQ (snapshot.current_program, 2);
    ASSERT_EQ (snapshot.parameters.size(), fx::kNumParams);
    EXPECT_GT (snapshot.state_data.getSize(), 0u);

    // Switching program reloads the preset; the snapshot's own values must win.
    instance->setCurrentProgram (0);
    snapshot.copyStateToAudioProcessor (instance);
    EXPECT_EQ (instance->getCurrentProgram(), 2);
    EXPECT_FLOAT_EQ (instance->getParameters()[fx::kParamLevel]->getValue(), 0.125f);
    EXPECT_FLOAT_EQ (instance->getParameters()[4]->getValue(), 0.8125f);
}

TEST_F (Crash, FailedReloadLeavesTheSlotEmptyFlaggedAndIsNotRetried)
{
    const auto folder = juce::File::createTempFile ("tamblit-crash");
    ASSERT_TRUE (folder.createDirectory());
    const auto copy = folder.getChildFile ("bridge-copy.so");
    ASSERT_TRUE (juce::File (TAMBLIT_FIXTURE_BRIDGE).copyFileTo (copy));

    load (0, copy.getFullPathName().toRawUTF8());
    processor->setOption (1, true);
    processor->setOption (2, false);
    crashAll (copy.getFullPathName().toRawUTF8());

    // Replace the file by one that is not a plug-in (a new inode: the loaded
    // library stays mapped until the crashed instance goes).
    ASSERT_TRUE (copy.deleteFile());
    ASSERT_TRUE (copy.replaceWithText ("not a plug-in"));

    ASSERT_TRUE (runLoopUntil ([&] { return lines->contains (logLines::recoveringPlugin (0, "default instance")); }, oneTickMs));
    EXPECT_EQ (processor->getAudioPluginInstance (0), nullptr);
    EXPECT_TRUE (processor->isPluginCrashed (0));
    EXPECT_TRUE (lines->contains (juce::String ("default instance:") + logLines::failedToLoadPlugin));

    lines->clear();
    runLoopFor (2200);
    EXPECT_FALSE (lines->contains (logLines::recoveringPlugin (0, "default instance")));
    EXPECT_TRUE (processor->isPluginCrashed (0));
    folder.deleteRecursively();
}

TEST (CrashWatchDogList, InstancesAreProbedInRegistrationOrderEachByItsOwnOptions)
{
    auto first = std::make_unique<PluginContainerAudioProcessor>();
    auto second = std::make_unique<PluginContainerAudioProcessor>();
    first->setInstanceName ("first");
    second->setInstanceName ("second");
    ConsoleLines lines (*first);

    ASSERT_TRUE (first->loadPlugin (0, TAMBLIT_FIXTURE_BRIDGE, ""));
    ASSERT_TRUE (first->loadPlugin (1, TAMBLIT_FIXTURE_SYNTH, ""));
    ASSERT_TRUE (second->loadPlugin (0, TAMBLIT_FIXTURE_BRIDGE, ""));
    ASSERT_TRUE (second->loadPlugin (1, TAMBLIT_FIXTURE_SYNTH, ""));
    second->setOption (2, false);
    ASSERT_EQ (watchdog()->getNumberOfPluginsBeingWatched(), 2);

    crashAll (TAMBLIT_FIXTURE_BRIDGE);
    ASSERT_TRUE (runLoopUntil ([&] { return second->isPluginCrashed (0); }, oneTickMs));

    const auto all = lines.lines();
    const int firstWarning = all.indexOf (logLines::seemsToHaveCrashed (0, "first"));
    const int secondWarning = all.indexOf (logLines::seemsToHaveCrashed (0, "second"));
    ASSERT_GE (firstWarning, 0);
    EXPECT_GT (secondWarning, firstWarning);
    EXPECT_EQ (first->getActivePlugin(), 1);
    EXPECT_EQ (second->getActivePlugin(), 0);
}

TEST (CrashWatchDogList, TheLastInstanceTakesTheWatchdogWithIt)
{
    auto a = std::make_unique<PluginContainerAudioProcessor>();
    ASSERT_NE (watchdog(), nullptr);
    EXPECT_TRUE (watchdog()->isTimerRunning());
    EXPECT_EQ (watchdog()->getTimerInterval(), 1000);
    auto b = std::make_unique<PluginContainerAudioProcessor>();
    a.reset();
    ASSERT_NE (watchdog(), nullptr);
    EXPECT_EQ (watchdog()->getNumberOfPluginsBeingWatched(), 1);
    b.reset();
    EXPECT_EQ (watchdog(), nullptr);
}

TEST (CrashAudio, HealthySlotIsHeardWithinOneTickPlusABlockOfTheCrash)
{
    auto processor = std::make_unique<PluginContainerAudioProcessor>();
    constexpr double rate = 48000.0;
    constexpr int block = 256;
    processor->setPlayConfigDetails (0, 2, rate, block);
    processor->prepareToPlay (rate, block);
    ASSERT_TRUE (processor->loadPlugin (0, TAMBLIT_FIXTURE_BRIDGE, ""));
    ASSERT_TRUE (processor->loadPlugin (1, TAMBLIT_FIXTURE_BRIDGE_B, ""));
    processor->setOption (1, true);

    const float slot0Level = fx::fixtureDc (fx::kIdentityBridge, 0, fx::presetValue (0, fx::kParamLevel), 0.0f);
    const float slot1Level = fx::fixtureDc (fx::kIdentityBridgeB, 0, fx::presetValue (0, fx::kParamLevel), 0.0f);

    std::atomic<bool> running { true };
    std::atomic<double> crashAt { -1.0 }, healthyAt { -1.0 };
    std::atomic<int> blocksAfterCrash { 0 };

    std::thread audio (
        [&]
        {
            juce::AudioBuffer<float> buffer (2, block);
            juce::MidiBuffer midi;
            while (running)
            {
                buffer.clear();
                renderLikeWrapper (*processor, buffer, midi);
                const float first = buffer.getSample (0, 0);
                const double now = juce::Time::getMillisecondCounterHiRes();
                if (crashAt.load() > 0)
                {
                    ++blocksAfterCrash;
                    if (healthyAt.load() < 0 && std::abs (first - slot1Level) < 1.0e-6f)
                        healthyAt = now;
                }
                else
                {
                    EXPECT_NEAR (first, slot0Level, 1.0e-6f);
                }
                // Paced like a real device.
                std::this_thread::sleep_for (std::chrono::microseconds ((int) (1.0e6 * block / rate)));
            }
        });

    runLoopFor (300);
    crashAt = juce::Time::getMillisecondCounterHiRes();
    crashAll (TAMBLIT_FIXTURE_BRIDGE);
    const bool switched = runLoopUntil ([&] { return healthyAt.load() > 0; }, oneTickMs + 400);
    running = false;
    audio.join();

    ASSERT_TRUE (switched);
    const double gapMs = healthyAt - crashAt;
    std::printf ("\ncrash to healthy slot heard: %.1f ms\n", gapMs);
    EXPECT_LE (gapMs, 1000.0 + 1000.0 * block / rate + 200.0) << "one tick plus one block, with timer slack";
    EXPECT_TRUE (runLoopUntil ([&] { return ! processor->isPluginCrashed (0); }, oneTickMs)) << "the crashed slot is reloaded";
    processor.reset();
}

TEST_F (Crash, RefusedSnapshotStateIsReportedAndProgramAndParametersStillGoBack)
{
    load (0, TAMBLIT_FIXTURE_SYNTH);
    auto* instance = processor->getAudioPluginInstance (0);
    changeHosted (*instance);
    juce::MemoryBlock saved;
    processor->getStateInformation (saved);

    // A state block the plug-in's host cannot read: the right magic, nothing behind it.
    auto* snapshot = processor->getPluginState (0);
    ASSERT_NE (snapshot, nullptr);
    snapshot->state_data = juce::MemoryBlock ("CcnK\0\0\0\0", 8);
    processor->setOption (3, true);
    lines->clear();
    processor->recoverPlugin (0);

    auto* reloaded = processor->getAudioPluginInstance (0);
    ASSERT_NE (reloaded, nullptr);
    EXPECT_TRUE (lines->contains (logLines::recoveringPluginState));
    EXPECT_TRUE (lines->contains ("default instance:" + logLines::stateBlockRefused (0)));
    EXPECT_EQ (reloaded->getCurrentProgram(), 2);
    EXPECT_FLOAT_EQ (reloaded->getParameters()[4]->getValue(), 0.8125f);
}
