#include "MyX11Window.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <unistd.h>

namespace
{
    // Windows by the file descriptor of their connection: an fd callback may still
    // be queued for a window that has closed in the same pass of the event loop.
    std::map<int, MyX11Window*>& windowsByFd ()
    {
        static std::map<int, MyX11Window*> windows;
        return windows;
    }

    // WM_NAME is Latin-1; characters beyond it become '?'.
    std::string latin1Of (const char* utf8)
    {
        std::string result;
        for (auto c : juce::String (juce::CharPointer_UTF8 (utf8)))
            result += c < 256 ? (char) c : '?';
        return result;
    }
}

MyX11Window* MyX11Window::create (juce::Rectangle<int> contentArea)
{
    Display* display = XOpenDisplay (nullptr);
    if (display == nullptr)
        return nullptr;

    const int screen = DefaultScreen (display);
    XSetWindowAttributes attributes {};
    attributes.background_pixel = BlackPixel (display, screen);
    attributes.event_mask = StructureNotifyMask;

    const Window window = XCreateWindow (display, RootWindow (display, screen), contentArea.getX(), contentArea.getY(),
                                         (unsigned) juce::jmax (1, contentArea.getWidth()),
                                         (unsigned) juce::jmax (1, contentArea.getHeight()), 0, CopyFromParent, InputOutput, CopyFromParent,
                                         CWBackPixel | CWEventMask, &attributes);

    // The window manager's close button becomes a message instead of a kill.
    Atom deleteWindow = XInternAtom (display, "WM_DELETE_WINDOW", False);
    XSetWMProtocols (display, window, &deleteWindow, 1);

    // Ask the window manager to honour the position: reopened windows go where the last one was.
    if (auto* hints = XAllocSizeHints())
    {
        hints->flags = USPosition | PPosition | USSize | PSize;
        hints->x = contentArea.getX();
        hints->y = contentArea.getY();
        hints->width = contentArea.getWidth();
        hints->height = contentArea.getHeight();
        XSetWMNormalHints (display, window, hints);
        XFree (hints);
    }

    if (auto* classHint = XAllocClassHint())
    {
        char name[] = "PluginTamblit";
        classHint->res_name = name;
        classHint->res_class = name;
        XSetClassHint (display, window, classHint);
        XFree (classHint);
    }

    const long pid = (long) getpid();
    XChangeProperty (display, window, XInternAtom (display, "_NET_WM_PID", False), XA_CARDINAL, 32, PropModeReplace,
                     reinterpret_cast<const unsigned char*> (&pid), 1);

    XMapWindow (display, window);
    // The plug-in's own connection must find the window on the server.
    XSync (display, False);

    return new MyX11Window (display, window);
}

MyX11Window::MyX11Window (_XDisplay* d, unsigned long w)
    : display (d),
      window (w),
      wmProtocols (atom ("WM_PROTOCOLS")),
      wmDeleteWindow (atom ("WM_DELETE_WINDOW"))
{
    const int fd = ConnectionNumber (display);
    windowsByFd()[fd] = this;
    juce::LinuxEventLoop::registerFdCallback (fd,
                                              [] (int readyFd)
                                              {
                                                  auto found = windowsByFd().find (readyFd);
                                                  if (found != windowsByFd().end())
                                                      found->second->processPendingEvents();
                                              });
    // Events the first round trips already queued are not signalled on the fd again.
    triggerAsyncUpdate();
}

MyX11Window::~MyX11Window()
{
    cancelPendingUpdate();
    const int fd = ConnectionNumber (display);
    juce::LinuxEventLoop::unregisterFdCallback (fd);
    windowsByFd().erase (fd);

    XDestroyWindow (display, window);
    XCloseDisplay (display);
}

unsigned long MyX11Window::atom (const char* name)
{
    return XInternAtom (display, name, False);
}

void MyX11Window::handleAsyncUpdate()
{
    processPendingEvents();
}

bool MyX11Window::processPendingEvents()
{
    while (XPending (display) > 0)
    {
        XEvent event;
        XNextEvent (display, &event);
        if (event.xany.window != window)
            continue;

        if (event.type == ConfigureNotify || event.type == MapNotify)
        {
            update();
        }
        else if (event.type == ClientMessage && event.xclient.message_type == wmProtocols
                 && (unsigned long) event.xclient.data.l[0] == wmDeleteWindow)
        {
            close();
            return false;
        }
    }
    return true;
}

void MyX11Window::onTimer()
{
    if (! processPendingEvents())
        return;
    if (userData != nullptr)
        userData->windowIdle();
}

