#pragma once

#include <juce_gui_basics/juce_gui_basics.h>

class KTDebugConsole;
class NewComponent;

class KTDebugConsoleWindow : public juce::DocumentWindow
{
public:
    KTDebugConsoleWindow (KTDebugConsole* owner, const juce::String& title);
    ~KTDebugConsoleWindow() override;

    void resized() override;
    void moved() override;
    void closeButtonPressed() override;

    void addLine (const juce::String& line);
    NewComponent* getContent() const noexcept { return content; }

private:
    void rememberBounds();

    NewComponent* content = nullptr; // owned by the window as its content
    KTDebugConsole* owner = nullptr;
};
