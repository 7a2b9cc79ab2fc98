#pragma once

#include <juce_gui_basics/juce_gui_basics.h>
#include <functional>

class NewComponent;

class KTDebugConsoleWindow : public juce::DocumentWindow
{
public:
    // `boundsChanged` hears of every move and resize the user makes.
    KTDebugConsoleWindow (std::function<void (juce::Rectangle<int>)> boundsChanged, const juce::String& title);
    ~KTDebugConsoleWindow() override;

    void resized () override;
    void moved () override;
    void closeButtonPressed () override;

    void addLine (const juce::String& line);
    NewComponent* getContent () const noexcept { return content; }

private:
    void rememberBounds ();

    NewComponent* content = nullptr; // owned by the window as its content
    std::function<void (juce::Rectangle<int>)> onBoundsChanged;
};
