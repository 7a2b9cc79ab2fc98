#pragma once

#include <juce_gui_basics/juce_gui_basics.h>
#include <atomic>
#include <memory>

class KTDebugConsoleWindow;

// The one log window shared by every container instance in the host process.
// Lines are shown only while a window is open on the desktop; otherwise dropped.
class KTDebugConsole
{
public:
    KTDebugConsole();
    ~KTDebugConsole();

    void setProductName (juce::String name);
    void createWindow ();
    void deleteWindow ();

    // Any thread may log: lines from other threads are handed to the message
    // thread, where they reach whichever console exists when they arrive.
    void addLine (juce::String line);

    bool hasWindow () const noexcept { return window != nullptr; }

    // Read by state saves on host threads; the message thread writes them.
    juce::String getProductName () const;
    void rememberBounds (juce::Rectangle<int> bounds);
    juce::Rectangle<int> getRememberedBounds () const;
    KTDebugConsoleWindow* getWindow () const noexcept { return window.get(); }

    juce::String productName { "defaultproduct" };
    std::atomic<int> windowX { -1 };
    std::atomic<int> windowY { -1 };
    std::atomic<int> windowWidth { -1 };
    std::atomic<int> windowHeight { -1 };

private:
    juce::CriticalSection nameLock;
    void addLineOnMessageThread (const juce::String& line);

    std::unique_ptr<KTDebugConsoleWindow> window;
};

// The console that exists now, or null. Owned by the container instances'
// shared process context; this is only a view of it, for lines that arrive
// late and for state saves on host threads.
KTDebugConsole* ktdebugconsole () noexcept;

// Process-wide console flags, written on the message thread (state saves on
// host threads read and reset them). They outlive the console object: a later
// instance opens the window again when `console` is on.
extern std::atomic<bool> console;
extern std::atomic<bool> ktdebugconsolesizeset;
