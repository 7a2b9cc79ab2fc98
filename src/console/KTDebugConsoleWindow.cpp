#include "KTDebugConsoleWindow.h"
#include "KTDebugConsole.h"
#include "NewComponent.h"

KTDebugConsoleWindow::KTDebugConsoleWindow (KTDebugConsole* ownerToUse, const juce::String& title)
    : juce::DocumentWindow (title, juce::Colours::lightgrey, juce::DocumentWindow::allButtons, true)
{
    content = new NewComponent();
    setContentOwned (content, true);
    centreWithSize (getWidth(), getHeight());
    setResizable (true, true);
    setUsingNativeTitleBar (true);
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