void MyX11Window::update()
{
    const auto frame = getFrame();
    const auto view = getContentViewFrame();
    std::printf ("\nWindow position will be: %d/%d/%d/%d", frame.getX(), frame.getY(), frame.getWidth(), frame.getHeight());
    std::printf ("\nView position will be: %d/%d/%d/%d", view.getX(), view.getY(), view.getWidth(), view.getHeight());
    std::fflush (stdout);

    if (userData != nullptr)
        userData->windowMoved (frame.getX(), frame.getY(), frame.getWidth(), frame.getHeight());
}

void MyX11Window::close()
{
    if (closing)
        return;
    closing = true;

    // The plug-in's editor sleeps and closes while its parent window still exists.
    if (userData != nullptr)
        userData->windowClosing();

    delete this;
}

void MyX11Window::setTitle (const char* utf8Title)
{
    const auto* utf8 = reinterpret_cast<const unsigned char*> (utf8Title);
    const int length = (int) std::strlen (utf8Title);
    const Atom utf8String = atom ("UTF8_STRING");
    XChangeProperty (display, window, atom ("_NET_WM_NAME"), utf8String, 8, PropModeReplace, utf8, length);
    XChangeProperty (display, window, atom ("_NET_WM_ICON_NAME"), utf8String, 8, PropModeReplace, utf8, length);

    const auto latin1 = latin1Of (utf8Title);
    XChangeProperty (display, window, XA_WM_NAME, XA_STRING, 8, PropModeReplace, reinterpret_cast<const unsigned char*> (latin1.data()),
                     (int) latin1.size());
    XFlush (display);
    triggerAsyncUpdate();
}

void MyX11Window::setContentSize (int width, int height)
{
    XResizeWindow (display, window, (unsigned) width, (unsigned) height);
    XFlush (display);
}

void MyX11Window::setFrameOrigin (int x, int y)
{
    XMoveWindow (display, window, x, y);
    XFlush (display);
}

juce::Rectangle<int> MyX11Window::getFrame()
{
    const Window root = DefaultRootWindow (display);
    int x = 0, y = 0;
    Window child = 0;
    XTranslateCoordinates (display, window, root, 0, 0, &x, &y, &child);

    XWindowAttributes attributes {};
    XGetWindowAttributes (display, window, &attributes);

    // Decoration the window manager added around the content (left, right, top, bottom).
    long extents[4] = { 0, 0, 0, 0 };
    Atom type = 0;
    int format = 0;
    unsigned long count = 0, remaining = 0;
    unsigned char* data = nullptr;
    if (XGetWindowProperty (display, window, atom ("_NET_FRAME_EXTENTS"), 0, 4, False, XA_CARDINAL, &type, &format, &count, &remaining,
                            &data)
            == Success
        && data != nullptr)
    {
        if (type == XA_CARDINAL && format == 32 && count == 4)
            for (int i = 0; i < 4; ++i)
                extents[i] = reinterpret_cast<long*> (data)[i];
        XFree (data);
    }

    triggerAsyncUpdate();
    return { x - (int) extents[0], y - (int) extents[2], attributes.width + (int) (extents[0] + extents[1]),
             attributes.height + (int) (extents[2] + extents[3]) };
}

juce::Rectangle<int> MyX11Window::getContentViewFrame()
{
    XWindowAttributes attributes {};
    XGetWindowAttributes (display, window, &attributes);
    triggerAsyncUpdate();
    return { 0, 0, attributes.width, attributes.height };
}

void MyX11Window::sendStateMessage (unsigned long messageType, long l0, long l1, long l2)
{
    XEvent event {};
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = messageType;
    event.xclient.format = 32;
    event.xclient.data.l[0] = l0;
    event.xclient.data.l[1] = l1;
    event.xclient.data.l[2] = l2;
    event.xclient.data.l[3] = 1; // sent by an application
    XSendEvent (display, DefaultRootWindow (display), False, SubstructureRedirectMask | SubstructureNotifyMask, &event);
    XFlush (display);
}

void MyX11Window::setKeepAbove (bool above)
{
    sendStateMessage (atom ("_NET_WM_STATE"), above ? 1 : 0, (long) atom ("_NET_WM_STATE_ABOVE"), 0);
}

void MyX11Window::activate()
{
    // l0 = 1: a request from an application; l1: no user timestamp known.
    sendStateMessage (atom ("_NET_ACTIVE_WINDOW"), 1, CurrentTime, 0);
}

void MyX11Window::orderFront()
{
    XRaiseWindow (display, window);
    XFlush (display);
}
