#pragma once

#include "WatchdogDecision.h"

// What the watchdog needs of a container: read its slots and options, probe,
// and act on its verdict. Slots are 0 and 1. Message thread only.
class WatchedContainer
{
public:
    virtual ~WatchedContainer() = default;

    virtual bool holdsPlugin (int slot) const = 0;
    virtual bool isPluginCrashed (int slot) const = 0;
    virtual int getActivePlugin () const = 0;
    virtual WatchPolicy getWatchPolicy () const = 0;

    // Asks the slot's plug-in whether it has crashed; marks nothing.
    virtual bool probePlugin (int slot) = 0;

    // Marks the slot crashed, logs the warning and refreshes the panel.
    virtual void markPluginCrashed (int slot) = 0;
    // Makes the healthy slot active after the active one crashed; its plug-in
    // starts with the notes the host holds down.
    virtual bool handOverTo (int slot) = 0;
    // Catches up with a switch the container's audio thread made by itself;
    // called before every tick looks at the container.
    virtual void completeHandOver () = 0;
    // Recovery nobody is asked anything for.
    virtual void recoverPluginUnattended (int slot) = 0;
};
