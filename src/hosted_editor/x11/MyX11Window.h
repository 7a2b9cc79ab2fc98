#pragma once

#include <juce_events/juce_events.h>
#include <juce_graphics/juce_graphics.h>

struct _XDisplay;

// Top-level X11 window that carries a hosted plug-in's editor.
//
// It talks to the X server through a Display connection of its own, serviced on
// the JUCE message thread (fd callback of JUCE's Linux event loop, plus a pass
// after each of its own requests and on every idle tick), so it never consumes
// events meant for JUCE's windows. The window itself is the content area whose
// id the plug-in receives in effEditOpen.
//
// Lifetime: created by create(), it deletes itself in close(), which is the path
// of both the owner's close and the window manager's close button.
class MyX11Window : private juce::AsyncUpdater
{
public:
    // What the window reports to whoever shows an editor in it (message thread).
    class Listener
    {
    public:
        virtual ~Listener() = default;
        // Every idle tick, after the window's events were serviced.
        virtual void windowIdle () = 0;
        // The frame in root coordinates, on every update.
        virtual void windowMoved (int x, int y, int width, int height) = 0;
        // The window is about to close: the editor in it must go first.
        virtual void windowClosing () = 0;
    };

    // A mapped window whose content area has the given root position and size;
    // null when no X display can be opened.
    static MyX11Window* create (juce::Rectangle<int> contentArea);

    // Idle-timer target: services pending window events, then the owner's idle tick.
    void onTimer ();
    // Nothing to do: notifications reach the window as X events.
    void NotifyOfMessage () { }
    void SetUserData (Listener* owner) { userData = owner; }
    // Frame tracking: writes the two position lines and reports the frame to the owner.
    void update ();
    // Closes the owner's plug-in editor (sleep, close), then the window; deletes this.
    void close ();

    unsigned long getContentView () const noexcept { return window; }
    void setTitle (const char* utf8Title);
    void setContentSize (int width, int height);
    // Moves the window's frame so that its top-left corner is at (x, y) on the root.
    void setFrameOrigin (int x, int y);
    // The frame in root coordinates, window-manager decoration included.
    juce::Rectangle<int> getFrame ();
    // The content area in the window's own coordinates.
    juce::Rectangle<int> getContentViewFrame ();
    // The window manager's "above" state (_NET_WM_STATE_ABOVE).
    void setKeepAbove (bool above);
    // Asks the window manager to activate the window (_NET_ACTIVE_WINDOW).
    void activate ();
    void orderFront ();

    // Services the connection's pending events; false once the window has closed itself.
    bool processPendingEvents ();

private:
    MyX11Window (_XDisplay* display, unsigned long window);
    ~MyX11Window() override;

    void handleAsyncUpdate () override;
    void sendStateMessage (unsigned long messageType, long l0, long l1, long l2);
    unsigned long atom (const char* name);

    _XDisplay* display = nullptr;
    unsigned long window = 0;
    unsigned long wmProtocols = 0;
    unsigned long wmDeleteWindow = 0;
    Listener* userData = nullptr;
    bool closing = false;

    JUCE_DECLARE_NON_COPYABLE (MyX11Window)
};
