// Hosted plug-ins' own editors in native X11 windows, driven through a container
// slot holding the editor fixture, on the real JUCE message loop under Xvfb.
// Xvfb runs no window manager: a window's frame is the window itself.
#include "support/TestHelpers.h"
#include "console/LogLines.h"
#include "processor/PluginContainerAudioProcessor.h"
#include "hosted_editor/MyHostAudioProcessorEditor.h"
#include "hosted_editor/MyHostAudioProcessorEditorWindow.h"
#include "hosted_editor/NativeEditorWindow.h"
#include "hosted_editor/x11/MyX11Window.h"
#include "hosted_editor/EditorSwitches.h"
#include "FixtureSignal.h"

#include <gtest/gtest.h>
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <dlfcn.h>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

using testing_support::runLoopFor;
using testing_support::runLoopUntil;
using testing_support::StdoutCapture;

namespace
{
    // Control functions the editor fixture exports; reached in the copy JUCE loaded.
    struct FixtureEditorControl
    {
        int (*count) (const char*) = nullptr;
        const char* (*log)() = nullptr;
        void (*reset)() = nullptr;
        unsigned long (*parent)() = nullptr;
        unsigned long (*child)() = nullptr;
        int (*openWindows)() = nullptr;

        bool bind ()
        {
            // The handle is kept for the whole run: it holds the module loaded
            // while tests unload the plug-in and then read the counters.
            static void* handle = dlopen (TAMBLIT_FIXTURE_EDITOR, RTLD_NOLOAD | RTLD_NOW);
            if (handle == nullptr)
                return false;
            count = reinterpret_cast<int (*) (const char*)> (dlsym (handle, "tamblit_fixture_editor_count"));
            log = reinterpret_cast<const char* (*) ()> (dlsym (handle, "tamblit_fixture_editor_log"));
            reset = reinterpret_cast<void (*)()> (dlsym (handle, "tamblit_fixture_editor_reset"));
            parent = reinterpret_cast<unsigned long (*)()> (dlsym (handle, "tamblit_fixture_editor_parent"));
            child = reinterpret_cast<unsigned long (*)()> (dlsym (handle, "tamblit_fixture_editor_window"));
            openWindows = reinterpret_cast<int (*)()> (dlsym (handle, "tamblit_fixture_editor_open_windows"));
            return count && log && reset && parent && child && openWindows;
        }
    };

    // The tests' own view of the X server, as a window manager or a user sees it.
    struct XView
    {
        Display* display = XOpenDisplay (nullptr);
        ~XView()
        {
            if (display != nullptr)
                XCloseDisplay (display);
        }

        Window root () const { return DefaultRootWindow (display); }

        std::vector<Window> childrenOf (Window window) const
        {
            Window rootReturn = 0, parentReturn = 0, *children = nullptr;
            unsigned int n = 0;
            std::vector<Window> result;
            if (XQueryTree (display, window, &rootReturn, &parentReturn, &children, &n) != 0)
            {
                result.assign (children, children + n);
                XFree (children);
            }
            return result;
        }

        bool isTopLevel (Window window) const
        {
            for (auto w : childrenOf (root()))
                if (w == window)
                    return true;
            return false;
        }

        juce::Rectangle<int> geometry (Window window) const
        {
            Window rootReturn = 0;
            int x = 0, y = 0;
            unsigned int w = 0, h = 0, border = 0, depth = 0;
            XGetGeometry (display, window, &rootReturn, &x, &y, &w, &h, &border, &depth);
            return { x, y, (int) w, (int) h };
        }

        std::string textProperty (Window window, const char* name, Atom type) const
        {
            Atom actual = 0;
            int format = 0;
            unsigned long count = 0, remaining = 0;
            unsigned char* data = nullptr;
            std::string result;
            if (XGetWindowProperty (display, window, XInternAtom (display, name, False), 0, 1024, False, type, &actual, &format, &count,
                                    &remaining, &data)
                    == Success
                && data != nullptr)
            {
                if (actual == type && format == 8)
                    result.assign (reinterpret_cast<const char*> (data), count);
                XFree (data);
            }
            return result;
        }

        std::string title (Window window) const
        {
            return textProperty (window, "_NET_WM_NAME", XInternAtom (display, "UTF8_STRING", False));
        }

