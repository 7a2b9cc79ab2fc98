// The shared log window: what it shows, where it opens, and how it follows the
// console option and the instances, with real windows on the real message loop.
#include "support/TestHelpers.h"
#include "console/LogLines.h"
#include "console/KTDebugConsole.h"
#include "console/KTDebugConsoleWindow.h"
#include "console/NewComponent.h"
#include "processor/ContainerProcess.h"
#include "processor/PluginContainerAudioProcessor.h"
#include <gtest/gtest.h>
#include <memory>
#include <thread>

using testing_support::consoleWindowsOnDesktop;
using testing_support::runLoopFor;
using testing_support::runLoopUntil;

namespace
{
    KTDebugConsoleWindow* consoleWindow ()
    {
        return ktdebugconsole() != nullptr ? ktdebugconsole()->getWindow() : nullptr;
    }

    juce::String windowText ()
    {
        auto* window = consoleWindow();
        return window != nullptr ? window->getContent()->getTextEditor()->getText() : juce::String();
    }

    juce::StringArray windowLines ()
    {
        juce::StringArray lines;
        lines.addLines (windowText());
        lines.removeEmptyStrings (false);
        return lines;
    }

    juce::Rectangle<int> centredOnMainDisplay (int width, int height)
    {
        const auto area = juce::Desktop::getInstance().getDisplays().getPrimaryDisplay()->userArea;
        return area.withSizeKeepingCentre (width, height);
    }

    // The globals are process-wide: every test starts and ends with no instance
    // and the console option off.
    struct Console : ::testing::Test
    {
        void SetUp () override
        {
            ASSERT_EQ (instances(), 0);
            ASSERT_EQ (ktdebugconsole(), nullptr);
            console = false;
        }

        void TearDown () override
        {
            processors.clear();
            console = false;
            EXPECT_EQ (ktdebugconsole(), nullptr);
            EXPECT_EQ (consoleWindowsOnDesktop(), 0);
        }

        PluginContainerAudioProcessor& newProcessor ()
        {
            processors.push_back (std::make_unique<PluginContainerAudioProcessor>());
            return *processors.back();
        }

        std::vector<std::unique_ptr<PluginContainerAudioProcessor>> processors;
    };
}

TEST_F (Console, LineWrittenWhileNoWindowIsOpenIsLost)
{
    auto& p = newProcessor();
    ASSERT_NE (ktdebugconsole(), nullptr);
    EXPECT_FALSE (ktdebugconsole()->hasWindow());

    ktdebugconsole()->addLine ("written before the window");
    p.setOption (0, true);
    ASSERT_NE (consoleWindow(), nullptr);
    EXPECT_EQ (windowText(), "");

    ktdebugconsole()->addLine ("first shown");
    ktdebugconsole()->addLine ("second shown");
    EXPECT_EQ (windowLines(), juce::StringArray ({ "first shown", "second shown" }));
}

TEST_F (Console, FirstWindowOpensCentredFromItsContentWithTheProductTitle)
{
    auto& p = newProcessor();
    EXPECT_EQ (ktdebugconsole()->productName, "PluginTamblit console");
    EXPECT_EQ (ktdebugconsole()->windowX, -1);
    EXPECT_EQ (ktdebugconsole()->windowWidth, -1);

    p.setOption (0, true);
    auto* window = consoleWindow();
    ASSERT_NE (window, nullptr);
    EXPECT_TRUE (window->isOnDesktop());
    EXPECT_TRUE (window->isVisible());
    EXPECT_TRUE (window->isAlwaysOnTop());
    EXPECT_TRUE (window->isUsingNativeTitleBar());
    EXPECT_TRUE (window->isResizable());
    EXPECT_EQ (window->getName(), "PluginTamblit console");

    // Opening is not a move the user made: nothing is remembered yet.
    EXPECT_EQ (ktdebugconsole()->windowX, -1);
    EXPECT_EQ (ktdebugconsole()->windowHeight, -1);

    // The window must settle at its content's size, not creep as the content
    // and the window resize each other.
    runLoopFor (300);
    auto* content = window->getContent();
    EXPECT_EQ (content->getBounds(), juce::Rectangle<int> (0, 0, 600, 400));
    EXPECT_EQ (window->getBounds(), centredOnMainDisplay (600, 400));

    auto* editor = content->getTextEditor();
    EXPECT_EQ (editor->getName(), "new text editor");
    EXPECT_EQ (editor->getBounds(), juce::Rectangle<int> (16, 16, 568, 368));
    EXPECT_TRUE (editor->isMultiLine());
    EXPECT_TRUE (editor->isReadOnly());
    EXPECT_FALSE (editor->isCaretVisible());
}

