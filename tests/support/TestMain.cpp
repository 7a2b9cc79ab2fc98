// Test programs run with JUCE initialised and the main thread as the message thread.
#include <gtest/gtest.h>
#include <juce_gui_basics/juce_gui_basics.h>
#include <X11/Xlib.h>
#include <cstdio>
#include <cstdlib>

namespace
{
    // Xvfb runs without a window manager, so atoms a desktop always has (WM_STATE,
    // _NET_WM_STATE, ...) do not exist and JUCE, which looks them up without
    // creating them, sends atom 0. Outside a standalone app JUCE installs no X
    // error handler, and Xlib's default one ends the process. Create the atoms and
    // report X errors instead of dying.
    int reportXError (Display*, XErrorEvent* event)
    {
        std::fprintf (stderr, "X error %d (request %d)\n", (int) event->error_code, (int) event->request_code);
        return 0;
    }

    Display* prepareXServer ()
    {
        if (std::getenv ("DISPLAY") == nullptr)
            return nullptr;
        auto* display = XOpenDisplay (nullptr);
        if (display == nullptr)
            return nullptr;
        for (const char* name :
             { "WM_STATE", "_NET_WM_STATE", "_NET_WM_STATE_ABOVE", "_NET_WM_STATE_HIDDEN", "_NET_WM_NAME", "_NET_WM_PID", "_NET_WM_PING",
               "_NET_WM_ICON", "_NET_WM_WINDOW_TYPE", "_NET_WM_WINDOW_TYPE_NORMAL", "_NET_FRAME_EXTENTS", "_NET_ACTIVE_WINDOW",
               "_MOTIF_WM_HINTS", "WM_DELETE_WINDOW", "WM_PROTOCOLS", "UTF8_STRING", "_NET_SUPPORTED", "_NET_WM_STATE_SKIP_TASKBAR" })
            XInternAtom (display, name, False);
        XSync (display, False);
        XSetErrorHandler (reportXError);
        return display; // kept open: the atoms live as long as a client is connected
    }
}

int main (int argc, char** argv)
{
    ::testing::InitGoogleTest (&argc, argv);
    auto* display = prepareXServer();
    int result = 0;
    {
        juce::ScopedJuceInitialiser_GUI juce;
        result = RUN_ALL_TESTS();
        juce::MessageManager::getInstance()->runDispatchLoopUntil (50);
    }
    if (display != nullptr)
        XCloseDisplay (display);
    return result;
}