        // What the window manager's close button sends.
        void sendDeleteWindow (Window window) const
        {
            XEvent event {};
            event.xclient.type = ClientMessage;
            event.xclient.window = window;
            event.xclient.message_type = XInternAtom (display, "WM_PROTOCOLS", False);
            event.xclient.format = 32;
            event.xclient.data.l[0] = (long) XInternAtom (display, "WM_DELETE_WINDOW", False);
            event.xclient.data.l[1] = CurrentTime;
            XSendEvent (display, window, False, NoEventMask, &event);
            XSync (display, False);
        }
    };

    struct HostedEditor : ::testing::Test
    {
        void SetUp () override
        {
            ASSERT_NE (x.display, nullptr) << "run under Xvfb";
            processor = std::make_unique<PluginContainerAudioProcessor>();
            processor->setPlayConfigDetails (0, 2, 48000.0, 256);
            processor->prepareToPlay (48000.0, 256);
            ASSERT_TRUE (processor->loadPlugin (0, TAMBLIT_FIXTURE_EDITOR, ""));
            ASSERT_TRUE (fixture.bind());
            fixture.reset();
        }

        void TearDown () override
        {
            processor.reset();
            runLoopFor (20);
        }

        // Opens slot 0's editor; answers the editor window (0 when none appeared).
        Window openEditor ()
        {
            processor->editPlugin (0);
            runLoopFor (20);
            return (Window) fixture.parent();
        }

        eee34ty0w9845rgymsiufdgomiugdfi* nativeWindow () const
        {
            auto* holder = processor->getHostedEditor (0);
            return holder != nullptr ? holder->nativeEditorWindow.get() : nullptr;
        }

        std::string fixtureLog () const { return fixture.log(); }

        XView x;
        FixtureEditorControl fixture;
        std::unique_ptr<PluginContainerAudioProcessor> processor;
    };
}

TEST_F (HostedEditor, OpensATopLevelWindowOfTheEditorsSizeTitledWithThePluginName)
{
    const Window window = openEditor();
    ASSERT_NE (window, 0u);

    EXPECT_TRUE (x.isTopLevel (window));
    EXPECT_EQ (x.geometry (window), juce::Rectangle<int> (0, 0, tamblit::fixtures::kEditorWidth, tamblit::fixtures::kEditorHeight));
    const std::string name = processor->getAudioPluginInstance (0)->getName().toStdString();
    EXPECT_EQ (x.title (window), name);
    EXPECT_EQ (x.textProperty (window, "WM_NAME", XA_STRING), name);

    // Titles are UTF-8; the legacy Latin-1 name keeps what it can.
    nativeWindow()->eee34ty0w9845rgymsiufdgomkiopkuop ("Synth\xc3\xa9 \xe2\x9c\x93");
    XSync (x.display, False);
    EXPECT_EQ (x.title (window), "Synth\xc3\xa9 \xe2\x9c\x93");
    EXPECT_EQ (x.textProperty (window, "WM_NAME", XA_STRING), "Synth\xe9 ?");

    // The plug-in drew into the window it was given.
    const auto children = x.childrenOf (window);
    ASSERT_EQ (children.size(), 1u);
    EXPECT_EQ (children[0], (Window) fixture.child());

    EXPECT_EQ (fixtureLog(), "open,top");
}

TEST_F (HostedEditor, IdlesAboutTenTimesASecondWhileOpenAndNeverAfterClosing)
{
    ASSERT_NE (openEditor(), 0u);

    const int before = fixture.count ("idle");
    runLoopFor (1000);
    const int perSecond = fixture.count ("idle") - before;
    EXPECT_GE (perSecond, 7);
    EXPECT_LE (perSecond, 13);

    processor->getHostedEditor (0)->closeTheEditor();
    const int afterClose = fixture.count ("idle");
    runLoopFor (400);
    EXPECT_EQ (fixture.count ("idle"), afterClose);
}