TEST_F (Console, EveryInstanceSetsTheTitleAgain)
{
    auto& p = newProcessor();
    p.setOption (0, true);
    ktdebugconsole()->setProductName ("restored title");
    EXPECT_EQ (consoleWindow()->getName(), "restored title");

    newProcessor();
    EXPECT_EQ (ktdebugconsole()->productName, "PluginTamblit console");
    EXPECT_EQ (consoleWindow()->getName(), "PluginTamblit console");
}

TEST_F (Console, ResizingTheWindowKeepsTheMarginAndIsRemembered)
{
    auto& p = newProcessor();
    p.setOption (0, true);
    auto* window = consoleWindow();
    ASSERT_NE (window, nullptr);

    window->setBounds (90, 70, 800, 600);
    runLoopFor (200);
    EXPECT_EQ (window->getBounds(), juce::Rectangle<int> (90, 70, 800, 600));
    EXPECT_EQ (window->getContent()->getTextEditor()->getBounds(), juce::Rectangle<int> (16, 16, 768, 568));
    EXPECT_EQ (ktdebugconsole()->windowX, 90);
    EXPECT_EQ (ktdebugconsole()->windowY, 70);
    EXPECT_EQ (ktdebugconsole()->windowWidth, 800);
    EXPECT_EQ (ktdebugconsole()->windowHeight, 600);

    window->setTopLeftPosition (300, 200);
    EXPECT_EQ (ktdebugconsole()->windowX, 300);
    EXPECT_EQ (ktdebugconsole()->windowY, 200);
    EXPECT_EQ (ktdebugconsole()->windowWidth, 800);
}

TEST_F (Console, WindowClosedWithTheOptionReopensAtItsLastBounds)
{
    auto& p = newProcessor();
    const juce::Rectangle<int> cases[] = { { 100, 120, 700, 500 }, { 0, 0, 320, 240 }, { 400, 300, 600, 400 } };

    for (auto bounds : cases)
    {
        SCOPED_TRACE (bounds.toString());
        p.setOption (0, true);
        consoleWindow()->setBounds (bounds);
        ktdebugconsole()->addLine ("text that goes with the window");
        p.setOption (0, false);
        EXPECT_FALSE (ktdebugconsole()->hasWindow());

        p.setOption (0, true);
        ASSERT_NE (consoleWindow(), nullptr);
        runLoopFor (100);
        EXPECT_EQ (consoleWindow()->getBounds(), bounds);
        EXPECT_EQ (windowText(), "");
        p.setOption (0, false);
    }
}

TEST_F (Console, AnyUnsetRememberedNumberOpensTheWindowCentred)
{
    auto& p = newProcessor();
    const auto centred = centredOnMainDisplay (600, 400);

    for (int unset = 0; unset < 4; ++unset)
    {
        SCOPED_TRACE (unset);
        ktdebugconsole()->windowX = 50;
        ktdebugconsole()->windowY = 60;
        ktdebugconsole()->windowWidth = 700;
        ktdebugconsole()->windowHeight = 500;
        std::atomic<int>* fields[] = { &ktdebugconsole()->windowX, &ktdebugconsole()->windowY, &ktdebugconsole()->windowWidth,
                                       &ktdebugconsole()->windowHeight };
        *fields[unset] = -1;

        p.setOption (0, true);
        ASSERT_NE (consoleWindow(), nullptr);
        EXPECT_EQ (consoleWindow()->getBounds(), centred);
        p.setOption (0, false);
    }

    // A window the user left exactly at x = -1 reads as "nothing remembered".
    p.setOption (0, true);
    consoleWindow()->setBounds (-1, 80, 640, 480);
    p.setOption (0, false);
    p.setOption (0, true);
    EXPECT_EQ (consoleWindow()->getBounds(), centred);
}

TEST_F (Console, CloseButtonHidesTheWindowUntilTheNextLineDiscardsIt)
{
    auto& p = newProcessor();
    p.setOption (0, true);
    ktdebugconsole()->addLine ("before closing");
    auto* window = consoleWindow();
    window->closeButtonPressed();

    EXPECT_FALSE (window->isOnDesktop());
    EXPECT_EQ (consoleWindow(), window);
    EXPECT_TRUE (console);
    EXPECT_TRUE (p.getOption (0));

    // The option is still on, but the window stays hidden.
    p.setOption (0, true);
    EXPECT_EQ (consoleWindow(), window);
    EXPECT_FALSE (window->isOnDesktop());

    ktdebugconsole()->addLine ("lost with the hidden window");
    EXPECT_FALSE (ktdebugconsole()->hasWindow());
    EXPECT_TRUE (p.getOption (0));

    ktdebugconsole()->addLine ("lost, no window");
    p.setOption (0, true);
    ASSERT_NE (consoleWindow(), nullptr);
    EXPECT_TRUE (consoleWindow()->isOnDesktop());
    EXPECT_EQ (windowText(), "");
}

