#include "KTDebugConsoleWindow.h"
#include "NewComponent.h"

KTDebugConsoleWindow::KTDebugConsoleWindow (std::function<void (juce::Rectangle<int>)> boundsChanged, const juce::String& title)
    : juce::DocumentWindow (title, juce::Colours::lightgrey, juce::DocumentWindow::allButtons, true)
{
    // The title bar is chosen before the window sizes itself from its content:
    // switching to the native one afterwards drops the drawn title bar and border
    // and would leave that space to the content, which then opens larger than 600 x 400.
    setUsingNativeTitleBar (true);
    content = new NewComponent();
    setContentOwned (content, true);
    centreWithSize (getWidth(), getHeight());
    setResizable (true, true);
    setAlwaysOnTop (true);
    setVisible (true);

    // Set last, so that moves and resizes made while constructing are not remembered.
    onBoundsChanged = std::move (boundsChanged);
}

KTDebugConsoleWindow::~KTDebugConsoleWindow() = default;

void KTDebugConsoleWindow::rememberBounds()
{
    if (onBoundsChanged)
        onBoundsChanged (getBounds());
}

void KTDebugConsoleWindow::resized()
{
    juce::DocumentWindow::resized();
    rememberBounds();
}

void KTDebugConsoleWindow::moved()
{
    juce::DocumentWindow::moved();
    rememberBounds();
}

void KTDebugConsoleWindow::closeButtonPressed()
{
    removeFromDesktop();
}

void KTDebugConsoleWindow::addLine (const juce::String& line)
{
    content->addLineToTextEditor (line);
}