TEST_F (HostedEditor, WindowManagerCloseSleepsThenClosesTheEditorOnce)
{
    const Window window = openEditor();
    ASSERT_NE (window, 0u);

    x.sendDeleteWindow (window);
    ASSERT_TRUE (runLoopUntil ([&] { return fixture.count ("close") > 0; }, 3000));
    runLoopFor (100);

    EXPECT_EQ (fixtureLog(), "open,top,sleep,close");
    EXPECT_FALSE (x.isTopLevel (window));
    EXPECT_EQ (nativeWindow()->window, nullptr);
    EXPECT_FALSE (nativeWindow()->editorIsOpen);

    StdoutCapture out;
    processor->getHostedEditor (0)->closeTheEditor();
    EXPECT_EQ (out.finish(), "\neditor is already closed!");
    EXPECT_EQ (fixture.count ("sleep"), 1);
    EXPECT_EQ (fixture.count ("close"), 1);
}

TEST_F (HostedEditor, ReopenedWindowComesBackAtTheLastFrameWithTheEditorsSize)
{
    const Window first = openEditor();
    ASSERT_NE (first, 0u);

    StdoutCapture out;
    XMoveResizeWindow (x.display, first, 150, 120, 500, 400);
    XSync (x.display, False);
    auto* native = nativeWindow();
    ASSERT_TRUE (runLoopUntil ([&] { return native->savedFrame != nullptr && native->savedFrame[0] == 150.0; }, 3000));
    const auto printed = out.finish();
    EXPECT_NE (printed.find ("\nWindow position will be: 150/120/500/400"), std::string::npos) << printed;
    EXPECT_NE (printed.find ("\nView position will be: 0/0/500/400"), std::string::npos) << printed;

    x.sendDeleteWindow (first);
    ASSERT_TRUE (runLoopUntil ([&] { return fixture.count ("close") == 1; }, 3000));

    const Window second = openEditor();
    ASSERT_NE (second, 0u);
    EXPECT_EQ (x.geometry (second), juce::Rectangle<int> (150, 120, tamblit::fixtures::kEditorWidth, tamblit::fixtures::kEditorHeight));
    EXPECT_EQ (fixtureLog(), "open,top,sleep,close,open,top");
}

TEST_F (HostedEditor, EditingAnOpenEditorBringsItForwardWithoutReopening)
{
    const Window window = openEditor();
    ASSERT_NE (window, 0u);

    // Watch the root as a window manager would for the client's requests.
    XSelectInput (x.display, x.root(), SubstructureNotifyMask);
    XSync (x.display, False);

    StdoutCapture out;
    processor->editPlugin (0);
    EXPECT_EQ (out.finish(), "\neditor is already open!");
    EXPECT_EQ (fixture.count ("open"), 1);
    EXPECT_EQ (x.title (window), processor->getAudioPluginInstance (0)->getName().toStdString());

    const Atom state = XInternAtom (x.display, "_NET_WM_STATE", False);
    const Atom above = XInternAtom (x.display, "_NET_WM_STATE_ABOVE", False);
    const Atom active = XInternAtom (x.display, "_NET_ACTIVE_WINDOW", False);
    bool droppedAbove = false, activated = false;
    runLoopUntil (
        [&]
        {
            while (XPending (x.display) > 0)
            {
                XEvent event;
                XNextEvent (x.display, &event);
                if (event.type != ClientMessage || event.xclient.window != window)
                    continue;
                if (event.xclient.message_type == state && event.xclient.data.l[0] == 0 && (Atom) event.xclient.data.l[1] == above)
                    droppedAbove = true;
                if (event.xclient.message_type == active)
                    activated = true;
            }
            return droppedAbove && activated;
        },
        3000);
    EXPECT_TRUE (droppedAbove);
    EXPECT_TRUE (activated);
    XSelectInput (x.display, x.root(), NoEventMask);
}

TEST_F (HostedEditor, AlwaysOnTopAsksTheWindowManagerForTheAboveState)
{
    const Window window = openEditor();
    ASSERT_NE (window, 0u);
    XSelectInput (x.display, x.root(), SubstructureNotifyMask);
    XSync (x.display, False);

    nativeWindow()->SetAlwaysOnTop (true, 0);

    const Atom state = XInternAtom (x.display, "_NET_WM_STATE", False);
    const Atom above = XInternAtom (x.display, "_NET_WM_STATE_ABOVE", False);
    const bool added = runLoopUntil (
        [&]
        {
            while (XPending (x.display) > 0)
            {
                XEvent event;
                XNextEvent (x.display, &event);
                if (event.type == ClientMessage && event.xclient.window == window && event.xclient.message_type == state
                    && event.xclient.data.l[0] == 1 && (Atom) event.xclient.data.l[1] == above)
                    return true;
            }
            return false;
        },
        3000);
    EXPECT_TRUE (added);
    EXPECT_TRUE (nativeWindow()->alwaysOnTop);
    XSelectInput (x.display, x.root(), NoEventMask);
}