TEST_F (Console, NewInstanceDoesNotBringAClosedWindowBack)
{
    auto& p = newProcessor();
    p.setOption (0, true);
    consoleWindow()->closeButtonPressed();

    auto& second = newProcessor();
    EXPECT_EQ (consoleWindowsOnDesktop(), 0);
    EXPECT_FALSE (ktdebugconsole()->hasWindow()); // its first line discarded the hidden window
    EXPECT_TRUE (second.getOption (0));
}

TEST_F (Console, SwitchingTheOptionOffDiscardsWindowAndText)
{
    auto& p = newProcessor();
    auto& other = newProcessor();
    p.setOption (0, true);
    consoleWindow()->setBounds (200, 150, 500, 300);
    ktdebugconsole()->addLine ("some text");

    other.setOption (0, false);
    EXPECT_FALSE (ktdebugconsole()->hasWindow());
    EXPECT_EQ (consoleWindowsOnDesktop(), 0);
    EXPECT_FALSE (p.getOption (0));

    other.setOption (0, true);
    ASSERT_NE (consoleWindow(), nullptr);
    EXPECT_EQ (consoleWindow()->getBounds(), juce::Rectangle<int> (200, 150, 500, 300));
    EXPECT_EQ (windowText(), "");
    EXPECT_EQ (consoleWindowsOnDesktop(), 1);
}

TEST_F (Console, LastInstanceTakesWindowAndConsoleAlong)
{
    auto& first = newProcessor();
    newProcessor();
    first.setOption (0, true);
    consoleWindow()->setBounds (10, 20, 500, 300);

    processors.erase (processors.begin());
    ASSERT_NE (ktdebugconsole(), nullptr);
    EXPECT_EQ (consoleWindowsOnDesktop(), 1);

    processors.clear();
    EXPECT_EQ (ktdebugconsole(), nullptr);
    EXPECT_EQ (consoleWindowsOnDesktop(), 0);

    // The option is process-wide and outlives the console: the next instance
    // opens a fresh console's window, centred, with nothing remembered before it.
    auto& later = newProcessor();
    ASSERT_NE (ktdebugconsole(), nullptr);
    EXPECT_EQ (ktdebugconsole()->productName, "PluginTamblit console");
    ASSERT_NE (consoleWindow(), nullptr);
    EXPECT_EQ (consoleWindow()->getBounds(), centredOnMainDisplay (600, 400));
    EXPECT_EQ (ktdebugconsole()->windowX, -1);
    EXPECT_EQ (ktdebugconsole()->windowY, -1);
    EXPECT_EQ (ktdebugconsole()->windowWidth, -1);
    EXPECT_EQ (ktdebugconsole()->windowHeight, -1);
    EXPECT_EQ (windowLines(), juce::StringArray (logLines::pluginsBeingWatched (1), logLines::constructed));
    later.setOption (0, false);
}

TEST_F (Console, LinesFromOtherThreadsArriveInOrderThroughTheMessageLoop)
{
    auto& p = newProcessor();
    p.setOption (0, true);
    ktdebugconsole()->addLine ("from the message thread");

    constexpr int count = 200;
    std::thread writer (
        []
        {
            for (int i = 0; i < count; ++i)
                ktdebugconsole()->addLine ("host line " + juce::String (i));
        });
    writer.join();

    // Nothing reached the window from the other thread itself.
    EXPECT_EQ (windowLines(), juce::StringArray ({ "from the message thread" }));

    ASSERT_TRUE (runLoopUntil ([] { return windowLines().size() == count + 1; }, 5000));
    const auto lines = windowLines();
    for (int i = 0; i < count; ++i)
        ASSERT_EQ (lines[i + 1], "host line " + juce::String (i));
}

TEST_F (Console, LineFromAnotherThreadLeavesAClosedWindowToTheMessageThread)
{
    auto& p = newProcessor();
    p.setOption (0, true);
    auto* window = consoleWindow();
    window->closeButtonPressed();

    std::thread writer ([] { ktdebugconsole()->addLine ("from a host thread"); });
    writer.join();
    EXPECT_EQ (consoleWindow(), window); // not deleted off the message thread

    ASSERT_TRUE (runLoopUntil ([] { return ! ktdebugconsole()->hasWindow(); }, 5000));
    EXPECT_TRUE (p.getOption (0));
}

TEST_F (Console, LineFromAnotherThreadReachesTheConsoleThatExistsWhenItRuns)
{
    newProcessor();
    std::thread writer ([] { ktdebugconsole()->addLine ("for the old console"); });
    writer.join();
    processors.clear();
    EXPECT_EQ (ktdebugconsole(), nullptr);

    // Delivered with no console at all: dropped, nothing breaks.
    runLoopFor (50);

    newProcessor().setOption (0, true);
    std::thread second ([] { ktdebugconsole()->addLine ("for the new console"); });
    second.join();
    ASSERT_TRUE (runLoopUntil ([] { return windowLines().contains ("for the new console"); }, 5000));
    EXPECT_FALSE (windowLines().contains ("for the old console"));
    processors.back()->setOption (0, false);
}
