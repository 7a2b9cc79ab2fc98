#pragma once

#include <juce_gui_basics/juce_gui_basics.h>
#include <memory>

// The console window's content: a read-only text view with a white margin.
class NewComponent : public juce::Component
{
public:
    NewComponent();
    ~NewComponent() override;

    void paint (juce::Graphics& g) override;
    void resized () override;

    void addLineToTextEditor (const juce::String& line);
    juce::TextEditor* getTextEditor () const noexcept { return textEditor.get(); }

private:
    // The classic look, as the panel uses: black text on white inside the margin.
    juce::LookAndFeel_V2 classicLook;
    std::unique_ptr<juce::TextEditor> textEditor;
};
