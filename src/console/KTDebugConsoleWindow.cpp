#include "KTDebugConsoleWindow.h"
#include "KTDebugConsole.h"
#include "NewComponent.h"

KTDebugConsoleWindow::KTDebugConsoleWindow (KTDebugConsole* ownerToUse, const juce::String& title)
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
    owner = ownerToUse;
}

KTDebugConsoleWindow::~KTDebugConsoleWindow() = default;

void KTDebugConsoleWindow::rememberBounds()
{
    if (owner == nullptr)
        return;

    owner->windowX = getX();
    owner->windowY = getY();
    owner->windowWidth = getWidth();
    owner->windowHeight = getHeight();
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
