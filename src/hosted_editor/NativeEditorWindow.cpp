#include "NativeEditorWindow.h"
#include "x11/MyX11Window.h"
#include "../console/LogLines.h"

#include <juce_gui_basics/juce_gui_basics.h>
#include <cstdio>

namespace
{
    constexpr int defaultWidth = 800;
    constexpr int defaultHeight = 600;
    constexpr int idlePeriodMs = 100;

    void say (const char* text)
    {
        std::printf ("%s", text);
        std::fflush (stdout);
    }
}

eee34ty0w9845rgymsiufdgomiugdfi::~eee34ty0w9845rgymsiufdgomiugdfi()
{
    idleSuspended = true;
    eee34ty0w9845rgymsiufdgomiugkiopkuiopk();
    idleTimer.stopTimer();
}

juce::pointer_sized_int eee34ty0w9845rgymsiufdgomiugdfi::dispatch (int opcode, void* pointer)
{
    if (effect == nullptr || effect->dispatcher == nullptr)
        return 0;
    return effect->dispatcher (effect, opcode, 0, 0, pointer, 0.0f);
}

void eee34ty0w9845rgymsiufdgomiugdfi::setWindowPositionXY (int x, int y)
{
    if (window == nullptr)
        return;

    // X11 measures from the top-left corner, so the primary screen's own origin is the offset.
    juce::Rectangle<int> primary;
    for (auto& display : juce::Desktop::getInstance().getDisplays().displays)
    {
        if (display.totalArea.getPosition() == juce::Point<int>())
        {
            primary = display.totalArea;
            break;
        }
    }
    window->setFrameOrigin (primary.getX() + x, primary.getY() + y);
}

void eee34ty0w9845rgymsiufdgomiugdfi::eee34ty0w9845rgymsiufdgomiugkouoiofi()
{
    juce::Rectangle<int> editorArea (0, 0, defaultWidth, defaultHeight);
    ERect* rect = nullptr;
    dispatch (effEditGetRect, &rect);
    // A degenerate rectangle is treated as none: X refuses windows of zero size.
    if (rect != nullptr && rect->right > 0 && rect->bottom > 0)
        editorArea = { rect->left, rect->top, rect->right, rect->bottom };

    auto content = editorArea;
    if (savedFrame != nullptr)
        content = { (int) savedFrame[0], (int) savedFrame[1], juce::jmax (1, (int) savedFrame[2]), juce::jmax (1, (int) savedFrame[3]) };

    window = MyX11Window::create (content);
    if (window != nullptr)
        window->SetUserData (&windowEvents);
}

void eee34ty0w9845rgymsiufdgomiugdfi::eee34ty0w9845rgymsiufdgokpiokpiopkik (AEffect* effectToShow)
{
    if (editorIsOpen)
    {
        say (logLines::editorAlreadyOpen);
        _bringToFront();
        return;
    }

    effect = effectToShow;
    eee34ty0w9845rgymsiufdgomiugkouoiofi();

    // Without a window there is nothing to put the editor into.
    if (window == nullptr)
    {
        say (logLines::noWindowForEditor);
        return;
    }

    eee34ty0w9845rgymsiufdgomikuiopkuiok();
    _bringToFront();
    editorIsOpen = true;
}

void eee34ty0w9845rgymsiufdgomiugdfi::eee34ty0w9845rgymsiufdgomiugdkiopiokpu (int width, int height)
{
    if (window != nullptr && width > 0 && height > 0)
        window->setContentSize (width, height);
}

void eee34ty0w9845rgymsiufdgomiugdfi::eee34ty0w9845rgymsiufdgomikuiopkuiok()
{
    dispatch (effEditOpen, reinterpret_cast<void*> ((juce::pointer_sized_uint) window->getContentView()));

    ERect* rect = nullptr;
    dispatch (effEditGetRect, &rect);
    if (rect != nullptr)
        eee34ty0w9845rgymsiufdgomiugdkiopiokpu (rect->right - rect->left, rect->bottom - rect->top);

    idleTimer.onTick = [this]
    {
        if (window != nullptr)
            window->onTimer();
    };
    idleTimer.startTimer (idlePeriodMs);

    dispatch (effEditTop, nullptr);
}

void eee34ty0w9845rgymsiufdgomiugdfi::WhatToDoWhenTheWindowIsMoved (int x, int y, int width, int height)
{
    if (savedFrame == nullptr)
        savedFrame.reset (new double[4]);
    savedFrame[0] = x;
    savedFrame[1] = y;
    savedFrame[2] = width;
    savedFrame[3] = height;
}

void eee34ty0w9845rgymsiufdgomiugdfi::eee34ty0w9845rgymsiufdgomiukioukpuo()
{
    if (! idleSuspended && effect != nullptr && editorIsOpen)
        dispatch (effEditIdle, nullptr);
}

void eee34ty0w9845rgymsiufdgomiugdfi::eee34ty0w9845rgymsiufdgomiugkiopkuiopk()
{
    if (eee34ty0w9845rgymsiufkiukpuoipku (false))
    {
        say (logLines::closingEditor);
        if (window != nullptr)
            window->close();
        window = nullptr;
        return;
    }

    say (logLines::editorAlreadyClosed);
    // A window without an open editor is not left behind on screen.
    if (window != nullptr)
        window->close();
    window = nullptr;
}

bool eee34ty0w9845rgymsiufdgomiugdfi::eee34ty0w9845rgymsiufkiukpuoipku (bool forgetWindow)
{
    if (! editorIsOpen)
        return false;

    idleTimer.stopTimer();
    dispatch (effEditSleep, nullptr);
    dispatch (effEditClose, nullptr);
    editorIsOpen = false;
    if (forgetWindow)
        window = nullptr;
    return true;
}

void eee34ty0w9845rgymsiufdgomiugdfi::eee34ty0w9845rgymsiufdgomkiopkuop (const char* title)
{
    if (window != nullptr && title != nullptr)
        window->setTitle (title);
}

void eee34ty0w9845rgymsiufdgomiugdfi::SetAlwaysOnTop (bool onTop, int)
{
    alwaysOnTop = onTop;
    if (window != nullptr)
        window->setKeepAbove (onTop);
}

void eee34ty0w9845rgymsiufdgomiugdfi::_bringToFront()
{
    if (window == nullptr)
        return;
    if (! alwaysOnTop)
        window->activate();
    window->orderFront();
}
