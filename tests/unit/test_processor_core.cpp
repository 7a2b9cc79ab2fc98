// The container processor's fields, options and its share of the process-wide
// watchdog and console, as instances come and go.
#include "support/TestHelpers.h"
#include "console/KTDebugConsole.h"
#include "console/LogLines.h"
#include "console/KTDebugConsoleWindow.h"
#include "crash/CrashWatchDog.h"
#include "processor/ContainerProcess.h"
#include "processor/PluginContainerAudioProcessor.h"
#include <gtest/gtest.h>
#include <memory>

using testing_support::ConsoleLines;
using testing_support::consoleWindowsOnDesktop;

namespace
{
    const juce::String constructorLine = logLines::constructed;

    juce::String watchedLine (int count)
    {
        return logLines::pluginsBeingWatched (count);
    }

    template <typename... Texts>
    juce::StringArray linesOf (const Texts&... texts)
    {
        juce::StringArray result;
        (result.add (juce::String (texts)), ...);
        return result;
    }

    struct ProcessorCore : ::testing::Test
    {
        void SetUp () override
        {
            ASSERT_EQ (instances(), 0);
            ASSERT_EQ (watchdog(), nullptr);
            ASSERT_EQ (ktdebugconsole(), nullptr);
            console = false;
        }

        void TearDown () override
        {
            console = false;
            EXPECT_EQ (instances(), 0);
            EXPECT_EQ (watchdog(), nullptr);
            EXPECT_EQ (ktdebugconsole(), nullptr);
        }
    };
}

TEST_F (ProcessorCore, NewInstanceStartsEmptyWithDefaults)
{
    PluginContainerAudioProcessor p;
    EXPECT_EQ (p.getActivePlugin(), 0);
    EXPECT_EQ (p.getInstanceName(), "default instance");
    EXPECT_EQ (p.getName(), "PluginTamblit(Synth)");
    EXPECT_TRUE (p.hasEditor());

    for (int slot = 0; slot < 2; ++slot)
    {
        SCOPED_TRACE (slot);
        EXPECT_EQ (p.getName (slot), "<none>");
        EXPECT_EQ (p.getAudioPluginInstance (slot), nullptr);
        EXPECT_FALSE (p.isPluginCrashed (slot));
        EXPECT_EQ (p.getHostedEditor (slot), nullptr);
        EXPECT_EQ (p.getPluginState (slot), nullptr);
    }

    const bool defaults[] = { false, false, true, true };
    for (int option = 0; option < 4; ++option)
        EXPECT_EQ (p.getOption (option), defaults[option]) << "option " << option;

    // The host sees a stereo instrument with no input.
    EXPECT_EQ (p.getTotalNumInputChannels(), 0);
    EXPECT_EQ (p.getTotalNumOutputChannels(), 2);
}

TEST_F (ProcessorCore, InstanceNameIsKeptAsGiven)
{
    PluginContainerAudioProcessor p;
    p.setInstanceName ("Strings left");
    EXPECT_EQ (p.getInstanceName(), "Strings left");
    p.setInstanceName ("");
    EXPECT_EQ (p.getInstanceName(), "");
}

TEST_F (ProcessorCore, FirstInstanceCreatesWatchdogAndConsole)
{
    auto p = std::make_unique<PluginContainerAudioProcessor>();
    ASSERT_NE (watchdog(), nullptr);
    EXPECT_TRUE (watchdog()->isTimerRunning());
    EXPECT_EQ (watchdog()->getTimerInterval(), 1000);
    EXPECT_EQ (watchdog()->getNumberOfPluginsBeingWatched(), 1);
    ASSERT_NE (ktdebugconsole(), nullptr);
    EXPECT_EQ (ktdebugconsole()->productName, "PluginTamblit console");
    EXPECT_FALSE (ktdebugconsole()->hasWindow());
    EXPECT_EQ (instances(), 1);
}

TEST_F (ProcessorCore, SecondInstanceJoinsTheSharedObjectsAndSaysSo)
{
    auto first = std::make_unique<PluginContainerAudioProcessor>();
    ConsoleLines lines (*first);
    auto* sharedWatchdog = watchdog();
    auto* sharedConsole = ktdebugconsole();
    lines.clear();

    auto second = std::make_unique<PluginContainerAudioProcessor>();
    EXPECT_EQ (watchdog(), sharedWatchdog);
    EXPECT_EQ (ktdebugconsole(), sharedConsole);
    EXPECT_EQ (watchdog()->getNumberOfPluginsBeingWatched(), 2);
    EXPECT_EQ (instances(), 2);
    EXPECT_EQ (lines.lines(), linesOf (watchedLine (2), constructorLine));

    lines.clear();
    second.reset();
    EXPECT_EQ (watchdog(), sharedWatchdog);
    EXPECT_TRUE (watchdog()->isTimerRunning());
    EXPECT_EQ (watchdog()->getNumberOfPluginsBeingWatched(), 1);
    EXPECT_EQ (ktdebugconsole(), sharedConsole);
    EXPECT_EQ (lines.lines(), linesOf (watchedLine (1)));
}