TEST_F (HostedEditor, SetWindowPositionPlacesTheTopLeftCornerFromTheTopOfTheScreen)
{
    const Window window = openEditor();
    ASSERT_NE (window, 0u);

    nativeWindow()->setWindowPositionXY (40, 70);
    XSync (x.display, False);
    ASSERT_TRUE (runLoopUntil ([&] { return x.geometry (window).getPosition() == juce::Point<int> (40, 70); }, 3000));
    EXPECT_EQ (x.geometry (window).getWidth(), tamblit::fixtures::kEditorWidth);
}

// Unloading the slot and destroying the container both close the editor before the plug-in goes.
TEST_F (HostedEditor, EditorWindowClosesBeforeThePluginIsDeleted)
{
    const std::function<void (HostedEditor&)> ways[] = {
        [] (HostedEditor& t) { t.processor->unloadPlugin (0, false, true); },
        [] (HostedEditor& t) { t.processor.reset(); },
    };

    for (size_t i = 0; i < std::size (ways); ++i)
    {
        SCOPED_TRACE (i);
        if (processor == nullptr)
        {
            processor = std::make_unique<PluginContainerAudioProcessor>();
            processor->setPlayConfigDetails (0, 2, 48000.0, 256);
            processor->prepareToPlay (48000.0, 256);
        }
        if (processor->getAudioPluginInstance (0) == nullptr)
        {
            ASSERT_TRUE (processor->loadPlugin (0, TAMBLIT_FIXTURE_EDITOR, ""));
        }
        fixture.reset();

        const Window window = openEditor();
        ASSERT_NE (window, 0u);

        StdoutCapture out;
        ways[i](*this);
        const auto printed = out.finish();

        EXPECT_EQ (printed.rfind (logLines::closingEditor, 0), 0u) << printed;
        // With an editor still open at effClose the fixture would log "drop".
        EXPECT_EQ (fixtureLog(), "open,top,sleep,close");
        EXPECT_EQ (fixture.openWindows(), 0);
        EXPECT_FALSE (x.isTopLevel (window));
    }
}

TEST_F (HostedEditor, EditorWithoutARectangleGetsTheDefaultWindowSize)
{
    // The plain synth fixture has no editor and gives no rectangle.
    ASSERT_TRUE (processor->loadPlugin (1, TAMBLIT_FIXTURE_SYNTH, ""));
    processor->editPlugin (1);
    runLoopFor (20);

    auto* holder = processor->getHostedEditor (1);
    ASSERT_NE (holder, nullptr);
    auto* native = holder->nativeEditorWindow.get();
    ASSERT_NE (native, nullptr);
    ASSERT_NE (native->window, nullptr);
    EXPECT_EQ (x.geometry ((Window) native->window->getContentView()), juce::Rectangle<int> (0, 0, 800, 600));
}

TEST_F (HostedEditor, ComponentPathShowsTheJuceEditorInADocumentWindow)
{
    useNativeVSTEditor = false;
    struct Restore
    {
        ~Restore() { useNativeVSTEditor = true; }
    } restore;

    MyHostAudioProcessorEditor holder;
    holder.openTheEditor (processor->getAudioPluginInstance (0));
    ASSERT_NE (holder.editorWindow, nullptr);
    EXPECT_TRUE (holder.editorWindow->isOnDesktop());
    EXPECT_EQ (holder.editorWindow->getName(), processor->getAudioPluginInstance (0)->getName());
    EXPECT_NE (processor->getAudioPluginInstance (0)->getActiveEditor(), nullptr);
    EXPECT_TRUE (runLoopUntil ([&] { return fixture.count ("open") == 1; }, 3000));

    holder.closeTheEditor();
    EXPECT_EQ (holder.editorWindow, nullptr);
    EXPECT_EQ (processor->getAudioPluginInstance (0)->getActiveEditor(), nullptr);
    EXPECT_TRUE (runLoopUntil ([&] { return fixture.count ("close") == 1; }, 3000));
}
