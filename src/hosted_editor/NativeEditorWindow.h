#pragma once

#include <juce_events/juce_events.h>
#include <pluginterfaces/vst2.x/aeffectx.h>
#include "x11/MyX11Window.h"
#include <functional>
#include <memory>

// A hosted plug-in's own editor in a native window of its own: opens and closes
// the editor through the plug-in's VST 2.x dispatcher, sizes the window to it,
// sends it the periodic idle call and remembers where the window was left so
// that the next window opens there.
class eee34ty0w9845rgymsiufdgomiugdfi
{
public:
    eee34ty0w9845rgymsiufdgomiugdfi() = default;
    virtual ~eee34ty0w9845rgymsiufdgomiugdfi();

    // Top-left corner of the window's frame at (x, y) from the top of the primary screen.
    virtual void setWindowPositionXY (int x, int y);
    // Creates the platform window.
    virtual void eee34ty0w9845rgymsiufdgomiugkouoiofi ();
    // Opens the editor of an effect.
    virtual void eee34ty0w9845rgymsiufdgokpiokpiopkik (AEffect* effectToShow);
    // Resizes the content area.
    virtual void eee34ty0w9845rgymsiufdgomiugdkiopiokpu (int width, int height);
    // Attaches the plug-in's editor to the window and starts idling.
    virtual void eee34ty0w9845rgymsiufdgomikuiopkuiok ();
    // Remembers the window frame.
    virtual void WhatToDoWhenTheWindowIsMoved (int x, int y, int width, int height);
    // Idle tick.
    virtual void eee34ty0w9845rgymsiufdgomiukioukpuo ();
    // Closes the editor and the window.
    virtual void eee34ty0w9845rgymsiufdgomiugkiopkuiopk ();
    // Closes the plug-in's editor only; answers whether it was open.
    virtual bool eee34ty0w9845rgymsiufkiukpuoipku (bool forgetWindow);
    // Sets the window title (UTF-8).
    virtual void eee34ty0w9845rgymsiufdgomkiopkuop (const char* title);

    void SetAlwaysOnTop (bool onTop, int);
    void _bringToFront ();

    // Repeating 0.1 s timer on the message thread.
    class IdleTimer : public juce::Timer
    {
    public:
        std::function<void()> onTick;
        void timerCallback () override
        {
            if (onTick)
                onTick();
        }
    };

    AEffect* effect = nullptr;
    bool alwaysOnTop = false;
    bool idleSuspended = false;
    std::unique_ptr<double[]> savedFrame; // x, y, width, height
    MyX11Window* window = nullptr; // deletes itself when closed
    IdleTimer idleTimer;
    bool editorIsOpen = false;

private:
    // Passes the window's reports on to the idle tick, the frame memory and the
    // editor-only close.
    struct WindowEvents : MyX11Window::Listener
    {
        explicit WindowEvents (eee34ty0w9845rgymsiufdgomiugdfi& o)
            : owner (o)
        {
        }
        void windowIdle () override { owner.eee34ty0w9845rgymsiufdgomiukioukpuo(); }
        void windowMoved (int x, int y, int width, int height) override { owner.WhatToDoWhenTheWindowIsMoved (x, y, width, height); }
        void windowClosing () override { owner.eee34ty0w9845rgymsiufkiukpuoipku (true); }
        eee34ty0w9845rgymsiufdgomiugdfi& owner;
    };

    juce::pointer_sized_int dispatch (int opcode, void* pointer);

    WindowEvents windowEvents { *this };

    JUCE_DECLARE_NON_COPYABLE (eee34ty0w9845rgymsiufdgomiugdfi)
};