TEST_F (ProcessorCore, DestructionUnloadsBothSlotsBeforeLeavingTheWatchdog)
{
    auto keeper = std::make_unique<PluginContainerAudioProcessor>();
    ConsoleLines lines (*keeper);

    auto doomed = std::make_unique<PluginContainerAudioProcessor>();
    doomed->setInstanceName ("doomed");
    ASSERT_TRUE (doomed->loadPlugin (0, TAMBLIT_FIXTURE_SYNTH, ""));
    ASSERT_TRUE (doomed->loadPlugin (1, TAMBLIT_FIXTURE_SYNTH8, ""));
    lines.clear();

    doomed.reset();
    EXPECT_EQ (lines.lines(), linesOf ("doomed:" + logLines::unloadingPluginInIndex (0), "doomed:" + logLines::unloadingPluginInIndex (1),
                                       watchedLine (1)));
}

TEST_F (ProcessorCore, LastInstanceTakesWatchdogAndConsoleAndTheNextBringsThemBack)
{
    auto first = std::make_unique<PluginContainerAudioProcessor>();
    auto second = std::make_unique<PluginContainerAudioProcessor>();
    ASSERT_TRUE (second->loadPlugin (0, TAMBLIT_FIXTURE_SYNTH, ""));
    first->setOption (0, true);
    EXPECT_EQ (consoleWindowsOnDesktop(), 1);

    first.reset();
    EXPECT_NE (watchdog(), nullptr);
    EXPECT_NE (ktdebugconsole(), nullptr);

    second.reset();
    EXPECT_EQ (watchdog(), nullptr);
    EXPECT_EQ (ktdebugconsole(), nullptr);
    EXPECT_EQ (consoleWindowsOnDesktop(), 0);
    EXPECT_EQ (instances(), 0);

    console = false;
    auto again = std::make_unique<PluginContainerAudioProcessor>();
    ASSERT_NE (watchdog(), nullptr);
    EXPECT_TRUE (watchdog()->isTimerRunning());
    EXPECT_EQ (watchdog()->getTimerInterval(), 1000);
    EXPECT_EQ (watchdog()->getNumberOfPluginsBeingWatched(), 1);
    ASSERT_NE (ktdebugconsole(), nullptr);
    EXPECT_EQ (ktdebugconsole()->windowX, -1);
    EXPECT_EQ (ktdebugconsole()->productName, "PluginTamblit console");
}

TEST_F (ProcessorCore, ConsoleOptionFollowsAnotherInstance)
{
    PluginContainerAudioProcessor a;
    PluginContainerAudioProcessor b;
    EXPECT_FALSE (b.getOption (0));

    a.setOption (0, true);
    EXPECT_TRUE (console);
    EXPECT_TRUE (b.getOption (0));

    b.setOption (0, false);
    EXPECT_FALSE (a.getOption (0));
    EXPECT_FALSE (ktdebugconsole()->hasWindow());
}

TEST_F (ProcessorCore, SwitchingTheConsoleOnTwiceLeavesOneWindow)
{
    PluginContainerAudioProcessor a;
    PluginContainerAudioProcessor b;
    a.setOption (0, true);
    auto* window = ktdebugconsole()->getWindow();
    ASSERT_NE (window, nullptr);
    ktdebugconsole()->addLine ("kept");

    a.setOption (0, true);
    b.setOption (0, true);
    EXPECT_EQ (ktdebugconsole()->getWindow(), window);
    EXPECT_EQ (consoleWindowsOnDesktop(), 1);
    EXPECT_TRUE (window->getContent() != nullptr);
    b.setOption (0, false);
}

TEST_F (ProcessorCore, SwitchingTheConsoleOffWithoutWindowOnlyChangesFlags)
{
    PluginContainerAudioProcessor p;
    auto* sharedConsole = ktdebugconsole();
    console = true; // on, but no window was opened

    p.setOption (0, false);
    EXPECT_FALSE (console);
    EXPECT_FALSE (p.getOption (0));
    EXPECT_EQ (ktdebugconsole(), sharedConsole);
    EXPECT_FALSE (ktdebugconsole()->hasWindow());
    EXPECT_EQ (consoleWindowsOnDesktop(), 0);
}

TEST_F (ProcessorCore, OtherOptionsAreStoredWithoutSideEffects)
{
    PluginContainerAudioProcessor p;
    for (int option = 1; option < 4; ++option)
    {
        SCOPED_TRACE (option);
        const bool before = p.getOption (option);
        p.setOption (option, ! before);
        EXPECT_EQ (p.getOption (option), ! before);
        EXPECT_FALSE (console);
        EXPECT_FALSE (ktdebugconsole()->hasWindow());
        EXPECT_FALSE (p.getOption (0));
    }
    EXPECT_EQ (p.getOption (1), true);
    EXPECT_EQ (p.getOption (2), false);
    EXPECT_EQ (p.getOption (3), false);
}

TEST_F (ProcessorCore, OptionsBelongToEachInstanceExceptTheConsole)
{
    PluginContainerAudioProcessor a;
    PluginContainerAudioProcessor b;
    a.setOption (1, true);
    a.setOption (2, false);
    EXPECT_FALSE (b.getOption (1));
    EXPECT_TRUE (b.getOption (2));
}

TEST_F (ProcessorCore, NewInstanceOpensTheConsoleBeforeItsFirstLines)
{
    auto first = std::make_unique<PluginContainerAudioProcessor>();
    first->setOption (0, true);
    first.reset(); // console object gone, the option stays on

    auto p = std::make_unique<PluginContainerAudioProcessor>();
    ASSERT_NE (ktdebugconsole()->getWindow(), nullptr);
    ConsoleLines lines (*p);
    EXPECT_EQ (lines.lines(), linesOf (watchedLine (1), constructorLine));
}
