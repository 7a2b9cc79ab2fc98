#include "KTDebugConsole.h"
#include "KTDebugConsoleWindow.h"

std::atomic<bool> console { false };
std::atomic<bool> ktdebugconsolesizeset { false };

namespace
{
    std::atomic<KTDebugConsole*> liveConsole { nullptr };
}

KTDebugConsole* ktdebugconsole () noexcept
{
    return liveConsole.load();
}

KTDebugConsole::KTDebugConsole()
{
    liveConsole = this;
}

KTDebugConsole::~KTDebugConsole()
{
    KTDebugConsole* self = this;
    liveConsole.compare_exchange_strong (self, nullptr);
    window.reset();
}

juce::String KTDebugConsole::getProductName() const
{
    const juce::ScopedLock sl (nameLock);
    return productName;
}

void KTDebugConsole::rememberBounds (juce::Rectangle<int> bounds)
{
    windowX = bounds.getX();
    windowY = bounds.getY();
    windowWidth = bounds.getWidth();
    windowHeight = bounds.getHeight();
}

juce::Rectangle<int> KTDebugConsole::getRememberedBounds() const
{
    return { windowX.load(), windowY.load(), windowWidth.load(), windowHeight.load() };
}

void KTDebugConsole::setProductName (juce::String name)
{
    {
        const juce::ScopedLock sl (nameLock);
        productName = name;
    }
    if (window != nullptr)
        window->setName (name);
}

void KTDebugConsole::createWindow()
{
    if (window != nullptr)
        return;

    // A headless host (no display) gets no window; lines are dropped as when closed.
    if (juce::Desktop::getInstance().getDisplays().getPrimaryDisplay() == nullptr)
        return;

    window = std::make_unique<KTDebugConsoleWindow> ([this] (juce::Rectangle<int> bounds) { rememberBounds (bounds); }, productName);

    if (windowX != -1 && windowY != -1 && windowWidth != -1 && windowHeight != -1)
        window->setBounds (windowX, windowY, windowWidth, windowHeight);
}

void KTDebugConsole::deleteWindow()
{
    window.reset();
}

void KTDebugConsole::addLine (juce::String line)
{
    // The message thread, or a host thread holding the message manager lock (the
    // Linux VST wrapper constructs and destroys processors that way), may touch
    // the window directly.
    if (juce::MessageManager::existsAndIsLockedByCurrentThread())
    {
        addLineOnMessageThread (line);
        return;
    }

    // Other host threads (prepareToPlay, state calls) never touch the window: the
    // line is queued in order and reaches the console that exists when it is run.
    juce::MessageManager::callAsync (
        [line]
        {
            if (auto* live = ktdebugconsole())
                live->addLineOnMessageThread (line);
        });
}

void KTDebugConsole::addLineOnMessageThread (const juce::String& line)
{
    if (window == nullptr)
        return;

    if (window->isOnDesktop())
    {
        window->addLine (line);
        return;
    }

    // Closed with its close button: the hidden window goes, the line is lost.
    window.reset();
}
