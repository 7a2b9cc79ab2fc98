#pragma once

#include <juce_gui_basics/juce_gui_basics.h>
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
    void createWindow();
    void deleteWindow();

    // Any thread may log: lines from other threads are handed to the message
    // thread, where they reach whichever console exists when they arrive.
    void addLine (juce::String line);

    bool hasWindow() const noexcept { return window != nullptr; }
    KTDebugConsoleWindow* getWindow() const noexcept { return window.get(); }

    juce::String productName { "defaultproduct" };
    int windowX = -1;
    int windowY = -1;
    int windowWidth = -1;
    int windowHeight = -1;

private:
    void addLineOnMessageThread (const juce::String& line);

    std::unique_ptr<KTDebugConsoleWindow> window;
};

// Process-wide console state, used on the message thread.
extern std::unique_ptr<KTDebugConsole> ktdebugconsole;
extern bool console;
extern bool ktdebugconsolesizeset;
